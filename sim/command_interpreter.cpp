#include "sim/command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

#include "sim/store_file.h"

namespace sim {
namespace fs = std::filesystem;
namespace {

constexpr size_t kErrorQueueLength = 20;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string StandardMessage(int code) {
  switch (code) {
    case 0:
      return "No error";
    case -100:
      return "Command error";
    case -102:
      return "Syntax error";
    case -109:
      return "Missing parameter";
    case -113:
      return "Undefined header";
    case -200:
      return "Execution error";
    case -222:
      return "Data out of range";
    case -241:
      return "Hardware missing";
    case -250:
      return "Mass storage error";
    case -256:
      return "File name not found";
    case -257:
      return "File name error";
    case -350:
      return "Queue overflow";
    default:
      return "Device-specific error";
  }
}

std::optional<int> ParseInt(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The text between the quotes of a quoted parameter, or nothing when it is not one.
std::optional<std::string_view> Unquote(std::string_view param) {
  param = Trim(param);
  if (param.size() < 2 || param.front() != '"' || param.back() != '"') return std::nullopt;
  std::string_view inner = param.substr(1, param.size() - 2);
  if (inner.find('"') != std::string_view::npos) return std::nullopt;
  return inner;
}

}  // namespace

CommandInterpreter::CommandInterpreter(const Drive& drive, Scenario scenario)
    : drive_(drive), scenario_(std::move(scenario)) {}

std::string CommandInterpreter::CanonicalHeader(std::string_view header) {
  static const std::pair<std::string_view, std::string_view> kShort[] = {
      {"SYSTEM", "SYST"},     {"ERROR", "ERR"},       {"MMEMORY", "MMEM"},
      {"CDIRECTORY", "CDIR"}, {"MDIRECTORY", "MDIR"}, {"CATALOG", "CAT"},
      {"INSTRUMENT", "INST"}, {"NSELECT", "NSEL"},    {"CONFIGURE", "CONF"},
  };
  while (!header.empty() && header.front() == ':') header.remove_prefix(1);
  std::string out;
  size_t pos = 0;
  while (pos <= header.size()) {
    size_t end = std::min(header.find(':', pos), header.size());
    std::string word(header.substr(pos, end - pos));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    bool query = !word.empty() && word.back() == '?';
    if (query) word.pop_back();
    for (const auto& [longForm, shortForm] : kShort)
      if (word == longForm) word = shortForm;
    if (!out.empty() || pos > 0) out += ':';
    out += word;
    if (query) out += '?';
    pos = end + 1;
  }
  return out;
}

CommandResponse CommandInterpreter::Execute(std::string_view line) {
  CommandResponse response;
  std::string_view text = Trim(line);
  if (text.empty()) return response;
  size_t space = text.find_first_of(" \t");
  Parsed command{
      CanonicalHeader(text.substr(0, space)),
      space == std::string_view::npos ? std::string() : std::string(Trim(text.substr(space)))};
  FaultRule* rule = MatchFault(command);
  if (!rule) {
    response.reply = Run(command);
    return response;
  }
  response.delay = std::chrono::milliseconds(rule->delayMs);
  response.hold = rule->hold;
  if (rule->noAnswer) return response;
  if (rule->reset) {
    response.reset = true;
    return response;
  }
  if (rule->error) {
    QueueError(*rule->error, rule->message);
  } else if (rule->reply) {
    response.reply = *rule->reply + "\n";
  } else {
    response.reply = Run(command);
  }
  response.closeAfter = rule->closeAfter;
  return response;
}

FaultRule* CommandInterpreter::MatchFault(const Parsed& command) {
  std::optional<std::string> path;
  std::optional<std::string> image;
  std::optional<int> slot;
  if (command.header == "CONF:FPGA") {
    size_t comma = command.params.find(',');
    if (comma != std::string::npos)
      if (auto inner = Unquote(std::string_view(command.params).substr(comma + 1)))
        path = drive_.Normalize(*inner, cwd_);
    if (path) image = fs::path(*path).filename().string();
    if (selectedSlot_ >= 0) slot = selectedSlot_;
  } else if (command.header == "INST:NSEL") {
    slot = ParseInt(command.params);
  } else if (auto inner = Unquote(command.params)) {
    path = drive_.Normalize(*inner, cwd_);
  }

  for (FaultRule& rule : scenario_.faults) {
    if (rule.times == 0) continue;
    if (!rule.command.empty() && CanonicalHeader(rule.command) != command.header) continue;
    if (rule.path) {
      std::string want = drive_.Normalize(*rule.path, "/F0:/").value_or(*rule.path);
      if (!path || *path != want) continue;
    }
    if (rule.slot && (!slot || *slot != *rule.slot)) continue;
    if (rule.image && (!image || *image != *rule.image)) continue;
    if (rule.times > 0) --rule.times;
    return &rule;
  }
  return nullptr;
}

std::optional<std::string> CommandInterpreter::Run(const Parsed& command) {
  const std::string& h = command.header;
  if (h == "*IDN?") return scenario_.identity + "\n";
  if (h == "*OPT?") return OptionReply() + "\n";
  if (h == "*CLS") {
    errors_.clear();
    return std::nullopt;
  }
  if (h == "SYST:ERR?" || h == "SYST:ERR:NEXT?") {
    if (errors_.empty()) return "0,\"No error\"\n";
    auto [code, message] = errors_.front();
    errors_.pop_front();
    return std::to_string(code) + ",\"" + message + "\"\n";
  }
  if (h == "MMEM:CDIR") {
    ChangeFolder(command.params);
    return std::nullopt;
  }
  if (h == "MMEM:CDIR?") return "\"" + cwd_ + "\"\n";
  if (h == "MMEM:MDIR") {
    MakeFolder(command.params);
    return std::nullopt;
  }
  if (h == "MMEM:CAT?") return Catalog(command.params);
  if (h == "INST:NSEL") {
    auto slot = ParseInt(command.params);
    if (!slot) {
      QueueError(command.params.empty() ? -109 : -102);
    } else if (*slot < 0 || *slot > 4) {
      QueueError(-222);
    } else {
      selectedSlot_ = *slot;
    }
    return std::nullopt;
  }
  if (h == "INST:NSEL?") return std::to_string(std::max(selectedSlot_, 0)) + "\n";
  if (h == "CONF:FPGA") {
    ConfigureFpga(command.params);
    return std::nullopt;
  }
  QueueError(-113);
  return std::nullopt;
}

void CommandInterpreter::QueueError(int code, std::string message) {
  if (message.empty()) message = StandardMessage(code);
  if (errors_.size() >= kErrorQueueLength) {
    errors_.back() = {-350, StandardMessage(-350)};
    return;
  }
  errors_.emplace_back(code, std::move(message));
}

std::optional<std::string> CommandInterpreter::QuotedPath(const std::string& params) {
  if (params.empty()) {
    QueueError(-109);
    return std::nullopt;
  }
  auto inner = Unquote(params);
  if (!inner) {
    QueueError(-102);
    return std::nullopt;
  }
  auto path = drive_.Normalize(*inner, cwd_);
  if (!path) QueueError(-257);
  return path;
}

std::optional<fs::path> CommandInterpreter::Local(const std::string& path) const {
  return drive_.Resolve(path, "/F0:/");
}

void CommandInterpreter::ChangeFolder(const std::string& params) {
  auto path = QuotedPath(params);
  if (!path) return;
  auto local = Local(*path);
  std::error_code ec;
  if (!local || !fs::is_directory(*local, ec)) {
    QueueError(-256);
    return;
  }
  cwd_ = *path;
}

void CommandInterpreter::MakeFolder(const std::string& params) {
  auto path = QuotedPath(params);
  if (!path) return;
  auto local = Local(*path);
  bool isDrive = *path == "/F0:/" || path->find('/') == std::string::npos;
  if (!local || isDrive) {
    QueueError(-257);  // outside the root, or a drive itself
    return;
  }
  std::error_code ec;
  if (!fs::is_directory(local->parent_path(), ec)) {
    QueueError(-256);
    return;
  }
  if (fs::exists(fs::symlink_status(*local, ec))) {
    QueueError(-257);
    return;
  }
  if (!fs::create_directory(*local, ec) || ec) QueueError(-250);
}

std::pair<uint64_t, uint64_t> CommandInterpreter::FlashUsedAndFree() const {
  DriveUsage usage = drive_.Usage("F0:", scenario_.FlashCapacity());
  return {usage.used, usage.free};
}

std::optional<std::string> CommandInterpreter::Catalog(const std::string& params) {
  std::optional<std::string> path = params.empty() ? std::optional(cwd_) : QuotedPath(params);
  DriveUsage usage =
      drive_.Usage(path && path->rfind("N0:", 0) == 0 ? "N0:" : "F0:", scenario_.FlashCapacity());
  std::string reply = std::to_string(usage.used) + "," + std::to_string(usage.free);
  std::optional<fs::path> local;
  if (path) local = Local(*path);
  std::error_code ec;
  if (path && (!local || !fs::is_directory(*local, ec))) QueueError(-256);
  if (local && fs::is_directory(*local, ec)) {
    std::vector<std::pair<std::string, std::string>> entries;  // name, "TYPE,size"
    for (fs::directory_iterator it(*local, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      // A name the reply format cannot carry is left out.
      if (name.find_first_of(std::string_view("\"\r\n\0", 4)) != std::string::npos) continue;
      // A store in progress is no file on the drive until it completes.
      if (StoreFile::IsTemporaryName(name)) continue;
      std::error_code typeError;
      if (it->is_directory(typeError)) {
        entries.emplace_back(name, "DIR,0");
      } else if (it->is_regular_file(typeError)) {
        entries.emplace_back(name, "BIN," + std::to_string(it->file_size(typeError)));
      }
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& [name, rest] : entries) {
      switch (scenario_.catalogueForm) {
        case CatalogueForm::kQuotedName:
          reply += ",\"" + name + "\"," + rest;
          break;
        case CatalogueForm::kQuotedEntry:
          reply += ",\"" + name + "," + rest + "\"";
          break;
        case CatalogueForm::kNamesOnly:
          reply += ",\"" + name + "\"";
          break;
      }
    }
  }
  return reply + "\n";
}

void CommandInterpreter::ConfigureFpga(const std::string& params) {
  size_t comma = params.find(',');
  if (params.empty()) {
    QueueError(-109);
    return;
  }
  auto index = ParseInt(std::string_view(params).substr(0, comma));
  if (!index || comma == std::string::npos) {
    QueueError(-102);
    return;
  }
  if (*index < 0 || *index > 3) {
    QueueError(-222);
    return;
  }
  auto path = QuotedPath(std::string(Trim(std::string_view(params).substr(comma + 1))));
  if (!path) return;
  auto local = Local(*path);
  std::error_code ec;
  if (path->rfind("N0:/", 0) != 0 || !local || !fs::is_regular_file(*local, ec)) {
    QueueError(-256);  // the image must have been stored on N0: first
    return;
  }
  bool fitted = std::any_of(scenario_.slots.begin(), scenario_.slots.end(),
                            [&](const SlotSpec& s) { return s.slot == selectedSlot_; });
  if (selectedSlot_ < 0 || !fitted) QueueError(-241);
}

std::string CommandInterpreter::OptionReply() const {
  std::string reply;
  for (const auto& s : scenario_.slots) {
    if (!reply.empty()) reply += ',';
    reply +=
        "\"" + s.model + ":" + std::to_string(s.slot) + ":" + s.hardware + ":" + s.firmware + "\"";
  }
  return reply;
}

}  // namespace sim
