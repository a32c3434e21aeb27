#include "sim/scenario.h"

#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string_view>

#include "sim/ftp_scenario.h"

namespace sim {
namespace {

using nlohmann::json;

// Deeper than any scenario needs ("ftp" / "store" / a rule is three levels).
constexpr int kMaxDepth = 32;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error("scenario: " + where + ": " + what);
}

// Rejects keys the format does not know, so a misspelt fault is not silently ignored.
void RequireKeys(const json& object, const std::string& where,
                 std::initializer_list<std::string_view> known) {
  if (!object.is_object()) Fail(where, "must be an object");
  for (const auto& [key, value] : object.items()) {
    bool ok = key == "comment";
    for (auto k : known) ok = ok || key == k;
    if (!ok) Fail(where, "unknown key \"" + key + "\"");
  }
}

std::string Text(const json& object, const char* key, const std::string& where) {
  const json& v = object.at(key);
  if (!v.is_string()) Fail(where + "." + key, "must be a string");
  return v.get<std::string>();
}

long long Integer(const json& object, const char* key, const std::string& where) {
  const json& v = object.at(key);
  if (!v.is_number_integer()) Fail(where + "." + key, "must be an integer");
  return v.get<long long>();
}

uint64_t Bytes(const json& object, const char* key, const std::string& where) {
  long long v = Integer(object, key, where);
  if (v < 0) Fail(where + "." + key, "must not be negative");
  return static_cast<uint64_t>(v);
}

SlotSpec ParseSlot(const json& j, const std::string& where) {
  RequireKeys(j, where, {"slot", "model", "hardware", "firmware"});
  SlotSpec s;
  try {
    s.slot = static_cast<int>(Integer(j, "slot", where));
    s.model = Text(j, "model", where);
    s.hardware = Text(j, "hardware", where);
    s.firmware = Text(j, "firmware", where);
  } catch (const json::out_of_range&) {
    Fail(where, "needs slot, model, hardware and firmware");
  }
  return s;
}

FaultRule ParseFault(const json& j, const std::string& where) {
  RequireKeys(j, where,
              {"command", "path", "slot", "image", "times", "delayMs", "hold", "noAnswer", "reset",
               "error", "message", "reply", "closeAfter"});
  FaultRule f;
  auto has = [&](const char* key) { return j.contains(key); };
  auto flag = [&](const char* key) {
    if (!j.at(key).is_boolean()) Fail(where + "." + key, "must be true or false");
    return j.at(key).get<bool>();
  };
  if (has("command")) f.command = Text(j, "command", where);
  if (has("path")) f.path = Text(j, "path", where);
  if (has("slot")) f.slot = static_cast<int>(Integer(j, "slot", where));
  if (has("image")) f.image = Text(j, "image", where);
  if (has("times")) f.times = static_cast<int>(Integer(j, "times", where));
  if (has("delayMs")) f.delayMs = static_cast<int>(Integer(j, "delayMs", where));
  if (has("hold")) f.hold = flag("hold");
  if (has("noAnswer")) f.noAnswer = flag("noAnswer");
  if (has("reset")) f.reset = flag("reset");
  if (has("error")) f.error = static_cast<int>(Integer(j, "error", where));
  if (has("message")) f.message = Text(j, "message", where);
  if (has("reply")) f.reply = Text(j, "reply", where);
  if (has("closeAfter")) f.closeAfter = static_cast<size_t>(Bytes(j, "closeAfter", where));
  if (f.delayMs < 0) Fail(where + ".delayMs", "must not be negative");
  return f;
}

}  // namespace

Scenario ScenarioFromJson(const json& document) {
  RequireKeys(document, "top level", {"identity", "slots", "drive", "faults", "ftp"});
  Scenario s;
  s.raw = document;
  if (document.contains("identity")) s.identity = Text(document, "identity", "top level");
  if (document.contains("slots")) {
    const json& slots = document.at("slots");
    if (!slots.is_array()) Fail("slots", "must be an array");
    s.slots.clear();
    for (size_t i = 0; i < slots.size(); ++i)
      s.slots.push_back(ParseSlot(slots[i], "slots[" + std::to_string(i) + "]"));
  }
  if (document.contains("drive")) {
    const json& drive = document.at("drive");
    RequireKeys(drive, "drive", {"total", "free", "systemFolder", "catalogue"});
    if (drive.contains("total")) s.totalBytes = Bytes(drive, "total", "drive");
    if (drive.contains("free")) s.freeBytes = Bytes(drive, "free", "drive");
    if (drive.contains("systemFolder")) {
      if (!drive.at("systemFolder").is_boolean())
        Fail("drive.systemFolder", "must be true or false");
      s.systemFolder = drive.at("systemFolder").get<bool>();
    }
    if (drive.contains("catalogue")) {
      const std::string form = Text(drive, "catalogue", "drive");
      if (form == "quoted-name") {
        s.catalogueForm = CatalogueForm::kQuotedName;
      } else if (form == "quoted-entry") {
        s.catalogueForm = CatalogueForm::kQuotedEntry;
      } else if (form == "names") {
        s.catalogueForm = CatalogueForm::kNamesOnly;
      } else {
        Fail("drive.catalogue", "must be \"quoted-name\", \"quoted-entry\" or \"names\"");
      }
    }
    if (s.totalBytes && s.freeBytes && *s.freeBytes > *s.totalBytes)
      Fail("drive", "free is larger than total");
  }
  if (document.contains("faults")) {
    const json& faults = document.at("faults");
    if (!faults.is_array()) Fail("faults", "must be an array");
    for (size_t i = 0; i < faults.size(); ++i)
      s.faults.push_back(ParseFault(faults[i], "faults[" + std::to_string(i) + "]"));
  }
  return s;
}

Scenario LoadScenario(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("scenario: cannot open " + path.string());
  try {
    // Nesting is bounded while parsing: copying or comparing a document recurses once per
    // level, and a file of a few kilobytes of "[" would exhaust the stack.
    json document = json::parse(in, [](int depth, json::parse_event_t, json&) {
      if (depth > kMaxDepth)
        throw std::runtime_error("nested deeper than " + std::to_string(kMaxDepth) + " levels");
      return true;
    });
    Scenario scenario = ScenarioFromJson(document);
    if (document.contains("ftp")) ParseFtpBehaviour(document.at("ftp"));
    return scenario;
  } catch (const std::exception& e) {
    // Every fault names the file, the JSON library's own (a number too large for a double).
    std::string what = e.what();
    for (std::string_view prefix : {"scenario: ", "scenario "})
      if (what.starts_with(prefix)) what.erase(0, prefix.size());
    throw std::runtime_error("scenario: " + path.string() + ": " + what);
  }
}

}  // namespace sim
