#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/session_observer.h"

// Passes every event of a session on to each of several observers, in the order added.
class ObserverFanOut : public instrument::SessionObserver {
 public:
  void Add(instrument::SessionObserver* observer) { observers_.push_back(observer); }

  void ControlConnected(const std::string& peer) override {
    for (auto* o : observers_) o->ControlConnected(peer);
  }
  void LineSent(std::string_view line) override {
    for (auto* o : observers_) o->LineSent(line);
  }
  void LineReceived(std::string_view line) override {
    for (auto* o : observers_) o->LineReceived(line);
  }
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override {
    for (auto* o : observers_) o->DataConnectionEnded(record);
  }
  void CommandConnected(const std::string& peer) override {
    for (auto* o : observers_) o->CommandConnected(peer);
  }
  void CommandSent(std::string_view line) override {
    for (auto* o : observers_) o->CommandSent(line);
  }
  void ReplyReceived(std::string_view line) override {
    for (auto* o : observers_) o->ReplyReceived(line);
  }
  void UploadStarted(const std::string& localPath, const std::string& remotePath) override {
    for (auto* o : observers_) o->UploadStarted(localPath, remotePath);
  }
  void UploadEnded(bool ok) override {
    for (auto* o : observers_) o->UploadEnded(ok);
  }
  void FolderMade(const std::string& parent, const std::string& name) override {
    for (auto* o : observers_) o->FolderMade(parent, name);
  }
  void FpgaConfigured(std::int16_t slot, std::int16_t index, const std::string& fileName,
                      std::int16_t result) override {
    for (auto* o : observers_) o->FpgaConfigured(slot, index, fileName, result);
  }

 private:
  std::vector<instrument::SessionObserver*> observers_;
};
