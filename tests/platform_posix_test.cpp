// The POSIX stand-in for the Windows services: serial timeouts and
// exclusivity on a real pseudo-terminal, the line definition parser, events,
// cross-thread sends, message order and timers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "support/PtyBoard.h"

namespace {

TEST(LineDefinition, ParsesAndRejects) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t baud;
    char parity;
    uint8_t data;
    uint8_t stop;
  } const cases[] = {
      {"baud=9600 parity=N data=8 stop=1", true, 9600, 'N', 8, 1},
      {"stop=2 data=7 parity=e baud=19200", true, 19200, 'E', 7, 2},
      {"baud=9600 stop=1.5", true, 9600, 'N', 8, 15},
      {"baud=9600", true, 9600, 'N', 8, 1},
      {"", false, 0, 0, 0, 0},
      {"baud=", false, 0, 0, 0, 0},
      {"baud=0", false, 0, 0, 0, 0},
      {"baud=99999999999", false, 0, 0, 0, 0},
      {"baud=9600 parity=X", false, 0, 0, 0, 0},
      {"baud=9600 data=9", false, 0, 0, 0, 0},
      {"baud=9600 stop=3", false, 0, 0, 0, 0},
      {"baud=9600x", false, 0, 0, 0, 0},
      {"speed=9600", false, 0, 0, 0, 0},
      {"baud 9600", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    tqp::LineSettings settings;
    settings.baud = 1;
    const bool ok = tqp::ParseLineDefinition(c.text, settings);
    EXPECT_EQ(ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(settings.baud, c.baud) << c.text;
      EXPECT_EQ(settings.parity, c.parity) << c.text;
      EXPECT_EQ(settings.dataBits, c.data) << c.text;
      EXPECT_EQ(settings.stopBits, c.stop) << c.text;
    } else {
      EXPECT_EQ(settings.baud, 1u) << "a rejected text changes nothing: " << c.text;
    }
  }
  tqp::LineSettings settings;
  EXPECT_FALSE(tqp::ParseLineDefinition(nullptr, settings));
}

class SerialLineTest : public ::testing::Test {
 protected:
  tqtest::PtyBoard board{6, [] {
                           tqtest::BoardScript s;
                           s.silent = true;
                           return s;
                         }()};
};

TEST_F(SerialLineTest, PlainReadTimeouts) {
  auto line = tqp::SerialLine::Open("COM6", false);
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetTimeouts({100, 0, 1000, 1000, 1000}));
  uint8_t buffer[16];
  uint32_t got = 99;
  // Nothing arrives: the total timeout ends the read after about a second.
  uint32_t start = tqp::TickCount();
  EXPECT_TRUE(line->Read(buffer, 5, &got));
  uint32_t elapsed = tqp::TickCount() - start;
  EXPECT_EQ(got, 0u);
  EXPECT_GE(elapsed, 950u);
  EXPECT_LT(elapsed, 1500u);
  // The whole count arrives: the read returns at once.
  board.Send({1, 2, 3, 4, 5, 6});
  start = tqp::TickCount();
  EXPECT_TRUE(line->Read(buffer, 5, &got));
  EXPECT_EQ(got, 5u);
  EXPECT_LT(tqp::TickCount() - start, 500u);
  // Two bytes, then a pause longer than the interval: the read returns them.
  line->Purge();
  board.Send({7, 8});
  start = tqp::TickCount();
  EXPECT_TRUE(line->Read(buffer, 5, &got));
  elapsed = tqp::TickCount() - start;
  EXPECT_EQ(got, 2u);
  EXPECT_LT(elapsed, 600u);
}

TEST_F(SerialLineTest, ImmediateReadsAndRawBytes) {
  auto line = tqp::SerialLine::Open("COM6", true);
  ASSERT_NE(line, nullptr);
  ASSERT_TRUE(line->SetTimeouts({0xFFFFFFFFu, 0, 0, 1000, 1000}));
  tqp::LineSettings settings;
  ASSERT_TRUE(line->GetSettings(&settings));
  ASSERT_TRUE(line->BuildSettings("baud=9600 parity=N data=8 stop=1", &settings));
  settings.rtsEnable = true;  // a pty has no modem lines: this must not fail
  ASSERT_TRUE(line->SetSettings(settings));
  uint8_t buffer[16];
  uint32_t got = 99;
  const uint32_t start = tqp::TickCount();
  EXPECT_TRUE(line->Read(buffer, 5, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(tqp::TickCount() - start, 50u);
  // Flow-control characters, CR, LF and 0xFF pass unchanged.
  const tqtest::Bytes sent = {0x11, 0x13, 0x0D, 0x0A, 0xFF, 0x00, 0x7F, 0x03};
  board.Send(sent);
  uint32_t queued = 0;
  for (int i = 0; i < 100 && queued < sent.size(); ++i) {
    line->ClearError(&queued);
    tqp::SleepMs(5);
  }
  EXPECT_EQ(queued, sent.size());
  uint32_t error = 0;
  ASSERT_EQ(line->StartRead(buffer, sizeof buffer, &got, &error), tqp::IoStart::kDone);
  EXPECT_EQ(tqtest::Bytes(buffer, buffer + got), sent);
  // Purge clears what waits in the input queue.
  board.Send({1, 2, 3});
  tqp::SleepMs(50);
  line->Purge();
  line->ClearError(&queued);
  EXPECT_EQ(queued, 0u);
  // Writes reach the board.
  uint32_t written = 0;
  ASSERT_TRUE(line->Write("?", 1, &written));
  EXPECT_TRUE(board.WaitForReceived('?', 1, 1000));
}

TEST_F(SerialLineTest, OpenIsExclusive) {
  auto first = tqp::SerialLine::Open("COM6", false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(tqp::SerialLine::Open("COM6", true), nullptr);
  first.reset();
  EXPECT_NE(tqp::SerialLine::Open("COM6", true), nullptr);
}

TEST_F(SerialLineTest, WaitSeesStopLineAndWriteInThatOrder) {
  auto line = tqp::SerialLine::Open("COM6", true);
  ASSERT_NE(line, nullptr);
  tqp::Event stop;
  tqp::Event write;
  write.Set();
  EXPECT_EQ(line->WaitAny(stop, write), 2);
  board.Send({0xF0});
  tqp::SleepMs(50);
  EXPECT_EQ(line->WaitAny(stop, write), 1) << "the line comes before the write event";
  stop.Set();
  EXPECT_EQ(line->WaitAny(stop, write), 0);
  // A vanished device is a line event once; later waits do not spin on it.
  line->Purge();
  stop.Reset();
  write.Reset();
  board.Vanish();
  EXPECT_EQ(line->WaitAny(stop, write), 1);
  uint32_t error = 0;
  EXPECT_EQ(line->StartEventWait(&error), tqp::IoStart::kFailed);
  EXPECT_EQ(error, tqp::kErrorDeviceGone);
  std::thread setter([&] {
    tqp::SleepMs(50);
    write.Set();
  });
  EXPECT_EQ(line->WaitAny(stop, write), 2);
  setter.join();
}

TEST(SerialLineOpen, RefusesWhatIsNoTerminal) {
  setenv("TQ_COM7", "/dev/null", 1);
  EXPECT_EQ(tqp::SerialLine::Open("COM7", false), nullptr);
  setenv("TQ_COM7", "/nonexistent/tq-line", 1);
  EXPECT_EQ(tqp::SerialLine::Open("COM7", false), nullptr);
}

struct Log {
  std::mutex lock;
  std::vector<UINT> messages;
  void Add(UINT m) {
    std::lock_guard<std::mutex> g(lock);
    messages.push_back(m);
  }
  std::vector<UINT> Get() {
    std::lock_guard<std::mutex> g(lock);
    return messages;
  }
};

LRESULT LogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM) {
  static_cast<Log*>(TQGetWindowUser(window))->Add(message);
  return static_cast<LRESULT>(wParam) + 1;
}

void PumpFor(uint32_t ms) {
  const uint32_t start = tqp::TickCount();
  while (tqp::TickCount() - start < ms) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    tqp::PumpSentMessages(2);
  }
}

TEST(Messages, SendFromOwnerIsADirectCall) {
  Log log;
  HWND window = TQCreateWindow(&LogProcedure, &log);
  EXPECT_EQ(SendMessageA(window, 0x8001, 41, 0), 42);
  EXPECT_EQ(log.Get(), std::vector<UINT>{0x8001});
  TQDestroyWindow(window);
  EXPECT_EQ(SendMessageA(window, 0x8001, 41, 0), 0) << "a destroyed window loses the message";
  EXPECT_EQ(PostMessageA(window, 0x8001, 0, 0), 0);
}

TEST(Messages, SentBeforePostedEachInOrder) {
  Log log;
  HWND window = TQCreateWindow(&LogProcedure, &log);
  std::atomic<int> sentDone{0};
  PostMessageA(window, 0x9001, 0, 0);
  PostMessageA(window, 0x9002, 0, 0);
  std::thread other([&] {
    SendMessageA(window, 0x8001, 0, 0);
    sentDone = 1;
  });
  while (!TQGetWindowUser(window)) {
  }
  // Let the sender queue its message before the owner looks.
  tqp::SleepMs(50);
  MSG msg;
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  DispatchMessageA(&msg);
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  DispatchMessageA(&msg);
  other.join();
  EXPECT_EQ(sentDone.load(), 1);
  EXPECT_EQ(log.Get(), (std::vector<UINT>{0x8001, 0x9001, 0x9002}));
  TQDestroyWindow(window);
}

// A message waiting in the owner's queue when its sender withdraws it never
// reaches the window, and the sender is released with 0; one that is not
// withdrawn is handled as usual.
TEST(Messages, AWithdrawnSendIsReleasedUnhandled) {
  for (const bool withdraw : {false, true}) {
    Log log;
    HWND window = TQCreateWindow(&LogProcedure, &log);
    std::atomic<bool> withdrawn{false};
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] { result = tqp::SendMsg(window, 0x8001, 41, 0, &withdrawn); });
    tqp::SleepMs(50);  // the message is queued, not yet handled
    withdrawn = withdraw;
    PumpFor(20);
    sender.join();
    EXPECT_EQ(result.load(), withdraw ? 0 : 42) << withdraw;
    EXPECT_EQ(log.Get(), withdraw ? std::vector<UINT>{} : std::vector<UINT>{0x8001}) << withdraw;
    TQDestroyWindow(window);
  }
}

TEST(Messages, MutualSendsDoNotDeadlock) {
  // The owner of A blocks sending to B; B's owner, while handling that,
  // sends back to A. Both complete because a blocked sender handles what is
  // sent to its own windows.
  struct Pair {
    HWND a = nullptr;
    HWND b = nullptr;
  } pair;
  static Pair* s_pair = nullptr;
  s_pair = &pair;
  std::atomic<bool> ready{false};
  std::atomic<bool> finished{false};
  std::atomic<int> handledInA{0};
  static std::atomic<int>* s_handled = nullptr;
  s_handled = &handledInA;
  pair.a = TQCreateWindow(
      [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ++*s_handled;
        return 7;
      },
      nullptr);
  std::thread other([&] {
    pair.b = TQCreateWindow(
        [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return SendMessageA(s_pair->a, 1, 0, 0) + 1; },
        nullptr);
    ready = true;
    while (!finished) PumpFor(10);
    TQDestroyWindow(pair.b);
  });
  while (!ready) tqp::SleepMs(1);
  EXPECT_EQ(SendMessageA(pair.b, 2, 0, 0), 8);
  EXPECT_EQ(handledInA.load(), 1);
  finished = true;
  other.join();
  TQDestroyWindow(pair.a);
}

TEST(Messages, ReplyReleasesTheSenderEarlyAndEndedThreadsReleaseSenders) {
  static std::atomic<bool> replied{false};
  static std::atomic<bool> procedureDone{false};
  HWND window = TQCreateWindow(
      [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ReplyMessage(5);
        replied = true;
        tqp::SleepMs(200);
        procedureDone = true;
        return 9;
      },
      nullptr);
  std::atomic<LRESULT> result{0};
  std::atomic<bool> senderSawDone{true};
  std::thread sender([&] {
    result = SendMessageA(window, 1, 0, 0);
    senderSawDone = procedureDone.load();
  });
  PumpFor(400);
  sender.join();
  EXPECT_EQ(result.load(), 5);
  EXPECT_FALSE(senderSawDone.load()) << "the sender ran on before the procedure returned";
  TQDestroyWindow(window);

  // A window whose thread has ended: the send returns instead of hanging.
  HWND orphan = nullptr;
  std::thread owner([&] { orphan = TQCreateWindow(&LogProcedure, nullptr); });
  owner.join();
  EXPECT_EQ(SendMessageA(orphan, 1, 0, 0), 0);
  TQDestroyWindow(orphan);
}

TEST(Timers, FireInTheOwnersLoopAndStopWhenKilled) {
  static std::atomic<int> ticks{0};
  static std::atomic<UINT_PTR> seenId{0};
  const UINT_PTR id = tqp::StartTimer(50, [](HWND, UINT message, UINT_PTR timerId, DWORD) {
    EXPECT_EQ(message, WM_TIMER);
    seenId = timerId;
    ++ticks;
  });
  ASSERT_NE(id, 0u);
  tqp::SleepMs(120);
  EXPECT_EQ(ticks.load(), 0) << "no tick without a message loop";
  PumpFor(330);
  const int counted = ticks.load();
  EXPECT_GE(counted, 3);
  EXPECT_LE(counted, 8);
  EXPECT_EQ(seenId.load(), id);
  tqp::StopTimer(id);
  PumpFor(150);
  EXPECT_EQ(ticks.load(), counted);
}

TEST(Events, ManualResetAndTimedWait) {
  tqp::Event event;
  EXPECT_FALSE(event.IsSet());
  uint32_t start = tqp::TickCount();
  EXPECT_FALSE(event.Wait(100));
  EXPECT_GE(tqp::TickCount() - start, 95u);
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(100)) << "stays signalled until reset";
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
  std::thread setter([&] {
    tqp::SleepMs(30);
    event.Set();
  });
  start = tqp::TickCount();
  EXPECT_TRUE(event.Wait(tqp::kInfinite));
  EXPECT_LT(tqp::TickCount() - start, 1000u);
  setter.join();
}

TEST(TempPath, EndsWithASeparator) {
  const char* saved = std::getenv("TMPDIR");
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(tqp::TempPath(), "/var/tmp/");
  unsetenv("TMPDIR");
  EXPECT_EQ(tqp::TempPath(), "/tmp/");
  if (saved) setenv("TMPDIR", saved, 1);
}

}  // namespace
