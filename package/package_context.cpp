#include "package/package_context.h"

#include "net/text.h"

#include "instrument/instrument_errors.h"
#include "package/local_names.h"

namespace package {

std::string BrokenLinkText(const std::string& path) {
  return "Broken link " + net::PrintableText(path) + ": its target does not exist";
}

void ThrowBrokenLink(const std::string& path) {
  throw LocalFsError(BrokenLinkText(path));
}

std::optional<std::string> SendableNameProblem(std::string_view name, bool quoted,
                                               std::string_view what, std::string_view where) {
  const char* reason = nullptr;
  if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    reason = "its name contains CR, LF or NUL";
  } else if (quoted && name.find('"') != std::string_view::npos) {
    reason = "its name contains a double quote";
  } else if (name.find('\\') != std::string_view::npos) {
    reason = "its name contains a backslash";
  } else {
    return std::nullopt;
  }
  std::string text =
      "Refused to send the " + std::string(what) + " \"" + net::PrintableText(name) + "\"";
  if (!where.empty()) text += " (" + net::PrintableText(where) + ")";
  return text + ": " + reason;
}

void RequireSendableName(std::string_view name, bool quoted, std::string_view what,
                         std::string_view where) {
  if (auto problem = SendableNameProblem(name, quoted, what, where)) {
    throw instrument::RefusedParameterError(*problem);
  }
}

std::optional<std::string> ModuleNameProblem(std::string_view name) {
  const bool unsafe =
      name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\\"\r\n\0", 6)) != std::string_view::npos;
  if (!unsafe) return std::nullopt;
  return "Refused to use the module name \"" + net::PrintableText(name) +
         "\": a module name must not contain \"/\", a backslash, a double quote, CR, LF or NUL, "
         "nor be \".\" or \"..\"";
}

void RequireModuleName(std::string_view name) {
  if (auto problem = ModuleNameProblem(name)) throw instrument::RefusedParameterError(*problem);
}

}  // namespace package
