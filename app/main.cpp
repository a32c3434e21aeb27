#include <QApplication>
#include <QMessageBox>

#include <clocale>
#include <exception>

#include "app/main_window.h"
#include "net/socket_error.h"

// Opens the upgrade window on the release folder that holds this program and runs until the
// window closes. Always returns 0; an error that stops the window from opening is shown first.
int main(int argc, char* argv[]) {
  net::IgnoreSigpipe();
  QApplication app(argc, argv);
  // Qt sets the locale from the environment; numbers in messages are always written the C way.
  std::setlocale(LC_NUMERIC, "C");
  try {
    TfrmMain frmMain;
    frmMain.show();
    app.exec();
  } catch (const std::exception& error) {
    QMessageBox::critical(nullptr, QString::fromLatin1(TfrmMain::kCaption),
                          QString::fromUtf8(error.what()));
  }
  return 0;
}
