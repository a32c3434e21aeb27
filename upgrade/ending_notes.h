#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/upgrade_run.h"

// What the front ends say about how a run ended, in the same words in the window's log and on
// the command line.

// A byte count as a person reads it: bytes below a megabyte, else megabytes.
std::string Size(std::int64_t bytes);

// What the run left written on the instrument, as a sentence that names only what the run
// counted as written: `copiedBytes` of files copied, and `letFinish` when a stop let an awaited
// configuration finish.
std::string WrittenSummary(const UpgradeResult& run, std::int64_t copiedBytes, bool letFinish);

// Why an error raised from below ended a run: the connection's diagnostic (channel, address,
// port and cause) when there is one, then the upload under way (`upload`, "LOCAL to PATH") with
// the error's text.
std::vector<std::string> ErrorNotes(const std::string& connectDiagnostic,
                                    const std::optional<std::string>& upload,
                                    const std::string& error);

// Where a stop ended a run: the upload under way, or else the text of the error it raised.
std::string StoppedNote(const std::optional<std::string>& upload, const std::string& error);
