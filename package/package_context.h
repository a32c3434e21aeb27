#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/operator_view.h"
#include "package/release_root.h"

namespace package {

// The window's progress counters, 64-bit so a package over 2 GiB still gives a right bar:
// files measured, bytes measured (the bar's denominator) and bytes copied (its numerator).
// Held by reference, so the steps add to the counters of whoever owns them.
struct CopyCounters {
  std::int64_t& fileCount;
  std::int64_t& totalBytes;
  std::int64_t& copiedBytes;
};

// A file on the instrument: its full instrument path and its size in bytes.
struct RemoteFile {
  std::string path;
  std::int64_t bytes = 0;
};

// What the package steps have written on the instrument, counted as they go: folders made, and
// files whose upload began (one cut short may have left part of its file there).
struct WrittenCounts {
  int midFolders = 0;     // MID folders made by MakeMIDFiles
  int nameFiles = 0;      // NAME files sent by MakeMIDFiles
  int treeEntries = 0;    // folders made and files sent by CopyTree (the run's system tree)
  int moduleEntries = 0;  // by CopyModule: module folders made, and folders and files below
};

// What the package steps work on: the connected session, the operator's view, the opened
// release folder, its module list and the window's counters; the steps add the names of the
// modules whose NAME file could not be written to `unwrittenNameFiles`, count what they write
// in `written` when it is given, and, when `sentFiles` is given, keep every file the instrument
// accepted with the bytes sent.
struct PackageContext {
  instrument::TfrmVX500& session;
  OperatorView& view;
  const ReleaseRoot& release;
  const ModuleList& moduleList;
  CopyCounters counters;
  std::vector<std::string>& unwrittenNameFiles;
  WrittenCounts* written = nullptr;
  std::vector<RemoteFile>* sentFiles = nullptr;

  // Adds a file the instrument accepted to `sentFiles`, when it is kept.
  void Sent(std::string path, std::int64_t bytes) const {
    if (sentFiles) sentFiles->push_back({std::move(path), bytes});
  }
};

// The package itself cannot be installed (for example, it lists no module); nothing of the
// step that raised it was sent.
class PackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of the error for a link at `path` whose target does not exist.
std::string BrokenLinkText(const std::string& path);

// Raises LocalFsError for a link at `path` whose target does not exist.
[[noreturn]] void ThrowBrokenLink(const std::string& path);

// Why the local name `name` of a `what` ("file", "folder", ...) cannot be sent, naming it and
// `where` (the local path, when there is one); nothing when it can. A name cannot travel on a
// command line with CR, LF or NUL in it, nor inside a quoted parameter (`quoted`) with a
// double quote; and a backslash is refused in every local name, since the instrument's path
// rules may read it as a separator.
std::optional<std::string> SendableNameProblem(std::string_view name, bool quoted,
                                               std::string_view what, std::string_view where);

// Raises instrument::RefusedParameterError with SendableNameProblem's text when there is one.
void RequireSendableName(std::string_view name, bool quoted, std::string_view what,
                         std::string_view where);

// Why `name` cannot be the name of one folder on the instrument, naming the module: it holds
// "/", a backslash, a double quote, CR, LF or NUL, or it is "." or ".."; nothing when it can.
std::optional<std::string> ModuleNameProblem(std::string_view name);

// Raises instrument::RefusedParameterError with ModuleNameProblem's text when there is one.
void RequireModuleName(std::string_view name);

}  // namespace package
