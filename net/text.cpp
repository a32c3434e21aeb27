#include "net/text.h"

namespace net {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// A character decoded from UTF-8: its length in bytes (0 when the bytes are not valid UTF-8)
// and its code point.
struct Utf8Char {
  std::size_t length = 0;
  char32_t codePoint = 0;
};

// The character whose first byte, at least 0x80, is text[i]. Valid means the shortest form of a
// code point up to U+10FFFF that is not a surrogate, with all its bytes present.
Utf8Char DecodeUtf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  Utf8Char decoded;
  // The range of the second byte: narrower after E0, ED, F0 and F4, which rules out the
  // overlong forms, the surrogates and what lies above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    decoded = {2, lead & 0x1fu};
  } else if (lead >= 0xe0 && lead <= 0xef) {
    decoded = {3, lead & 0x0fu};
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    decoded = {4, lead & 0x07u};
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return {};
  }
  if (text.size() - i < decoded.length) return {};
  for (std::size_t k = 1; k < decoded.length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (c < low || c > high) return {};
    low = 0x80;
    high = 0xbf;
    decoded.codePoint = (decoded.codePoint << 6) | (c & 0x3fu);
  }
  return decoded;
}

// The C1 control characters and the bidirectional formatting characters, which a terminal or
// a text view acts on (U+009B starts a terminal sequence; an override makes a name read as
// another).
bool WrittenOut(char32_t codePoint) {
  return (codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x061c || codePoint == 0x200e ||
         codePoint == 0x200f || (codePoint >= 0x202a && codePoint <= 0x202e) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void AppendHexByte(std::string& out, unsigned char c) {
  out += "\\x";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0xf]);
}

}  // namespace

std::string PrintableText(std::string_view text, LineFeeds lineFeeds) {
  std::string out;
  AppendPrintableText(out, text, lineFeeds);
  return out;
}

void AppendPrintableText(std::string& out, std::string_view text, LineFeeds lineFeeds) {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    // The bytes that stay as they are go over in one piece (every line of a log or a trace
    // passes here); only a byte from 0x80 up needs decoding.
    std::size_t plain = i;
    Utf8Char stop;
    while (plain < text.size()) {
      const auto c = static_cast<unsigned char>(text[plain]);
      if (c < 0x80) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) break;
        ++plain;
        continue;
      }
      stop = DecodeUtf8(text, plain);
      if (stop.length == 0 || WrittenOut(stop.codePoint)) break;
      plain += stop.length;
    }
    out.append(text.data() + i, plain - i);
    if (plain == text.size()) break;
    i = plain;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (stop.length == 0) {
        // Not valid UTF-8: this byte alone; the next one is looked at afresh.
        AppendHexByte(out, c);
        ++i;
      } else {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
          out.push_back(kHex[(stop.codePoint >> shift) & 0xf]);
        i += stop.length;
      }
      continue;
    }
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
      AppendHexByte(out, c);
    }
    ++i;
  }
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace net
