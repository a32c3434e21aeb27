#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "package/operator_view.h"

namespace vxtest {

// An operator view that records what it is told and answers message boxes from a script.
class RecordingView : public package::OperatorView {
 public:
  struct Message {
    std::string text;
    std::string caption;
    int flags = 0;
  };
  struct Box {
    bool enabled = false;
    bool checked = false;
  };

  std::vector<std::string> log;
  int progress = 0;
  package::Cursor cursor = package::Cursor::kDefault;
  std::vector<Message> messages;
  std::deque<int> answers;  // next answers; kIdOk (or kIdYes for Yes/No) when empty
  std::map<std::string, Box> boxes;
  int checkBoxCalls = 0;

  void ClearLog() override { log.clear(); }
  // Called with each log line as it is added (a test that changes the release mid-copy).
  std::function<void(const std::string&)> onLogLine;
  void AddLogLine(const std::string& line) override {
    log.push_back(line);
    if (onLogLine) onLogLine(line);
  }
  void SetProgress(int position) override { progress = position; }
  void SetCursor(package::Cursor c) override { cursor = c; }
  int ShowMessage(const std::string& text, const std::string& caption, int flags) override {
    messages.push_back({text, caption, flags});
    if (answers.empty()) {
      return flags == package::kMbYesNoQuestion ? package::kIdYes : package::kIdOk;
    }
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void SetCheckBox(const std::string& model, bool enabled, bool checked) override {
    ++checkBoxCalls;
    boxes[model] = {enabled, checked};
  }
  bool CheckBoxEnabled(const std::string& model) const override {
    const auto it = boxes.find(model);
    return it != boxes.end() && it->second.enabled;
  }
  bool CheckBoxChecked(const std::string& model) const override {
    const auto it = boxes.find(model);
    return it != boxes.end() && it->second.checked;
  }
};

}  // namespace vxtest
