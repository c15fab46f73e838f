#include "core/cmd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include <cstdlib>
#include <string>

#include "core/log.h"
#include "support/capture.h"

namespace {

bool InAllowedSet(unsigned char c) {
  const std::string others = "-_\"'/@ :.";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         others.find(static_cast<char>(c)) != std::string::npos;
}

TEST(CmdAllowedSet, AdmitsExactlyLettersDigitsAndNineCharacters) {
  for (int c = 1; c < 256; ++c) {
    const char text[2] = {static_cast<char>(c), '\0'};
    char refused = 0;
    EXPECT_EQ(cmd_IsAllowedLine(text, &refused), InAllowedSet(static_cast<unsigned char>(c)) ? 1 : 0) << "byte " << c;
  }
}

class CmdRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!syslog_.available()) GTEST_SKIP() << "needs the private /dev of tests/harness/private-dev";
    log_SetIdent("kvupdaterd");
    kvtest::StdoutCapture quiet;
    log_SetStdout(0);
    log_SetVerbose(0);
  }
  std::string Marker() const { return dir_.path() + "/marker"; }
  kvtest::SyslogCapture syslog_;
  kvtest::TempDir dir_;
};

TEST_F(CmdRunTest, RunsAnAcceptedLineThroughTheShell) {
  const std::string target = dir_.path() + "/a dir-1.2_x/";
  ASSERT_EQ(cmd_Run(("mkdir -p \"" + target + "\"").c_str()), 1);
  ASSERT_EQ(cmd_Run(("touch '" + target + "f@x:y.ipk'").c_str()), 1);
  EXPECT_TRUE(kvtest::FileExists(target + "f@x:y.ipk"));
  EXPECT_TRUE(syslog_.Drain().empty());
}

TEST_F(CmdRunTest, LengthLimitIs400CharactersAndRefusesSilently) {
  // "touch <folder>/<name>" padded to the limit; the folder keeps each name
  // below the file system's name limit.
  const std::string folder = dir_.path() + "/" + std::string(200, 'd');
  ASSERT_EQ(cmd_Run(("mkdir " + folder).c_str()), 1);
  const std::string base = "touch " + folder + "/";
  const std::string line400 = base + std::string(400 - base.size(), 'f');
  const std::string line401 = base + std::string(401 - base.size(), 'g');
  ASSERT_EQ(line400.size(), 400u);
  EXPECT_EQ(cmd_Run(line400.c_str()), 1);
  EXPECT_TRUE(kvtest::FileExists(line400.substr(6)));
  EXPECT_EQ(cmd_Run(line401.c_str()), 0);
  EXPECT_FALSE(kvtest::FileExists(line401.substr(6)));
  EXPECT_EQ(cmd_Run(nullptr), 0);
  EXPECT_EQ(cmd_Run(""), 0);
  EXPECT_TRUE(syslog_.Drain().empty());
}

TEST_F(CmdRunTest, RefusedCharactersAreLoggedAtLevelZeroAndNothingRuns) {
  const std::string refusedChars[] = {";",  "&",  "|", ">", "<", "$", "`", "*", "%",    "\n",
                                      "\r", "\t", "(", "+", ",", "=", "~", "#", "\x80", "\xff"};
  for (const std::string& c : refusedChars) {
    std::remove(Marker().c_str());
    const std::string line = "touch " + Marker() + c + "x";
    EXPECT_EQ(cmd_Run(line.c_str()), 0);
    EXPECT_FALSE(kvtest::FileExists(Marker()));
    EXPECT_FALSE(kvtest::FileExists(Marker() + c + "x"));
    const auto lines = syslog_.Drain();
    ASSERT_EQ(lines.size(), 1u) << static_cast<int>(static_cast<unsigned char>(c[0]));
    // A control byte in the refused line is shown as '?': the command line
    // carries names from outside, and a line feed there would start a line
    // of its own in the log.
    const std::string shown = c[0] == '\n' || c[0] == '\r' || c[0] == '\t' ? "?" : c;
    EXPECT_EQ(lines[0].text, "Illegal character " + shown + " in command: \"touch " + Marker() + shown + "x\"");
    EXPECT_EQ(lines[0].priority, kPriorityNotice);
  }
}

TEST_F(CmdRunTest, RefusedLineNeverReachesTheProgram) {
  // A stand-in systemctl first on PATH records every call it receives.
  const std::string bin = dir_.path() + "/bin";
  const std::string journal = dir_.path() + "/journal";
  kvtest::WriteFile(bin + "/systemctl", "#!/bin/sh\necho \"$*\" >> " + journal + "\n");
  ASSERT_EQ(::chmod((bin + "/systemctl").c_str(), 0755), 0);
  const std::string oldPath = std::getenv("PATH");
  ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  EXPECT_EQ(cmd_Run("systemctl start \"install@a;reboot\""), 0);
  EXPECT_EQ(cmd_Run("systemctl start \"install@a$(reboot)\""), 0);
  EXPECT_EQ(cmd_Run("systemctl start \"install@kv2-touch\""), 1);
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(kvtest::ReadFile(journal), "start install@kv2-touch\n");
  EXPECT_EQ(syslog_.Drain().size(), 2u);
}

TEST_F(CmdRunTest, SystemRunsAnyLineAndIgnoresNull) {
  EXPECT_EQ(cmd_System(nullptr), 0);
  EXPECT_EQ(cmd_System(("touch " + Marker() + "; true").c_str()), 0);
  EXPECT_TRUE(kvtest::FileExists(Marker()));
  EXPECT_EQ(cmd_System("exit 3"), 0);
}

TEST_F(CmdRunTest, PipeReadsCommandOutputAndReportsItsStatus) {
  kv::Pipe pipe = cmd_OpenPipe("printf 'one\\ntwo\\n'; exit 2");
  ASSERT_TRUE(pipe);
  char line[16];
  ASSERT_NE(std::fgets(line, sizeof line, pipe.get()), nullptr);
  EXPECT_STREQ(line, "one\n");
  const int status = cmd_ClosePipe(std::move(pipe));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(CmdReaderTest, ReadsLinesAsFgetsWouldAndReportsTheStatus) {
  // A line longer than the buffer comes in pieces; the last line needs no
  // line feed.
  CmdReader reader = CmdReader::Start("printf 'one\\n%s\\nend' abcdefghij; exit 3");
  ASSERT_TRUE(reader);
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char line[8];
  std::vector<std::string> got;
  while (reader.ReadLine(line, sizeof line, later) == CmdReader::Read::kLine) got.emplace_back(line);
  EXPECT_EQ(got, (std::vector<std::string>{"one\n", "abcdefg", "hij\n", "end"}));
  const int status = reader.Close();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

// True once /proc shows the process gone or a zombie (polled, at most 10 s).
bool Ends(pid_t pid) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return true;
    char state = '?';
    const int n = std::fscanf(f, "%*d (%*[^)]) %c", &state);
    std::fclose(f);
    if (n == 1 && (state == 'Z' || state == 'X')) return true;
    ::usleep(20000);
  }
  return false;
}

TEST(CmdReaderTest, ACommandPastItsDeadlineIsEndedWithWhatItStarted) {
  kvtest::TempDir dir;
  const std::string pidFile = dir.path() + "/child";
  // A child that ignores SIGTERM (only the SIGKILL to the group ends it)
  // reports itself; the shell then waits for it, silent.
  CmdReader reader = CmdReader::Start(
      ("sh -c 'trap \"\" TERM; echo $$ > " + pidFile + "; echo started; exec sleep 60' & wait").c_str());
  ASSERT_TRUE(reader);
  char line[64];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  ASSERT_EQ(reader.ReadLine(line, sizeof line, deadline), CmdReader::Read::kLine);
  EXPECT_STREQ(line, "started\n");
  EXPECT_EQ(reader.ReadLine(line, sizeof line, deadline), CmdReader::Read::kDeadline);
  const pid_t child = static_cast<pid_t>(std::stol(kvtest::ReadFile(pidFile)));
  const int status = reader.Terminate(std::chrono::milliseconds(200));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(reader);
  EXPECT_TRUE(Ends(child));
}

}  // namespace
