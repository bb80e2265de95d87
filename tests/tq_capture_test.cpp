// tq replay, tq info and tq dump, run as a user runs them, on capture files
// written by the test.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TQApi.h"
#include "capture/CaptureFile.h"
#include "support/Packets.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;

namespace {

using tqtest::FreshDir;
using tqtest::WriteAll;
using tqtest::CaptureHeader;

constexpr unsigned kBaseline = 3056;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolRun Tool(const std::string& args) {
  const fs::path err = fs::path(std::getenv("TMPDIR")) / "tool.err";
  const std::string command = std::string(TQ_TOOL_PATH) + " " + args + " 2>" + err.string();
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = Slurp(err);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Strokes of a board below version 2.0 with its signal packet between them:
// the signal is posted, the pen messages are sent.
Bytes V1StrokesWithSignal() {
  Bytes bytes;
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < 24; ++i) {
      const auto [first, second] = tqtest::PenDistances(900.0 + 300 * s + 4 * std::min(i, 21), 1000, kBaseline);
      const Bytes packet = tqtest::ShortPacket(i < 22 ? 0x82 : 0x8A, first, second);
      bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    if (s == 0) {
      const auto [first, second] = tqtest::PenDistances(1000, 1000, kBaseline);
      const Bytes signal = tqtest::ShortPacket(0x90, first, second);
      bytes.insert(bytes.end(), signal.begin(), signal.end());
    }
  }
  return bytes;
}

TEST(TqReplay, PrintsWhatTheWindowReceivesSentThenPosted) {
  const fs::path dir = FreshDir("replay");
  const fs::path raw = dir / "run1.raw";
  WriteAll(raw, tqtest::Concat({CaptureHeader(1.0, 1.0), V1StrokesWithSignal()}));

  // What a host window of this process gets from the same file.
  std::vector<std::string> want;
  {
    tqtest::RecordingWindow window;
    CFileDialog dialog(raw.c_str());
    TQReadFileData(window.Handle(), &dialog);
    tqtest::RecordingWindow::Pump(0);
    want = window.EventLines();
  }
  fs::remove(dir / "run1.val");
  fs::remove(dir / "run1.out");

  const ToolRun run = Tool("replay " + raw.string() + " --events");
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  EXPECT_EQ(lines, want);
  ASSERT_GT(lines.size(), 20u);
  EXPECT_EQ(lines.front().rfind("down ", 0), 0u);
  EXPECT_EQ(lines.back(), "ffff 0 0") << "the posted signal comes after every sent message";
  EXPECT_TRUE(fs::exists(dir / "run1.val"));
  EXPECT_TRUE(fs::exists(dir / "run1.out"));

  const ToolRun counts = Tool("replay " + raw.string());
  EXPECT_EQ(counts.status, 0);
  EXPECT_EQ(counts.out.rfind("down 2 move ", 0), 0u) << counts.out;
}

TEST(TqReplay, ExitStatusAndErrors) {
  const fs::path dir = FreshDir("replay_errors");
  WriteAll(dir / "bad.raw", tqtest::Concat({CaptureHeader(2.0, 100.0), Bytes(90, 0xA0)}));
  WriteAll(dir / "held.raw", tqtest::Concat({CaptureHeader(2.0, 2.1), Bytes(9, 0xF0)}));
  CFile holder;  // as a port holds its own raw capture
  ASSERT_TRUE(holder.Open((dir / "held.raw").c_str(), CFile::modeRead | CFile::shareDenyNone));
  struct Case {
    std::string args;
    int status;
    bool errorLine;  // standard error begins with "tq replay: "
    bool noOutput;
  } const cases[] = {
      {"replay " + (dir / "missing.raw").string() + " --events", 1, true, true},
      {"replay " + (dir / "held.raw").string() + " --events", 1, true, true},
      // A rejected header is refused as info and render refuse it.
      {"replay " + (dir / "bad.raw").string() + " --events", 1, true, true},
      {"replay", 2, false, true},
      {"replay a.raw b.raw", 2, false, true},
      {"replay --bogus a.raw", 2, false, true},
      {"replay --help", 0, false, false},
  };
  for (const Case& c : cases) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    // Usage mistakes are told in the same style, with the usage after them.
    EXPECT_EQ(run.err.rfind("tq replay: ", 0) == 0, c.errorLine || c.status == 2) << c.args << ": " << run.err;
    EXPECT_EQ(run.out.empty(), c.noOutput) << c.args << ": " << run.out;
  }
  EXPECT_FALSE(fs::exists(dir / "bad.val"));
  EXPECT_FALSE(fs::exists(dir / "held.val"));
}

TEST(TqInfoAndDump, ShowHeaderAndRecords) {
  const fs::path dir = FreshDir("info");
  const Bytes records = {0x80, 0xE8, 0x03, 0x14, 0x00,   // pen down at 1000, 20
                         0x80, 0x2C, 0x01, 0xFB, 0xFF,   // 300, -5
                         0x88, 0x00, 0x80, 0xFF, 0x7F,   // hover at -32768, 32767
                         0xFE, 0x00, 0x00, 0x00, 0x00};  // stroke break
  WriteAll(dir / "run1.out", tqtest::Concat({CaptureHeader(2.0, 2.1), records, {0x80, 0x01, 0x02}}));
  WriteAll(dir / "run1.raw", tqtest::Concat({CaptureHeader(10.0, 4.2), Bytes(11, 0xF0)}));
  WriteAll(dir / "short.val", Bytes(19, 0));

  const ToolRun dump = Tool("dump " + (dir / "run1.out").string());
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.out, "0x80 1000 20\n0x80 300 -5\n0x88 -32768 32767\n0xfe 0 0\n");
  EXPECT_NE(dump.err.find("3 bytes"), std::string::npos) << dump.err;

  const ToolRun info = Tool("info " + (dir / "run1.out").string());
  EXPECT_EQ(info.status, 0);
  for (const char* expected : {"protocol       2.0", "board version  2.1", "baseline       3056",
                               "body           23 bytes", "records        4", "0x80 pen down      2",
                               "0x88 hover         1", "0xfe stroke break  1"}) {
    EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;
  }
  const ToolRun rawInfo = Tool("info " + (dir / "run1.raw").string());
  EXPECT_EQ(rawInfo.status, 0);
  EXPECT_NE(rawInfo.out.find("protocol       10.0"), std::string::npos) << rawInfo.out;
  EXPECT_NE(rawInfo.out.find("body           11 bytes"), std::string::npos) << rawInfo.out;
  EXPECT_EQ(rawInfo.out.find("records"), std::string::npos) << rawInfo.out;

  struct Case {
    std::string args;
    int status;
  } const failures[] = {
      {"info " + (dir / "short.val").string(), 1},
      {"dump " + (dir / "short.val").string(), 1},
      {"dump " + (dir / "none.val").string(), 1},
      {"dump " + (dir / "run1.raw").string(), 1},
      {"info", 2},
      {"dump", 2},
      {"info --help", 0},
      {"dump --help", 0},
  };
  for (const Case& c : failures) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    if (c.status == 1) {
      EXPECT_EQ(run.err.rfind("tq " + c.args.substr(0, 4) + ": ", 0), 0u) << c.args << ": " << run.err;
    }
  }
}

}  // namespace
