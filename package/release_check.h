#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"
#include "package/tree_walk.h"

namespace package {

// The release cannot be installed as it stands; the text names every offending path, one a
// line. Raised before anything is connected or sent.
class ReleaseError : public PackageError {
 public:
  ReleaseError(const std::string& text, std::vector<std::string> problems)
      : PackageError(text), problems_(std::move(problems)) {}
  // One line per offending path, in the order the check met them.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

// Checks, before anything is connected, that the opened release can be installed whole
// for `moduleList`, and raises ReleaseError naming every path that cannot (at most
// `listedProblems` of them in its text, then how many more). An empty module list is refused
// alone, with the text of NoModulesText. Otherwise the check refuses:
// - a name the copy or the configuration would send that cannot travel on a command line or
//   holds a backslash, in the "MainFrame" tree and each listed module's tree (its SIGNAL
//   folder whatever its selection, since the run may still select it), a module name, and a
//   configuration image name;
// - a file or folder the run would send or enter that is a link whose real path leaves the
//   release folder (links within the release are allowed, and loops stay "Skipping... ");
// - a dangling link or a folder that cannot be read;
// - a folder reached a second time within one tree (through links), naming both paths, so
//   that links that fan out cannot make the check, or the copy, grow beyond the release;
// - a configuration image named by the manifest (rpdFile1 to rpdFile4 of any listed module)
//   that is not a file in its module's FLEX folder.
// Names beginning with "." and configuration images lying in the trees are never sent and
// are not checked. `stop` is asked between entries: when it is true the check raises
// WalkStopped.
void CheckRelease(const ReleaseRoot& release, const ModuleList& moduleList,
                  std::size_t listedProblems = std::numeric_limits<std::size_t>::max(),
                  const std::function<bool()>& stop = {});

}  // namespace package
