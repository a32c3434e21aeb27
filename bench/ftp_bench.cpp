// Uploads a local folder tree with the FTP client, for the benchmark:
//   vx_ftp_bench [--passive] [--timeout MS] HOST PORT USER PASSWORD LOCAL_DIR REMOTE_DIR
// Each folder costs one MKD, each file PORT, STOR and the completion reply; remote paths are
// relative to the login folder. Prints "files bytes" on success; exits 1 with the error text.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "net/socket_error.h"

namespace fs = std::filesystem;

namespace {

struct Totals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

void UploadTree(ftp::TFtpClient& client, const fs::path& local, const std::string& remote,
                Totals& totals) {
  client.DoCommand("MKD " + remote);
  for (const auto& entry : fs::directory_iterator(local)) {
    std::string name = entry.path().filename().string();
    if (entry.is_directory()) {
      UploadTree(client, entry.path(), remote + "/" + name, totals);
    } else if (entry.is_regular_file()) {
      client.Upload(entry.path().string(), remote + "/" + name);
      ++totals.files;
      totals.bytes += entry.file_size();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  net::IgnoreSigpipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  ftp::TFtpClient client;
  client.TimeOut = 60000;
  while (!args.empty() && args.front().rfind("--", 0) == 0) {
    if (args.front() == "--passive") {
      client.Passive = true;
      args.erase(args.begin());
    } else if (args.front() == "--timeout" && args.size() > 1) {
      client.TimeOut = std::stoi(args[1]);
      args.erase(args.begin(), args.begin() + 2);
    } else {
      break;
    }
  }
  if (args.size() != 6) {
    std::cerr << "usage: vx_ftp_bench [--passive] [--timeout MS] HOST PORT USER PASSWORD "
                 "LOCAL_DIR REMOTE_DIR\n";
    return 2;
  }
  client.Host = args[0];
  client.Port = std::stoi(args[1]);
  client.UserID = args[2];
  client.Password = args[3];
  Totals totals;
  try {
    client.Connect();
    client.Mode(2);
    fs::path local = args[4];
    if (fs::is_directory(local)) {
      UploadTree(client, local, args[5], totals);
    } else {
      client.Upload(local.string(), args[5]);
      totals.files = 1;
      totals.bytes = fs::file_size(local);
    }
    client.Disconnect();
  } catch (const std::exception& e) {
    std::cerr << "vx_ftp_bench: " << e.what() << "\n";
    return 1;
  }
  std::cout << totals.files << " " << totals.bytes << "\n";
  return 0;
}
