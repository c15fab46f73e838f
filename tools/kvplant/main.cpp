// kvplant: inventory, pre-flight and rollout of releases to a plant of
// controllers. One program, one command per step.
#include <cstdio>
#include <cstring>
#include <string>

#include "kvplant/plant.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"inventory", kvplant::CmdInventory, "find every controller and record what it runs"},
    {"diff", kvplant::CmdDiff, "what changed between two inventories"},
    {"preflight", kvplant::CmdPreflight, "what each controller would do with a release; nothing is sent"},
    {"rollout", kvplant::CmdRollout, "send a release in waves and follow every controller to its end"},
    {"resume", kvplant::CmdResume, "go on with an interrupted rollout from its state file"},
    {"send", kvplant::CmdSend, "send one controller its release"},
    {"wait", kvplant::CmdWait, "follow one controller's update to its end, through a restart"},
    {"serve", kvplant::CmdServe, "a live local web page of the plant and its rollout"},
};

void Usage(std::FILE* out) {
  std::fprintf(out, "Usage: kvplant COMMAND [OPTION...]\n\nCommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out, "\n'kvplant COMMAND --help' describes a command's options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return kvplant::kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    Usage(stdout);
    return kvplant::kExitOk;
  }
  if (command == "--version" || command == "-V") {
    std::printf("kvplant %s\n", KV_PROJECT_VERSION);
    return kvplant::kExitOk;
  }
  for (const Command& c : kCommands) {
    if (command == c.name) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "kvplant: unknown command '%s'\nTry 'kvplant --help' for more information.\n", command.c_str());
  return kvplant::kExitUsage;
}
