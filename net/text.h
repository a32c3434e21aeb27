#pragma once

#include <string>
#include <string_view>

namespace net {

// `text` with CR, LF and NUL written out as \r, \n and \0, so a line from a peer or a refused
// parameter can be quoted in an error text.
std::string PrintableText(std::string_view text);

// `text` without the CR and LF bytes at its end (a reply line's line end).
std::string WithoutLineEnd(std::string text);

}  // namespace net
