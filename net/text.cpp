#include "net/text.h"

namespace net {

std::string PrintableText(std::string_view text, LineFeeds lineFeeds) {
  std::string out;
  AppendPrintableText(out, text, lineFeeds);
  return out;
}

void AppendPrintableText(std::string& out, std::string_view text, LineFeeds lineFeeds) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    // The bytes that stay as they are go over in one piece (every line of a log or a trace
    // passes here).
    std::size_t plain = i;
    while (plain < text.size()) {
      const auto c = static_cast<unsigned char>(text[plain]);
      if ((c < 0x20 && c != '\t') || c == 0x7f) break;
      ++plain;
    }
    out.append(text.data() + i, plain - i);
    if (plain == text.size()) break;
    i = plain;
    const auto c = static_cast<unsigned char>(text[i]);
    const bool lineBreak = lineFeeds == LineFeeds::kKept &&
                           (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n'));
    if (lineBreak) {
      if (c == '\n') out.push_back('\n');
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\0') {
      out += "\\0";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    }
    ++i;
  }
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace net
