// tq calibrate --show: the session behind it (touches judged, taken back,
// the pen placed on the screen as well as the touches tell), the page's
// requests refused from other sites, and the whole command with a scripted
// board touching the targets while headless Chromium shows the page.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pen/Calibration.h"
#include "pen/CalibrationSession.h"
#include "serve/ServeHttp.h"
#include "serve/StatePage.h"
#include "support/HeadlessBrowser.h"
#include "support/HttpProbe.h"
#include "support/Packets.h"
#include "support/PngPixels.h"
#include "support/PtyBoard.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tqpen::CalibrationSession;
using tqpen::PlanePoint;
using Outcome = CalibrationSession::Outcome;

// A board 3396 by 4572 units, the picture of a 1920x1080 screen on it a
// little keystoned: where each target lies on the board, host units.
const tqpen::Quad kOnBoard = {{{640, 500}, {2640, 520}, {2590, 1700}, {660, 1650}}};

// One step of a person at the board: a touch (at a board position), Back,
// or Redo of a target; what the session answers; the target asked for then.
struct Step {
  enum Kind { Touch, Back, Redo } kind;
  PlanePoint at;                   // Touch
  size_t target;                   // Redo
  std::optional<Outcome> outcome;  // Touch
  bool taken;                      // Back, Redo: whether the session took it
  size_t asked;
};

Step TouchAt(const PlanePoint& at, Outcome outcome, size_t asked) {
  return {Step::Touch, at, 0, outcome, true, asked};
}
Step Target(size_t i, size_t asked) { return TouchAt(kOnBoard[i], Outcome::Accepted, asked); }
Step BackStep(bool taken, size_t asked) { return {Step::Back, {}, 0, std::nullopt, taken, asked}; }
Step RedoStep(size_t target, bool taken, size_t asked) {
  return {Step::Redo, {}, target, std::nullopt, taken, asked};
}

TEST(TqCalibrateSession, TouchesAreJudgedTakenBackAndAskedForAgain) {
  const PlanePoint nearTopLeft{660, 510}, topRightElsewhere{2600, 560};
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::vector<bool> touched;  // at the end
    std::string refusal;        // words of the last touch's reason, or empty
  } cases[] = {
      {"the four in order",
       {Target(0, 1), Target(1, 2), Target(2, 3), Target(3, 4)},
       {1, 1, 1, 1},
       ""},
      {"a double touch is asked for again",
       {Target(0, 1), TouchAt(nearTopLeft, Outcome::Refused, 1), Target(1, 2)},
       {1, 1, 0, 0},
       ""},
      {"refused twice starts over",
       {Target(0, 1), TouchAt(nearTopLeft, Outcome::Refused, 1),
        TouchAt(nearTopLeft, Outcome::StartedOver, 0)},
       {0, 0, 0, 0},
       "touched twice?"},
      {"back during the touches",
       {BackStep(false, 0), Target(0, 1), Target(1, 2), BackStep(true, 1),
        TouchAt(topRightElsewhere, Outcome::Accepted, 2)},
       {1, 1, 0, 0},
       ""},
      {"only a touched target is redone",
       {Target(0, 1), RedoStep(1, false, 1), RedoStep(4, false, 1)},
       {1, 0, 0, 0},
       ""},
      {"a redo keeps the other three",
       {Target(0, 1), Target(1, 2), Target(2, 3), Target(3, 4), RedoStep(1, true, 1),
        TouchAt(topRightElsewhere, Outcome::Accepted, 4)},
       {1, 1, 1, 1},
       ""},
      {"a redo is judged against all four",
       {Target(0, 1), Target(1, 2), Target(2, 3), Target(3, 4), RedoStep(1, true, 1),
        TouchAt(kOnBoard[3], Outcome::Refused, 1)},
       {1, 0, 1, 1},
       "bottom-left"},
      {"back from a redo goes to the touched one before",
       {Target(0, 1), Target(1, 2), Target(2, 3), Target(3, 4), RedoStep(2, true, 2),
        BackStep(true, 1), Target(1, 2), Target(2, 4)},
       {1, 1, 1, 1},
       ""},
      {"nothing more once all four are in",
       {Target(0, 1),
        Target(1, 2),
        Target(2, 3),
        Target(3, 4),
        {Step::Touch, {1500, 1000}, 0, std::nullopt, true, 4}},
       {1, 1, 1, 1},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CalibrationSession session(1920, 1080, 0.1);
    session.SetBoardRange(3396, 4572);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (step.kind == Step::Touch) {
        session.PenAt(step.at);
        EXPECT_EQ(session.Lift(), step.outcome) << session.Refusal();
      } else {
        EXPECT_EQ(step.kind == Step::Back ? session.Back() : session.Redo(step.target), step.taken);
      }
      EXPECT_EQ(session.Asked(), step.asked);
    }
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(session.Touched(i), c.touched[i]) << i;
    if (c.refusal.empty()) {
      EXPECT_EQ(session.Refusal(), "");
    } else {
      EXPECT_NE(session.Refusal().find(c.refusal), std::string::npos) << session.Refusal();
    }
  }
}

// Board positions made from screen pixels by a known mapping: the session
// places the pen as exactly as its touches allow: a turn and a scale from
// two, an affine mapping from three, a perspective one from four.
TEST(TqCalibrateSession, PlacesThePenAsWellAsTheTouchesTell) {
  const auto similar = [](const PlanePoint& s) {  // turned 3 degrees, 1.3 units a pixel
    const double c = 1.3 * std::cos(0.052), si = 1.3 * std::sin(0.052);
    return PlanePoint{300 + c * s.x - si * s.y, 400 + si * s.x + c * s.y};
  };
  const auto sheared = [](const PlanePoint& s) {
    return PlanePoint{300 + 1.2 * s.x + 0.1 * s.y, 400 + 0.05 * s.x + 1.4 * s.y};
  };
  const auto keystoned = [](const PlanePoint& s) {
    const double w = 1.0 + 0.00012 * s.x + 0.00005 * s.y;
    return PlanePoint{(300 + 1.2 * s.x) / w, (400 + 1.3 * s.y) / w};
  };
  const struct {
    const char* name;
    PlanePoint (*onBoard)(const PlanePoint&);
    size_t touches;  // the first so many targets touched
  } cases[] = {{"a turned picture, two touches", +similar, 2},
               {"a sheared picture, three touches", +sheared, 3},
               {"a keystoned picture, four touches", +keystoned, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CalibrationSession session(1920, 1080, 0.1);
    session.SetBoardRange(3396, 4572);
    for (size_t i = 0; i < c.touches; ++i) {
      ASSERT_EQ(session.Touch(c.onBoard(session.Targets()[i])), Outcome::Accepted)
          << session.Refusal();
    }
    for (const PlanePoint& pixel :
         {PlanePoint{960, 540}, PlanePoint{1700, 1000}, PlanePoint{100, 900}}) {
      const PlanePoint at = session.Approximate(c.onBoard(pixel));
      EXPECT_NEAR(at.x, pixel.x, 0.01) << pixel.x << "," << pixel.y;
      EXPECT_NEAR(at.y, pixel.y, 0.01) << pixel.x << "," << pixel.y;
    }
  }
}

// The page's POSTs come from the page only: another site's Origin or
// Sec-Fetch-Site, a host name that is not the loopback's, or a GET (all a
// cross-site image can send) never reach the command.
TEST(TqCalibrateShow, RefusesRequestsFromOtherSites) {
  static const char kPage[] = "<!DOCTYPE html><title>t</title>";
  const tqtool::PageFile files[] = {{"/", "text/html", kPage, sizeof kPage - 1}};
  std::vector<std::string> acted;
  tqtool::StatePage page(files, 1,
                         [&acted](const std::string& action, const std::string& argument) {
                           acted.push_back(action + "/" + argument);
                           return tqtool::StatePage::Reply{200, "ok\n"};
                         });
  tqtool::ServeHttpLimits limits;
  limits.maxViewers = 4;
  limits.renders = 0;
  tqtool::ServeHttp http(page, limits);
  std::string error;
  ASSERT_TRUE(http.Bind(tqtool::ListenAddress{"127.0.0.1", 0}, error)) << error;
  ASSERT_TRUE(http.Start());
  const std::string self = "127.0.0.1:" + std::to_string(http.Port());
  const struct {
    const char* name;
    std::string head;
    int status;
    bool reaches;
    const char* body = "";
  } cases[] = {
      {"the page's own",
       "POST /redo/2 HTTP/1.1\r\nHost: " + self + "\r\nOrigin: http://" + self +
           "\r\nSec-Fetch-Site: same-origin\r\nContent-Length: 0\r\n",
       200, true},
      {"a program without an origin", "POST /done HTTP/1.1\r\nHost: localhost:1\r\n", 200, true},
      {"another site's origin",
       "POST /done HTTP/1.1\r\nHost: " + self + "\r\nOrigin: http://example.org\r\n", 403, false},
      {"an opaque origin", "POST /done HTTP/1.1\r\nHost: " + self + "\r\nOrigin: null\r\n", 403,
       false},
      {"the same origin on another port",
       "POST /done HTTP/1.1\r\nHost: " + self + "\r\nOrigin: http://127.0.0.1:1\r\n", 403, false},
      {"a cross-site fetch",
       "POST /back HTTP/1.1\r\nHost: " + self + "\r\nSec-Fetch-Site: cross-site\r\n", 403, false},
      {"a name made to resolve here",
       "POST /back HTTP/1.1\r\nHost: example.org:" + std::to_string(http.Port()) + "\r\n", 403,
       false},
      {"a GET, as an image sends it", "GET /done HTTP/1.1\r\nHost: " + self + "\r\n", 404, false},
      {"a body", "POST /done HTTP/1.1\r\nHost: " + self + "\r\nContent-Length: 5\r\n", 413, false,
       "hello"},
      {"another method", "PUT /done HTTP/1.1\r\nHost: " + self + "\r\nContent-Length: 0\r\n", 405,
       false},
  };
  size_t reached = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const tqtest::HttpReply reply =
        tqtest::RawRequest(http.Port(), c.head + "Connection: close\r\n\r\n" + c.body);
    EXPECT_EQ(reply.status, c.status) << reply.head << reply.body;
    reached += c.reaches;
    EXPECT_EQ(acted.size(), reached);
  }
  EXPECT_EQ(acted, (std::vector<std::string>{"redo/2", "done/"}));
  // The page itself, from the loopback's name only.
  EXPECT_EQ(tqtest::Get(http.Port(), "/").status, 200);
  EXPECT_EQ(tqtest::RawRequest(http.Port(),
                               "GET / HTTP/1.1\r\nHost: example.org\r\nConnection: close\r\n\r\n")
                .status,
            403);
  http.Stop();
}

// --- the whole command --------------------------------------------------

const std::string kTool = TQ_TOOL_PATH;

std::string ReadText(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// tq calibrate as a child process, its output in files.
class Calibrate {
 public:
  Calibrate(const std::vector<std::string>& args, const fs::path& dir,
            const std::vector<std::string>& env = {})
      : m_out(dir / "calibrate.out"), m_err(dir / "calibrate.err") {
    // Everything the child needs is made before the fork: the test's
    // threads (the board's) may hold the allocator's lock.
    std::vector<std::string> settings;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string setting = *e;
      bool replaced = false;
      for (const std::string& change : env) {
        const std::string name = change.substr(0, change.find('='));
        replaced = replaced || setting.rfind(name + "=", 0) == 0;
      }
      if (!replaced) settings.push_back(setting);
    }
    for (const std::string& change : env) {
      if (change.find('=') != std::string::npos) settings.push_back(change);
    }
    std::vector<char*> envp;
    for (std::string& setting : settings) envp.push_back(setting.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(kTool.c_str()), const_cast<char*>("calibrate")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string out = m_out.string(), err = m_err.string();
    fs::remove(m_out);  // not an earlier run's words
    fs::remove(m_err);
    m_pid = fork();
    if (m_pid == 0) {
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      execve(kTool.c_str(), argv.data(), envp.data());
      _exit(127);
    }
  }
  ~Calibrate() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
  }
  std::string Out() const { return ReadText(m_out); }
  std::string Err() const { return ReadText(m_err); }
  // Waits up to `seconds` for `times` lines with `text` on standard output.
  bool WaitFor(const std::string& text, int seconds = 10, size_t times = 1) const {
    for (int i = 0; i < seconds * 20; ++i) {
      const std::string out = Out();
      size_t found = 0;
      for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) {
        ++found;
      }
      if (found >= times) return true;
      usleep(50 * 1000);
    }
    return false;
  }
  // The page's port, from the line that names its address; 0 when none.
  int Port() const {
    const std::string address = "http://127.0.0.1:";
    for (int i = 0; i < 200; ++i) {
      const std::string out = Out();
      const size_t at = out.find(address);
      if (at != std::string::npos) return std::atoi(out.c_str() + at + address.size());
      usleep(50 * 1000);
    }
    return 0;
  }
  void Signal(int signal) const { kill(m_pid, signal); }
  // The exit status once it ended by itself within `seconds` (0: now),
  // else -1.
  int Exit(int seconds) {
    for (int i = 0; i <= seconds * 50 && m_pid > 0; ++i) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(20 * 1000);
    }
    return -1;
  }

 private:
  fs::path m_out, m_err;
  pid_t m_pid = -1;
};

// The pen at (x, y) of the receiver frame (host units x + 140, y - 100 with
// the pod at 0), down (code 30) or lifted (15); a short stroke with its
// middle there.
tqtest::Bytes PenAt(double x, double y, uint8_t code) {
  const auto [first, second] = tqtest::PenDistances(x, y, 3056);
  return tqtest::PenPacket(0xA0, first, second, code);
}
tqtest::Bytes Stroke(double x, double y) {
  return tqtest::Concat({PenAt(x - 2, y, 30), PenAt(x + 2, y, 30), PenAt(x, y, 15)});
}
constexpr double kHostX = 140, kHostY = -100;

const std::vector<std::string> kBoardOptions = {"--port", "7", "--no-validate", "--no-antistreak",
                                                "--no-smooth"};

std::vector<std::string> Args(std::vector<std::string> args) {
  args.insert(args.begin(), kBoardOptions.begin(), kBoardOptions.end());
  return args;
}

// A PNG screenshot's pixels: the target's white and the page's black.
class Picture {
 public:
  explicit Picture(const std::string& png) : m_png(tqtest::DecodePng(png)), width(m_png.width), height(m_png.height) {}
  bool White(int x, int y) const { return m_png.Darkest(x, y) > 200; }
  bool Black(int x, int y) const {
    const int lightest = m_png.Lightest(x, y);
    return lightest >= 0 && lightest < 40;
  }
  bool WhiteNear(double x, double y, int reach) const {
    for (int dy = -reach; dy <= reach; ++dy) {
      for (int dx = -reach; dx <= reach; ++dx) {
        if (White(static_cast<int>(std::lround(x)) + dx, static_cast<int>(std::lround(y)) + dy))
          return true;
      }
    }
    return false;
  }

 private:
  tqtest::PngPixels m_png;

 public:
  const int width, height;
};

std::string Evaluated(tqtest::HeadlessBrowser& browser, const std::string& expression) {
  std::string value;
  browser.Evaluate(expression, value);
  return value;
}

// Waits (5 s at most) until the page has drawn the state with target
// `asked` asked for (4: the result).
bool WaitForStep(tqtest::HeadlessBrowser& browser, size_t asked) {
  const std::string want = std::to_string(asked);
  for (int i = 0; i < 100; ++i) {
    if (Evaluated(
            browser,
            "String(window.tqCalibrate && tqCalibrate.drawn ? tqCalibrate.drawn.asked : -1)") ==
        want) {
      return true;
    }
    usleep(50 * 1000);
  }
  return false;
}

// The screenshot once the page has painted: the target asked for lies on
// its pixel of the screen, drawn white (its middle and all round its
// outer ring), the other targets' places are black, and nothing else white
// lies outside the words in the middle.
void ExpectTargetDrawnAt(tqtest::HeadlessBrowser& browser, const tqpen::Quad& targets,
                         size_t asked) {
  SCOPED_TRACE("target " + std::to_string(asked + 1));
  const std::string layout = Evaluated(
      browser,
      "new Promise(done => requestAnimationFrame(() => requestAnimationFrame(() => { const p = "
      "document.getElementById('panel').getBoundingClientRect(); done(JSON.stringify({x: "
      "tqCalibrate.drawn.target[0], "
      "y: tqCalibrate.drawn.target[1], radius: tqCalibrate.drawn.radius, left: p.left, top: p.top, "
      "right: p.right, "
      "bottom: p.bottom})); })))");
  const double x = tqtest::JsonNumber(layout, "x", -1), y = tqtest::JsonNumber(layout, "y", -1);
  const double radius = tqtest::JsonNumber(layout, "radius", 0);
  ASSERT_GT(radius, 10.0) << layout;
  // The page full screen on the screen calibrated: the target on its pixel.
  EXPECT_NEAR(x, targets[asked].x, 0.5) << layout;
  EXPECT_NEAR(y, targets[asked].y, 0.5) << layout;
  std::string png;
  ASSERT_TRUE(browser.Screenshot(png));
  if (const char* keep = std::getenv("TQ_CALIBRATE_SCREENSHOT")) {
    std::ofstream(std::string(keep) + "-" + std::to_string(asked + 1) + ".png", std::ios::binary)
        << png;
  }
  const Picture picture(png);
  ASSERT_EQ(picture.width, 960);
  ASSERT_EQ(picture.height, 540);
  const double tx = targets[asked].x, ty = targets[asked].y;
  EXPECT_TRUE(picture.White(static_cast<int>(tx), static_cast<int>(ty)));
  int ring = 0;
  for (int k = 0; k < 24; ++k) {
    const double angle = k * M_PI / 12 + 0.1;
    ring += picture.WhiteNear(tx + radius * std::cos(angle), ty + radius * std::sin(angle), 2);
  }
  EXPECT_EQ(ring, 24) << "of the outer ring's 24 places";
  for (size_t other = 0; other < 4; ++other) {
    if (other == asked) continue;
    EXPECT_FALSE(picture.WhiteNear(targets[other].x, targets[other].y, 6))
        << "at target " << other + 1;
  }
  const double left = tqtest::JsonNumber(layout, "left"), top = tqtest::JsonNumber(layout, "top");
  const double right = tqtest::JsonNumber(layout, "right"),
               bottom = tqtest::JsonNumber(layout, "bottom");
  size_t stray = 0, black = 0, outside = 0;
  for (int py = 0; py < picture.height; ++py) {
    for (int px = 0; px < picture.width; ++px) {
      if (std::hypot(px - tx, py - ty) <= radius * 1.6 + 3) continue;
      if (px >= left - 2 && px <= right + 2 && py >= top - 2 && py <= bottom + 2) continue;
      ++outside;
      stray += picture.White(px, py);
      black += picture.Black(px, py);
    }
  }
  EXPECT_EQ(stray, 0u);
  EXPECT_GT(black, outside * 99 / 100)
      << "of " << outside << " pixels away from the target and the words";
}

// The command with a scripted board touching the four targets while the
// page is open in headless Chromium: each target drawn where it is, a
// misclick's reason shown as the terminal gives it, a redo from the page's
// button, the file written and written again, and Done ending it.
TEST(TqCalibrateShow, ThePageShowsEachTargetWhereTheBoardTouchesIt) {
  if (tqtest::HeadlessBrowser::Program().empty()) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium): the page is not checked "
                    "in a browser";
  }
  const fs::path dir = tqtest::FreshDir("calibrate-show");
  const fs::path file = dir / "board.calibration";
  tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
  Calibrate calibrate(
      Args({"--screen", "960x540", "--out", file.string(), "--show", "--seconds", "60"}), dir);
  const int port = calibrate.Port();
  ASSERT_GT(port, 0) << calibrate.Out() << calibrate.Err();
  const tqpen::Quad targets = tqpen::CalibrationTargets(960, 540, 0.1);
  // Where the targets are on the board, receiver frame.
  const double touches[4][2] = {{500, 600}, {2500, 620}, {2450, 1800}, {520, 1750}};

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  {
    // A window smaller than the screen: the target where it would be on
    // the screen, by share, and the person told to go full screen.
    tqtest::HeadlessBrowser small(640, 480);
    ASSERT_TRUE(small.Open(url));
    ASSERT_TRUE(WaitForStep(small, 0));
    EXPECT_EQ(Evaluated(small, "tqCalibrate.drawn.target.join(',')"), "64,48");
    // (The browser's answers carry no more than ASCII here: the page's
    // own words are compared in the page.)
    EXPECT_EQ(
        Evaluated(
            small,
            "String(document.getElementById('notice').textContent.includes("
            "'This window is 640\\u00d7480 pixels, the screen being calibrated 960\\u00d7540'))"),
        "true");
  }
  tqtest::HeadlessBrowser browser(960, 540);
  ASSERT_TRUE(browser.Open(url));
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(WaitForStep(browser, i)) << calibrate.Out();
    ExpectTargetDrawnAt(browser, targets, i);
    EXPECT_EQ(Evaluated(browser, "document.getElementById('notice').hidden ? 'hidden' : 'shown'"),
              "hidden");
    EXPECT_EQ(Evaluated(browser, "document.getElementById('status').textContent"), "");
    if (i == 2) {
      // The pen down and held: the page says so and draws it near the
      // target, placed by the two touches in so far.
      board.Send(tqtest::Concat({PenAt(touches[i][0] - 2, touches[i][1], 30),
                                 PenAt(touches[i][0] + 2, touches[i][1], 30)}));
      std::string pen;
      for (int k = 0; k < 100 && pen != "true"; ++k) {
        pen = Evaluated(browser,
                        "String(!document.getElementById('pen').hidden && "
                        "document.getElementById('pen').textContent === 'touching\\u2026')");
        usleep(50 * 1000);
      }
      EXPECT_EQ(pen, "true") << "the page says the pen is touching";
      const std::string last =
          Evaluated(browser, "JSON.stringify(tqCalibrate.state.pen.trace.slice(-1)[0])");
      double x = -1, y = -1;
      ASSERT_EQ(std::sscanf(last.c_str(), "[%lf,%lf]", &x, &y), 2) << last;
      EXPECT_LT(std::hypot(x - targets[i].x, y - targets[i].y), 40.0) << last;
      board.Send(PenAt(touches[i][0], touches[i][1], 15));
      continue;
    }
    if (i == 1) {
      // The top-left touched again: refused, the page says why in the
      // terminal's words, and the same target stays.
      board.Send(Stroke(touches[0][0] + 20, touches[0][1]));
      ASSERT_TRUE(calibrate.WaitFor("refused: ")) << calibrate.Out();
      const std::string out = calibrate.Out();
      const size_t at = out.find("refused: ") + 9;
      const std::string reason = out.substr(at, out.find('\n', at) - at);
      std::string shown;
      for (int k = 0; k < 50 && shown.find(reason) == std::string::npos; ++k) {
        shown = Evaluated(browser, "document.getElementById('refused').textContent");
        usleep(50 * 1000);
      }
      EXPECT_EQ(shown, "Refused: " + reason);
      EXPECT_NE(reason.find("touched twice?"), std::string::npos) << reason;
      ExpectTargetDrawnAt(browser, targets, 1);
    }
    board.Send(Stroke(touches[i][0], touches[i][1]));
  }
  ASSERT_TRUE(WaitForStep(browser, 4)) << calibrate.Out();
  ASSERT_TRUE(calibrate.WaitFor("saved to ")) << calibrate.Out();
  const auto expectFile = [&](const double(&at)[4][2]) {
    tqpen::Calibration calibration;
    std::string error;
    ASSERT_TRUE(tqpen::ParseCalibration(ReadText(file), calibration, error))
        << error << ReadText(file);
    EXPECT_EQ(calibration.screenWidth, 960);
    EXPECT_EQ(calibration.screenHeight, 540);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_NEAR(calibration.board[i].x, at[i][0] + kHostX, 2.0) << i;
      EXPECT_NEAR(calibration.board[i].y, at[i][1] + kHostY, 2.0) << i;
      EXPECT_DOUBLE_EQ(calibration.screen[i].x, targets[i].x) << i;
      EXPECT_DOUBLE_EQ(calibration.screen[i].y, targets[i].y) << i;
    }
  };
  expectFile(touches);
  EXPECT_EQ(Evaluated(browser, "document.getElementById('saved').textContent"),
            "Saved to " + file.string());

  // The top-right again, from the result's button: the page asks for it
  // alone, and the file holds the new touch once it is in.
  Evaluated(browser, "document.querySelector('#redo [data-target=\"2\"]').click(), 'clicked'");
  ASSERT_TRUE(WaitForStep(browser, 1)) << calibrate.Out();
  ExpectTargetDrawnAt(browser, targets, 1);
  const double again[4][2] = {{500, 600}, {2480, 650}, {2450, 1800}, {520, 1750}};
  board.Send(Stroke(again[1][0], again[1][1]));
  ASSERT_TRUE(WaitForStep(browser, 4)) << calibrate.Out();
  ASSERT_TRUE(calibrate.WaitFor("saved to ", 10, 2)) << calibrate.Out();
  expectFile(again);

  // Done ends the command; the file stays.
  Evaluated(browser, "document.getElementById('done').click(), 'clicked'");
  EXPECT_EQ(calibrate.Exit(10), 0) << calibrate.Out() << calibrate.Err();
  expectFile(again);
  std::string ask;
  for (int k = 0; k < 50 && ask.rfind("Done", 0) != 0; ++k) {
    ask = Evaluated(browser, "document.getElementById('ask').textContent");
    usleep(50 * 1000);
  }
  EXPECT_EQ(ask, "Done: the calibration is in " + file.string() + ". This page can be closed.");
}

// Ctrl-C once the file is written keeps it, also while a target taken
// back from the page is not touched again yet.
TEST(TqCalibrateShow, StoppedAfterTheFileIsWrittenKeepsIt) {
  const fs::path dir = tqtest::FreshDir("calibrate-stop");
  const fs::path file = dir / "kept.calibration";
  const double touches[4][2] = {{500, 600}, {2500, 620}, {2450, 1800}, {520, 1750}};
  const struct {
    const char* name;
    const char* redo;  // a request before the stop, or none
    const char* note;  // on standard error, or none
  } cases[] = {
      {"all four in", nullptr, nullptr},
      {"a target taken back", "/redo/4", "stopped before the bottom-left target was touched again"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file);
    tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
    Calibrate calibrate(Args({"--screen", "960x540", "--out", file.string(), "--show"}), dir);
    const int port = calibrate.Port();
    ASSERT_GT(port, 0) << calibrate.Err();
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(calibrate.WaitFor("target " + std::to_string(i + 1) + " of 4"))
          << calibrate.Out();
      board.Send(Stroke(touches[i][0], touches[i][1]));
    }
    ASSERT_TRUE(calibrate.WaitFor("saved to ")) << calibrate.Out();
    const std::string written = ReadText(file);
    if (c.redo != nullptr) {
      const tqtest::HttpReply reply =
          tqtest::RawRequest(port, std::string("POST ") + c.redo +
                                       " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
      EXPECT_EQ(reply.status, 200) << reply.body;
      EXPECT_TRUE(calibrate.WaitFor("target 4 of 4", 5, 2)) << calibrate.Out();
    }
    usleep(200 * 1000);
    EXPECT_EQ(calibrate.Exit(0), -1) << "ended by itself: " << calibrate.Err();
    calibrate.Signal(SIGINT);
    EXPECT_EQ(calibrate.Exit(10), 0) << calibrate.Err();
    EXPECT_EQ(ReadText(file), written);
    if (c.note != nullptr) {
      EXPECT_NE(calibrate.Err().find(c.note), std::string::npos) << calibrate.Err();
    } else {
      EXPECT_EQ(calibrate.Err(), "");
    }
  }
}

// Without a display --open says so and the page is served all the same;
// without xdg-open likewise. Stopped before the fourth touch, nothing is
// written.
TEST(TqCalibrateShow, OpenWithoutADisplayOrXdgOpenIsANote) {
  const fs::path dir = tqtest::FreshDir("calibrate-open");
  const fs::path file = dir / "never.calibration";
  const struct {
    const char* name;
    std::vector<std::string> env;
    const char* note;
  } cases[] = {
      {"no display", {"DISPLAY", "WAYLAND_DISPLAY"}, "no display here"},
      {"no xdg-open", {"DISPLAY=:99", "PATH=" + dir.string()}, "cannot run xdg-open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
    Calibrate calibrate(
        Args({"--screen", "960x540", "--out", file.string(), "--show", "--open", "--seconds", "1"}),
        dir, c.env);
    EXPECT_GT(calibrate.Port(), 0) << calibrate.Out() << calibrate.Err();
    EXPECT_EQ(calibrate.Exit(10), 1) << calibrate.Out() << calibrate.Err();
    EXPECT_NE(calibrate.Err().find(c.note), std::string::npos) << calibrate.Err();
    EXPECT_NE(calibrate.Err().find("stopped before the fourth target was touched"),
              std::string::npos);
    EXPECT_NE(calibrate.Out().find("target 1 of 4"), std::string::npos) << calibrate.Out();
    EXPECT_FALSE(fs::exists(file));
  }
}

TEST(TqCalibrateShow, ThePageTakesOnlyTheLoopbackAndABoard) {
  const fs::path dir = tqtest::FreshDir("calibrate-usage");
  const std::string out = (dir / "x.calibration").string();
  const std::vector<std::string> common = {"--screen", "960x540", "--out", out};
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* problem;
  } cases[] = {
      {"beyond the loopback", {"--port", "7", "--show", "--listen", "0.0.0.0:0"}, "loopback"},
      {"--listen alone", {"--port", "7", "--listen", "127.0.0.1:0"}, "go with --show"},
      {"--open alone", {"--port", "7", "--open"}, "go with --show"},
      {"with --points",
       {"--points", "0,0 9,0 9,9 0,9", "--board", "10x10", "--show"},
       "not --points"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), common.begin(), common.end());
    Calibrate calibrate(args, dir);
    EXPECT_EQ(calibrate.Exit(10), 2) << calibrate.Err();
    EXPECT_NE(calibrate.Err().find(c.problem), std::string::npos) << calibrate.Err();
  }
}

}  // namespace
