#pragma once

#include <cstdint>
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

}  // namespace instrument
