#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/module_info.h"

namespace instrument {

// Converts reply text to a signed 32-bit integer: leading blanks, an optional sign, decimal
// digits and nothing else. Anything else (empty text included, or out of range) raises
// ConversionError "'text' is not a valid integer value".
int32_t ConvertInteger(std::string_view text);

// The error number of an error-queue entry: the text in front of the first comma, converted
// (a reply without a comma converts the empty text and fails).
int32_t ErrorNumberOf(std::string_view reply);

// Appends one record per "*OPT?" item to `table`. An item whose fields do not convert raises
// ConversionError; the records appended before it stay, the one being built is dropped.
void ParseOptionReply(std::string_view reply, std::vector<tModuleInfo>& table);

// Free bytes of a catalogue reply: its second field, converted.
int32_t CatalogFreeBytes(std::string_view reply);

// Total bytes of a catalogue reply: first plus second field, wrapped to 32 bits.
int32_t CatalogTotalBytes(std::string_view reply);

// True when the catalogue reply holds `name` between two double quotes, anywhere.
bool CatalogListsName(std::string_view reply, std::string_view name);

// One entry of a catalogue reply: its name, and its type and size where the entry gives them.
struct CatalogEntry {
  std::string name;
  std::string type;                   // as listed ("BIN", "DIR", ...); empty when not given
  std::optional<std::int64_t> bytes;  // the size listed; none when the entry gives none

  bool IsFolder() const { return type == "DIR"; }
};

// The entries of a catalogue reply, after its two size fields.
struct Catalog {
  std::vector<CatalogEntry> entries;
  // Entries that could not be read (no quoted name, an unterminated quote); they match nothing.
  std::size_t unreadable = 0;
};

// Reads the entries of a catalogue reply "used,free,entry,entry,...", each entry in one of the
// forms "NAME",TYPE,SIZE or "NAME,TYPE,SIZE" or "NAME" (a name only). A size that is not a
// plain decimal number is not taken as one; an entry whose name cannot be found is counted as
// unreadable. Never raises.
Catalog ParseCatalogEntries(std::string_view reply);

}  // namespace instrument
