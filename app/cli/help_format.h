#pragma once
// The --help layout the project's programs share: every line within 80 columns, each option's
// description wrapped beside it.
#include <cstddef>
#include <string>

#include <CLI/CLI.hpp>

namespace clihelp {

// Every line of --help fits this many columns, so a terminal of the usual width never wraps it.
inline constexpr std::size_t kHelpColumns = 80;
// Where the options' descriptions begin.
inline constexpr std::size_t kHelpDescriptionColumn = 26;

// `text` broken at spaces into lines of at most `width` columns (a longer word stands alone).
std::string Wrapped(const std::string& text, std::size_t width);

// CLI11's help with every description wrapped to the help's width.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kHelpDescriptionColumn); }
  std::string make_description(const CLI::App* app) const override;
  std::string make_option(const CLI::Option* option, bool positional) const override;
  // The argument's name only: which options exclude which is said in their descriptions.
  std::string make_option_opts(const CLI::Option* option) const override;
};

// Names each option's argument in --help and in errors by its option text ("--ip ADDRESS").
void NameArguments(CLI::App& app);

}  // namespace clihelp
