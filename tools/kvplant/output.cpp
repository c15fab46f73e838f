// The rollout's live table, its JSON lines and its final report.
#include "kvplant/output.h"

#include <cjson/cJSON.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/handles.h"
#include "kvid/kvid.h"

namespace kvplant {
namespace {

// Rows shown at most; the others are counted in one line.
constexpr std::size_t kMostRows = 30;

std::string Bar(int percent) {
  percent = std::max(0, std::min(100, percent));
  const auto full = static_cast<std::size_t>(percent / 5);
  std::string bar(22, '.');
  bar.front() = '[';
  bar.back() = ']';
  bar.replace(1, full, full, '#');
  return bar;
}

}  // namespace

Output::Output(bool json, const RolloutState& state)
    : table_(!json && ::isatty(STDOUT_FILENO) == 1), state_(state), rows_(state.controllers.size()) {
  if (table_) {
    painter_ = std::thread([this] {
      for (;;) {
        {
          const std::lock_guard<std::mutex> lock(m_);
          if (stop_) return;
          Draw();
        }
        timespec ts{0, 250 * 1000000L};
        ::nanosleep(&ts, nullptr);
      }
    });
  }
}

Output::~Output() {
  {
    const std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  if (painter_.joinable()) painter_.join();
}

void Output::Event(cJSON* event) {
  const kv::Json owned(event);
  if (table_) return;
  const kv::CMemory<char> text(cJSON_PrintUnformatted(event));
  if (!text) return;
  const std::lock_guard<std::mutex> lock(m_);
  std::printf("%s\n", text.get());
  std::fflush(stdout);
}

void Output::Row(std::size_t i, const ControllerView& view) {
  const std::lock_guard<std::mutex> lock(m_);
  static_cast<ControllerView&>(rows_[i]) = view;
}

void Output::Wave(int wave, const std::vector<std::size_t>& members) {
  const std::lock_guard<std::mutex> lock(m_);
  waveNumber_ = wave;
  wave_ = members;
  drawn_ = 0;
  if (table_) std::printf("wave %d: %zu controller%s\n", wave, members.size(), members.size() == 1 ? "" : "s");
}

void Output::EndWave() {
  const std::lock_guard<std::mutex> lock(m_);
  if (!table_) return;
  Draw();
  int ok = 0, failed = 0;
  for (const std::size_t i : wave_) {
    ok += state_.controllers[i].phase == Phase::kOk;
    failed += state_.controllers[i].phase == Phase::kFailed;
  }
  std::printf("wave %d: %d ok, %d failed, %zu not done\n", waveNumber_, ok, failed,
              wave_.size() - static_cast<std::size_t>(ok + failed));
  std::fflush(stdout);
  drawn_ = 0;
  wave_.clear();
}

void Output::Draw() {
  if (!table_ || wave_.empty()) return;
  std::string out;
  if (drawn_ > 0) out += "\x1b[" + std::to_string(drawn_) + "F\x1b[J";
  int lines = 0;
  for (std::size_t n = 0; n < wave_.size() && n < kMostRows; ++n) {
    const std::size_t i = wave_[n];
    const ControllerState& c = state_.controllers[i];
    char line[256];
    std::snprintf(line, sizeof line, "%-39.39s %-20.20s %-28.28s %s %3d%%\n", c.address.c_str(),
                  kvid::Shown(c.deviceName, false).c_str(), rows_[i].words.c_str(), Bar(rows_[i].percent).c_str(),
                  rows_[i].percent);
    out += line;
    ++lines;
  }
  if (wave_.size() > kMostRows) {
    out += "... and " + std::to_string(wave_.size() - kMostRows) + " more\n";
    ++lines;
  }
  drawn_ = lines;
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

int Output::Report(const RolloutState& s, bool interrupted) {
  const kv::Json report(ReportJson(s, interrupted));
  auto count = [](const cJSON* o, const char* name) {
    return static_cast<int>(cJSON_GetNumberValue(cJSON_GetObjectItemCaseSensitive(o, name)));
  };
  std::string text;
  const cJSON* w = nullptr;
  cJSON_ArrayForEach(w, cJSON_GetObjectItemCaseSensitive(report.get(), "waves")) {
    const int size = count(w, "size");
    text += "wave " + std::to_string(count(w, "wave")) + ": " + std::to_string(size) + " controller" +
            (size == 1 ? "" : "s") + ", " + std::to_string(count(w, "ok")) + " ok, " +
            std::to_string(count(w, "failed")) + " failed, " + std::to_string(count(w, "not_done")) + " not done\n";
  }
  std::string failedText, skippedText;
  for (const ControllerState& c : s.controllers) {
    if (c.phase != Phase::kFailed && c.phase != Phase::kSkipped) continue;
    (c.phase == Phase::kFailed ? failedText : skippedText) +=
        std::string(c.phase == Phase::kFailed ? "failed" : "skipped") + " " + c.mac + " " + c.address + " " +
        kvid::Shown(c.deviceName, false) + ": " + kvid::Shown(c.reason, false) + "\n";
  }
  const int failed = count(report.get(), "failed");
  const std::string end = s.finished           ? "rollout finished"
                          : interrupted        ? "rollout interrupted"
                          : !s.stopped.empty() ? "rollout stopped: " + s.stopped
                                               : "rollout not finished";
  text += skippedText + failedText + std::to_string(count(report.get(), "ok")) + " ok, " + std::to_string(failed) +
          " failed, " + std::to_string(count(report.get(), "skipped")) + " skipped, " +
          std::to_string(count(report.get(), "not_done")) + " not done; " + end + "\n";
  {
    const std::lock_guard<std::mutex> lock(m_);
    if (table_) {
      std::fputs(text.c_str(), stdout);
    } else {
      const kv::CMemory<char> line(cJSON_PrintUnformatted(report.get()));
      if (line) std::printf("%s\n", line.get());
    }
    std::fflush(stdout);
  }
  return s.finished && failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace kvplant
