#include "net/text.h"

namespace net {

std::string PrintableText(std::string_view text, LineFeeds lineFeeds) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
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
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace net
