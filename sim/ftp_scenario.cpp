#include "sim/ftp_scenario.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace sim {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

[[noreturn]] void Bad(const std::string& where, const std::string& what) {
  throw std::runtime_error("scenario \"ftp\"." + where + ": " + what);
}

template <typename T>
T Get(const nlohmann::json& object, const char* key, const std::string& where, T fallback) {
  if (!object.contains(key)) return fallback;
  try {
    return object.at(key).get<T>();
  } catch (const nlohmann::json::exception&) {
    Bad(where + "." + key, "wrong type");
  }
}

const nlohmann::json& List(const nlohmann::json& ftp, const char* key) {
  static const nlohmann::json empty = nlohmann::json::array();
  if (!ftp.contains(key)) return empty;
  const auto& list = ftp.at(key);
  if (!list.is_array()) Bad(key, "must be a list");
  for (const auto& item : list)
    if (!item.is_object() && std::string_view(key) != "greeting") Bad(key, "entries are objects");
  return list;
}

FtpStoreFault FaultNamed(const std::string& name, const std::string& where) {
  if (name == "truncate") return FtpStoreFault::kTruncate;
  if (name == "never_connect") return FtpStoreFault::kNeverConnect;
  if (name == "close_early") return FtpStoreFault::kCloseEarly;
  if (name == "stall") return FtpStoreFault::kStall;
  if (name == "reset") return FtpStoreFault::kReset;
  Bad(where + ".fault", "unknown fault \"" + name + "\"");
}

}  // namespace

FtpBehaviour ParseFtpBehaviour(const nlohmann::json& ftp) {
  if (!ftp.is_object()) Bad("", "must be an object");
  static const char* known[] = {"greeting", "refuse", "delay", "store"};
  for (const auto& [key, value] : ftp.items()) {
    if (std::find(std::begin(known), std::end(known), key) == std::end(known))
      Bad(key, "unknown key");
  }
  FtpBehaviour behaviour;
  if (ftp.contains("greeting")) {
    behaviour.greeting.clear();
    for (const auto& line : List(ftp, "greeting")) {
      if (!line.is_string()) Bad("greeting", "lines are strings");
      behaviour.greeting.push_back(line.get<std::string>());
    }
    if (behaviour.greeting.empty()) Bad("greeting", "needs at least one line");
  }
  int index = 0;
  for (const auto& item : List(ftp, "refuse")) {
    std::string where = "refuse[" + std::to_string(index++) + "]";
    FtpRefusal refusal;
    refusal.command = Upper(Get<std::string>(item, "command", where, ""));
    if (refusal.command.empty()) Bad(where + ".command", "missing");
    refusal.pattern = Get<std::string>(item, "pattern", where, "");
    refusal.code = Get<int>(item, "code", where, 550);
    if (refusal.code < 100 || refusal.code > 999) Bad(where + ".code", "not a reply code");
    refusal.text = Get<std::string>(item, "text", where, "");
    behaviour.refusals.push_back(std::move(refusal));
  }
  index = 0;
  for (const auto& item : List(ftp, "delay")) {
    std::string where = "delay[" + std::to_string(index++) + "]";
    FtpDelay delay;
    delay.command = Upper(Get<std::string>(item, "command", where, ""));
    if (delay.command.empty()) Bad(where + ".command", "missing");
    delay.pattern = Get<std::string>(item, "pattern", where, "");
    delay.ms = Get<int>(item, "ms", where, 0);
    if (delay.ms < 0) Bad(where + ".ms", "negative");
    delay.hold = Get<bool>(item, "hold", where, false);
    behaviour.delays.push_back(std::move(delay));
  }
  index = 0;
  for (const auto& item : List(ftp, "store")) {
    std::string where = "store[" + std::to_string(index++) + "]";
    FtpStoreRule rule;
    rule.pattern = Get<std::string>(item, "pattern", where, "");
    rule.fault = FaultNamed(Get<std::string>(item, "fault", where, ""), where);
    rule.bytes = Get<std::uint64_t>(item, "bytes", where, 0);
    rule.code = Get<int>(item, "code", where, rule.fault == FtpStoreFault::kReset ? 451 : 552);
    rule.text = Get<std::string>(item, "text", where, "");
    behaviour.storeRules.push_back(std::move(rule));
  }
  return behaviour;
}

bool FtpPatternMatches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return true;
  return ::fnmatch(std::string(pattern).c_str(), std::string(text).c_str(), 0) == 0;
}

}  // namespace sim
