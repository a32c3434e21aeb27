#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace package {

// Reads an integer the way the release manifests write them: decimal with an optional sign,
// or hexadecimal after "0x", "0X" or "$" (up to 32 bits, taken as two's complement, so
// $FFFFFFFF is -1). Anything else, or a decimal outside 32 bits, is not an integer.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

// The sections and keys of an INI text, read the way the releases' Windows authoring tools
// read them: names without regard to ASCII case, first section and first key win, blanks
// around names and values trimmed, one pair of double quotes around a value removed, ";"
// starts a comment only at the start of a line, CR LF or LF line ends, a UTF-8 byte-order
// mark ignored, no length limit and no continuation lines.
class IniFile {
 public:
  // Parses INI text; never fails (lines that are neither sections nor keys are ignored).
  static IniFile Parse(std::string_view text);

  // The value of a key, or nothing when the section or the key is missing.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  // The value of a key, or `fallback` when it is missing.
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& fallback) const;

  // The integer value of a key, or `fallback` when it is missing or not an integer.
  std::int32_t ReadInteger(std::string_view section, std::string_view key,
                           std::int32_t fallback) const;

  // An integer key read as a flag (0 is false, any other integer true), else `fallback`.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

 private:
  // Keys of one section, by lower-cased name.
  using Keys = std::unordered_map<std::string, std::string>;
  std::unordered_map<std::string, Keys> sections_;
};

}  // namespace package
