#include "instrument/reply_parsers.h"

#include <string>

#include "instrument/instrument_errors.h"

namespace instrument {
namespace {

// The reply formats are defined by 1-based character positions and counts, where a start
// before the text or a count of zero or less gives an empty piece (a missing delimiter makes
// its position 0). This keeps that arithmetic exact.
std::string_view Piece(std::string_view text, long long start, long long count) {
  if (start < 1) start = 1;
  if (count <= 0 || start > static_cast<long long>(text.size())) return {};
  return text.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count));
}

// 1-based position of the first `c`, 0 when absent.
long long Pos(char c, std::string_view text) {
  size_t p = text.find(c);
  return p == std::string_view::npos ? 0 : static_cast<long long>(p) + 1;
}

// 1-based position of the last `c`, 0 when absent.
long long LastPos(char c, std::string_view text) {
  size_t p = text.rfind(c);
  return p == std::string_view::npos ? 0 : static_cast<long long>(p) + 1;
}

constexpr long long kRest = 1LL << 40;

int16_t Field16(std::string_view text) {
  return static_cast<int16_t>(ConvertInteger(text));
}

// The second comma-separated field: after the first comma, up to the next one (empty when
// that next comma is missing).
std::string_view SecondField(std::string_view reply) {
  std::string_view rest = Piece(reply, Pos(',', reply) + 1, kRest);
  return Piece(rest, 1, Pos(',', rest) - 1);
}

}  // namespace

int32_t ConvertInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) throw ConversionError(std::string(text));
  long long value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') throw ConversionError(std::string(text));
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) throw ConversionError(std::string(text));
  }
  if (negative) value = -value;
  if (value > 2147483647LL) throw ConversionError(std::string(text));
  return static_cast<int32_t>(value);
}

int32_t ErrorNumberOf(std::string_view reply) {
  return ConvertInteger(Piece(reply, 1, Pos(',', reply) - 1));
}

void ParseOptionReply(std::string_view reply, std::vector<tModuleInfo>& table) {
  std::string_view remaining = reply;
  while (!remaining.empty()) {
    std::string_view item;
    if (long long comma = Pos(',', remaining)) {
      item = Piece(remaining, 1, comma - 1);
      remaining = Piece(remaining, comma + 1, kRest);
    } else {
      // The last item ends in the reply's line feed, which is not part of it.
      item = remaining.substr(0, remaining.size() - 1);
      remaining = {};
    }
    // Item layout: delimiter, name, ':', slot digit, separator, version part, delimiter.
    tModuleInfo record;
    long long length = static_cast<long long>(item.size());
    long long colon = Pos(':', item);
    record.moduleName = std::string(Piece(item, 2, colon - 2));
    record.slot = Field16(Piece(item, colon + 1, 1));
    std::string_view version = Piece(item, colon + 3, length - colon - 3);
    long long dot = Pos('.', version);
    long long versionColon = Pos(':', version);
    record.hwMajor = Field16(Piece(version, 1, dot - 1));
    record.hwMinor = Field16(Piece(version, dot + 1, versionColon - dot - 1));
    std::string_view firmware = Piece(version, versionColon + 1, kRest);
    long long lastDot = LastPos('.', firmware);
    record.swMajor = Field16(Piece(firmware, 1, lastDot - 1));
    record.swMinor = Field16(Piece(firmware, lastDot + 1, kRest));
    table.push_back(std::move(record));
  }
}

int32_t CatalogFreeBytes(std::string_view reply) {
  return ConvertInteger(SecondField(reply));
}

int32_t CatalogTotalBytes(std::string_view reply) {
  uint32_t used = static_cast<uint32_t>(ConvertInteger(Piece(reply, 1, Pos(',', reply) - 1)));
  uint32_t free = static_cast<uint32_t>(ConvertInteger(SecondField(reply)));
  return static_cast<int32_t>(used + free);
}

bool CatalogListsName(std::string_view reply, std::string_view name) {
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted.push_back('"');
  quoted.append(name);
  quoted.push_back('"');
  return reply.find(quoted) != std::string_view::npos;
}

}  // namespace instrument
