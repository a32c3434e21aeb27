#include "tests/support/sim_session.h"

#include <chrono>

namespace testsupport {

void UseTestBounds(instrument::TfrmVX500& session) {
  instrument::CommandBounds bounds;
  bounds.connect = std::chrono::seconds(5);
  bounds.reply = std::chrono::seconds(5);
  session.SetCommandBounds(bounds);
  session.FtpClient.TimeOut = 5000;
}

}  // namespace testsupport
