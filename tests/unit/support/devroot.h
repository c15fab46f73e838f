// A temporary device root for tests that run the daemon's roads: the watch,
// work and bundle folders, a boot id, and recording stand-ins for the device
// programs first on PATH. Each stand-in appends "<name> <arguments>" to a
// log, followed by " [<road> <step>]" when the journal names a road as it
// runs, prints <name>.out when it exists and exits with the status in
// <name>.exit (0 without). Nothing of the host is run or touched.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/paths.h"
#include "support/capture.h"

namespace kvtest {

inline constexpr const char* kStandIns[] = {"systemctl", "mender", "psplash", "psplash-write", "xset", "opkg"};

class DeviceRoot {
 public:
  DeviceRoot() {
    paths_SetRoot(root_.path());
    for (const char* folder : {paths_WatchFolder(), paths_WorkFolder(), paths_BundleFolder()}) {
      std::filesystem::create_directories(folder);
    }
    std::filesystem::create_directories(root_.path() + "/proc/sys/kernel/random");
    SetBoot("boot-now");
    for (const char* name : kStandIns) StandIn(bin_.path() + "/" + name);
    StandIn(paths_Device(devpath::kSyncUsers));
    const char* path = std::getenv("PATH");
    oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
    ::setenv("PATH", (bin_.path() + ":" + oldPath_).c_str(), 1);
  }
  ~DeviceRoot() {
    ::setenv("PATH", oldPath_.c_str(), 1);
    paths_SetRoot("");
  }
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  [[nodiscard]] const std::string& root() const { return root_.path(); }
  void SetBoot(const std::string& id) const { WriteFile(paths_Device(devpath::kBootId), id + "\n"); }
  void SetExit(const std::string& program, int status) const {
    WriteFile(bin_.path() + "/" + program + ".exit", std::to_string(status));
  }
  void SetOutput(const std::string& program, const std::string& text) const {
    WriteFile(bin_.path() + "/" + program + ".out", text);
  }
  // The command lines the stand-ins saw, the root shown as "<root>".
  [[nodiscard]] std::vector<std::string> Commands() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(Log()));
    for (std::string line; std::getline(in, line);) {
      for (std::size_t at; (at = line.find(root_.path())) != std::string::npos;) {
        line.replace(at, root_.path().size(), "<root>");
      }
      lines.push_back(line);
    }
    return lines;
  }
  void ClearCommands() const { std::filesystem::remove(Log()); }
  // Adds a line of the test's own to the log, between the commands.
  void Note(const std::string& line) const {
    if (kv::File log = kv::OpenFile(Log().c_str(), "a")) std::fprintf(log.get(), "%s\n", line.c_str());
  }

 private:
  [[nodiscard]] std::string Log() const { return bin_.path() + "/commands.log"; }
  void StandIn(const std::string& path) const {
    const std::string b = bin_.path();
    const std::string journal = std::string(paths_WorkFolder()) + "kvupdaterd.journal";
    WriteFile(path, "#!/bin/sh\nn=${0##*/}\nj=\"\"\nr=$(sed -n 's/^road: //p' " + journal +
                        " 2>/dev/null)\n[ -n \"$r\" ] && j=\" [$r $(sed -n 's/^step: //p' " + journal +
                        ")]\"\necho \"$n $*$j\" >> " + b + "/commands.log\n[ -f " + b + "/$n.out ] && cat " + b +
                        "/$n.out\ns=0\n[ -f " + b + "/$n.exit ] && s=$(cat " + b + "/$n.exit)\nexit $s\n");
    ::chmod(path.c_str(), 0755);
  }

  TempDir root_;
  TempDir bin_;
  std::string oldPath_;
};

// Runs fn in a forked child, which then ends with status 0 (fn may end it
// otherwise: a restart, a park that is stopped), and returns the wait status.
inline int RunInChild(const std::function<void()>& fn) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    fn();
    ::_exit(0);
  }
  int status = -1;
  if (pid > 0) (void)::waitpid(pid, &status, 0);
  return status;
}

// The names in folder (regular files and links, not folders), sorted, each
// after prefix; the journal is left out.
inline std::vector<std::string> Listing(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.is_directory() && !entry.is_symlink()) continue;
    const std::string name = entry.path().filename().string();
    if (name != "kvupdaterd.journal" && name != "sync-users.sh") names.push_back(prefix + name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kvtest
