#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/operator_view.h"

namespace package {

// The window's progress counters, 64-bit so a package over 2 GiB still gives a right bar:
// files measured, bytes measured (the bar's denominator) and bytes copied (its numerator).
// Held by reference, so the steps add to the counters of whoever owns them.
struct CopyCounters {
  std::int64_t& fileCount;
  std::int64_t& totalBytes;
  std::int64_t& copiedBytes;
};

// What the package steps work on: the connected session, the operator's view, the package
// folder (ending in "/"), its module list and the window's counters.
struct PackageContext {
  instrument::TfrmVX500& session;
  OperatorView& view;
  std::string appDir;
  const ModuleList& moduleList;
  CopyCounters counters;
};

// The package itself cannot be installed (for example, it lists no module); nothing of the
// step that raised it was sent.
class PackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises LocalFsError for a link at `path` whose target does not exist.
[[noreturn]] void ThrowBrokenLink(const std::string& path);

// Raises instrument::RefusedParameterError naming `what` ("file", "folder", ...), the name and
// `where` (the local path, when there is one) when `name` cannot travel on a command line: it
// holds CR, LF or NUL, or, when it goes inside a quoted parameter, a double quote.
void RequireSendableName(std::string_view name, bool quoted, std::string_view what,
                         std::string_view where);

// Raises instrument::RefusedParameterError naming the module when `name` cannot be the name of
// one folder on the instrument: it holds "/", a backslash, a double quote, CR, LF or NUL, or it
// is "." or "..".
void RequireModuleName(std::string_view name);

}  // namespace package
