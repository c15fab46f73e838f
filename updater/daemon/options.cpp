#include "daemon/options.h"

#include <cstdio>
#include <cstdlib>

const char* argp_program_version = "kvupdaterd, 718233.004, Ver:3.8, Build:Nov 19 2024 09:24:20";

namespace {

DaemonOptions gOptions;

// The parse input: the options to fill and the words the callback collects
// (it collects none; the printout after the parse is kept for its blank line).
struct ParseInput {
  DaemonOptions* options;
  char* words[1];
  int wordCount;
};

const struct argp_option kOptions[] = {
    {"verbose", 'v', "LEVEL", 0, "print verbose outputs level 1-4 ", 0},
    {"log-to-stdout", 'l', nullptr, 0, "also send syslog to console  ", 0},
    {"simulate", 's', nullptr, 0, "enter simulation mode, nothing is installed ", 0},
    {nullptr, 0, nullptr, 0, nullptr, 0},
};

const char kArgsDoc[] = "--verbose <0=no logging, 1=basic, 2=debug and 3=pedantic>";
const char kDoc[] =
    "\nWe are monitoring /opt/kv2/swfw for new .CRY and .IPK files.\n"
    "if /opt/kv2/swfw is NOT found, we will monitor /home/root for new files.";

const struct argp kArgp = {kOptions, options_ParseKey, kArgsDoc, kDoc, nullptr, nullptr, nullptr};

}  // namespace

DaemonOptions& options_Get() { return gOptions; }

error_t options_ParseKey(int key, char* arg, struct argp_state* state) {
  auto* input = static_cast<ParseInput*>(state->input);
  switch (key) {
    case 'v':
      // atoi on purpose: a LEVEL that is not a number means level 0.
      input->options->verboseLevel = std::atoi(arg);
      return 0;
    case 'l': input->options->logToStdout = 1; return 0;
    case 's': input->options->simulate = 1; return 0;
    default: return ARGP_ERR_UNKNOWN;
  }
}

void options_Parse(int argc, char** argv) {
  ParseInput input{&gOptions, {nullptr}, 0};
  argp_parse(&kArgp, argc, argv, 0, nullptr, &input);
  for (int i = 0; i < input.wordCount; ++i) std::printf(" %s", input.words[i]);
  std::printf("\n");
  std::fflush(stdout);
}
