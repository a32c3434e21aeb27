#include "instrument/instrument_errors.h"

#include "net/socket_error.h"

namespace instrument {

CommandSocketError::CommandSocketError(const std::string& api, int errnoValue)
    : std::runtime_error(api + " failed: " + net::PlatformErrorText(errnoValue)),
      api_(api),
      number_(net::WinsockErrorNumber(errnoValue)) {}

ConversionError::ConversionError(const std::string& text)
    : std::runtime_error("'" + text + "' is not a valid integer value") {}

}  // namespace instrument
