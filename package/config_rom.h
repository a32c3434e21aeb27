#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/package_context.h"

namespace package {

// Programs the configuration ROM of the module in `slot` from its release images, when the
// slot holds a module that takes them and the package lists that model: "CWD N0:", then for
// each image the module's entry names, in index order: upload from the module's FLEX folder
// under the manifest's name, "Start config " in the log, ConfigureFpga, the outcome in the
// log, and "DELE". True when nothing failed (also when there was nothing to do). A failed
// configuration makes the result false and goes on with the next image; a failed upload, or
// an image that is not a file in the FLEX folder, logs "Error, fail to send " with the local
// path and returns false at once. An image name that cannot be sent raises
// instrument::RefusedParameterError before anything of it is sent; errors of the FTP client
// pass through.
bool ProgramConfigROM(const PackageContext& context, std::int16_t slot);

// The images ProgramConfigROM would send for `slot`, in order, under the manifest's names;
// empty when the slot needs nothing. Sends nothing.
std::vector<std::string> PlannedConfigImages(const PackageContext& context, std::int16_t slot);

}  // namespace package
