#include "core/paths.h"

#include <cstdlib>

namespace {

struct Paths {
  std::string root;
  std::string watch;
  std::string work;
  std::string bundle;
};

Paths& State() {
  static Paths paths{"", std::string(devpath::kWatchFolder), std::string(devpath::kWorkFolder),
                     std::string(devpath::kBundleFolder)};
  return paths;
}

}  // namespace

void paths_SetRoot(std::string_view root) {
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  Paths& p = State();
  p.root.assign(root);
  p.watch = paths_Device(devpath::kWatchFolder);
  p.work = paths_Device(devpath::kWorkFolder);
  p.bundle = paths_Device(devpath::kBundleFolder);
}

void paths_Init() {
  const char* root = std::getenv(kRootEnvironment);
  paths_SetRoot(root != nullptr ? root : "");
}

const std::string& paths_Root() { return State().root; }

int paths_IsSandboxed() { return State().root.empty() ? 0 : 1; }

std::string paths_Device(std::string_view devicePath) {
  std::string path = State().root;
  path.append(devicePath);
  return path;
}

const char* paths_WatchFolder() { return State().watch.c_str(); }
const char* paths_WorkFolder() { return State().work.c_str(); }
const char* paths_BundleFolder() { return State().bundle.c_str(); }
