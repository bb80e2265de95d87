// The line errors a host window receives when the line itself refuses: a
// device that turns down one set-up call, and reads and writes that fail at
// once or in their completion. A pty takes every setting and fails only by
// hanging up, so these run on a line that refuses on command.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/BoardPort.h"
#include "support/RecordingWindow.h"

namespace {

using tqtest::RecordingWindow;

enum class Step {
  kNone,
  kTimeouts,
  kMask,
  kGetSettings,
  kBuildSettings,
  kSetSettings,
  kReadAtOnce,
  kReadCompletion,
  kWriteAtOnce,
  kWriteCompletion,
};

// A line that does what it is told and refuses one step.
class RefusingLine final : public tqp::SerialLine {
 public:
  RefusingLine(Step refuse, std::vector<std::string>& calls) : m_refuse(refuse), m_calls(calls) {}

  bool SetTimeouts(const tqp::LineTimeouts&) override { return Call("timeouts", Step::kTimeouts); }
  bool SetEventMask(uint32_t mask) override {
    m_mask = mask;
    return Call("mask", Step::kMask);
  }
  bool GetEventMask(uint32_t* mask) override {
    *mask = m_mask;
    return true;
  }
  bool GetSettings(tqp::LineSettings* settings) override {
    *settings = tqp::LineSettings{};
    return Call("get", Step::kGetSettings);
  }
  bool BuildSettings(const char* text, tqp::LineSettings* settings) override {
    m_built = text;
    return Call("build", Step::kBuildSettings) && tqp::ParseLineDefinition(text, *settings);
  }
  bool SetSettings(const tqp::LineSettings& settings) override {
    m_applied = settings;
    return Call("set", Step::kSetSettings);
  }
  bool Purge() override {
    m_calls.push_back("purge");
    return true;
  }
  bool ClearError(uint32_t* inQueue) override {
    *inQueue = m_queued;
    return true;
  }
  bool Read(void*, uint32_t, uint32_t* got) override {
    *got = 0;
    return true;
  }
  bool Write(const void*, uint32_t count, uint32_t* written) override {
    *written = count;
    return true;
  }
  tqp::IoStart StartEventWait(uint32_t* error) override {
    *error = tqp::kErrorIoPending;
    return tqp::IoStart::kPending;
  }
  int WaitAny(tqp::Event&, tqp::Event&) override { return 0; }
  tqp::IoStart StartRead(void* buffer, uint32_t count, uint32_t* got, uint32_t* error) override {
    m_calls.push_back("read");
    *got = 0;
    m_queued = 0;
    if (m_refuse == Step::kReadAtOnce) {
      *error = 5;
      return tqp::IoStart::kFailed;
    }
    if (m_refuse == Step::kReadCompletion) {
      m_pending = true;
      *error = tqp::kErrorIoPending;
      return tqp::IoStart::kPending;
    }
    const uint32_t n = count < 3 ? count : 3;
    std::memset(buffer, 0, n);
    *got = n;
    return tqp::IoStart::kDone;
  }
  tqp::IoStart StartWrite(const void* buffer, uint32_t count, uint32_t* error) override {
    m_calls.push_back("write " + std::string(static_cast<const char*>(buffer), count));
    if (m_refuse == Step::kWriteAtOnce) {
      *error = 5;
      return tqp::IoStart::kFailed;
    }
    if (m_refuse == Step::kWriteCompletion) {
      m_pending = true;
      *error = tqp::kErrorIoPending;
      return tqp::IoStart::kPending;
    }
    return tqp::IoStart::kDone;
  }
  bool CompleteIo(uint32_t* transferred) override {
    *transferred = 0;
    m_calls.push_back("complete");
    const bool ok = !m_pending;
    m_pending = false;
    return ok;
  }

  uint32_t m_queued = 0;
  std::string m_built;
  tqp::LineSettings m_applied{};

 private:
  bool Call(const char* name, Step step) {
    m_calls.push_back(name);
    return m_refuse != step;
  }

  Step m_refuse;
  std::vector<std::string>& m_calls;
  uint32_t m_mask = 0;
  bool m_pending = false;
};

// The line-error codes the window received, in order.
std::vector<WPARAM> Codes(const RecordingWindow& window) {
  std::vector<WPARAM> codes;
  for (const auto& e : window.Events()) {
    if (e.message == TQ_MSG_COMM_ERROR) {
      EXPECT_EQ(e.lParam, 0);
      codes.push_back(e.wParam);
    }
  }
  return codes;
}

// A port object on a refusing line, with its window.
struct RefusingPort {
  explicit RefusingPort(Step refuse) : port(window.Handle()) {
    auto owned = std::make_unique<RefusingLine>(refuse, calls);
    line = owned.get();
    port.m_line = std::move(owned);
  }
  RecordingWindow window;
  tq::CBoardPort port;
  std::vector<std::string> calls;
  RefusingLine* line = nullptr;
};

struct SetUpCase {
  const char* name;
  Step refuse;
  std::vector<WPARAM> codes;
  std::vector<std::string> calls;  // a refusal skips the steps after it; the purge always runs
};

class LineSetUp : public ::testing::TestWithParam<SetUpCase> {};

TEST_P(LineSetUp, ARefusedStepIsReportedAndSkipsTheRest) {
  const SetUpCase& c = GetParam();
  RefusingPort board(c.refuse);
  auto& [window, port, calls, line] = board;
  RefusingLine& seen = *line;
  port.ConfigureLine(tqp::LineTimeouts{100, 0, 1000, 1000, 1000}, tqp::kEventRxChar,
                     "baud=9600 parity=N data=8 stop=1");
  EXPECT_EQ(Codes(window), c.codes);
  EXPECT_EQ(calls, c.calls);
  if (c.codes.empty()) {
    EXPECT_EQ(seen.m_built, "baud=9600 parity=N data=8 stop=1");
    EXPECT_EQ(seen.m_applied.baud, 9600u);
    EXPECT_EQ(seen.m_applied.dataBits, 8);
    EXPECT_TRUE(seen.m_applied.rtsEnable) << "RTS is raised for the board";
  }
}

const SetUpCase kSetUpCases[] = {
    {"all_taken", Step::kNone, {}, {"timeouts", "mask", "get", "build", "set", "purge"}},
    {"timeouts_refused", Step::kTimeouts, {7}, {"timeouts", "purge"}},
    {"mask_refused", Step::kMask, {6}, {"timeouts", "mask", "purge"}},
    {"settings_unreadable", Step::kGetSettings, {5}, {"timeouts", "mask", "get", "purge"}},
    {"definition_rejected", Step::kBuildSettings, {4},
     {"timeouts", "mask", "get", "build", "purge"}},
    {"settings_refused", Step::kSetSettings, {3},
     {"timeouts", "mask", "get", "build", "set", "purge"}},
};
INSTANTIATE_TEST_SUITE_P(Codes, LineSetUp, ::testing::ValuesIn(kSetUpCases),
                         [](const ::testing::TestParamInfo<SetUpCase>& p) { return std::string(p.param.name); });

struct TransferCase {
  const char* name;
  Step refuse;
  bool write;  // a command through the mailbox, or a read of what is queued
  std::vector<WPARAM> codes;
};

class LineTransfer : public ::testing::TestWithParam<TransferCase> {};

TEST_P(LineTransfer, AFailedReadOrWriteIsReported) {
  const TransferCase& c = GetParam();
  RefusingPort board(c.refuse);
  auto& [window, port, calls, line] = board;
  RefusingLine& seen = *line;
  port.m_stopEvent = std::make_unique<tqp::Event>();
  port.m_writeEvent = std::make_unique<tqp::Event>();
  port.m_mailboxSize = tq::kMailboxSize;
  port.m_mailbox = std::make_unique<char[]>(port.m_mailboxSize);
  std::memset(port.m_mailbox.get(), 0, port.m_mailboxSize);
  if (c.write) {
    std::memcpy(port.m_mailbox.get(), "?", 2);
    port.m_writeEvent->Set();
    port.WriteCommand();
    EXPECT_FALSE(port.m_writeEvent->IsSet()) << "the mailbox is free again";
    EXPECT_EQ(calls.front(), "purge");
    EXPECT_EQ(calls.at(1), "write ?");
  } else {
    seen.m_queued = 3;
    port.ReadAvailable();
    EXPECT_EQ(calls.front(), "read") << "one read of what the queue holds";
  }
  EXPECT_EQ(Codes(window), c.codes);
}

const TransferCase kTransferCases[] = {
    {"read_taken", Step::kNone, false, {}},
    {"read_fails_at_once", Step::kReadAtOnce, false, {2}},
    {"read_completion_fails", Step::kReadCompletion, false, {9}},
    {"write_taken", Step::kNone, true, {}},
    {"write_fails_at_once", Step::kWriteAtOnce, true, {1}},
    {"write_completion_fails", Step::kWriteCompletion, true, {9}},
};
INSTANTIATE_TEST_SUITE_P(Codes, LineTransfer, ::testing::ValuesIn(kTransferCases),
                         [](const ::testing::TestParamInfo<TransferCase>& p) { return std::string(p.param.name); });

}  // namespace
