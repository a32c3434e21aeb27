#include "package/package_context.h"

#include "net/text.h"

#include "instrument/instrument_errors.h"
#include "package/local_names.h"

namespace package {

void ThrowBrokenLink(const std::string& path) {
  throw LocalFsError("Broken link " + path + ": its target does not exist");
}

void RequireSendableName(std::string_view name, bool quoted, std::string_view what,
                         std::string_view where) {
  const std::string_view refused =
      quoted ? std::string_view("\"\r\n\0", 4) : std::string_view("\r\n\0", 3);
  if (name.find_first_of(refused) == std::string_view::npos) return;
  std::string text =
      "Refused to send the " + std::string(what) + " \"" + net::PrintableText(name) + "\"";
  if (!where.empty()) text += " (" + net::PrintableText(where) + ")";
  text += quoted ? ": its name contains a double quote, CR, LF or NUL"
                 : ": its name contains CR, LF or NUL";
  throw instrument::RefusedParameterError(text);
}

void RequireModuleName(std::string_view name) {
  const bool unsafe =
      name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\\\"\r\n\0", 6)) != std::string_view::npos;
  if (!unsafe) return;
  throw instrument::RefusedParameterError(
      "Refused to use the module name \"" + net::PrintableText(name) +
      "\": a module name must not contain \"/\", a backslash, a double quote, CR, LF or NUL, "
      "nor be \".\" or \"..\"");
}

}  // namespace package
