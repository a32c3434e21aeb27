#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/drive.h"

namespace sim {

// One slot of the instrument as "*OPT?" reports it; versions are kept as written ("2.10").
struct SlotSpec {
  int slot = 0;
  std::string model;
  std::string hardware;
  std::string firmware;
};

// A scripted misbehaviour: which command lines it matches, and what happens instead.
struct FaultRule {
  // Match. `command` is a command header in any spelling ("SYSTEM:ERR?", ":syst:err?");
  // empty matches every line.
  std::string command;
  std::optional<std::string> path;   // the quoted path parameter, as an instrument path
  std::optional<int> slot;           // INST:NSEL's slot, or the selected slot for CONF:FPGA
  std::optional<std::string> image;  // CONF:FPGA's image name, without "N0:"
  int times = -1;                    // how many lines it fires on; -1 for every one

  // Effects, applied in this order.
  int delayMs = 0;                   // wait before answering
  bool hold = false;                 // then wait until the server is released (Release())
  bool noAnswer = false;             // drop the line: no effect, no reply
  bool reset = false;                // abort the connection (TCP reset)
  std::optional<int> error;          // queue this error instead of the command's effect
  std::string message;               // its text; empty for the standard text
  std::optional<std::string> reply;  // reply this text (a line feed is added) instead
  std::optional<size_t> closeAfter;  // send only this many reply bytes, then close
};

// How a catalogue lists each entry after the two figures.
enum class CatalogueForm {
  kQuotedName,   // "NAME",TYPE,SIZE
  kQuotedEntry,  // "NAME,TYPE,SIZE"
  kNamesOnly,    // "NAME"
};

// What the simulated instrument is: identity, slots, flash drive figures and faults.
struct Scenario {
  std::string identity = "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0";
  std::vector<SlotSpec> slots = {{0, "VX500", "1.0", "3.0"},
                                 {1, "RKS5", "3.0", "1.5"},
                                 {2, "PCW5", "2.0", "1.2"},
                                 {3, "PCWX5", "2.0", "1.0"}};
  // Drive "/F0:/": with both figures fixed, used = total - free. With one or none, used is
  // what is stored under F0: and the other figure follows (total defaults to 64 MiB).
  std::optional<uint64_t> totalBytes;
  std::optional<uint64_t> freeBytes;
  // The two figures as the drive model takes them.
  DriveCapacity FlashCapacity() const { return {totalBytes, freeBytes}; }

  // Whether a root without "/F0:/SYSTEM" gets one, as every instrument has it.
  bool systemFolder = true;
  CatalogueForm catalogueForm = CatalogueForm::kQuotedName;
  std::vector<FaultRule> faults;
  // The whole parsed document; the key "ftp" belongs to the FTP server.
  nlohmann::json raw = nlohmann::json::object();
};

// Reads a scenario from JSON (see sim/README.md); raises std::runtime_error naming the fault.
Scenario ScenarioFromJson(const nlohmann::json& document);
// Reads the scenario file at `path`, its "ftp" object included; raises std::runtime_error
// naming the file and the fault, for a malformed document too (a number out of range, nesting
// deeper than any scenario needs).
Scenario LoadScenario(const std::filesystem::path& path);

}  // namespace sim
