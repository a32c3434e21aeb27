#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"

// The notice of a catalogue that gives names without sizes, after a copy that was to be verified.
inline constexpr char kNoSizesNotVerified[] =
    "the instrument's catalogue lists no sizes; the copy was not verified";
// The same for a comparison, which then compares names only.
inline constexpr char kNoSizesNamesOnly[] =
    "the instrument's catalogue lists no sizes; only the names were compared";

// One file as the instrument's catalogue lists it beside the size it should have.
struct FileOnInstrument {
  std::string path;                    // its instrument path
  std::int64_t expectedBytes = 0;      // the size sent, or the release's size
  bool missing = false;                // the name is not listed
  bool listedAsFolder = false;         // the name is listed, but as a folder
  std::optional<std::int64_t> listed;  // the size listed as a file's, if one is
};

// The instrument's catalogues of the folders that hold some files, read against those files.
struct CatalogueCheck {
  std::size_t foldersAsked = 0;  // folders holding some of the files whose catalogue was read
  // No entry in any catalogue gave a size, though entries were listed: only names can be told.
  bool namesOnly = false;
  std::vector<FileOnInstrument> matching;   // listed at the expected size (by name: namesOnly)
  std::vector<FileOnInstrument> missing;    // not listed
  std::vector<FileOnInstrument> differing;  // listed at another size, without one, or as a folder
  // Entries of those folders that are none of the files nor a folder on their paths.
  std::vector<std::string> extras;
  // Entries that could not be read; they match nothing.
  std::size_t unreadable = 0;

  bool AllMatch() const { return missing.empty() && differing.empty(); }
};

// A file that is not as expected, in words: its path, its size `expected` ("sent", "in the
// release") and what the catalogue lists ("not listed", "1000 listed", "listed as a folder",
// "listed without a size").
std::string MismatchText(const FileOnInstrument& file, const char* expected);

// The instrument folder that holds the file at `path` ("/F0:/SYSTEM/MID1/NAME" gives
// "/F0:/SYSTEM/MID1"; a file on the drive's root gives the drive "/F0:/").
std::string InstrumentFolderOf(const std::string& path);

// Asks the catalogue of every folder that holds one of `files` once, in the order the files
// first name them, and reads each file against it: a file matches when its name is listed
// (exactly so) at its size, or by its name alone when no catalogue gives sizes. A folder is
// asked only once the catalogue of its parent (from the drive "/F0:/" down, each asked once)
// lists it; the files of one that is not listed are missing. Errors of the command channel
// pass through.
CatalogueCheck CheckCatalogues(instrument::TfrmVX500& session,
                               const std::vector<package::RemoteFile>& files);

// What an upgrade of `modules` from `release` sends, in its order: the NAME file of every MID
// folder, the system tree and the module trees, each file with the size it has now. The NAME
// files are listed all, also those an upgrade would find in place and leave.
std::vector<package::RemoteFile> PlanUpgrade(const package::ReleaseRoot& release,
                                             const package::ModuleList& modules);

// Adds to `plan` the system tree and the module trees of PlanUpgrade: the files that the
// copy phases send, whose bytes the progress counts.
void AddTreesToPlan(const package::ReleaseRoot& release, const package::ModuleList& modules,
                    std::vector<package::RemoteFile>& plan);

// The sum of the files' sizes.
std::int64_t BytesOf(const std::vector<package::RemoteFile>& files);
