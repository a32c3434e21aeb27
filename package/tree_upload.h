#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"

namespace package {

// The instrument folder that receives the package's system tree.
using instrument::kFlashDrive;
inline constexpr std::string_view kSystemFolder = "/F0:/SYSTEM";

// The package path appDir/names..., each step found without regard to letter case; where a
// step is missing, the rest is appended as spelled (a folder that is not there reads as empty).
std::string PackagePath(const std::string& appDir, std::initializer_list<std::string_view> names);

// True for a file that is never copied: its extension (the text after the last ".", or the
// whole name without one) is "rpd" in any letter case.
bool IsConfigImageName(std::string_view name);

// The progress bar position for `copied` of `total` bytes: copied * 100 / total in floating
// point, truncated, kept within 0 to 100; 0 while total is 0.
int ProgressPosition(std::int64_t copied, std::int64_t total);

// Measures the release tree `folder` into the counters: every regular file (or link to one)
// whose name does not begin with "." adds 1 to fileCount and its size to totalBytes, in every
// folder below, "rpd" files and SIGNAL folders included, each folder once. Link loops, FIFOs,
// sockets and devices add nothing. A missing folder adds nothing; an unreadable folder, a
// dangling link or a link out of the release raises LocalFsError naming it.
void ScanTree(const ReleaseRoot& release, const std::string& folder, CopyCounters counters);

// ScanTree, then the running file total of every tree measured so far.
std::int64_t CountFiles(const ReleaseRoot& release, const std::string& folder,
                        CopyCounters counters);

// Copies the content of the local folder into the instrument folder (which must exist),
// depth first in file-system order, logging "Copying... " or "Skipping... " with each bare
// file name and moving the progress bar after each file. False as soon as a folder can be
// neither found nor made or an upload reports failure. A missing local folder copies nothing
// and is true. Every file is sent from the descriptor it was opened by from the release root,
// judged as it is then. Raises LocalFsError, with a log line, for an unreadable folder, a
// dangling link, a link (or the local folder itself) that leads out of the release, a file that
// is gone or no longer a regular file, and a folder reached a second time, before anything of
// that entry is sent; instrument::RefusedParameterError for a name that cannot be sent; errors
// of the FTP client pass through.
bool CopyTree(const PackageContext& context, const std::string& localFolder,
              const std::string& remoteFolder);

// Adds to `plan` what CopyTree of the same folders would send, in the same order, walked
// without the instrument: each file's instrument path and its size now. Raises as ScanTree.
void PlanTree(const ReleaseRoot& release, const std::string& localFolder,
              const std::string& remoteFolder, std::vector<RemoteFile>& plan);

// Adds to `plan` what CopyModule would send of the module, as PlanTree does.
void PlanModule(const ReleaseRoot& release, const tModuleList& module,
                std::vector<RemoteFile>& plan);

// Makes "/F0:/" + name on the instrument if it is missing, then copies the package folder
// Target/<name> into it as CopyTree does, leaving out a folder named exactly "SIGNAL" directly
// inside the module folder when the module's hasSignal is false. The module name is checked
// before anything is sent.
bool CopyModule(const PackageContext& context, const tModuleList& module);

}  // namespace package
