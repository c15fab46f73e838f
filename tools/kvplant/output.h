// What a rollout shows while it runs: on a terminal a table of the current
// wave redrawn a few times a second, otherwise (or with --json) one JSON
// line per event; and the final report.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvplant/rollout.h"
#include "kvplant/view.h"

struct cJSON;

namespace kvplant {

class Output {
 public:
  Output(bool json, const RolloutState& state);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // One event (a cJSON object, taken over): a JSON line unless the table shows.
  void Event(cJSON* event);
  // The table's row of controller i: its view (ViewOf its state).
  void Row(std::size_t i, const ControllerView& view);
  void Wave(int wave, const std::vector<std::size_t>& members);
  void EndWave();
  // Prints the final report (text with the table, else the report event);
  // the exit status: 0 when every controller of the rollout ended well.
  int Report(const RolloutState& state, bool interrupted);

 private:
  void Draw();  // under m_
  struct RowState : ControllerView {
    RowState() : ControllerView{"waiting", "waiting", 0} {}
  };
  bool table_;
  const RolloutState& state_;
  std::mutex m_;
  std::vector<RowState> rows_;
  std::vector<std::size_t> wave_;
  int waveNumber_ = 0;
  int drawn_ = 0;  // lines of the last drawing
  bool stop_ = false;
  std::thread painter_;
};

}  // namespace kvplant
