// tq pen and tq calibrate run as users run them: the bundled captures played
// through the pen device, its events compared with a plain reading of the
// captures' message lists; the device made through libevdev against a
// stand-in for /dev/uinput; the systemd unit checked by systemd-analyze.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/PtyBoard.h"
#include "support/Packets.h"

namespace {

namespace fs = std::filesystem;

const std::string kTool = TQ_TOOL_PATH;

struct Result {
  int status;
  std::string out;
};

Result Shell(const std::string& command) {
  Result run{-1, {}};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// "TYPE CODE VALUE" of every E: line, in decimal.
std::vector<std::string> EvemuEvents(const std::string& text) {
  std::vector<std::string> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    unsigned type = 0, code = 0;
    int value = 0;
    double time = 0;
    if (std::sscanf(line.c_str(), "E: %lf %x %x %d", &time, &type, &code, &value) == 4) {
      events.push_back(std::to_string(type) + " " + std::to_string(code) + " " + std::to_string(value));
    }
  }
  return events;
}

// The plain reading of a message list: strokes from down to up; a stroke of
// eight code-0 points tracing C1 C2 C3 C1 C4 C3 C4 C2 is an eraser footprint
// on boards that have one, and footprints in a row are one rubber stroke.
class PlainTablet {
 public:
  PlainTablet(bool eraserBoard, int xMax, int yMax) : m_eraser(eraserBoard), m_xMax(xMax), m_yMax(yMax) {}
  std::vector<std::string> Read(const std::string& messages) {
    std::istringstream lines(messages);
    std::vector<std::array<int, 3>> stroke;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string kind;
      int x = 0, y = 0, code = 0;
      words >> kind >> x >> y >> code;
      if (kind == "down" || kind == "move") stroke.push_back({x, y, code});
      if (kind == "up" && !stroke.empty()) Stroke(stroke);
      if (kind == "up") stroke.clear();
    }
    if (!stroke.empty()) {
      Stroke(stroke);  // the end of the run lifts an open stroke like an up
    }
    if (m_rubber) Leave(BTN_TOOL_RUBBER);
    return m_events;
  }

 private:
  void Stroke(const std::vector<std::array<int, 3>>& p) {
    const auto same = [&p](int a, int b) { return p[a][0] == p[b][0] && p[a][1] == p[b][1]; };
    bool footprint = m_eraser && p.size() == 8 && same(3, 0) && same(5, 2) && same(6, 4) && same(7, 1) && !same(2, 0);
    for (const auto& point : p) footprint = footprint && point[2] == 0;
    if (footprint) {
      const int x = (p[0][0] + p[1][0] + p[2][0] + p[4][0]) / 4, y = (p[0][1] + p[1][1] + p[2][1] + p[4][1]) / 4;
      if (m_rubber) {
        Move(x, y);
      } else {
        Enter(BTN_TOOL_RUBBER, x, y, 100);
      }
      m_rubber = true;
      return;
    }
    if (m_rubber) Leave(BTN_TOOL_RUBBER);
    m_rubber = false;
    Enter(BTN_TOOL_PEN, p[0][0], p[0][1], p[0][2] + 1);
    for (size_t i = 1; i < p.size(); ++i) {
      if (p[i][2] != p[i - 1][2]) {
        Leave(BTN_TOOL_PEN);
        Enter(BTN_TOOL_PEN, p[i][0], p[i][1], p[i][2] + 1);
      } else {
        Move(p[i][0], p[i][1]);
      }
    }
    Leave(BTN_TOOL_PEN);
  }
  void Add(int type, int code, int value) {
    m_events.push_back(std::to_string(type) + " " + std::to_string(code) + " " + std::to_string(value));
  }
  void Enter(int tool, int x, int y, int serial) {
    m_x = std::clamp(x, 0, m_xMax);
    m_y = std::clamp(y, 0, m_yMax);
    Add(EV_ABS, ABS_X, m_x);
    Add(EV_ABS, ABS_Y, m_y);
    Add(EV_KEY, tool, 1);
    Add(EV_KEY, BTN_TOUCH, 1);
    Add(EV_MSC, MSC_SERIAL, serial);
    Add(EV_SYN, SYN_REPORT, 0);
  }
  void Move(int x, int y) {
    x = std::clamp(x, 0, m_xMax);
    y = std::clamp(y, 0, m_yMax);
    if (x == m_x && y == m_y) return;
    if (x != m_x) Add(EV_ABS, ABS_X, x);
    if (y != m_y) Add(EV_ABS, ABS_Y, y);
    Add(EV_SYN, SYN_REPORT, 0);
    m_x = x;
    m_y = y;
  }
  void Leave(int tool) {
    Add(EV_KEY, BTN_TOUCH, 0);
    Add(EV_KEY, tool, 0);
    Add(EV_SYN, SYN_REPORT, 0);
  }

  bool m_eraser;
  int m_xMax, m_yMax;
  bool m_rubber = false;
  int m_x = -1, m_y = -1;
  std::vector<std::string> m_events;
};

// A copy of a bundled capture in a scratch folder: a replay writes its
// .val and .out beside the file.
fs::path Scratch(const std::string& sample) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("tq-pen-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path copy = dir / sample;
  fs::copy_file(fs::path(TQ_SOURCE_DIR) / "samples" / sample, copy, fs::copy_options::overwrite_existing);
  return copy;
}

int AbsMax(const std::string& evemu, int code) {
  char lead[16];
  std::snprintf(lead, sizeof lead, "A: %02x 0 ", code);
  const size_t at = evemu.find(lead);
  return at == std::string::npos ? -1 : std::atoi(evemu.c_str() + at + std::strlen(lead));
}

TEST(TqPen, BundledCapturesGiveTheFramesOfTheirMessages) {
  const struct {
    const char* name;
    bool eraserBoard;
  } samples[] = {{"hello-v1", false}, {"hello-v2", true}, {"hello-v4", false}, {"pens-v3", true}, {"eraser-v3", true}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.name);
    const fs::path raw = Scratch(std::string(sample.name) + ".raw");
    const Result run = Shell(kTool + " pen --replay " + raw.string() + " --dry-run");
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.out.rfind("# EVEMU 1.3\n", 0), 0u);
    const int xMax = AbsMax(run.out, ABS_X), yMax = AbsMax(run.out, ABS_Y);
    ASSERT_GT(xMax, 0);
    ASSERT_GT(yMax, 0);
    const std::string messages = ReadText(fs::path(TQ_SOURCE_DIR) / "samples" / (std::string(sample.name) + ".events"));
    const std::vector<std::string> expected = PlainTablet(sample.eraserBoard, xMax, yMax).Read(messages);
    EXPECT_GT(expected.size(), 100u);
    EXPECT_EQ(EvemuEvents(run.out), expected);
    if (std::string(sample.name) == "eraser-v3") {
      EXPECT_NE(run.out.find("BTN_TOOL_RUBBER 1"), std::string::npos);
    }
  }
}

std::vector<std::string> LogLines(const std::string& log, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The stand-in for /dev/uinput in front of a command; a sanitized build
// lets it come first.
std::string WithShim(const std::string& log) {
  return "ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" UINPUT_SHIM_LOG=" + log + " LD_PRELOAD=" +
         TQ_SHIM_PATH + " ";
}

// libevdev makes the device for real, against the stand-in: the ioctls it
// sends and the records written are what the kernel would get.
TEST(TqPen, MakesTheDeviceThroughUinputAndWritesTheSameEvents) {
  const fs::path raw = Scratch("eraser-v3.raw");
  const std::string log = raw.string() + ".uinput";
  const struct {
    const char* options;
    std::vector<std::string> ioctls;  // beyond the ones every device has
    std::string prop;
  } cases[] = {
      {"", {}, "UI_SET_PROPBIT " + std::to_string(INPUT_PROP_DIRECT)},
      {"--pointer --pressure --units-per-mm 5",
       {"UI_SET_ABSBIT " + std::to_string(ABS_PRESSURE)},
       "UI_SET_PROPBIT " + std::to_string(INPUT_PROP_POINTER)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string args = " pen --replay " + raw.string() + " " + c.options;
    const Result made = Shell(WithShim(log) + kTool + args);
    ASSERT_EQ(made.status, 0) << made.out;
    EXPECT_NE(made.out.find("its node is not known"), std::string::npos) << made.out;
    const std::string record = ReadText(log);
    const std::vector<std::string> ioctls = LogLines(record, "ioctl ");
    std::vector<std::string> wanted = {
        "UI_SET_EVBIT " + std::to_string(EV_KEY), "UI_SET_EVBIT " + std::to_string(EV_ABS),
        "UI_SET_EVBIT " + std::to_string(EV_MSC), "UI_SET_KEYBIT " + std::to_string(BTN_TOOL_PEN),
        "UI_SET_KEYBIT " + std::to_string(BTN_TOOL_RUBBER), "UI_SET_KEYBIT " + std::to_string(BTN_TOUCH),
        "UI_SET_ABSBIT " + std::to_string(ABS_X), "UI_SET_ABSBIT " + std::to_string(ABS_Y),
        "UI_SET_MSCBIT " + std::to_string(MSC_SERIAL), c.prop, "UI_DEV_CREATE 0"};
    wanted.insert(wanted.end(), c.ioctls.begin(), c.ioctls.end());
    for (const std::string& w : wanted) EXPECT_TRUE(Has(ioctls, w)) << w << "\n" << record;
    EXPECT_FALSE(Has(ioctls, "UI_SET_EVBIT " + std::to_string(EV_REL))) << "a relative axis makes it a mouse";
    ASSERT_FALSE(ioctls.empty());
    EXPECT_EQ(ioctls.back(), "UI_DEV_DESTROY 0");
    EXPECT_EQ(LogLines(record, "setup "), std::vector<std::string>{"6 \"TQ board pen\""});
    const std::vector<std::string> axes = LogLines(record, "abs ");
    const std::string resolution = std::string(c.options).empty() ? "2" : "5";
    ASSERT_GE(axes.size(), 2u);
    EXPECT_EQ(axes[0], "0 0 3396 " + resolution);
    EXPECT_EQ(axes[1].substr(axes[1].rfind(' ')), " " + resolution);
    EXPECT_EQ(Has(axes, "24 0 1023 0"), !std::string(c.options).empty());
    // The records are the dry run's events.
    const Result dry = Shell(kTool + args + " --dry-run");
    EXPECT_EQ(LogLines(record, "event "), EvemuEvents(dry.out));
    EXPECT_GT(LogLines(record, "event ").size(), 100u);
  }
}

TEST(TqPen, CalibrationMapsOntoTheScreen) {
  const fs::path raw = Scratch("hello-v2.raw");
  const std::string file = raw.string() + ".calibration";
  const std::string calibrate = kTool + " calibrate --board 3396x4512 --screen 1920x1080 --out " + file;
  const Result made = Shell(calibrate + " --points '200,300 3000,400 2900,2000 300,1900'");
  ASSERT_EQ(made.status, 0) << made.out;
  EXPECT_NE(made.out.find("ENV{LIBINPUT_CALIBRATION_MATRIX}=\""), std::string::npos) << made.out;
  EXPECT_NE(made.out.find("board 200.0 300.0 -> pixel 192.0 108.0"), std::string::npos) << made.out;
  const Result mapped =
      Shell(kTool + " pen --replay " + raw.string() + " --dry-run --units-per-mm 10 --calibration " + file);
  ASSERT_EQ(mapped.status, 0) << mapped.out;
  EXPECT_EQ(AbsMax(mapped.out, ABS_X), 1919);
  EXPECT_EQ(AbsMax(mapped.out, ABS_Y), 1079);
  // 1536 pixels over 2802 board units at 10 units a millimetre.
  EXPECT_NE(mapped.out.find("A: 00 0 1919 0 0 5\n"), std::string::npos) << mapped.out.substr(0, 1500);
  const Result scaled = Shell(kTool + " pen --replay " + raw.string() + " --dry-run --screen 960x540 --calibration " + file);
  EXPECT_EQ(AbsMax(scaled.out, ABS_X), 959);
  EXPECT_GT(EvemuEvents(mapped.out).size(), 500u);

  const struct {
    std::string args;
    int status;
  } refused[] = {
      {calibrate + " --points '0,0 100,0 200,0 0,100'", 1},  // three on a line
      {calibrate + " --points '0,0 100,0 200,0'", 2},
      {kTool + " calibrate --points '0,0 100,0 100,100 0,100' --out " + file + " --screen 1920x1080", 2},
      {kTool + " calibrate --board 10x10 --screen 1920 --out " + file + " --points '0,0 1,0 1,1 0,1'", 2},
      {kTool + " pen --replay " + raw.string() + " --screen 1920x1080", 2},
      {kTool + " pen", 2},
  };
  for (const auto& r : refused) EXPECT_EQ(Shell(r.args).status, r.status) << r.args;
  // An output that cannot be written is told before the board is opened and
  // anyone touches four targets.
  const Result unwritable =
      Shell(kTool + " calibrate --device dev/null --screen 1920x1080 --out /nonexistent/dir/x.calibration");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.out.find("cannot write '/nonexistent/dir/x.calibration'"), std::string::npos) << unwritable.out;
}

// Misclicks refused alike by tq calibrate --points and, for a file that
// holds them, by tq pen --calibration: each with its reason.
TEST(TqCalibrate, RefusesMisclicksWithTheReason) {
  const fs::path raw = Scratch("hello-v2.raw");
  const std::string file = raw.string() + ".checked.calibration";
  const struct {
    const char* name;
    const char* points;
    const char* reason;  // empty: accepted
  } cases[] = {
      {"good", "200,300 3000,400 2900,2000 300,1900", ""},
      {"keystoned", "300,300 2900,200 3100,2100 150,1800", ""},
      {"top-right and bottom-right swapped", "200,300 2900,2000 3000,400 300,1900", "out of order"},
      {"top-left and top-right swapped", "3000,400 200,300 2900,2000 300,1900", "out of order"},
      {"bow-tie", "300,300 3000,300 300,4000 3000,4000", "twisted"},
      {"double touch", "200,300 202,300 2900,2000 300,1900", "touched twice"},
      {"mirrored: the wrong pod", "3000,400 200,300 300,1900 2900,2000", "--pod"},
      {"upside down", "2900,2000 300,1900 200,300 3000,400", "--pod"},
      {"aspect far off", "200,300 3000,300 3000,700 200,700", "as wide as high"},
  };
  const double screen[4][2] = {{192, 108}, {1728, 108}, {1728, 972}, {192, 972}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file);
    const Result made = Shell(kTool + " calibrate --board 3396x4572 --screen 1920x1080 --out " + file +
                              " --points '" + c.points + "'");
    const bool good = std::string(c.reason).empty();
    EXPECT_EQ(made.status, good ? 0 : 1) << made.out;
    EXPECT_EQ(fs::exists(file), good);
    if (!good) {
      EXPECT_NE(made.out.find(c.reason), std::string::npos) << made.out;
    }
    // The same four positions in a file written by hand.
    std::istringstream words(c.points);
    std::string text = "screen 1920 1080\nboard 3396 4572\n";
    for (const auto& pixel : screen) {
      std::string word;
      words >> word;
      std::replace(word.begin(), word.end(), ',', ' ');
      text += "pair " + word + " " + std::to_string(pixel[0]) + " " + std::to_string(pixel[1]) + "\n";
    }
    std::ofstream(file) << text;
    const Result pen = Shell(kTool + " pen --replay " + raw.string() + " --dry-run --calibration " + file);
    EXPECT_EQ(pen.status, good ? 0 : 1) << pen.out.substr(0, 300);
    if (!good) {
      EXPECT_NE(pen.out.find("tq pen: cannot use the calibration"), std::string::npos) << pen.out;
      EXPECT_NE(pen.out.find(c.reason), std::string::npos) << pen.out;
    }
  }
}

// A program started in the background, its output in a file.
class Background {
 public:
  explicit Background(const std::string& command, const std::string& out) : m_out(out) {
    m_pid = std::atoi(Shell(command + " > " + out + " 2>&1 & echo $!").out.c_str());
  }
  ~Background() { Stop(); }
  int Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0 && kill(m_pid, 0) == 0; }
  std::string Output() const { return ReadText(m_out); }
  // Not our child (the shell started it): wait until it is gone.
  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    for (int i = 0; i < 100 && Running(); ++i) usleep(50000);
    m_pid = -1;
  }

 private:
  std::string m_out;
  int m_pid = -1;
};

// Waits up to `seconds` until `read()` holds `text`.
template <typename Read>
bool WaitFor(Read read, const std::string& text, int seconds = 5) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (read().find(text) != std::string::npos) return true;
    usleep(50000);
  }
  return false;
}

std::string ScratchName(const std::string& name) {
  return (fs::path(::testing::TempDir()) / (name + "-" + std::to_string(getpid()))).string();
}

tqtest::Bytes PenAt(double x, double y, uint8_t code) {
  const auto [first, second] = tqtest::PenDistances(x, y, 3056);
  return tqtest::PenPacket(0xA0, first, second, code);
}

const std::string kUnfiltered = " --no-validate --no-antistreak --no-smooth";


// A board that vanishes in the middle of a stroke: the pen is lifted, the
// program says so and runs on until SIGTERM, then destroys the device.
TEST(TqPen, ALostLineLiftsThePenAndTheDaemonRunsOn) {
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const std::string log = ScratchName("tq-pen-lost");
  Background pen(WithShim(log) + kTool + " pen --port 7" + kUnfiltered, log + ".out");
  const auto record = [&log] { return ReadText(log); };
  ASSERT_TRUE(WaitFor(record, "UI_DEV_CREATE")) << pen.Output();
  board.Send(tqtest::Repeat(PenAt(1000, 800, 30), 5));
  ASSERT_TRUE(WaitFor(record, "event 1 330 1"));
  board.Vanish();
  EXPECT_TRUE(WaitFor(record, "event 1 330 0"));
  usleep(200000);
  EXPECT_TRUE(pen.Running()) << "the daemon ended with its line";
  pen.Stop();
  const std::vector<std::string> events = LogLines(record(), "event ");
  ASSERT_GE(events.size(), 3u) << record();
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"1 330 0", "1 320 0", "0 0 0"}));
  EXPECT_NE(pen.Output().find("pen lifted, still running"), std::string::npos) << pen.Output();
  EXPECT_EQ(LogLines(record(), "ioctl ").back(), "UI_DEV_DESTROY 0");
}

// An adapter unplugged and plugged back: --reopen opens the port again and
// the pen writes through the same device.
TEST(TqPen, ReopensALineThatCameBack) {
  const std::string link = ScratchName("tq-pen-line"), log = ScratchName("tq-pen-reopen");
  auto first = std::make_unique<tqtest::PtyBoard>(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  fs::remove(link);
  fs::create_symlink(first->SlavePath(), link);
  Background pen("TQ_COM7=" + link + " " + WithShim(log) + kTool + " pen --port 7 --reopen" + kUnfiltered,
                 log + ".out");
  const auto output = [&pen] { return pen.Output(); };
  ASSERT_TRUE(WaitFor([&log] { return ReadText(log); }, "UI_DEV_CREATE")) << pen.Output();
  first->Vanish();
  ASSERT_TRUE(WaitFor(output, "line error"));
  first.reset();
  tqtest::PtyBoard second(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  fs::remove(link);
  fs::create_symlink(second.SlavePath(), link);
  ASSERT_TRUE(WaitFor(output, "open again", 15)) << pen.Output();
  second.Send(tqtest::Repeat(PenAt(1000, 800, 30), 5));
  EXPECT_TRUE(WaitFor([&log] { return ReadText(log); }, "event 1 330 1"));
  pen.Stop();
  const std::vector<std::string> ioctls = LogLines(ReadText(log), "ioctl ");
  EXPECT_EQ(std::count(ioctls.begin(), ioctls.end(), "UI_DEV_CREATE 0"), 1);
  fs::remove(link);
}

// The four targets touched on a board: each touch's middle is its pair.
TEST(TqCalibrate, RecordsFourTouches) {
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const std::string file = ScratchName("tq-touched.calibration");
  Background calibrate(kTool + " calibrate --port 7 --screen 1920x1080 --out " + file + kUnfiltered,
                       file + ".out");
  const double touches[4][2] = {{500, 600}, {2500, 620}, {2450, 1800}, {520, 1750}};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(WaitFor([&] { return calibrate.Output(); }, "target " + std::to_string(i + 1) + " of 4"))
        << calibrate.Output();
    board.Send(tqtest::Concat({PenAt(touches[i][0] - 2, touches[i][1], 30), PenAt(touches[i][0] + 2, touches[i][1], 30),
                               PenAt(touches[i][0], touches[i][1], 15)}));
  }
  for (int i = 0; i < 100 && calibrate.Running(); ++i) usleep(50000);
  std::istringstream pairs(ReadText(file));
  int found = 0;
  for (std::string word; pairs >> word;) {
    if (word != "pair") continue;
    double bx = 0, by = 0, sx = 0, sy = 0;
    pairs >> bx >> by >> sx >> sy;
    // Host units: x moved by 140, y by -100, with pod location 0.
    EXPECT_NEAR(bx, touches[found][0] + 140, 2.0) << found;
    EXPECT_NEAR(by, touches[found][1] - 100, 2.0) << found;
    ++found;
  }
  EXPECT_EQ(found, 4) << calibrate.Output();
  EXPECT_NE(calibrate.Output().find("LIBINPUT_CALIBRATION_MATRIX"), std::string::npos);
}

// Touching the first target again for the second is refused with the
// reason and the second is asked for again; the calibration is the good
// touches'.
TEST(TqCalibrate, AsksAgainForAMisclick) {
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const std::string file = ScratchName("tq-misclick.calibration");
  Background calibrate(kTool + " calibrate --port 7 --screen 1920x1080 --out " + file + kUnfiltered,
                       file + ".out");
  const auto output = [&calibrate] { return calibrate.Output(); };
  const double touches[5][2] = {{500, 600}, {505, 600}, {2500, 620}, {2450, 1800}, {520, 1750}};
  const char* const asked[5] = {"target 1 of 4", "target 2 of 4", "refused: the top-right touch", "target 3 of 4",
                                "target 4 of 4"};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WaitFor(output, asked[i])) << calibrate.Output();
    board.Send(tqtest::Concat({PenAt(touches[i][0], touches[i][1], 30), PenAt(touches[i][0], touches[i][1], 15)}));
  }
  for (int i = 0; i < 100 && calibrate.Running(); ++i) usleep(50000);
  EXPECT_NE(calibrate.Output().find("touched twice?"), std::string::npos) << calibrate.Output();
  const std::string text = ReadText(file);
  EXPECT_NE(text.find("pair 2640 520 "), std::string::npos) << text << calibrate.Output();
  EXPECT_EQ(text.find("pair 645 "), std::string::npos) << text;
}

// A virtual board on a pty, opened by tq pen, gives the events its own
// capture gives when replayed.
TEST(TqPen, ABoardOnAPtyGivesTheEventsOfItsCapture) {
  const std::string drawing = std::string(TQ_SIM_PATH) +
                              " --board-version 3.0 --text HI --font builtin --speed 2400 --clean --eraser-pass";
  const fs::path dir = Scratch("hello-v2.raw").parent_path();
  const std::string link = (dir / "board").string(), raw = (dir / "sim.raw").string();
  const Result live = Shell("(" + drawing + " --pty --link " + link + " --timeout 8 > /dev/null & " +
                            "for i in $(seq 50); do [ -e " + link + " ] && break; sleep 0.1; done; TQ_COM6=" +
                            link + " " + kTool + " pen --port 6 --dry-run --seconds 6 2>/dev/null; wait)");
  ASSERT_EQ(Shell(drawing + " --raw " + raw).status, 0);
  const Result replay = Shell(kTool + " pen --replay " + raw + " --dry-run");
  const std::vector<std::string> events = EvemuEvents(live.out);
  EXPECT_GT(events.size(), 200u) << live.out;
  EXPECT_EQ(events, EvemuEvents(replay.out));
  EXPECT_NE(live.out.find("BTN_TOOL_RUBBER 1"), std::string::npos);
}

// Every board's device tells itself apart: its name and phys name the serial
// device, its ids are the project's own; --name replaces the name. A replay
// has no device to name.
TEST(TqPen, NamesTheDeviceAfterItsSerialLine) {
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const std::string link = ScratchName("tq-left-board");
  fs::remove(link);
  fs::create_symlink(board.SlavePath(), link);
  const std::string leaf = fs::path(link).filename().string();
  const struct {
    std::string options;
    std::vector<std::string> lines;
  } cases[] = {
      {"--device " + link,
       {"# Input device phys: " + link + "\n", "# Input device uniq: " + leaf + "\n",
        "N: TQ board pen (" + leaf + ")\n", "I: 0006 7471 0001 "}},
      {"--device " + link + " --name 'Left board'", {"N: Left board\n", "I: 0006 7471 0001 "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const Result run = Shell(kTool + " pen " + c.options + " --dry-run --seconds 0.5");
    EXPECT_EQ(run.status, 0) << run.out;
    for (const std::string& line : c.lines) EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
  }
  // The ids and the phys reach the kernel through uinput.
  const std::string log = ScratchName("tq-pen-named");
  const Result made = Shell(WithShim(log) + kTool + " pen --device " + link + " --seconds 0.5");
  EXPECT_EQ(made.status, 0) << made.out;
  EXPECT_EQ(LogLines(ReadText(log), "id "), std::vector<std::string>{"7471 0001"});
  EXPECT_EQ(LogLines(ReadText(log), "phys "), std::vector<std::string>{"\"" + link + "\""});
  const Result replay = Shell(kTool + " pen --replay " + Scratch("hello-v1.raw").string() + " --dry-run");
  EXPECT_NE(replay.out.find("N: TQ board pen\nI: 0006 7471 0001 "), std::string::npos) << replay.out.substr(0, 300);
  EXPECT_EQ(replay.out.find("# Input device phys"), std::string::npos);
  fs::remove(link);
}

// The raw capture of the line: the library's own in the temporary
// directory, off, or a file of the command's; a bounded one moves to .1 and
// starts anew, each part a whole capture.
TEST(TqPen, RawCaptureOffElsewhereOrBounded) {
  const std::string tmp = ScratchName("tq-raw-tmp");
  fs::create_directories(tmp);
  const std::string own = tmp + "/own.raw", library = tmp + "/tq7.raw";
  const tqtest::Bytes stroke = tqtest::Repeat(PenAt(1000, 800, 30), 200);
  const struct {
    std::string options;
    uintmax_t libraryBody, ownBody;  // bytes past the 20-byte header; -1: no file
  } cases[] = {
      {"", stroke.size(), uintmax_t(-1)},
      {"--raw-capture off", 0, uintmax_t(-1)},
      {"--raw-capture " + own, 0, stroke.size()},
  };
  const auto body = [](const std::string& path) {
    return fs::exists(path) ? fs::file_size(path) - 20 : uintmax_t(-1);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    fs::remove(own);
    fs::remove(library);
    tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
    Background pen("TMPDIR=" + tmp + " " + kTool + " pen --port 7 --dry-run " + c.options, tmp + "/out");
    ASSERT_TRUE(WaitFor([&pen] { return pen.Output(); }, "# EVEMU")) << pen.Output();
    board.Send(stroke);
    EXPECT_TRUE(WaitFor([&pen] { return pen.Output(); }, "BTN_TOUCH 1"));
    usleep(200000);
    pen.Stop();
    EXPECT_EQ(body(library), c.libraryBody);
    EXPECT_EQ(body(own), c.ownBody);
  }
  // Past one mebibyte the capture moves aside.
  fs::remove(own);
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  Background pen(kTool + " pen --port 7 --dry-run --raw-capture " + own + " --raw-capture-max 1 > /dev/null",
                 tmp + "/out");
  ASSERT_TRUE(WaitFor([&own] { return fs::exists(own) ? std::string("made") : std::string(); }, "made"));
  const tqtest::Bytes many = tqtest::Repeat(PenAt(1000, 800, 30), 1200);
  for (int i = 0; i < 110; ++i) board.Send(many);
  EXPECT_TRUE(WaitFor([&own] { return fs::exists(own + ".1") ? std::string("moved") : std::string(); }, "moved", 15));
  pen.Stop();
  EXPECT_GT(fs::file_size(own + ".1"), 1u << 20);
  EXPECT_LT(fs::file_size(own), fs::file_size(own + ".1"));
  std::ifstream older(own + ".1", std::ios::binary), newer(own, std::ios::binary);
  std::string a(4, '\0'), b(4, '\0');
  older.read(a.data(), 4);
  newer.read(b.data(), 4);
  EXPECT_EQ(a, b) << "each part starts with a capture header";
  const Result refused = Shell(kTool + " pen --port 7 --raw-capture off --raw-capture-max 5");
  EXPECT_EQ(refused.status, 2) << refused.out;
  EXPECT_EQ(Shell(kTool + " pen --port 7 --raw-capture capture.txt").status, 2);
}

// A replay is timed as the board sent it: frames one packet's time on the
// line apart per pen message (5 bytes below protocol 2.0, 9 from it, at 9600
// baud), so that evemu-play plays it at the session's pace. It writes no
// .val or .out unless asked, and refuses what is no capture.
TEST(TqPen, AReplayKeepsTheBoardsPaceAndLeavesNoFiles) {
  const struct {
    const char* sample;
    long long packetUs;
  } samples[] = {{"hello-v1", 5208}, {"hello-v2", 9375}, {"eraser-v3", 9375}};
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.sample);
    const fs::path raw = Scratch(std::string(sample.sample) + ".raw");
    fs::remove(fs::path(raw).replace_extension(".val"));
    fs::remove(fs::path(raw).replace_extension(".out"));
    const Result run = Shell(kTool + " pen --replay " + raw.string() + " --dry-run");
    ASSERT_EQ(run.status, 0) << run.out.substr(0, 300);
    std::istringstream lines(run.out);
    long long last = 0;
    size_t offBeat = 0;
    for (std::string line; std::getline(lines, line);) {
      long long sec = 0, usec = 0;
      if (std::sscanf(line.c_str(), "E: %lld.%lld", &sec, &usec) != 2) continue;
      last = sec * 1000000 + usec;
      if (last % sample.packetUs != 0) ++offBeat;
    }
    EXPECT_EQ(offBeat, 0u);
    const std::string messages = ReadText(fs::path(TQ_SOURCE_DIR) / "samples" / (std::string(sample.sample) + ".events"));
    long long pen = 0;
    std::istringstream events(messages);
    for (std::string line; std::getline(events, line);) {
      pen += line.rfind("down ", 0) == 0 || line.rfind("move ", 0) == 0 || line.rfind("up ", 0) == 0;
    }
    EXPECT_LE(last, (pen - 1) * sample.packetUs);
    EXPECT_GE(last, (pen - 5) * sample.packetUs);
    EXPECT_FALSE(fs::exists(fs::path(raw).replace_extension(".val")));
    EXPECT_FALSE(fs::exists(fs::path(raw).replace_extension(".out")));
  }
  const fs::path raw = Scratch("hello-v2.raw");
  EXPECT_EQ(Shell(kTool + " pen --replay " + raw.string() + " --dry-run --write-captures > /dev/null").status, 0);
  EXPECT_TRUE(fs::exists(fs::path(raw).replace_extension(".val")));
  EXPECT_TRUE(fs::exists(fs::path(raw).replace_extension(".out")));

  const fs::path text = raw.parent_path() / "notes.raw";
  std::ofstream(text) << "not a capture but long enough to hold a header's twenty bytes\n";
  std::ofstream(raw.parent_path() / "short.raw") << "tq";
  for (const fs::path& bad : {text, raw.parent_path() / "short.raw", raw.parent_path() / "missing.raw",
                              raw.parent_path()}) {
    const Result run = Shell(kTool + " pen --replay " + bad.string() + " --dry-run");
    EXPECT_EQ(run.status, 1) << bad << run.out;
    EXPECT_EQ(run.out.find("# EVEMU"), std::string::npos) << "no device for what cannot be replayed";
    EXPECT_NE(run.out.find("tq pen: cannot "), std::string::npos) << run.out;
  }
}

// A replay with the board's settings gives what a live board with them
// gives: the pod location turns and mirrors the points as the library does,
// the height mirrors them for pods 1 and 3.
TEST(TqPen, AReplayTakesThePodAndHeightOfALiveBoard) {
  const std::string drawing =
      std::string(TQ_SIM_PATH) + " --board-version 3.0 --text HI --font builtin --speed 2400 --clean";
  const fs::path dir = Scratch("hello-v2.raw").parent_path();
  const std::string raw = (dir / "sim-pod.raw").string();
  ASSERT_EQ(Shell(drawing + " --raw " + raw).status, 0);
  for (const char* settings : {"--pod 1 --height 2000", "--pod 3 --height 2500", "--pod 2"}) {
    SCOPED_TRACE(settings);
    const std::string link = (dir / "board-pod").string();
    const Result live = Shell("(" + drawing + " --pty --link " + link + " --timeout 6 > /dev/null & " +
                              "for i in $(seq 50); do [ -e " + link + " ] && break; sleep 0.1; done; TQ_COM6=" +
                              link + " " + kTool + " pen --port 6 --dry-run --seconds 4 " + settings +
                              " 2>/dev/null; wait)");
    const Result replay = Shell(kTool + " pen --replay " + raw + " --dry-run " + settings);
    const std::vector<std::string> events = EvemuEvents(live.out);
    EXPECT_GT(events.size(), 200u) << live.out.substr(0, 400);
    EXPECT_EQ(events, EvemuEvents(replay.out));
    EXPECT_EQ(AbsMax(live.out, ABS_X), AbsMax(replay.out, ABS_X));
    EXPECT_EQ(AbsMax(live.out, ABS_Y), AbsMax(replay.out, ABS_Y));
  }
}

TEST(PenUnit, SystemdAcceptsTheUnit) {
  if (Shell("command -v systemd-analyze").status != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  const fs::path dir = fs::path(::testing::TempDir()) / ("tq-pen-unit-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string unit = ReadText(TQ_UNIT_PATH);
  ASSERT_NE(unit.find("ExecStart="), std::string::npos);
  // The unit as installed names the installed tool; here, the built one.
  const size_t at = unit.find("ExecStart=") + std::strlen("ExecStart=");
  unit.replace(at, unit.find(' ', at) - at, kTool);
  std::ofstream(dir / "tq-pen@ttyUSB0.service") << unit;
  const Result run = Shell("systemd-analyze verify --man=no " + (dir / "tq-pen@ttyUSB0.service").string());
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out.find("tq-pen@"), std::string::npos) << run.out;
  // Started by the device and bound to it, as its own user, without a
  // capture that would grow for days.
  for (const char* line : {"BindsTo=dev-%i.device\n", "After=dev-%i.device\n", "User=tq-pen\n",
                           "WantedBy=dev-%i.device\n", " --raw-capture off "}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  for (const char* line : {"User=root", "multi-user.target", "SupplementaryGroups=input"}) {
    EXPECT_EQ(unit.find(line), std::string::npos) << line;
  }
  const std::string sysusers = ReadText(fs::path(TQ_SOURCE_DIR) / "dist" / "tq-pen.sysusers.conf");
  EXPECT_NE(sysusers.find("\nu     tq-pen "), std::string::npos) << sysusers;
}

// The udev rule as udev itself reads it: every line parses (udevadm test,
// with only this rule and the tq-pen group in a mount namespace of its own,
// so nothing of the system's is touched); its matches name the adapter.
TEST(PenUnit, UdevReadsTheRule) {
  const std::string rules = ReadText(fs::path(TQ_SOURCE_DIR) / "dist" / "70-tq-pen.rules");
  const std::vector<std::string> wanted = {
      "GROUP=\"tq-pen\"", "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", ENV{TQ_PEN_BOARD}=\"1\"",
      "ENV{TQ_PEN_BOARD}==\"1\", ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"systemd\", "
      "ENV{SYSTEMD_WANTS}+=\"tq-pen@%k.service\"",
      "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", ATTR{latency_timer}=\"1\""};
  for (const std::string& w : wanted) EXPECT_NE(rules.find(w), std::string::npos) << w;
  // ModemManager is told about the board's adapter only.
  size_t ignores = 0;
  for (size_t at = rules.find("ID_MM_DEVICE_IGNORE}=\""); at != std::string::npos;
       at = rules.find("ID_MM_DEVICE_IGNORE}=\"", at + 1)) {
    ++ignores;
  }
  EXPECT_EQ(ignores, 1u);
  if (Shell("command -v udevadm && command -v unshare").status != 0) GTEST_SKIP() << "udevadm or unshare is missing";
  if (geteuid() != 0) GTEST_SKIP() << "reading the rule in a mount namespace of its own needs root";
  const fs::path dir = fs::path(::testing::TempDir()) / ("tq-pen-udev-" + std::to_string(getpid()));
  fs::create_directories(dir / "rules");
  fs::copy_file(fs::path(TQ_SOURCE_DIR) / "dist" / "70-tq-pen.rules", dir / "rules" / "70-tq-pen.rules",
                fs::copy_options::overwrite_existing);
  std::ofstream(dir / "group") << ReadText("/etc/group") << "tq-pen:x:990:\n";
  const std::string device = fs::exists("/sys/class/misc/uinput") ? "/class/misc/uinput" : "/class/tty/tty";
  const std::string script =
      "set -e; for d in /etc/udev/rules.d /usr/lib/udev/rules.d /run/udev /dev/char; do "
      "[ -d $d ] && [ ! -L $d ] && mount -t tmpfs none $d; done; mount --bind " + (dir / "rules").string() +
      " /etc/udev/rules.d; mount --bind " + (dir / "group").string() + " /etc/group; udevadm test --action=add " +
      device;
  const Result run = Shell("unshare -m sh -c '" + script + "'");
  if (run.out.find("Reading rules file") == std::string::npos) {
    GTEST_SKIP() << "udevadm test cannot run here: " << run.out.substr(0, 400);
  }
  EXPECT_NE(run.out.find("Reading rules file: /etc/udev/rules.d/70-tq-pen.rules"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("70-tq-pen.rules:"), std::string::npos) << "udev complains:\n" << run.out;
}

}  // namespace
