#include "instrument/reply_parsers.h"

#include <string>
#include <utility>

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

namespace {

// A size field: decimal digits only, within 64 bits.
std::optional<std::int64_t> SizeField(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A type field: letters and digits, as catalogues name their entry types.
bool TypeField(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  return true;
}

// The entry of the quoted text `quoted` followed by the unquoted fields `rest` (empty when the
// next entry or the end follows the quote).
std::optional<CatalogEntry> EntryOf(std::string_view quoted, const std::vector<std::string_view>& rest) {
  if (quoted.empty()) return std::nullopt;
  if (rest.size() == 2) {
    if (!TypeField(rest[0])) return std::nullopt;
    const auto bytes = SizeField(rest[1]);
    if (!bytes) return std::nullopt;
    return CatalogEntry{std::string(quoted), std::string(rest[0]), bytes};
  }
  if (!rest.empty()) return std::nullopt;
  // "NAME,TYPE,SIZE": the last two fields inside the quotes, when they read as type and size.
  const auto last = quoted.rfind(',');
  if (last != std::string_view::npos && last > 0) {
    const auto middle = quoted.rfind(',', last - 1);
    if (middle != std::string_view::npos && middle > 0) {
      const std::string_view type = quoted.substr(middle + 1, last - middle - 1);
      const auto bytes = SizeField(quoted.substr(last + 1));
      if (TypeField(type) && bytes) {
        return CatalogEntry{std::string(quoted.substr(0, middle)), std::string(type), bytes};
      }
    }
  }
  return CatalogEntry{std::string(quoted), {}, std::nullopt};
}

}  // namespace

Catalog ParseCatalogEntries(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.remove_suffix(1);
  Catalog catalog;
  // The two size fields come first.
  std::size_t pos = 0;
  for (int field = 0; field < 2; ++field) {
    pos = reply.find(',', pos);
    if (pos == std::string_view::npos) return catalog;
    ++pos;
  }
  while (pos < reply.size()) {
    if (reply[pos] != '"') {
      // No quoted name here: the text up to the next quoted entry is one unreadable entry.
      ++catalog.unreadable;
      const auto next = reply.find(",\"", pos);
      if (next == std::string_view::npos) break;
      pos = next + 1;
      continue;
    }
    const auto close = reply.find('"', pos + 1);
    if (close == std::string_view::npos) {
      ++catalog.unreadable;
      break;
    }
    const std::string_view quoted = reply.substr(pos + 1, close - pos - 1);
    // The unquoted fields after the name, up to the next quoted entry or the end.
    const auto next = reply.find(",\"", close + 1);
    const std::size_t stop = next == std::string_view::npos ? reply.size() : next;
    std::vector<std::string_view> rest;
    bool readable = true;
    if (close + 1 < stop) {
      // Fields follow after a comma; text glued to the closing quote is not an entry.
      readable = reply[close + 1] == ',';
      std::string_view tail = reply.substr(close + 2, stop - close - 2);
      for (;;) {
        const auto comma = tail.find(',');
        rest.push_back(tail.substr(0, comma));
        if (comma == std::string_view::npos) break;
        tail.remove_prefix(comma + 1);
      }
    }
    auto entry = readable ? EntryOf(quoted, rest) : std::nullopt;
    if (entry) {
      catalog.entries.push_back(std::move(*entry));
    } else {
      ++catalog.unreadable;
    }
    pos = stop == reply.size() ? stop : stop + 1;
  }
  return catalog;
}

}  // namespace instrument
