#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "upgrade/upgrade_run.h"

namespace testsupport {

// The front end of a run without Qt: records everything a run (or a package step, or a
// session through SessionEventsShown) tells it and answers message boxes from a script.
class EventRecorder : public UpgradeEvents {
 public:
  struct Message {
    std::string text;
    std::string caption;
    int flags = 0;
    bool operator==(const Message&) const = default;
  };

  std::vector<std::string> log;
  // Called with each log line as it is added (a test that changes the release mid-copy).
  std::function<void(const std::string&)> onLogLine;
  package::CopyProgress progress;
  std::vector<int> positions;  // every progress position, in order
  Cursor cursor = Cursor::kDefault;
  std::vector<Message> messages;
  std::deque<int> answers;  // next answers; kIdOk (or kIdYes for Yes/No) when empty
  std::vector<RunPhase> phases;
  int selectionChanges = 0;

  void ClearLog() override { log.clear(); }
  void AddLogLine(const std::string& line) override {
    log.push_back(line);
    if (onLogLine) onLogLine(line);
  }
  void Progress(const package::CopyProgress& shown) override {
    progress = shown;
    positions.push_back(shown.position);
  }
  void SetCursor(Cursor shown) override { cursor = shown; }
  int ShowMessage(const std::string& text, const std::string& caption, int flags) override {
    messages.push_back({text, caption, flags});
    if (answers.empty()) return flags == kMbYesNoQuestion ? kIdYes : kIdOk;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void SelectionChanged() override { ++selectionChanges; }
  void PhaseStarted(RunPhase phase) override { phases.push_back(phase); }
};

}  // namespace testsupport
