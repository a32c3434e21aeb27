// Writes vxupgrade-cli's bash completion to standard output; the build runs it, so the
// completion follows the options as the program has them.
#include <cstdio>

#include "app/cli/cli_options.h"

int main() {
  return std::fputs(BashCompletionScript().c_str(), stdout) < 0 ? 1 : 0;
}
