#pragma once

#include <cstdint>
#include <string>

namespace instrument {

// One item of the "*OPT?" reply: which model sits in which slot, with its versions.
struct tModuleInfo {
  int16_t slot = 0;  // 0 is the mainframe, 1 to 4 the modules
  int16_t hwMajor = 0;
  int16_t hwMinor = 0;
  int16_t swMajor = 0;
  int16_t swMinor = 0;
  std::string moduleName;
};

// A version level, major * 100 + minor, wrapped to 16 bits (2.1 is 201, 2.10 is 210).
inline int16_t VersionLevel(int16_t major, int16_t minor) {
  return static_cast<int16_t>(major * 100 + minor);
}

}  // namespace instrument
