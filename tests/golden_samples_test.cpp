// Golden replays: every bundled capture in samples/ is played back through
// the whole pipeline and must give exactly its expected message list
// (samples/NAME.events, in the `tq replay --events` format). Positions of
// version-4 boards may be one unit off: their solution takes an arc cosine,
// whose last bit differs between the maths libraries of the Linux and the
// Windows builds, and a host point is truncated.
// `make samples` regenerates the captures and, with TQ_UPDATE_GOLDEN=1, this
// program rewrites the lists instead of comparing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TQApi.h"
#include "capture/CaptureFile.h"
#include "support/RecordingWindow.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

double BoardVersionOf(const fs::path& capture) {
  uint8_t header[tq::kCaptureHeaderSize] = {};
  std::ifstream in(capture, std::ios::binary);
  in.read(reinterpret_cast<char*>(header), sizeof header);
  return tq::DecodeCaptureHeader(header).boardVersion;
}

// Equal lines, or two pen lines of the same message, code and lParam whose
// points are at most `tolerance` apart in x and in y.
bool SameLine(const std::string& got, const std::string& expected, int tolerance) {
  if (got == expected) return true;
  if (tolerance == 0) return false;
  char name[2][8];
  int x[2], y[2];
  long long code[2], lParam[2];
  const std::string* lines[2] = {&got, &expected};
  for (int i = 0; i < 2; ++i) {
    char rest;
    if (std::sscanf(lines[i]->c_str(), "%7s %d %d %lld %lld%c", name[i], &x[i], &y[i], &code[i], &lParam[i],
                    &rest) != 5) {
      return false;
    }
  }
  return std::string(name[0]) == name[1] && code[0] == code[1] && lParam[0] == lParam[1] &&
         std::abs(x[0] - x[1]) <= tolerance && std::abs(y[0] - y[1]) <= tolerance;
}

// Replays a copy in a scratch directory: the replay writes .val and .out
// beside the file it plays, and the source tree stays untouched.
std::vector<std::string> Replay(const fs::path& capture) {
  const fs::path scratch = fs::temp_directory_path() / ("tq-golden-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  const fs::path copy = scratch / capture.filename();
  fs::copy_file(capture, copy, fs::copy_options::overwrite_existing);
  tqtest::RecordingWindow window;
  CFileDialog dialog(copy.string().c_str());
  TQReadFileData(window.Handle(), &dialog);
  tqtest::RecordingWindow::Pump(20);  // what boards below 2.0 post arrives afterwards
  fs::remove_all(scratch);
  return window.EventLines();
}

TEST(GoldenSamples, EveryBundledCaptureReplaysToItsExpectedMessages) {
  const fs::path samples = fs::path(TQ_SOURCE_DIR) / "samples";
  const bool update = std::getenv("TQ_UPDATE_GOLDEN") != nullptr;
  std::vector<fs::path> captures;
  for (const auto& entry : fs::directory_iterator(samples)) {
    if (entry.path().extension() == ".raw") captures.push_back(entry.path());
  }
  std::sort(captures.begin(), captures.end());
  ASSERT_GE(captures.size(), 4u) << "the bundled captures are missing from " << samples;

  for (const fs::path& capture : captures) {
    SCOPED_TRACE(capture.filename().string());
    const std::vector<std::string> got = Replay(capture);
    fs::path expectedPath = capture;
    expectedPath.replace_extension(".events");
    if (update) {
      std::ofstream out(expectedPath, std::ios::trunc);
      for (const std::string& line : got) out << line << '\n';
      continue;
    }
    const std::vector<std::string> expected = ReadLines(expectedPath);
    ASSERT_FALSE(expected.empty()) << "no expected list " << expectedPath;
    EXPECT_GT(got.size(), 50u);  // a word of handwriting, not an empty replay
    const int tolerance = BoardVersionOf(capture) >= 4.0 ? 1 : 0;
    size_t first = 0;
    while (first < got.size() && first < expected.size() && SameLine(got[first], expected[first], tolerance)) {
      ++first;
    }
    EXPECT_EQ(first, expected.size()) << "first difference at line " << first + 1 << ": got '"
                                      << (first < got.size() ? got[first] : "<end>") << "', expected '"
                                      << (first < expected.size() ? expected[first] : "<end>") << "'";
    EXPECT_EQ(got.size(), expected.size());
  }
}

}  // namespace
