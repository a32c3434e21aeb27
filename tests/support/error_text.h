#pragma once

#include <exception>
#include <functional>
#include <string>

namespace testsupport {

// The text of the exception `f` raises, or "(no error)".
inline std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace testsupport
