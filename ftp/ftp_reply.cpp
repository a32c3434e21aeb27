#include "ftp/ftp_reply.h"

#include <cstdint>
#include <cstdio>

#include "ftp/ftp_errors.h"
#include "net/ipv4.h"
#include "net/text.h"

namespace ftp {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<int> Byte(std::string_view field) {
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  if (field.empty() || field.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : field) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 255) return std::nullopt;
  return value;
}

}  // namespace

int ParseReplyCode(std::string_view line) {
  std::int64_t value = 0;
  std::size_t digits = 0;
  while (digits < line.size() && digits < 10 && IsDigit(line[digits])) {
    value = value * 10 + (line[digits] - '0');
    ++digits;
  }
  if (value > INT16_MAX) {
    throw ESockError(SockErrorKind::kMalformedReply,
                     "Malformed reply: the reply code does not fit 16 bits: " +
                         net::PrintableText(line.substr(0, 80)));
  }
  return static_cast<int>(value);
}

int ReplyClass(std::string_view line) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  if (line.size() > 3 && std::string_view(" -\r\n").find(line[3]) == std::string_view::npos)
    return 0;
  int first = line[0] - '0';
  return first >= 1 && first <= 5 ? first : 0;
}

bool IsContinuationLine(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

TCmdType CommandKind(std::string_view line) {
  std::string first(line.substr(0, line.find(' ')));
  first += ' ';
  if (first == "CWD ") return cmdChangeDir;
  if (first == "DELE ") return cmdDelete;
  if (first == "MKD ") return cmdMakeDir;
  if (first == "RMD ") return cmdRemoveDir;
  if (line == "PWD") return cmdCurrentDir;
  return cmdDoCommand;
}

std::optional<int> ParsePasvPort(std::string_view reply) {
  std::string_view fields[6];
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < 6) {
    std::size_t comma = reply.find(',', pos);
    fields[count++] = reply.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  if (count < 6) return std::nullopt;
  std::string_view last = fields[5];
  std::size_t paren = last.find(')');
  if (paren == std::string_view::npos) {
    // Without the parenthesis the field ends at the line end.
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r' || last.back() == '.'))
      last.remove_suffix(1);
  } else {
    last = last.substr(0, paren);
  }
  auto p1 = Byte(fields[4]);
  auto p2 = Byte(last);
  if (!p1 || !p2) return std::nullopt;
  int port = *p1 * 256 + *p2;
  if (port == 0) return std::nullopt;
  return port;
}

std::string PortAddressText(const in_addr& address) {
  std::string out = net::AddressText(address);
  for (char& c : out)
    if (c == '.') c = ',';
  return out;
}

std::string PortNumberText(int port) {
  char text[32];
  std::snprintf(text, sizeof text, ",%d,%d", port / 256, port % 256);
  return text;
}

std::string NamePart(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void CheckCommandLine(std::string_view line, std::string_view shown) {
  if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw ECommandRefused("Command not sent: \"" + net::PrintableText(shown) +
                          "\" holds a CR, LF or NUL character");
  }
  if (line.size() + 2 > kMaxLineBytes - 1) {
    throw ECommandRefused("Command not sent: a command line of " + std::to_string(line.size()) +
                          " bytes is longer than the line limit");
  }
}

}  // namespace ftp
