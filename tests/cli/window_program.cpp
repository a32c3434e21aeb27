// The window program for tests that signal a real process: set up as vxupgrade sets itself up
// (SIGPIPE ignored, the stop signals caught, the real window), on the simulator's ports and a
// given release. Once the window shows it enters the address 127.0.0.1 and presses Copy; each
// log line and message box goes to standard output as it appears (every box answered OK, a
// question No), and "closed" once the window has closed and the event loop ended.
//
//   window_program COMMAND_PORT FTP_PORT RELEASE_DIR
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <string>

#include "app/window/main_window.h"
#include "upgrade/stop_signals.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace {

void Print(const std::string& line) {
  std::printf("%s\n", net::PrintableText(line).c_str());
  std::fflush(stdout);
}

// The real window, with what it logs also written to standard output.
class EchoingWindow : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  void AddLogLine(const std::string& line) override {
    TfrmMain::AddLogLine(line);
    Print("log: " + line);
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s COMMAND_PORT FTP_PORT RELEASE_DIR\n", argv[0]);
    return 2;
  }
  net::IgnoreSigpipe();
  CatchStopSignals(false);
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  EchoingWindow window(static_cast<std::uint16_t>(std::stoi(argv[1])),
                       static_cast<std::uint16_t>(std::stoi(argv[2])), argv[3]);
  window.SetMessageResponder([](const std::string& text, const std::string& caption, int flags) {
    Print("box: " + caption + ": " + text);
    return flags == kMbYesNoQuestion ? kIdNo : kIdOk;
  });
  window.show();
  // The address as leaving the field after typing it leaves it; the click goes through the
  // window's handler, with its error display.
  QTimer::singleShot(0, &window, [&window] {
    window.ipAddressText = "127.0.0.1";
    window.btnCopy->click();
  });
  app.exec();
  Print("closed");
  return 0;
}
