// Golden replays: every bundled capture in samples/ is played back through
// the whole pipeline and must give exactly its expected message list
// (samples/NAME.events, in the `tq replay --events` format).
// `make samples` regenerates the captures and, with TQ_UPDATE_GOLDEN=1, this
// program rewrites the lists instead of comparing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TQApi.h"
#include "support/RecordingWindow.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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
    size_t first = 0;
    while (first < got.size() && first < expected.size() && got[first] == expected[first]) ++first;
    EXPECT_EQ(first, expected.size()) << "first difference at line " << first + 1 << ": got '"
                                      << (first < got.size() ? got[first] : "<end>") << "', expected '"
                                      << (first < expected.size() ? expected[first] : "<end>") << "'";
    EXPECT_EQ(got.size(), expected.size());
  }
}

}  // namespace
