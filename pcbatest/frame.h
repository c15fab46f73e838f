// The frame every test step runs in: the argument list, the response line,
// the result codes, the echo of the command and the final report.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

// Result code of one test step. Negative values are the failures that the
// report turns into an error line; any other value (0, a byte count, 1) is
// success.
using StepResult = int;
inline constexpr StepResult kStepWrongTest = -4;     // "Wrong test specified -> "
inline constexpr StepResult kStepWrongCommand = -3;  // "Wrong test command specified -> "
inline constexpr StepResult kStepWrongData = -2;     // "Wrong test data specified -> "
inline constexpr StepResult kStepIoFailure = -1;     // "Unable to open, read or write to file -> "
// The step changed the board and then failed before it was done (a fuse word
// burnt before the next one failed, part of an EEPROM written): a line of its
// own, so that a station tells a board that was changed from one that was
// left as it was.
inline constexpr StepResult kStepPartial = -5;  // "Board partly written, step not finished -> "
inline constexpr StepResult kStepSuccess = 0;
// The step has printed its own message and the program ends with status 1
// without a response line (the input devices of DIP and KEYPAD).
inline constexpr StepResult kStepAbort = -100;

// A fixed-size text buffer. Appends are bounded: what does not fit is cut and
// remembered, so that a caller building a shell command line can refuse it
// instead of running a truncated command.
template <std::size_t N>
class FixedText {
 public:
  static_assert(N > 1);

  void Append(std::string_view text) noexcept {
    std::size_t room = N - 1 - len_;
    std::size_t n = text.size();
    if (n > room) {
      n = room;
      cut_ = true;
    }
    if (n > 0) std::memcpy(buf_.data() + len_, text.data(), n);
    len_ += n;
    buf_[len_] = '\0';
  }
  void Append(char c) noexcept { Append(std::string_view(&c, 1)); }
  // Appends a number in decimal.
  void AppendUnsigned(unsigned long long value) noexcept {
    char digits[24];
    std::size_t pos = sizeof digits;
    do {
      digits[--pos] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Append(std::string_view(digits + pos, sizeof digits - pos));
  }
  void AppendSigned(long long value) noexcept {
    if (value < 0) {
      Append('-');
      AppendUnsigned(0ULL - static_cast<unsigned long long>(value));
    } else {
      AppendUnsigned(static_cast<unsigned long long>(value));
    }
  }
  // Overwrites the last character; does nothing on an empty buffer.
  void ReplaceLast(char c) noexcept {
    if (len_ > 0) buf_[len_ - 1] = c;
  }
  [[nodiscard]] std::string_view View() const noexcept { return {buf_.data(), len_}; }
  [[nodiscard]] const char* CStr() const noexcept { return buf_.data(); }
  [[nodiscard]] std::size_t Size() const noexcept { return len_; }
  // False once an append had to be cut.
  [[nodiscard]] bool Complete() const noexcept { return !cut_; }

 private:
  std::array<char, N> buf_{};
  std::size_t len_ = 0;
  bool cut_ = false;
};

// The response line the test station compares: 256 bytes with the terminator.
inline constexpr std::size_t kResponseLineSize = 256;
using ResponseLine = FixedText<kResponseLineSize>;

// Shell command lines are built in buffers of this size.
inline constexpr std::size_t kCommandSize = 100;
using CommandLine = FixedText<kCommandSize>;

// The positional arguments: 1 test, 2 step item, 3 data, 4 to 7 further
// values. An argument that was not given reads as an empty string.
class StepArgs {
 public:
  static constexpr int kMaxArgs = 7;

  StepArgs(int argc, char** argv) noexcept;
  [[nodiscard]] std::string_view Get(int index) const noexcept;
  [[nodiscard]] std::string_view Test() const noexcept { return Get(1); }
  [[nodiscard]] std::string_view Step() const noexcept { return Get(2); }
  [[nodiscard]] std::string_view Data() const noexcept { return Get(3); }
  // Number of arguments after the program name (all of them, even beyond 7).
  [[nodiscard]] int Count() const noexcept { return count_; }

 private:
  std::array<std::string_view, kMaxArgs + 1> args_{};
  int count_ = 0;
};

// Signature of a test handler: appends its echo and result to the line and
// returns the step's result code.
using TestHandler = StepResult (*)(const StepArgs& args, ResponseLine& line);

// Appends the echo of the command: arguments 1 to count joined by one space,
// followed by one more space when trailingSpace is set. Control bytes are
// shown as '?', so that the echo stays on one line.
void pcba_Echo(const StepArgs& args, ResponseLine& line, int count, bool trailingSpace);

// Prints the error line that belongs to result (if any), then the response
// line with a line end. Returns the exit status, which is 0 for every result.
int pcba_Report(StepResult result, const ResponseLine& line);

// Reads the arguments, prints help or runs one test step, and reports it.
// Returns the program's exit status: 1 for help output and for a missing
// input device, 0 otherwise.
int pcba_Dispatch(int argc, char** argv);
