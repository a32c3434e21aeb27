#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "upgrade/ending_notes.h"
#include "upgrade/upgrade_run.h"

// How a run ended, in the command line's words and JSON.

std::string Joined(const std::vector<std::string>& items, const char* separator);
// The exit code of a run's outcome; kNone (an error raised from below) gives kExitFailed.
int ExitCodeOf(RunOutcome outcome);
// The phase's name in JSON events and the report ("midFolders", ...).
const char* PhaseName(RunPhase phase);
// "V3.0 (level 300)" from a slot record's two numbers.
std::string Version(std::int16_t major, std::int16_t minor);
// The figures behind a refusal, as a sentence.
std::string RefusalText(const RunRefusal& refusal);
// The refusal's reason and figures as JSON.
nlohmann::ordered_json RefusalJson(const RunRefusal& refusal);
