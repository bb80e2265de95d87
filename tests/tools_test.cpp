// The command-line tools and a C host program, run as users run them,
// against a scripted board on a pseudo-terminal.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "support/Packets.h"
#include "support/PtyBoard.h"

namespace {

struct ShellResult {
  int status;
  std::string out;
};

// Runs a shell command, capturing standard output (and standard error when
// `withErrors`).
ShellResult Shell(const std::string& command, bool withErrors = false) {
  const std::string full = command + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(full.c_str(), "r");
  ShellResult run{-1, {}};
  if (pipe == nullptr) return run;
  std::array<char, 512> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const std::string kTool = TQ_TOOL_PATH;

TEST(TqProbe, PrintsVersionWidthAndHeight) {
  tqtest::PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", 3000));
  const ShellResult run = Shell(kTool + " probe --port 5");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "version 2.1\nwidth 3340\nmax-height 4609\n");
}

TEST(TqProbe, ShortFormVersionAndFailure) {
  {
    tqtest::PtyBoard board(5, tqtest::ShortFormBoard("1.0", "1.5", 1000));
    const ShellResult run = Shell(kTool + " probe --port 5");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "version 1.5\nwidth 1340\nmax-height 5408\n");
  }
  {
    tqtest::BoardScript silent;
    silent.silent = true;
    tqtest::PtyBoard board(5, silent);
    const ShellResult run = Shell(kTool + " probe --port 5", true);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("tq probe: no board on ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("did not answer the probe"), std::string::npos) << run.out;
  }
  const ShellResult bad = Shell(kTool + " probe --port 9", true);
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "tq probe: bad value '9' for --port: a whole number from 1 to 8 is wanted\n"
                     "see tq probe --help\n");
  EXPECT_EQ(Shell(kTool + " probe").status, 2);
  EXPECT_EQ(Shell(kTool + " probe --help").status, 0);
}

TEST(TqFind, ReportsBothAttempts) {
  {
    setenv("TQ_COM1", "/nonexistent/tq-none", 1);
    tqtest::PtyBoard two(2, tqtest::LongFormBoard("2.0", "2.1", 3056));
    const ShellResult run = Shell(kTool + " find");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "port 2\nerrors 1 0\n");
  }
  {
    tqtest::PtyBoard one(1, tqtest::LongFormBoard("2.0", "2.1", 3056));
    const ShellResult run = Shell(kTool + " find");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "port 1\nerrors 0 -\n");
  }
  setenv("TQ_COM1", "/nonexistent/tq-none", 1);
  setenv("TQ_COM2", "/nonexistent/tq-none", 1);
  const ShellResult none = Shell(kTool + " find");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "port none\nerrors 1 1\n");
}

TEST(TqLive, PrintsTheMessagesOfAnOpenBoard) {
  tqtest::PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", 3056));
  FILE* pipe = popen((kTool + " live --port 5 --events --seconds 2 --no-validate --no-antistreak"
                              " --no-smooth --pod 0 --height 100")
                         .c_str(),
                     "r");
  ASSERT_NE(pipe, nullptr);
  ASSERT_TRUE(board.WaitForReceived(0x20, 1, 3000));
  usleep(300 * 1000);
  // Pen 0 at (1000, 800) of the receiver frame, then a hover, then a pen-5
  // button packet: down, up and a board event.
  const auto [first, second] = tqtest::PenDistances(1000, 800, 3056);
  board.Send(tqtest::Concat({tqtest::PenPacket(0xA0, first, second, 60),
                             tqtest::PenPacket(0xA0, first, second, 15),
                             tqtest::PenPacket(0xA0, first, second, 85)}));
  std::string out;
  std::array<char, 512> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, "down 1140 700 0 0\nup 1140 700 0 0\nboard 2 5\n");
}

TEST(HostProgram, OpensSetsUpAndClosesABoard) {
  tqtest::PtyBoard board(4, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const ShellResult run = Shell(std::string(TQ_HOST_EXAMPLE_PATH) + " 4 1");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("version 2.1 width 3396 max-height 4572"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("closed 0"), std::string::npos) << run.out;
}

}  // namespace
