#pragma once

#include <string>

#include "instrument/message_sink.h"

namespace package {

using instrument::kIdNo;
using instrument::kIdOk;
using instrument::kIdYes;
using instrument::kMbIconError;
using instrument::kMbOk;
using instrument::kMbYesNoQuestion;

enum class Cursor { kDefault, kHourGlass };

// What the upgrade run and the package steps see of the operator: the status log, the
// progress bar, the cursor, modal message boxes (ShowMessage) and the module check boxes. The Qt
// window implements it; tests and the command-line front end implement it too.
class OperatorView : public instrument::MessageSink {
 public:
  ~OperatorView() override = default;

  // Status log.
  virtual void ClearLog() = 0;
  virtual void AddLogLine(const std::string& line) = 0;

  // Progress bar, range 0 to 100.
  virtual void SetProgress(int position) = 0;

  // Cursor of the window and of the status log.
  virtual void SetCursor(Cursor cursor) = 0;

  // Check box of a selectable module ("PNB5", "PCW5", "PCWX5", "SCW5", "SCWH5").
  virtual void SetCheckBox(const std::string& model, bool enabled, bool checked) = 0;
  virtual bool CheckBoxEnabled(const std::string& model) const = 0;
  virtual bool CheckBoxChecked(const std::string& model) const = 0;
};

}  // namespace package
