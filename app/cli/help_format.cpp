#include "app/cli/help_format.h"

#include <sstream>

namespace clihelp {

std::string Wrapped(const std::string& text, std::size_t width) {
  std::istringstream words(text);
  std::string wrapped, line;
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      wrapped += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return wrapped + line;
}

std::string HelpFormatter::make_description(const CLI::App* app) const {
  return Wrapped(app->get_description(), kHelpColumns) + "\n";
}

std::string HelpFormatter::make_option(const CLI::Option* option, bool positional) const {
  std::stringstream out;
  CLI::detail::format_help(out, make_option_name(option, positional) + make_option_opts(option),
                           Wrapped(make_option_desc(option), kHelpColumns - get_column_width()),
                           get_column_width());
  return out.str();
}

std::string HelpFormatter::make_option_opts(const CLI::Option* option) const {
  std::string opts = CLI::Formatter::make_option_opts(option);
  if (const auto excludes = opts.find(" " + get_label("Excludes") + ":");
      excludes != std::string::npos) {
    opts.erase(excludes);
  }
  return opts;
}

void NameArguments(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    if (!option->get_option_text().empty()) option->type_name(option->get_option_text());
  }
}

}  // namespace clihelp
