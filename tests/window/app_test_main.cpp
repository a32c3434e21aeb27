#include <gtest/gtest.h>

#include <QApplication>

// GoogleTest main for tests that drive real widgets: one QApplication for the whole run.
// ctest selects Qt's offscreen platform; test discovery runs the binary without that
// environment, so offscreen is also the default here.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
