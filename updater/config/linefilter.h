// Line filters over the device's small text files ("/image_info",
// "sshd_config", the systemd network files), run inside the daemon.
//
// Each filter selects the lines of a file by their beginning and hands the
// selected text to a reader that takes it in pieces the way a fixed line
// buffer does: a piece ends after a line feed or when the buffer is full, and
// a piece is text only up to its first NUL byte. A file is read whole through
// safefile_Read with the cap kSafeFileTextCap: these files are a few KiB at
// most, and whatever else stands at their names is refused unread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace kv {

// How a line's beginning decides whether the line is selected.
enum class LineVerdict { kUndecided, kSelected, kPassed };

// Decides from the beginning of a line (without its line feed). complete is
// true when head is the whole line; the decider must then not answer
// kUndecided.
using LineDecider = std::function<LineVerdict(std::string_view head, bool complete)>;

// Selects lines that begin with prefix.
LineVerdict LineBeginsWith(std::string_view prefix, std::string_view head, bool complete);

// Takes selected text in the pieces a buffer of bufferSize bytes (pieces of
// at most bufferSize - 1 characters) would read, and keeps the last one.
class PieceReader {
 public:
  explicit PieceReader(std::size_t bufferSize) : max_(bufferSize > 1 ? bufferSize - 1 : 1) {}
  void Feed(std::string_view text);
  // Ends the text: an unfinished piece counts as the last one.
  void Finish();
  // Whether any piece was read.
  [[nodiscard]] bool any() const { return any_; }
  // The last piece, up to its first NUL byte.
  [[nodiscard]] std::string_view last() const;

 private:
  std::size_t max_;
  std::string current_;
  std::string last_;
  bool any_ = false;
};

// Reads the file and passes each selected line to emit, in pieces: the
// line's text and then its line feed (a last line without one is passed
// without). Returns the error of safefile_Read when the file is missing,
// cannot be opened or read, is not a regular file or is larger than the cap;
// nothing is emitted then.
Status FilterLines(const char* path, const LineDecider& decide, const std::function<void(std::string_view)>& emit);

}  // namespace kv
