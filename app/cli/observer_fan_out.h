#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/session_observer.h"

// Passes every event of a session on to each of several observers, in the order added; lines
// and data connections only to those that watch them. Add them all before installing it.
class ObserverFanOut : public instrument::SessionObserver {
 public:
  void Add(instrument::SessionObserver* observer) {
    const unsigned watched = observer->Watches();
    watched_ |= watched;
    observers_.push_back(observer);
    if ((watched & kLines) != 0) lineObservers_.push_back(observer);
    if ((watched & kDataConnections) != 0) dataObservers_.push_back(observer);
  }

  unsigned Watches() const override { return watched_; }

  void ControlConnected(const std::string& peer) override {
    for (auto* o : lineObservers_) o->ControlConnected(peer);
  }
  void LineSent(std::string_view line) override {
    for (auto* o : lineObservers_) o->LineSent(line);
  }
  void LineReceived(std::string_view line) override {
    for (auto* o : lineObservers_) o->LineReceived(line);
  }
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override {
    for (auto* o : dataObservers_) o->DataConnectionEnded(record);
  }
  void FolderChanged(const std::string& folder) override {
    for (auto* o : observers_) o->FolderChanged(folder);
  }
  void CommandConnected(const std::string& peer) override {
    for (auto* o : lineObservers_) o->CommandConnected(peer);
  }
  void CommandSent(std::string_view line) override {
    for (auto* o : lineObservers_) o->CommandSent(line);
  }
  void ReplyReceived(std::string_view line) override {
    for (auto* o : lineObservers_) o->ReplyReceived(line);
  }
  void UploadStarted(const std::string& localPath, const std::string& remotePath) override {
    for (auto* o : observers_) o->UploadStarted(localPath, remotePath);
  }
  void UploadSource(const net::FileStamp& stamp) override {
    for (auto* o : observers_) o->UploadSource(stamp);
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
  unsigned watched_ = 0;
  std::vector<instrument::SessionObserver*> observers_;
  std::vector<instrument::SessionObserver*> lineObservers_;
  std::vector<instrument::SessionObserver*> dataObservers_;
};
