#pragma once

#include <cstdint>
#include <string>

#include "package/module_list.h"
#include "package/package_context.h"

namespace package {

// The status-log line after "*** ERROR ***" for a NAME file that could not be written.
inline constexpr char kNameFileError[] = "Can't open temporary NAME file";

// The instrument folder of the module's MID files: "/F0:/SYSTEM/MID<id>".
std::string MidFolderPath(const tModuleList& module);

// The size of the module's NAME file: its name and CR LF.
std::int64_t NameFileBytes(const tModuleList& module);

// The folder for temporary NAME files: TEMP, else TMP, else TMPDIR, else /tmp (an empty
// variable counts as unset).
std::string TemporaryFolder();

// Makes sure that "/F0:/SYSTEM/MID<id>" exists for every module, in list order, and holds a
// file NAME with the module's name and CR LF, sent under "TYPE A"; existing folders and NAME
// files are left as they are. False as soon as a folder can be neither found nor made. A
// temporary file that cannot be made logs "*** ERROR ***" and "Can't open temporary NAME
// file" and the next module follows. An empty module list raises PackageError naming the
// package folder, and an unusable module name raises instrument::RefusedParameterError, both
// before anything is sent; errors of the FTP client pass through.
bool MakeMIDFiles(const PackageContext& context);

}  // namespace package
