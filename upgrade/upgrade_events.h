#pragma once

#include <string>

#include "package/operator_view.h"
#include "upgrade/catalogue_check.h"

// Message-box flags and answers, with the classic values the program is written with.
inline constexpr int kMbOk = 0;              // OK button, no icon
inline constexpr int kMbIconError = 16;      // OK button, error icon
inline constexpr int kMbYesNoQuestion = 36;  // Yes and No buttons, question icon
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// The caption of the program's own message boxes and its window title.
inline constexpr char kUpgradeCaption[] = "VX500 Upgrade";
// The caption of the boxes that tell of a failed or unsupported FTP operation.
inline constexpr char kFtpCaption[] = "VX500 Upgrade ftp";

enum class Cursor { kDefault, kHourGlass };
enum class RunPhase;

// What an upgrade run tells its front end, which turns it into the window's log, bar and
// boxes or into terminal lines, JSON and records: status-log lines and progress (from the
// package steps), the cursor, message boxes with their answers, the compressed-signal
// question, a changed signal selection, and each phase as it begins.
class UpgradeEvents : public package::OperatorView {
 public:
  ~UpgradeEvents() override = default;

  virtual void ClearLog() = 0;
  virtual void SetCursor(Cursor cursor) = 0;
  // Shows `text` with `caption` and message-box `flags`; returns the answer (kIdOk, kIdYes or
  // kIdNo).
  virtual int ShowMessage(const std::string& text, const std::string& caption, int flags) = 0;
  // An FTP operation failed or is not supported; shown as an error box captioned kFtpCaption
  // unless overridden.
  virtual void FtpFailure(const std::string& text) { ShowMessage(text, kFtpCaption, kMbIconError); }
  // The compressed-signal question; true on Yes. Asked as a Yes/No box unless overridden.
  virtual bool AskCompressedSignals(const std::string& text) {
    return ShowMessage(text, kUpgradeCaption, kMbYesNoQuestion) == kIdYes;
  }
  // The run changed the signal selection (the compressed-signal question was answered Yes).
  virtual void SelectionChanged() {}
  // The run begins `phase` (a front end that records the run times it).
  virtual void PhaseStarted(RunPhase phase) { (void)phase; }
  // The files sent were read back from the instrument's catalogues.
  virtual void CopyVerified(const CatalogueCheck& check) { (void)check; }
  // The release was compared with the instrument's catalogues.
  virtual void ReleaseCompared(const CatalogueCheck& check) { (void)check; }
};
