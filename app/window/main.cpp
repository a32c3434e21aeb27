#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <clocale>
#include <exception>

#include "app/window/main_window.h"
#include "upgrade/stop_signals.h"
#include "net/socket_error.h"
#include "net/text.h"

// Opens the upgrade window on the release folder that holds this program and runs until the
// window closes. Always returns 0; an error that stops the window from opening is shown first.
// SIGINT, SIGTERM and SIGHUP stop a run at its next wait and close the window (see
// TfrmMain::StopSignalled).
int main(int argc, char* argv[]) {
  net::IgnoreSigpipe();
  // Caught from the start: a signal that comes before the window shows closes it once it does.
  CatchStopSignals(false);
  QApplication app(argc, argv);
  // Qt sets the locale from the environment; numbers in messages are always written the C way.
  std::setlocale(LC_NUMERIC, "C");
  try {
    TfrmMain frmMain;
    frmMain.show();
    app.exec();
  } catch (const std::exception& error) {
    QMessageBox box(
        QMessageBox::Critical, QString::fromLatin1(TfrmMain::kCaption),
        QString::fromStdString(net::PrintableText(error.what(), net::LineFeeds::kKept)));
    box.setTextFormat(Qt::PlainText);
    // A stop signal closes this box as it would close the window.
    QSocketNotifier stop(StopSignalPipe(), QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &box, &QMessageBox::close);
    box.exec();
  }
  return 0;
}
