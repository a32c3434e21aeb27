#include "instrument/instrument_errors.h"

#include "net/socket_error.h"

namespace instrument {

std::string PrintableText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\0') {
      out += "\\0";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

CommandSocketError::CommandSocketError(const std::string& api, int errnoValue)
    : std::runtime_error(api + " failed: " + net::PlatformErrorText(errnoValue)),
      api_(api),
      number_(net::WinsockErrorNumber(errnoValue)) {}

ConversionError::ConversionError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid integer value") {}

}  // namespace instrument
