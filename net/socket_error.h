#pragma once

#include <cerrno>
#include <string>

namespace net {

// Socket error numbers follow the classic Windows Sockets numbering, which the program's
// error texts use ("10061:Connection refused").
inline constexpr int kWouldBlock = 10035;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutDown = 10058;
inline constexpr int kConnectionRefused = 10061;

// True for the errno values of a non-blocking call that would have had to wait.
inline bool WouldBlock(int errnoValue) {
  return errnoValue == EAGAIN || errnoValue == EWOULDBLOCK;
}

// Maps a POSIX errno value onto the Windows Sockets number; EPIPE counts as a reset by the
// peer. An errno without a counterpart maps to 20000 + errno (reported as an unknown error).
int WinsockErrorNumber(int errnoValue);

// Maps a getaddrinfo() error onto the resolver numbers 11001 to 11004.
int ResolverErrorNumber(int gaiError);

// "number:text" from the error table, or "Unknown Error No. number".
std::string WinsockErrorText(int number);

// WinsockErrorText(WinsockErrorNumber(errnoValue)).
std::string PlatformErrorText(int errnoValue);

// Ignores SIGPIPE for the whole process: a peer that closes mid-send gives EPIPE instead of
// killing the program.
void IgnoreSigpipe();

}  // namespace net
