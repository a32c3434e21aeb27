#pragma once

#include <string>
#include <string_view>

namespace net {

// What PrintableText does with a line feed.
enum class LineFeeds {
  kEscaped,  // written out as \n: the text stays on one line
  kKept,     // kept as a line break (a CR LF line end becomes a LF), for texts of several lines
};

// `text` with its control characters written out, so that a name from a release or a line from
// a peer can be quoted in an error text or shown on a terminal without acting on it: CR, LF and
// NUL as \r, \n and \0, the other C0 control characters except TAB, and DEL, as \xHH; the C1
// control characters (U+0080-U+009F) and the bidirectional formatting characters as \uHHHH;
// each byte that is not part of valid UTF-8 as \xHH. The result is valid UTF-8.
std::string PrintableText(std::string_view text, LineFeeds lineFeeds = LineFeeds::kEscaped);
// The same, appended to `out`.
void AppendPrintableText(std::string& out, std::string_view text,
                         LineFeeds lineFeeds = LineFeeds::kEscaped);

// `text` without the CR and LF bytes at its end (a reply line's line end).
std::string WithoutLineEnd(std::string text);

}  // namespace net
