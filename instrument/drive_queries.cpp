#include "instrument/tfrm_vx500.h"

#include "instrument/reply_parsers.h"

namespace instrument {

bool TfrmVX500::ChangeDirectory(const std::string& path) {
  RequireQuotable(path, "instrument path");
  // The command carries its own line feed, so none is added; long paths go out whole and the
  // instrument judges them.
  return SendChecked(":MMEM:CDIR \"" + path + "\"\n") == 0;
}

bool TfrmVX500::RemoteDirExists(const std::string& parent, const std::string& name) {
  RequireQuotable(name, "folder name");
  return ChangeDirectory(parent + "/" + name);
}

bool TfrmVX500::CatalogContains(const std::string& directory, const std::string& name) {
  RequireQuotable(name, "file name");
  return CatalogListsName(CatalogOf(directory), name);
}

bool TfrmVX500::MakeRemoteDir(const std::string& parent, const std::string& name) {
  RequireQuotable(name, "folder name");
  if (!ChangeDirectory(parent)) return false;
  SendCommand("MMEM:MDIR \"" + name + "\"");
  SendCommand(":SYSTEM:ERR?");
  // Only the first character is judged, so a malformed entry gives false, not an error.
  std::string reply = ReadReply();
  const bool made = !reply.empty() && reply.front() == '0';
  if (made && observer_) observer_->FolderMade(parent, name);
  return made;
}

int32_t TfrmVX500::FreeFlashBytes() {
  return CatalogFreeBytes(CatalogOf(kFlashDrive));
}

int32_t TfrmVX500::TotalFlashBytes() {
  return CatalogTotalBytes(CatalogOf(kFlashDrive));
}

Catalog TfrmVX500::ReadCatalog(const std::string& directory) {
  return ParseCatalogEntries(CatalogOf(directory));
}

std::string TfrmVX500::CatalogOf(const std::string& directory) {
  RequireQuotable(directory, "instrument path");
  SendCommand("MMEM:CAT? \"" + directory + "\"");
  return ReadReply();
}

}  // namespace instrument
