// Opening a board over a real pseudo-terminal: the probe's answers and every
// error code of the open, and the exports around an open port.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "api/BoardPort.h"
#include "platform/Platform.h"
#include "support/PtyBoard.h"
#include "support/RecordingWindow.h"

using tqtest::BoardScript;
using tqtest::Bytes;
using tqtest::PtyBoard;
using tqtest::RecordingWindow;

namespace {

struct ProbeCase {
  const char* name;
  BoardScript script;
  TQ_ERROR_CODE expected;
  const char* versionText;  // expected text when the open succeeds
  bool asksVersion;         // the host writes 0x24
  unsigned width;
};

BoardScript WithVersion(BoardScript script, Bytes version) {
  script.versionReply = std::move(version);
  return script;
}

BoardScript WithGeometry(BoardScript script, uint8_t lead, unsigned baseline) {
  script.geometry = tqtest::GeometryPacket(lead, baseline, static_cast<unsigned>(script.geometry.size()));
  return script;
}

BoardScript LongProtocolShortLevel() {
  // Lead 0x90 (9-byte packets) but protocol 1.0: the version is asked for,
  // a long version reply is expected, and the geometry lead is 0x90.
  BoardScript script = tqtest::LongFormBoard("1.0", "1.7", 1000);
  script.versionUnasked = false;
  script.geometry = tqtest::GeometryPacket(0x90, 1000, 9);
  return script;
}

BoardScript BadProtocolLead() {
  BoardScript script = tqtest::ShortFormBoard("1.0", "1.5", 3056);
  script.protocolReply[0] = 'x';
  return script;
}

BoardScript Silent() {
  BoardScript script;
  script.silent = true;
  return script;
}

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, OpenGivesExpectedCode) {
  const ProbeCase& c = GetParam();
  PtyBoard board(1, c.script);
  RecordingWindow window;
  const uint32_t start = tqp::TickCount();
  EXPECT_EQ(TQOpenPort(1, window.Handle()), c.expected);
  const uint32_t elapsed = tqp::TickCount() - start;
  EXPECT_LT(elapsed, 3000u) << "the probe must give up after about a second";
  EXPECT_EQ(window.Count(TQ_MSG_COMM_ERROR), 0u) << "a pty takes every line setting";
  EXPECT_EQ(board.CountReceived(0x24) > 0, c.asksVersion);
  if (c.expected == TQ_SUCCESS) {
    char text[20];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(TQGetBoardVersion(1, text), TQ_SUCCESS);
    EXPECT_STREQ(text, c.versionText);
    unsigned width = 0;
    EXPECT_EQ(TQGetBoardWidth(1, &width), TQ_SUCCESS);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(TQClose(1), TQ_SUCCESS);
  } else {
    unsigned width = 12345;
    EXPECT_EQ(TQGetBoardWidth(1, &width), TQ_ERR_NOT_OPEN);
    EXPECT_EQ(width, 12345u);
  }
  EXPECT_EQ(TQClose(1), TQ_ERR_NOT_OPEN);
}

const ProbeCase kProbeCases[] = {
    {"short_form_1_0", tqtest::ShortFormBoard("1.0", "1.5", 3056), TQ_SUCCESS, "v1.5", true, 3396},
    {"long_form_2_0", tqtest::LongFormBoard("2.0", "2.1", 3056), TQ_SUCCESS, "\x90" "2.1", false,
     3396},
    {"long_lead_protocol_1_0", LongProtocolShortLevel(), TQ_SUCCESS, "\x90" "1.7", true, 1340},
    {"protocol_0_9", tqtest::ShortFormBoard("0.9", "1.5", 3056), TQ_ERR_NO_ANSWER, "", false, 0},
    {"protocol_2_1", tqtest::LongFormBoard("2.1", "2.1", 3056), TQ_ERR_PROTOCOL, "", false, 0},
    // The protocol text read as strtod reads it: an exponent, a leading
    // blank, a hexadecimal form.
    {"protocol_1e1", tqtest::LongFormBoard("1e1", "2.1", 3056), TQ_ERR_PROTOCOL, "", false, 0},
    {"protocol_blank_1", tqtest::ShortFormBoard(" 1.", "1.5", 3056), TQ_SUCCESS, "v1.5", true, 3396},
    {"protocol_0x2", tqtest::LongFormBoard("0x2", "2.1", 3056), TQ_SUCCESS, "\x90" "2.1", false, 3396},
    {"protocol_not_a_number", tqtest::ShortFormBoard("abc", "1.5", 3056), TQ_ERR_NO_ANSWER, "",
     false, 0},
    {"bad_protocol_lead", BadProtocolLead(), TQ_ERR_NO_ANSWER, "", false, 0},
    {"short_version_reply_on_long_line",
     WithVersion(tqtest::LongFormBoard("2.0", "2.1", 3056), {'v', '2', '.', '1', ' '}),
     TQ_ERR_NO_ANSWER, "", false, 0},
    {"long_version_reply_on_short_line",
     WithVersion(tqtest::ShortFormBoard("1.0", "1.5", 3056),
                 {0x90, '1', '.', '5', 0x13, 0x13, 0x13, 0x13, 0x13}),
     TQ_ERR_NO_ANSWER, "", true, 0},
    {"0x13_ends_long_version",
     WithVersion(tqtest::LongFormBoard("2.0", "2.1", 3056),
                 {0x90, '2', '.', '1', 0x13, '9', '9', 0x13, 0x13}),
     TQ_SUCCESS, "\x90" "2.1", false, 3396},
    {"long_version_text_whole",
     WithVersion(tqtest::LongFormBoard("2.0", "2.1", 3056),
                 {0x90, '3', '.', '2', '5', 'b', 'x', 'y', 'z'}),
     TQ_SUCCESS, "\x90" "3.25bxyz", false, 3396},
    {"baseline_499", tqtest::LongFormBoard("2.0", "2.1", 499), TQ_ERR_GEOMETRY, "", false, 0},
    {"baseline_500", tqtest::LongFormBoard("2.0", "2.1", 500), TQ_SUCCESS, "\x90" "2.1", false,
     840},
    {"baseline_5000", tqtest::ShortFormBoard("1.0", "1.5", 5000), TQ_SUCCESS, "v1.5", true, 5340},
    {"baseline_5001", tqtest::ShortFormBoard("1.0", "1.5", 5001), TQ_ERR_GEOMETRY, "", true, 0},
    {"geometry_low_nibble", WithGeometry(tqtest::LongFormBoard("2.0", "2.1", 3056), 0xB1, 3056),
     TQ_ERR_GEOMETRY, "", false, 0},
    {"geometry_wrong_lead_level2",
     WithGeometry(tqtest::LongFormBoard("2.0", "2.1", 3056), 0x90, 3056), TQ_ERR_NO_ANSWER, "",
     false, 0},
    {"geometry_wrong_lead_level1",
     WithGeometry(tqtest::ShortFormBoard("1.0", "1.5", 3056), 0xB0, 3056), TQ_ERR_NO_ANSWER, "",
     true, 0},
    {"silent_board", Silent(), TQ_ERR_NO_ANSWER, "", false, 0},
};

INSTANTIATE_TEST_SUITE_P(Boards, ProbeTest, ::testing::ValuesIn(kProbeCases),
                         [](const ::testing::TestParamInfo<ProbeCase>& p) { return std::string(p.param.name); });

TEST(ProbeWire, BinaryBytesPassTheLineUnchanged) {
  // 0x11 and 0x13 are XON and XOFF: a line left with software flow control
  // would swallow them. The long version reply carries both.
  BoardScript script = WithVersion(tqtest::LongFormBoard("2.0", "2.1", 3056),
                                   {0x90, '2', '.', '1', 0x11, 0x11, 0x11, 0x13, 0x13});
  PtyBoard board(1, script);
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(1, window.Handle()), TQ_SUCCESS);
  char text[20];
  TQGetBoardVersion(1, text);
  EXPECT_STREQ(text, "\x90" "2.1\x11\x11\x11");
  TQClose(1);
}

TEST(OpenFailures, DeviceMissingOrNotATerminal) {
  RecordingWindow window;
  setenv("TQ_COM1", "/nonexistent/tq-no-device", 1);
  EXPECT_EQ(TQOpenPort(1, window.Handle()), TQ_ERR_OPEN_FAILED);
  char path[] = "/tmp/tq-not-a-tty-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  setenv("TQ_COM1", path, 1);
  EXPECT_EQ(TQOpenPort(1, window.Handle()), TQ_ERR_OPEN_FAILED);
  unlink(path);
  close(fd);
  EXPECT_EQ(TQClose(1), TQ_ERR_NOT_OPEN);
}

TEST(OpenFailures, LineHeldByAnotherOpenerIsRefused) {
  PtyBoard board(1, tqtest::LongFormBoard("2.0", "2.1", 3056));
  auto holder = tqp::SerialLine::Open("COM1", false);
  ASSERT_NE(holder, nullptr);
  RecordingWindow window;
  EXPECT_EQ(TQOpenPort(1, window.Handle()), TQ_ERR_OPEN_FAILED);
  holder.reset();
  EXPECT_EQ(TQOpenPort(1, window.Handle()), TQ_SUCCESS);
  EXPECT_EQ(TQClose(1), TQ_SUCCESS);
}

TEST(Exports, PortNumbersOutsideTheTable) {
  RecordingWindow window;
  unsigned value = 77;
  char text[20] = "untouched";
  TQND counters{1, 2, 3};
  for (int port : {0, 9, -1}) {
    EXPECT_EQ(TQOpenPort(port, window.Handle()), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQClose(port), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQGetBoardWidth(port, &value), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQGetMaxBoardHeight(port, &value), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQGetBoardVersion(port, text), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQGetTQND(port, &counters), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQSetPodLocation(port, POD_LOCATION_1), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQSetBoardHeight(port, 5), TQ_ERR_BAD_PORT);
    EXPECT_EQ(TQSetHWND(port, window.Handle()), nullptr);
    EXPECT_EQ(TQSetValidateStatus(port, VALIDATION_ON), VALIDATION_OFF);
    EXPECT_EQ(TQSetFilterStatus(port, FILTER_ON), FILTER_OFF);
    EXPECT_EQ(TQSetAntiStreakStatus(port, ANTISTREAK_ON), ANTISTREAK_OFF);
  }
  for (int port = 1; port <= 8; ++port) {
    EXPECT_EQ(TQClose(port), TQ_ERR_NOT_OPEN);
    EXPECT_EQ(TQGetBoardWidth(port, &value), TQ_ERR_NOT_OPEN);
    EXPECT_EQ(TQSetHWND(port, window.Handle()), nullptr);
    EXPECT_EQ(TQSetValidateStatus(port, VALIDATION_ON), VALIDATION_OFF);
  }
  EXPECT_EQ(value, 77u);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(counters.pushed, 1u);
}

TEST(Exports, OpenPortSettingsAndWindows) {
  PtyBoard board(3, tqtest::LongFormBoard("2.0", "2.1", 3000));
  RecordingWindow first;
  RecordingWindow second;
  ASSERT_EQ(TQOpenPort(3, first.Handle()), TQ_SUCCESS);
  tq::CBoardPort* port = tq::FindOpenPort(3);
  ASSERT_NE(port, nullptr);

  unsigned height = 0;
  EXPECT_EQ(TQGetMaxBoardHeight(3, &height), TQ_SUCCESS);
  EXPECT_EQ(height, 4609u);
  // Null pointers are never written through.
  EXPECT_EQ(TQGetMaxBoardHeight(3, nullptr), TQ_SUCCESS);
  EXPECT_EQ(TQGetBoardVersion(3, nullptr), TQ_SUCCESS);
  EXPECT_EQ(TQGetTQND(3, nullptr), TQ_SUCCESS);

  EXPECT_EQ(TQSetHWND(3, second.Handle()), first.Handle());
  EXPECT_EQ(TQSetHWND(3, first.Handle()), second.Handle());

  EXPECT_EQ(TQSetPodLocation(3, POD_LOCATION_2), TQ_SUCCESS);
  EXPECT_EQ(port->m_podLocation.load(), 2);
  EXPECT_EQ(TQSetPodLocation(3, static_cast<POD_LOCATION>(4)), TQ_SUCCESS);
  EXPECT_EQ(TQSetPodLocation(3, POD_LOCATION_INVALID), TQ_SUCCESS);
  EXPECT_EQ(port->m_podLocation.load(), 2);

  EXPECT_EQ(TQSetBoardHeight(3, 1200), TQ_SUCCESS);
  EXPECT_EQ(port->m_boardHeight.load(), 1200);
  EXPECT_EQ(TQSetBoardHeight(3, 2147483648u), TQ_SUCCESS);
  EXPECT_EQ(port->m_boardHeight.load(), 0);

  EXPECT_EQ(TQSetValidateStatus(3, VALIDATION_OFF), VALIDATION_ON);
  EXPECT_EQ(TQSetValidateStatus(3, VALIDATION_OFF), VALIDATION_OFF);
  EXPECT_EQ(TQSetFilterStatus(3, static_cast<FILTER_STATUS>(2)), FILTER_ON);
  EXPECT_EQ(TQSetFilterStatus(3, FILTER_ON), FILTER_OFF);
  EXPECT_EQ(TQSetAntiStreakStatus(3, ANTISTREAK_ON), ANTISTREAK_ON);

  TQND counters{9, 9, 9};
  EXPECT_EQ(TQGetTQND(3, &counters), TQ_SUCCESS);
  EXPECT_EQ(counters.pushed, 0u);
  EXPECT_EQ(TQClose(3), TQ_SUCCESS);
  EXPECT_EQ(TQClose(3), TQ_ERR_NOT_OPEN);
}

TEST(Exports, ReopenClosesTheOldPortAndAFailedReopenLeavesItClosed) {
  PtyBoard board(2, tqtest::LongFormBoard("2.0", "2.1", 3056));
  RecordingWindow window;
  ASSERT_EQ(TQOpenPort(2, window.Handle()), TQ_SUCCESS);
  // Reopening needs the line the old object holds: it must be closed first.
  ASSERT_EQ(TQOpenPort(2, window.Handle()), TQ_SUCCESS);
  board.SetScript(Silent());
  EXPECT_EQ(TQOpenPort(2, window.Handle()), TQ_ERR_NO_ANSWER);
  unsigned width = 0;
  EXPECT_EQ(TQGetBoardWidth(2, &width), TQ_ERR_NOT_OPEN);
  board.SetScript(tqtest::LongFormBoard("2.0", "2.1", 3056));
  EXPECT_EQ(TQOpenPort(2, window.Handle()), TQ_SUCCESS) << "a failed open frees the line";
  EXPECT_EQ(TQClose(2), TQ_SUCCESS);
}

TEST(FindPort, TriesPortOneThenPortTwo) {
  RecordingWindow window;
  {
    PtyBoard one(1, tqtest::LongFormBoard("2.0", "2.1", 3056));
    PtyBoard two(2, tqtest::LongFormBoard("2.0", "2.1", 3056));
    SFindPortError errors{static_cast<TQ_ERROR_CODE>(99), static_cast<TQ_ERROR_CODE>(99)};
    EXPECT_EQ(TQFindPort(window.Handle(), &errors), 1);
    EXPECT_EQ(errors.port1, TQ_SUCCESS);
    EXPECT_EQ(static_cast<int>(errors.port2), 99) << "port 2 is not tried";
    TQClose(1);
  }
  {
    PtyBoard one(1, Silent());
    PtyBoard two(2, tqtest::LongFormBoard("2.0", "2.1", 3056));
    SFindPortError errors{static_cast<TQ_ERROR_CODE>(99), static_cast<TQ_ERROR_CODE>(99)};
    EXPECT_EQ(TQFindPort(window.Handle(), &errors), 2);
    EXPECT_EQ(errors.port1, TQ_ERR_NO_ANSWER);
    EXPECT_EQ(errors.port2, TQ_SUCCESS);
    TQClose(2);
  }
  {
    setenv("TQ_COM1", "/nonexistent/tq-a", 1);
    PtyBoard two(2, Silent());
    SFindPortError errors{static_cast<TQ_ERROR_CODE>(99), static_cast<TQ_ERROR_CODE>(99)};
    EXPECT_EQ(TQFindPort(window.Handle(), &errors), 0);
    EXPECT_EQ(errors.port1, TQ_ERR_OPEN_FAILED);
    EXPECT_EQ(errors.port2, TQ_ERR_NO_ANSWER);
    // A null record is allowed: the ports are still tried.
    EXPECT_EQ(TQFindPort(window.Handle(), nullptr), 0);
  }
}

TEST(BoardPort, MaxHeightAndSettingsOfThePortObject) {
  struct {
    uint32_t baseline;
    unsigned height;
  } const cases[] = {{0, 0}, {500, 5477}, {3000, 4609}, {4999, 2293}, {5000, 0}, {6000, 0}};
  for (const auto& c : cases) {
    tq::CBoardPort port(nullptr);
    port.m_receiverSpacing = c.baseline;
    EXPECT_EQ(port.GetMaxBoardHeight(), c.height) << c.baseline;
  }
  tq::CBoardPort port(nullptr);
  port.SetBoardHeight(-5);
  EXPECT_EQ(port.m_boardHeight.load(), 0);
  port.SetPodLocation(3);
  port.SetPodLocation(7);
  EXPECT_EQ(port.m_podLocation.load(), 3);
  // A port whose thread never started stops at once and still closes its line.
  port.Stop();
  EXPECT_EQ(port.m_line, nullptr);
}

}  // namespace
