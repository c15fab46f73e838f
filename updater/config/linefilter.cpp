#include "config/linefilter.h"

#include "core/safefile.h"

namespace kv {

LineVerdict LineBeginsWith(std::string_view prefix, std::string_view head, bool complete) {
  const std::size_t n = head.size() < prefix.size() ? head.size() : prefix.size();
  if (head.substr(0, n) != prefix.substr(0, n)) return LineVerdict::kPassed;
  if (head.size() >= prefix.size()) return LineVerdict::kSelected;
  return complete ? LineVerdict::kPassed : LineVerdict::kUndecided;
}

void PieceReader::Feed(std::string_view text) {
  while (!text.empty()) {
    const std::size_t room = max_ - current_.size();
    const std::size_t newline = text.substr(0, room).find('\n');
    const std::size_t take =
        newline == std::string_view::npos ? (text.size() < room ? text.size() : room) : newline + 1;
    current_.append(text.substr(0, take));
    text.remove_prefix(take);
    if (newline != std::string_view::npos || current_.size() == max_) {
      last_.swap(current_);
      current_.clear();
      any_ = true;
    }
  }
}

void PieceReader::Finish() {
  if (current_.empty()) return;
  last_.swap(current_);
  current_.clear();
  any_ = true;
}

std::string_view PieceReader::last() const {
  const std::string_view v(last_);
  return v.substr(0, v.find('\0'));
}

Status FilterLines(const char* path, const LineDecider& decide, const std::function<void(std::string_view)>& emit) {
  // Read whole, with a cap: a link, a FIFO or a folder at the name, or a file
  // beyond the cap, is refused before a line is looked at.
  const Result<std::string> text = safefile_Read(path, kSafeFileTextCap);
  if (!text) return text.error();
  std::string head;  // the undecided beginning of the current line
  LineVerdict verdict = LineVerdict::kUndecided;
  bool inLine = false;
  std::string_view data(text.value());
  while (!data.empty()) {
    inLine = true;
    const std::size_t newline = data.find('\n');
    const std::string_view part = data.substr(0, newline);
    if (verdict == LineVerdict::kUndecided) {
      head.append(part);
      verdict = decide(head, newline != std::string_view::npos);
      if (verdict == LineVerdict::kSelected) emit(head);
    } else if (verdict == LineVerdict::kSelected) {
      emit(part);
    }
    if (newline == std::string_view::npos) break;
    if (verdict == LineVerdict::kSelected) emit("\n");
    data.remove_prefix(newline + 1);
    head.clear();
    verdict = LineVerdict::kUndecided;
    inLine = false;
  }
  // A last line without its line feed.
  if (inLine && verdict == LineVerdict::kUndecided && decide(head, true) == LineVerdict::kSelected) emit(head);
  return Ok();
}

}  // namespace kv
