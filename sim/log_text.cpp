#include "sim/log_text.h"

#include <mutex>

#include "net/text.h"

namespace sim {
namespace {

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string LogText(std::string_view text, std::size_t maxBytes) {
  std::string out;
  std::size_t shown = 0;
  for (; shown < text.size(); ++shown) {
    std::size_t before = out.size();
    net::AppendPrintableText(out, text.substr(shown, 1));
    if (out.size() > maxBytes) {
      out.resize(before);
      break;
    }
  }
  if (shown == text.size()) return out;
  // Back to the first byte of a character cut in two (at most three bytes back; bytes from
  // 0x80 up are shown as they are, one each).
  for (int back = 0; back < 3 && shown > 0 && IsContinuationByte(text[shown]); ++back) {
    --shown;
    out.pop_back();
  }
  return out + " ... " + std::to_string(text.size() - shown) + " more bytes";
}

void LogLine(std::ostream& log, std::string_view server, std::string_view text) {
  static std::mutex logMutex;
  std::lock_guard lock(logMutex);
  log << "vx500-sim " << server << ": " << text << '\n';
}

}  // namespace sim
