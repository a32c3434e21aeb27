#pragma once

#include <cstdint>
#include <string>

namespace package {

// Where the bar stands and the figures it was drawn from: bytes copied of bytes to copy.
struct CopyProgress {
  int position = 0;  // 0 to 100
  std::int64_t copiedBytes = 0;
  std::int64_t totalBytes = 0;
};

// What the package steps tell the operator: status-log lines and the copy's progress.
class OperatorView {
 public:
  virtual ~OperatorView() = default;
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void Progress(const CopyProgress& progress) = 0;
};

}  // namespace package
