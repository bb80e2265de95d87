// Capture files and replay: the bytes of the three captures, redirecting,
// stopping and copying them on an open port, replay of crafted and of live
// recordings, and captures that cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "capture/CaptureFile.h"
#include "capture/Replay.h"
#include "support/FileLimits.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::RecordingWindow;

namespace {

using tqtest::FreshDir;
using tqtest::WriteAll;
using tqtest::CaptureHeader;

constexpr unsigned kBaseline = 3056;

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uintmax_t SizeOf(const fs::path& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

fs::path RawCaptureOf(int port) { return tqtest::TempDir() / ("tq" + std::to_string(port) + ".raw"); }

// Straight strokes along x, each ended by two hover packets (which closes a
// stroke in the validation stage).
Bytes V2Strokes(int strokes, int points, double x0 = 900, double y = 1000) {
  Bytes bytes;
  for (int s = 0; s < strokes; ++s) {
    for (int i = 0; i <= points + 1; ++i) {
      const double x = x0 + 250.0 * s + 4.0 * std::min(i, points - 1);
      const auto [first, second] = tqtest::PenDistances(x, y + 10.0 * s, kBaseline);
      const Bytes packet = tqtest::PenPacket(0xA0, first, second, i < points ? 60 : 15);
      bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
  }
  return bytes;
}

Bytes V1Strokes(int strokes, int points) {
  Bytes bytes;
  for (int s = 0; s < strokes; ++s) {
    for (int i = 0; i <= points + 1; ++i) {
      const double x = 900.0 + 250.0 * s + 4.0 * std::min(i, points - 1);
      const auto [first, second] = tqtest::PenDistances(x, 1000.0, kBaseline);
      const Bytes packet = tqtest::ShortPacket(i < points ? 0x82 : 0x8A, first, second);
      bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
  }
  return bytes;
}

void AllStagesOff(TQ_PORT port) {
  TQSetValidateStatus(port, VALIDATION_OFF);
  TQSetAntiStreakStatus(port, ANTISTREAK_OFF);
  TQSetFilterStatus(port, FILTER_OFF);
}

size_t PenMessages(const RecordingWindow& window) {
  return window.Count(TQ_MSG_PEN_DOWN) + window.Count(TQ_MSG_PEN_MOVE) + window.Count(TQ_MSG_PEN_UP);
}

// Replays `path` into a new window; the window's lines after its message
// loop has run.
std::vector<std::string> Replay(const fs::path& path) {
  RecordingWindow window;
  CFileDialog dialog(path.string().c_str());
  TQReadFileData(window.Handle(), &dialog);
  RecordingWindow::Pump(0);
  return window.EventLines();
}

// ---- File format ---------------------------------------------------------

TEST(CaptureFormat, HeaderAndRecordsAreByteExact) {
  const fs::path path = FreshDir("format") / "one.out";
  tq::CCaptureFile file;
  ASSERT_TRUE(file.Create(path.string().c_str(), {2.0, 2.1, kBaseline}));
  struct Case {
    uint8_t kind;
    double x, y;
    Bytes record;
  } const cases[] = {
      {0x80, 1000.7, 20.2, {0x80, 0xE8, 0x03, 0x14, 0x00}},
      {0x80, 300.9, -5.5, {0x80, 0x2C, 0x01, 0xFB, 0xFF}},  // toward zero
      {0xFE, 0.0, 0.0, {0xFE, 0x00, 0x00, 0x00, 0x00}},
      {0x88, 70000.0, -70000.9, {0x88, 0x70, 0x11, 0x90, 0xEE}},  // low 16 bits kept
      {0x80, std::nan(""), 1e12, {0x80, 0x00, 0x00, 0x00, 0x00}},  // out of range, defined
  };
  Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40,  // 2.0
                    0xCD, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x00, 0x40,  // 2.1
                    0xF0, 0x0B, 0x00, 0x00};                         // 3056
  for (const Case& c : cases) {
    tq::SPenSample sample;
    sample.kind = c.kind;
    sample.x = c.x;
    sample.y = c.y;
    file.WriteSampleRecord(sample);
    expected.insert(expected.end(), c.record.begin(), c.record.end());
    // Live captures reach the system at once: no close needed to see them.
    EXPECT_EQ(ReadAll(path), expected) << "kind " << int(c.kind) << " x " << c.x;
  }
  const tq::SSampleRecord back = tq::DecodeSampleRecord(cases[1].record.data());
  EXPECT_EQ(back.x, 300);
  EXPECT_EQ(back.y, -5);
  EXPECT_EQ(file.FailedWrites(), 0u);
}

TEST(CaptureFormat, BaseTooLongForTheNameCapturesNothing) {
  // Base and extension together take at most 255 characters; a longer name
  // is refused whole rather than cut down to some other file's name.
  struct Case {
    size_t total;  // length of base + ".raw"
    bool opened;
  } const cases[] = {{255, true}, {256, false}};
  for (const Case& c : cases) {
    const fs::path dir = FreshDir("long");
    const std::string prefix = dir.string() + "/";
    const std::string base = prefix + std::string(c.total - 4 - prefix.size(), 'b');
    tq::CBoardPort port(nullptr);
    port.ReopenCaptures(base.c_str(), 7);
    EXPECT_EQ(port.m_rawFile.IsOpen(), c.opened) << c.total;
    EXPECT_EQ(port.m_outFile.IsOpen(), c.opened) << c.total;
    port.ReopenCaptures(nullptr, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), c.opened ? 3 : 0)
        << c.total;
  }
}

// ---- Captures of an open port --------------------------------------------

TEST(PortCaptures, OpenRedirectCopyAndClose) {
  const fs::path dir = FreshDir("redirect");
  PtyBoard board(3, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(3, window.Handle()), TQ_SUCCESS);
  AllStagesOff(3);
  const fs::path raw = RawCaptureOf(3);
  const Bytes header = CaptureHeader(2.0, 2.1, kBaseline);
  EXPECT_EQ(ReadAll(raw), header);

  const Bytes stroke = V2Strokes(1, 5);
  board.Send(stroke);
  // The chunk reaches the capture before it is decoded: wait for both.
  ASSERT_TRUE(RecordingWindow::PumpUntil(
      [&] { return SizeOf(raw) == 20 + stroke.size() && PenMessages(window) == 7; }, 5000));
  EXPECT_EQ(ReadAll(raw), tqtest::Concat({header, stroke}));

  // The copy goes behind what the host's file holds already; a null target
  // and the ports without a board are left alone.
  const fs::path copy = dir / "copy.bin";
  WriteAll(copy, {'o', 'l', 'd'});
  CFile target;
  ASSERT_TRUE(target.Open(copy.string().c_str(), CFile::modeReadWrite | CFile::shareDenyNone));
  TQGetDumpFile(3, 2, &target);  // `which` does not matter
  TQGetDumpFile(3, 0, nullptr);
  for (TQ_PORT other : {0, 4, 9}) TQGetDumpFile(other, 0, &target);
  EXPECT_EQ(ReadAll(copy), tqtest::Concat({{'o', 'l', 'd'}, header, stroke}));

  // Flags 6: validated and delivered samples go to the host's files, the raw
  // capture stops.
  const std::string base = (dir / "run1").string();
  TQOpenDumpFiles(3, base.c_str(), 6);
  EXPECT_EQ(ReadAll(dir / "run1.val"), header);
  EXPECT_EQ(ReadAll(dir / "run1.out"), header);
  EXPECT_FALSE(fs::exists(dir / "run1.raw"));
  const size_t before = PenMessages(window);
  board.Send(V2Strokes(2, 6));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == before + 2 * 8; }, 5000));
  EXPECT_EQ(SizeOf(raw), 20 + stroke.size()) << "nothing more reaches the raw capture";
  // With every stage off, each delivered sample (hovers included) is one
  // validated and one delivered record.
  EXPECT_EQ(SizeOf(dir / "run1.out"), 20u + 5u * 2 * 8);
  EXPECT_EQ(SizeOf(dir / "run1.val"), 20u + 5u * 2 * 8);

  // With no raw capture there is nothing to copy.
  const Bytes copied = ReadAll(copy);
  TQGetDumpFile(3, 0, &target);
  EXPECT_EQ(ReadAll(copy), copied);

  // Flags 7 where the .val cannot be created: .raw runs, .out is not opened.
  fs::create_directory(dir / "run2.val");
  const std::string base2 = (dir / "run2").string();
  TQOpenDumpFiles(3, base2.c_str(), 7);
  EXPECT_FALSE(fs::exists(dir / "run2.out"));
  const Bytes more = V2Strokes(1, 3);
  board.Send(more);
  ASSERT_TRUE(RecordingWindow::PumpUntil(
      [&] { return SizeOf(dir / "run2.raw") == 20 + more.size(); }, 5000));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == before + 2 * 8 + 5; }, 5000));
  EXPECT_EQ(SizeOf(dir / "run1.out"), 20u + 5u * 2 * 8) << "the earlier captures were closed";

  // Closing stops everything; ports outside the table are ignored.
  TQCloseDumpFiles(3);
  for (TQ_PORT other : {0, 4, 9}) {
    TQCloseDumpFiles(other);
    TQOpenDumpFiles(other, (dir / "none").string().c_str(), 7);
  }
  board.Send(more);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == before + 2 * 8 + 10; }, 5000));
  EXPECT_EQ(SizeOf(dir / "run2.raw"), 20 + more.size());
  EXPECT_FALSE(fs::exists(dir / "none.raw"));
  EXPECT_EQ(TQClose(3), TQ_SUCCESS);
}

// One port's capture call never cuts a file another open port is writing:
// the call fails as a failed create does, and the other capture runs on
// whole and in order.
TEST(PortCaptures, NeverOverAFileAnotherPortWrites) {
  const fs::path dir = FreshDir("two_ports");
  PtyBoard first(1, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  PtyBoard second(2, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window1, window2;
  ASSERT_EQ(TQOpenPort(1, window1.Handle()), TQ_SUCCESS);
  ASSERT_EQ(TQOpenPort(2, window2.Handle()), TQ_SUCCESS);
  AllStagesOff(2);
  const tq::CBoardPort* port1 = tq::FindOpenPort(1);
  const std::string hostBase = (dir / "host").string();
  // Port 2's own raw capture, then the captures its host named.
  const struct {
    fs::path raw;
    std::string base;
    int flags;
  } cases[] = {{RawCaptureOf(2), (tqtest::TempDir() / "tq2").string(), 1}, {dir / "host.raw", hostBase, 7}};
  size_t delivered = 0;
  for (const auto& c : cases) {
    if (c.base == hostBase) TQOpenDumpFiles(2, hostBase.c_str(), 7);
    const Bytes before = V2Strokes(1, 10);
    second.Send(before);
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return SizeOf(c.raw) == 20 + before.size(); }, 5000)) << c.raw;
    TQOpenDumpFiles(1, c.base.c_str(), c.flags);
    EXPECT_FALSE(port1->m_rawFile.IsOpen() || port1->m_valFile.IsOpen() || port1->m_outFile.IsOpen()) << c.raw;
    const Bytes after = V2Strokes(1, 12, 1400);
    second.Send(after);
    first.Send(V2Strokes(1, 5));
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return SizeOf(c.raw) == 20 + before.size() + after.size(); }, 5000))
        << c.raw;
    EXPECT_EQ(ReadAll(c.raw), tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), before, after})) << c.raw;
    delivered += 26;
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window2) == delivered; }, 5000));
  }
  EXPECT_EQ(SizeOf(dir / "host.out"), 20u + 5u * 26);
  EXPECT_EQ(TQClose(1), TQ_SUCCESS);
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
}

// ---- Replay ---------------------------------------------------------------

Bytes ShortHeader() {
  Bytes header = CaptureHeader(2.0, 2.1, kBaseline);
  header.pop_back();
  return header;
}

struct ReplayCase {
  const char* name;
  Bytes file;
  bool decodes;         // pen messages expected
  bool captures;        // .val and .out created
  double valProtocol;   // protocol number in the new captures' header
};

class ReplayHeaders : public ::testing::TestWithParam<ReplayCase> {};

TEST_P(ReplayHeaders, AcceptDecodeAndCapture) {
  const ReplayCase& c = GetParam();
  const fs::path dir = FreshDir(c.name);
  WriteAll(dir / "run1.raw", c.file);
  RecordingWindow window;
  CFileDialog dialog((dir / "run1.raw").string().c_str());
  TQReadFileData(window.Handle(), &dialog);
  RecordingWindow::Pump(0);
  EXPECT_EQ(PenMessages(window) > 0, c.decodes);
  EXPECT_EQ(fs::exists(dir / "run1.val"), c.captures);
  EXPECT_EQ(fs::exists(dir / "run1.out"), c.captures);
  if (!c.captures) return;
  const Bytes out = ReadAll(dir / "run1.out");
  ASSERT_GE(out.size(), 20u);
  const tq::SCaptureHeader header = tq::DecodeCaptureHeader(out.data());
  EXPECT_EQ(header.protocolNumber, c.valProtocol);
  EXPECT_EQ(Bytes(out.begin() + 8, out.begin() + 20), Bytes(c.file.begin() + 8, c.file.begin() + 20));
  // Every sample delivered to the window is one record of the .out file.
  EXPECT_EQ((out.size() - 20) / 5, PenMessages(window));
}

const ReplayCase kReplayCases[] = {
    {"board_2_1", tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), V2Strokes(3, 30)}), true, true, 2.0},
    {"board_1_0", tqtest::Concat({CaptureHeader(1.0, 1.0, kBaseline), V1Strokes(3, 30)}), true, true, 1.0},
    {"version_0", tqtest::Concat({CaptureHeader(2.0, 0.0, kBaseline), V2Strokes(1, 30)}), false, false, 0},
    {"version_100", tqtest::Concat({CaptureHeader(2.0, 100.0, kBaseline), V2Strokes(1, 30)}), false, false, 0},
    {"protocol_0", tqtest::Concat({CaptureHeader(0.0, 2.1, kBaseline), V2Strokes(1, 30)}), false, false, 0},
    {"protocol_100", tqtest::Concat({CaptureHeader(100.0, 2.1, kBaseline), V2Strokes(1, 30)}), false, false, 0},
    {"version_nan", tqtest::Concat({CaptureHeader(2.0, std::nan(""), kBaseline), V2Strokes(1, 30)}), false, false,
     0},
    // No decoder for 5.0 and above: accepted, captured, silent.
    {"version_99_9", tqtest::Concat({CaptureHeader(2.0, 99.9, kBaseline), V2Strokes(1, 30)}), false, true, 2.0},
    // Protocol numbers of two digits need more room than the board's own
    // four-character reply: "v10.0", and "v100.0" once rounded.
    {"protocol_10", tqtest::Concat({CaptureHeader(10.0, 2.1, kBaseline), V2Strokes(1, 30)}), true, true, 10.0},
    {"protocol_99_96", tqtest::Concat({CaptureHeader(99.96, 2.1, kBaseline), V2Strokes(1, 30)}), true, true,
     100.0},
    {"header_short", ShortHeader(), false, false, 0},
};
INSTANTIATE_TEST_SUITE_P(Files, ReplayHeaders, ::testing::ValuesIn(kReplayCases),
                         [](const ::testing::TestParamInfo<ReplayCase>& p) { return std::string(p.param.name); });

TEST(Replay, ShortTailIsDecodedOnlyWhenItEndsAPacket) {
  // A board event is reported at once (the flush command of a version-2
  // board, the board check of a 5-byte board), so a control packet at the
  // end of a file shows whether it was decoded. Stray bytes are not; a
  // packet that ends in the short tail, behind a heartbeat byte, is, as it
  // was on the live line.
  const Bytes flush = tqtest::CommandPacket(0x102);
  const auto [first, second] = tqtest::PenDistances(1000, 1000, kBaseline);
  const Bytes check = tqtest::ShortPacket('v', first, second);
  const Bytes v2 = tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), V2Strokes(2, 30)});
  const Bytes v1 = tqtest::Concat({CaptureHeader(1.0, 1.0, kBaseline), V1Strokes(2, 30)});
  struct Case {
    const char* name;
    const Bytes& reference;
    Bytes tail;
    const char* extraLine;  // expected behind the reference's lines
  } const cases[] = {
      {"v2_stray_4", v2, Bytes(flush.begin(), flush.begin() + 4), nullptr},
      {"v2_whole", v2, flush, "board 0 0"},
      {"v2_behind_heartbeat", v2, tqtest::Concat({{0xF0}, flush}), "board 0 0"},
      {"v1_stray_4", v1, Bytes(check.begin(), check.begin() + 4), nullptr},
      {"v1_whole", v1, check, "check 0 0"},
  };
  const fs::path dir = FreshDir("tail");
  for (const auto& c : cases) {
    WriteAll(dir / "ref.raw", c.reference);
    std::vector<std::string> expected = Replay(dir / "ref.raw");
    ASSERT_GT(expected.size(), 20u);
    const Bytes refOut = ReadAll(dir / "ref.out");
    if (c.extraLine != nullptr) expected.push_back(c.extraLine);
    const fs::path path = dir / (std::string(c.name) + ".raw");
    WriteAll(path, tqtest::Concat({c.reference, c.tail}));
    EXPECT_EQ(Replay(path), expected) << c.name;
    EXPECT_EQ(ReadAll(dir / (std::string(c.name) + ".out")), refOut) << c.name;
  }
}

TEST(Replay, SampleCapturesInUseAreNotCreated) {
  // The replayed file is held without sharing: replaying run1.val cannot
  // create run1.val, which ends the opening of captures before run1.out;
  // replaying run1.out creates run1.val only. Neither held file is emptied.
  const fs::path dir = FreshDir("in_use");
  WriteAll(dir / "run1.raw", tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), V2Strokes(2, 20)}));
  Replay(dir / "run1.raw");
  const Bytes val = ReadAll(dir / "run1.val");
  const Bytes out = ReadAll(dir / "run1.out");
  ASSERT_GT(val.size(), 20u);

  fs::remove(dir / "run1.out");
  Replay(dir / "run1.val");
  EXPECT_EQ(ReadAll(dir / "run1.val"), val);
  EXPECT_FALSE(fs::exists(dir / "run1.out"));

  WriteAll(dir / "run1.out", out);
  fs::remove(dir / "run1.val");
  Replay(dir / "run1.out");
  EXPECT_EQ(ReadAll(dir / "run1.out"), out);
  EXPECT_TRUE(fs::exists(dir / "run1.val"));
  EXPECT_GE(SizeOf(dir / "run1.val"), 20u);
}

TEST(Replay, FileThatCannotBeOpenedThrows) {
  PtyBoard board(1, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow host;
  ASSERT_EQ(TQOpenPort(1, host.Handle()), TQ_SUCCESS);
  struct Case {
    fs::path path;
    int cause;
  } const cases[] = {
      {RawCaptureOf(1), CFileException::sharingViolation},  // the open port holds it
      {FreshDir("missing") / "none.raw", CFileException::fileNotFound},
  };
  for (const Case& c : cases) {
    RecordingWindow window;
    CFileDialog dialog(c.path.string().c_str());
    try {
      TQReadFileData(window.Handle(), &dialog);
      ADD_FAILURE() << c.path << " was opened";
    } catch (const CFileException& error) {
      EXPECT_EQ(error.m_cause, c.cause) << c.path;
      EXPECT_NE(error.m_lOsError, 0) << c.path;
    }
  }
  TQReadFileData(host.Handle(), nullptr);  // no dialog: nothing happens
  board.Send(V2Strokes(1, 10));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return SizeOf(RawCaptureOf(1)) == 20u + 12 * 9; }, 5000));
  EXPECT_EQ(TQClose(1), TQ_SUCCESS);
  EXPECT_FALSE(Replay(RawCaptureOf(1)).empty()) << "free once the port is closed";
}

// The live stream of a version-2 board, replayed from its raw capture, gives
// the same pen messages and board events. Posted messages, the port number
// in lParam and the line's own reports are the live port's alone.
TEST(Replay, RawCaptureOfALivePortReplaysAsItRan) {
  // The pen and board messages a window records, as lines.
  auto comparable = [](const RecordingWindow& window) {
    std::vector<std::string> lines;
    for (const tqtest::Received& e : window.Events()) {
      if (e.message == TQ_MSG_BOARD_EVENT) {
        lines.push_back("board " + std::to_string(e.wParam));
      } else if (e.message == TQ_MSG_PEN_DOWN || e.message == TQ_MSG_PEN_MOVE || e.message == TQ_MSG_PEN_UP) {
        lines.push_back(tqtest::EventLine(e));
      }
    }
    return lines;
  };
  const Bytes stream = tqtest::Concat({V2Strokes(3, 25), tqtest::Heartbeats(7), tqtest::CommandPacket(0x102),
                                       V2Strokes(2, 40, 1500, 1400), tqtest::CommandPacket(0x101),
                                       V2Strokes(2, 15, 600, 700)});
  // What the stream gives when replayed as sent.
  const Bytes sent = tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), stream});
  RecordingWindow asSent;
  tq::ReplayCaptureBytes(sent.data(), sent.size(), asSent.Handle(), tq::SReplayOptions{}, nullptr);
  RecordingWindow::Pump(0);
  const std::vector<std::string> want = comparable(asSent);
  ASSERT_GT(want.size(), 100u);

  PtyBoard board(2, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow live;
  ASSERT_EQ(TQOpenPort(2, live.Handle()), TQ_SUCCESS);
  for (size_t at = 0; at < stream.size(); at += 200) {
    board.Send(Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 200)));
    RecordingWindow::Pump(5);
  }
  const fs::path raw = RawCaptureOf(2);
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return SizeOf(raw) == 20 + stream.size(); }, 10000));
  // The capture is written before a chunk is decoded, and nothing of a port
  // arrives after its stop: the close waits until the whole stream is in.
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return comparable(live).size() >= want.size(); }, 5000))
      << comparable(live).size() << " of " << want.size();
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
  EXPECT_EQ(comparable(live), want);
  EXPECT_EQ(ReadAll(raw), sent);

  RecordingWindow replayed;
  CFileDialog dialog(raw.string().c_str());
  TQReadFileData(replayed.Handle(), &dialog);
  RecordingWindow::Pump(0);
  EXPECT_EQ(comparable(replayed), want);
  EXPECT_EQ(replayed.Events().front().message, TQ_MSG_PEN_DOWN);
  EXPECT_GT(SizeOf(raw.parent_path() / "tq2.out"), 20u);
}

// A board below version 2.0 posts a check for each "v" packet (and a signal
// for each 0x90 packet). A replay posts as many as the live port did, though
// it runs to the end before the window's loop takes any of them.
TEST(Replay, PostsOfABoardBelowVersion2AreThoseOfTheLivePort) {
  const auto [first, second] = tqtest::PenDistances(1000, 1000, kBaseline);
  const Bytes check = tqtest::ShortPacket('v', first, second);
  const Bytes signal = tqtest::ShortPacket(0x90, first, second);
  struct Case {
    const char* name;
    Bytes stream;
    size_t checks;
    size_t signals;
  } const cases[] = {
      {"three_checks", tqtest::Repeat(check, 3), 3, 0},
      {"checks_and_signals_among_strokes",
       tqtest::Concat({V1Strokes(1, 20), check, signal, V1Strokes(1, 20), check, check, signal}), 3, 2},
  };
  // The posted messages a window received, counted by number, and its pen lines.
  auto seen = [](const RecordingWindow& window) {
    std::vector<std::string> lines = {"checks " + std::to_string(window.Count(TQ_MSG_BOARD_CHECK)),
                                      "signals " + std::to_string(window.Count(TQ_MSG_BOARD_0x90))};
    for (const tqtest::Received& e : window.Events()) {
      if (e.message == TQ_MSG_PEN_DOWN || e.message == TQ_MSG_PEN_MOVE || e.message == TQ_MSG_PEN_UP) {
        lines.push_back(tqtest::EventLine(e));
      }
    }
    return lines;
  };
  const fs::path dir = FreshDir("posts_v1");
  const fs::path raw = RawCaptureOf(3);
  for (const Case& c : cases) {
    const size_t signals = tqtest::kPostsAboveFFFFArrive ? c.signals : 0;
    PtyBoard board(3, tqtest::ShortFormBoard("1.0", "1.0", kBaseline));
    RecordingWindow live;
    ASSERT_EQ(TQOpenPort(3, live.Handle()), TQ_SUCCESS) << c.name;
    // Packet by packet, about as fast as the line brings them.
    for (size_t at = 0; at < c.stream.size(); at += 5) {
      board.Send(Bytes(c.stream.begin() + at, c.stream.begin() + std::min(c.stream.size(), at + 5)));
      RecordingWindow::Pump(5);
    }
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return SizeOf(raw) == 20 + c.stream.size(); }, 5000)) << c.name;
    // What was posted stays in the queue until the window's loop takes it;
    // TQClose would take back what is left.
    EXPECT_TRUE(RecordingWindow::PumpUntil(
        [&] { return live.Count(TQ_MSG_BOARD_CHECK) + live.Count(TQ_MSG_BOARD_0x90) >= c.checks + signals; },
        5000))
        << c.name;
    RecordingWindow::Pump(50);
    EXPECT_EQ(TQClose(3), TQ_SUCCESS);
    const std::vector<std::string> want = seen(live);
    EXPECT_EQ(want[0], "checks " + std::to_string(c.checks)) << c.name;
    EXPECT_EQ(want[1], "signals " + std::to_string(signals)) << c.name;

    // The live port's own capture, and the stream under a header of its own.
    const fs::path crafted = dir / (std::string(c.name) + ".raw");
    WriteAll(crafted, tqtest::Concat({CaptureHeader(1.0, 1.0, kBaseline), c.stream}));
    for (const fs::path& path : {raw, crafted}) {
      RecordingWindow replayed;
      CFileDialog dialog(path.string().c_str());
      TQReadFileData(replayed.Handle(), &dialog);
      RecordingWindow::Pump(0);
      EXPECT_EQ(seen(replayed), want) << c.name << ": " << path;
    }
  }
}

// ---- Writes that fail ------------------------------------------------------

TEST(FailingWrites, PenMessagesKeepFlowing) {
  const fs::path dir = FreshDir("full");
  PtyBoard board(4, tqtest::LongFormBoard("2.0", "2.1", kBaseline));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(4, window.Handle()), TQ_SUCCESS);
  AllStagesOff(4);
  TQOpenDumpFiles(4, (dir / "run1").string().c_str(), 7);
  tq::CBoardPort* port = tq::FindOpenPort(4);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->m_outFile.IsOpen());
  {
    const tqtest::FileSizeLimit full(64, {dir / "run1.raw", dir / "run1.val", dir / "run1.out"});
    board.Send(V2Strokes(4, 20));
    ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 4 * 22; }, 5000))
        << PenMessages(window);
    // A host file that takes nothing.
    const tqtest::FullFile takesNothing;
    CFile devFull;
    ASSERT_TRUE(devFull.Open(takesNothing.Path().c_str(), CFile::modeWrite | CFile::shareDenyNone));
    TQGetDumpFile(4, 0, &devFull);
  }
  EXPECT_GT(port->m_rawFile.FailedWrites() + port->m_outFile.FailedWrites(), 0u);
  EXPECT_LE(SizeOf(dir / "run1.raw"), 64u);
  EXPECT_LE(SizeOf(dir / "run1.out"), 64u);
  board.Send(V2Strokes(1, 10));
  ASSERT_TRUE(RecordingWindow::PumpUntil([&] { return PenMessages(window) == 4 * 22 + 12; }, 5000));
  EXPECT_EQ(TQClose(4), TQ_SUCCESS);

  // A replay whose two captures cannot grow reports what a free one does.
  WriteAll(dir / "run2.raw", tqtest::Concat({CaptureHeader(2.0, 2.1, kBaseline), V2Strokes(5, 30)}));
  const std::vector<std::string> want = Replay(dir / "run2.raw");
  std::vector<std::string> got;
  {
    const tqtest::FileSizeLimit full(100, {dir / "run2.val", dir / "run2.out"});
    got = Replay(dir / "run2.raw");
  }
  EXPECT_EQ(got, want);
}

}  // namespace
