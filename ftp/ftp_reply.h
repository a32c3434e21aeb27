#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ftp {

// The kind of FTP operation carried by the client's notifications. The ordinals are fixed: the
// session selects its messages by them.
enum TCmdType {
  cmdChangeDir = 0,
  cmdMakeDir = 1,
  cmdDelete = 2,
  cmdRemoveDir = 3,
  cmdList = 4,
  cmdRename = 5,
  cmdUploadRestore = 6,
  cmdDownloadRestore = 7,
  cmdDownload = 8,
  cmdUpload = 9,
  cmdUploadAppend = 10,
  cmdReinitialize = 11,
  cmdAllocate = 12,
  cmdNList = 13,
  cmdDoCommand = 14,
  cmdCurrentDir = 15,
};

// Longest line, line end included, that is read from or written to a peer.
inline constexpr std::size_t kMaxLineBytes = 65536;

// Most lines one reply may have, its continuation lines included.
inline constexpr std::size_t kMaxReplyLines = 10000;

// The reply code from a reply line's leading digits (at most ten are read); 0 when the line
// starts with no digit. A code that does not fit a 16-bit signed integer is a malformed reply
// and raises ESockError.
int ParseReplyCode(std::string_view line);

// The class of a reply line, 1 to 5 (the first digit of its code), when it begins with exactly
// three digits followed by a space, "-" or the line end; 0 for a line without a valid code.
int ReplyClass(std::string_view line);

// True when the line belongs to a multi-line reply and more lines follow: its first character
// is a space or its fourth is "-".
bool IsContinuationLine(std::string_view line);

// The kind of a command line: by its first word ("CWD", "DELE", "MKD", "RMD", compared with
// letter case), "PWD" exactly for the current directory, else a plain command.
TCmdType CommandKind(std::string_view line);

// The data port named by a passive-mode reply: the fifth and sixth comma-separated fields (the
// sixth up to ")"), each 0 to 255. Nothing when the reply does not hold them.
std::optional<int> ParsePasvPort(std::string_view reply);

// "192,168,0,10" for 192.168.0.10: a local address as the PORT command names it.
std::string PortAddressText(const in_addr& address);

// ",19,137" for port 5001: the port as the PORT command names it.
std::string PortNumberText(int port);

// The name part of a local path: the text after its last "/".
std::string NamePart(std::string_view path);

// Throws ECommandRefused when `line` cannot go out as one command line: it holds CR, LF or NUL,
// or it is longer than a line may be. `shown` is what the error text names (a password line
// passes "PASS ").
void CheckCommandLine(std::string_view line, std::string_view shown);

}  // namespace ftp
