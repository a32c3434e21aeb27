#pragma once

#include <string>

namespace package {

// Message-box flags and answers, with the classic values the run is written with.
inline constexpr int kMbOk = 0;              // OK button, no icon
inline constexpr int kMbIconError = 16;      // OK button, error icon
inline constexpr int kMbYesNoQuestion = 36;  // Yes and No buttons, question icon
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

enum class Cursor { kDefault, kHourGlass };

// What the upgrade run and the package steps see of the operator: the status log, the
// progress bar, the cursor, modal message boxes and the module check boxes. The Qt window
// implements it; tests and the command-line front end implement it too.
class OperatorView {
 public:
  virtual ~OperatorView() = default;

  // Status log.
  virtual void ClearLog() = 0;
  virtual void AddLogLine(const std::string& line) = 0;

  // Progress bar, range 0 to 100.
  virtual void SetProgress(int position) = 0;

  // Cursor of the window and of the status log.
  virtual void SetCursor(Cursor cursor) = 0;

  // Modal message box; returns the answer (kIdOk, kIdYes or kIdNo).
  virtual int ShowMessage(const std::string& text, const std::string& caption, int flags) = 0;

  // Check box of a selectable module ("PNB5", "PCW5", "PCWX5", "SCW5", "SCWH5").
  virtual void SetCheckBox(const std::string& model, bool enabled, bool checked) = 0;
  virtual bool CheckBoxEnabled(const std::string& model) const = 0;
  virtual bool CheckBoxChecked(const std::string& model) const = 0;
};

}  // namespace package
