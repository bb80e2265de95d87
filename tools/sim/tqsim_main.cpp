// tqsim: a virtual board. It draws text or strokes as a board of the chosen
// version would report them, with the noise of an ultrasonic board, and
// either writes a raw capture or plays the board on a pseudo-terminal that
// the library opens like a serial port.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "common/CommandLine.h"
#include "sim/PtyBoard.h"
#include "sim/SimBoard.h"
#include "sim/SimDrawing.h"

namespace {

const char kAbout[] =
    "Draws text or strokes as a board of the chosen version reports them, with the\n"
    "noise of an ultrasonic board, and writes a raw capture (20-byte header, then\n"
    "the stream) or plays the board on a pseudo-terminal, printing its path. On a\n"
    "pseudo-terminal the board answers the probe, streams paced as 9600 baud\n"
    "carries it, and answers '?' with a heartbeat. The default drawing is\n"
    "--text hello; a seed makes every stream reproducible.\n";

const char kFooter[] =
    "--link replaces only a link to a pseudo-terminal (one an earlier tqsim made),\n"
    "never a file, and removes it at the end while it still leads to this board.\n"
    "SIGUSR1 switches silence on and off at any time.\n"
    "Exit status: 0, 1 on failure, 2 for usage.\n";

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_toggleSilence = 0;

void OnStop(int) { g_stop = 1; }
void OnToggle(int) { g_toggleSilence = 1; }

struct Options {
  double version = 2.1;
  unsigned baseline = 3056;
  std::string text = "hello";
  std::string font = "cursive";
  double height = 600.0;
  std::vector<int> pens{1};
  std::string strokesFile;
  bool eraserPass = false;
  tqsim::NoiseSettings noise;
  tqsim::Timing timing;
  std::string rawOut;
  bool pty = false;
  std::string link;
  double startDelay = 0.3;
  bool repeat = false;
  double silentAfter = -1.0;
  double exitAfter = -1.0;
  double timeout = -1.0;
};

// The pen codes of --pens: digits 0 to 7 separated by commas.
bool ParsePens(const std::string& list, std::vector<int>& pens) {
  std::vector<int> parsed;
  for (const char c : list) {
    if (c >= '0' && c <= '7') {
      parsed.push_back(c - '0');
    } else if (c != ',') {
      return false;
    }
  }
  if (parsed.empty()) return false;
  pens = parsed;
  return true;
}

// What the command line gives before it becomes Options.
struct Given {
  std::string pens;
  long baseline = 3056, seed = 1;
  bool clean = false;
  tqsim::NoiseSettings noise;
};

// --clean switches the noise off; a value given beside it still counts.
tqsim::NoiseSettings ChosenNoise(const tqtool::CommandLine& line, const Given& given) {
  if (!given.clean) return given.noise;
  tqsim::NoiseSettings noise = tqsim::NoiseSettings::None();
  if (line.Given("--jitter")) noise.jitter = given.noise.jitter;
  if (line.Given("--echo")) noise.echo = given.noise.echo;
  if (line.Given("--drop")) noise.drop = given.noise.drop;
  if (line.Given("--stray")) noise.stray = given.noise.stray;
  return noise;
}

void AddBoardAndDrawing(tqtool::CommandLine& line, Options& o, Given& given) {
  line.Number("--board-version", o.version, 1.0, 4.99, "V",
              "firmware: 1.x (5-byte packets), 2.x, 3.x (9-byte packets, heartbeats, eraser) or 4.x "
              "(path difference and phase); default 2.1");
  line.Number("--baseline", given.baseline, 500, 5000, "B", "distance between the receivers; default 3056");
  line.Text("--text", o.text, "TEXT", "write TEXT ('|' starts a new line)");
  line.Text("--font", o.font, "NAME",
            "Hershey font name or .jhf path (default cursive; the built-in capitals when missing)");
  line.Number("--height", o.height, 50.0, 3000.0, "H", "capital height in board units (default 600)");
  line.Text("--pens", given.pens, "LIST", "pen codes 0 to 7, one per text line, cycling (default 1)");
  line.Text("--strokes", o.strokesFile, "FILE",
            "points \"X Y\" one a line, blank line between strokes, \"pen N\" and \"eraser\" lines; "
            "host coordinates");
  line.Flag("--eraser-pass", o.eraserPass, "finish with an eraser wiping across the last third");
  line.Number("--speed", o.timing.penSpeed, 100.0, 20000.0, "S", "pen speed in board units a second (default 1600)");
}

void AddNoise(tqtool::CommandLine& line, Given& given) {
  line.Number("--seed", given.seed, 0, 1000000000000000L, "N", "seed of the noise (default 1)");
  line.Number("--jitter", given.noise.jitter, 0.0, 1000.0, "SD", "spread of a distance (default 1.5)");
  line.Number("--echo", given.noise.echo, 0.0, 1.0, "P", "chance of an echo (default 0.02)");
  line.Number("--drop", given.noise.drop, 0.0, 1.0, "P", "chance of a lost reading (default 0.01)");
  line.Number("--stray", given.noise.stray, 0.0, 1.0, "P", "chance of a stray byte (default 0.003)");
  line.Flag("--clean", given.clean, "switch all noise off");
}

void AddOutput(tqtool::CommandLine& line, Options& o) {
  line.Text("--raw", o.rawOut, "OUT", "write a raw capture");
  line.Flag("--pty", o.pty, "play the board on a pseudo-terminal");
  line.Text("--link", o.link, "PATH", "with --pty: also make PATH a symlink to it (e.g. /tmp/tq-board)");
  line.Number("--start-delay", o.startDelay, 0.0, 60000.0, "MS",
              "with --pty: wait after the probe before drawing (default 300)");
  line.Flag("--repeat", o.repeat, "with --pty: draw again and again (else once per probe)");
  line.Number("--silent-after", o.silentAfter, 0.0, 1e6, "S", "with --pty: go silent S seconds after drawing starts");
  line.Number("--exit-after", o.exitAfter, 0.0, 1e6, "S", "with --pty: exit S seconds after the drawing is sent");
  line.Number("--timeout", o.timeout, 0.0, 1e6, "S", "with --pty: exit after S seconds whatever happens");
}

// -1 when the board is to run, else the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
  Given given;
  o.startDelay = 300.0;
  tqtool::CommandLine line("tqsim", "tqsim [BOARD] [DRAWING] [NOISE] (--raw OUT.raw | --pty [--link PATH])",
                           kAbout, kFooter);
  AddBoardAndDrawing(line, o, given);
  AddNoise(line, given);
  AddOutput(line, o);
  line.Version(std::string("tqsim ") + tqtool::kToolVersion);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (line.Given("--pens") && !ParsePens(given.pens, o.pens)) {
    return line.Fail("bad value '" + given.pens + "' for --pens: pen codes 0 to 7, separated by commas");
  }
  if (o.pty == !o.rawOut.empty()) return line.Fail("give exactly one of --raw OUT and --pty");
  o.baseline = static_cast<unsigned>(given.baseline);
  o.noise = ChosenNoise(line, given);
  o.noise.seed = static_cast<uint64_t>(given.seed);
  o.startDelay /= 1000.0;
  return -1;
}

bool BuildDrawing(const Options& o, const tqsim::BoardModel& model, tqsim::Drawing& drawing) {
  const double width = model.boardWidth();
  if (!o.strokesFile.empty()) {
    std::ifstream in(o.strokesFile);
    std::string error;
    if (!in) {
      std::fprintf(stderr, "tqsim: cannot read %s\n", o.strokesFile.c_str());
      return false;
    }
    if (!tqsim::ParseStrokeFile(in, drawing, error)) {
      std::fprintf(stderr, "tqsim: %s: %s\n", o.strokesFile.c_str(), error.c_str());
      return false;
    }
  } else {
    std::string used;
    const tqsim::StrokeFont font = tqsim::StrokeFont::Find(o.font, used);
    if (used != o.font) std::fprintf(stderr, "tqsim: font '%s' not found, using %s\n", o.font.c_str(), used.c_str());
    std::string line;
    size_t lineNumber = 0;
    const double top = 500.0, left = 300.0;
    auto flush = [&] {
      const int pen = o.pens[lineNumber % o.pens.size()];
      tqsim::Drawing part = font.Layout(line, left, top + double(lineNumber) * o.height * 1.8, o.height, pen);
      drawing.insert(drawing.end(), part.begin(), part.end());
      ++lineNumber;
      line.clear();
    };
    for (const char c : o.text) {
      if (c == '|') flush();
      else line.push_back(c);
    }
    flush();
    // Keep a long text on the board: shrink it into the writing area.
    double maxX = 0.0;
    for (const tqsim::Stroke& s : drawing)
      for (const tqsim::Point& p : s.points) maxX = std::max(maxX, p.x);
    if (maxX > width - 300.0) {
      tqsim::FitInto(drawing, left, top, width - 300.0 - left, model.maxBoardHeight() - top - 300.0);
    }
  }
  if (o.eraserPass && !drawing.empty()) {
    double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9;
    for (const tqsim::Stroke& s : drawing) {
      for (const tqsim::Point& p : s.points) {
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
      }
    }
    // Down and up across the last third, as one wipes a word away.
    tqsim::Stroke wipe;
    wipe.eraser = true;
    const double from = maxX - (maxX - minX) / 3.0;
    for (int i = 0; i <= 4; ++i) {
      const double x = from + (maxX - from) * i / 4.0;
      wipe.points.push_back({x, (i % 2 == 0) ? minY - 40.0 : maxY + 40.0});
    }
    drawing.push_back(wipe);
  }
  return true;
}

// The drawing on the line: when it is played, when the board goes silent,
// when its time is up. The pty answers the host.
class Player {
 public:
  Player(const Options& o, const tqsim::BoardModel& model, tqsim::PtyBoard& pty)
      : m_o(o), m_model(model), m_pty(pty), m_born(tqsim::Now()) {}

  // False when the board's time is up.
  bool Step() {
    const double now = tqsim::Now();
    if (g_toggleSilence) {
      g_toggleSilence = 0;
      m_silent = !m_silent;
      m_pty.SetSilent(m_silent);
    }
    if (m_o.timeout >= 0.0 && now - m_born >= m_o.timeout) return false;
    if (m_o.exitAfter >= 0.0 && m_drawingDone >= 0.0 && now - m_drawingDone >= m_o.exitAfter) return false;
    if (!m_silentAfterDone && m_o.silentAfter >= 0.0 && m_drawingStart >= 0.0 &&
        now - m_drawingStart >= m_o.silentAfter) {
      m_silent = true;
      m_silentAfterDone = true;
      m_pty.SetSilent(true);
    }
    if (m_pty.Probes() != m_probes) {  // a host has just opened the board: draw for it
      m_probes = m_pty.Probes();
      DrawFrom(now + m_o.startDelay);
    }
    const double wait = m_pty.SendDue(now);
    if (m_drawingStart >= 0.0 && now >= m_drawingStart && !m_pty.Playing()) {
      m_drawingDone = now;
      if (m_o.repeat) {
        DrawFrom(now + 1.0);
      } else {
        m_drawingStart = -1.0;
      }
    }
    // An idle board of protocol 2.0 sends a heartbeat every second.
    if (m_drawingStart < 0.0 && m_model.family != 1 && now - m_pty.LastSent() >= 1.0) {
      m_pty.Send({tqsim::kHeartbeat});
    }
    m_pty.Step(wait);
    return true;
  }

 private:
  void DrawFrom(double start) {
    m_pty.Play(start);
    m_drawingStart = start;
  }

  const Options& m_o;
  const tqsim::BoardModel& m_model;
  tqsim::PtyBoard& m_pty;
  double m_born;
  int m_probes = 0;
  double m_drawingStart = -1.0;  // when the current drawing began, -1: not drawing
  double m_drawingDone = -1.0;
  bool m_silent = false;
  bool m_silentAfterDone = false;
};

int RunPty(const Options& o, const tqsim::BoardModel& model, const tqsim::Stream& stream) {
  tqsim::PtyBoard pty;
  std::string error;
  if (!pty.Open(error) || (!o.link.empty() && !pty.Link(o.link, error))) {
    std::fprintf(stderr, "tqsim: %s\n", error.c_str());
    return 1;
  }
  pty.AnswerAs(tqsim::RepliesOf(model));
  pty.Load(stream.chunks);
  std::printf("tqsim: board %.1f on %s%s%s\n", model.version, pty.Path().c_str(),
              o.link.empty() ? "" : " linked as ", o.link.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  std::signal(SIGHUP, OnStop);
  std::signal(SIGUSR1, OnToggle);
  Player board(o, model, pty);
  while (!g_stop && board.Step()) {
  }
  return 0;
}

int WriteRaw(const Options& o, const tqsim::BoardModel& model, const tqsim::Drawing& drawing,
             const tqsim::Stream& stream) {
  std::ofstream out(o.rawOut, std::ios::binary | std::ios::trunc);
  const tqsim::Bytes header = tqsim::CaptureHeader(model);
  tqsim::Bytes body = stream.Flatten();
  // The board's idle bytes after the drawing round the body up to whole
  // packets, as a line left open a moment longer would record them.
  while (body.size() % model.packetLength != 0) {
    body.push_back(model.family == 1 ? uint8_t{0} : tqsim::kHeartbeat);
  }
  out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  if (!out) {
    std::fprintf(stderr, "tqsim: cannot write %s\n", o.rawOut.c_str());
    return 1;
  }
  std::fprintf(stderr, "tqsim: %zu strokes, %zu readings, %zu bytes, %.1f s of line time -> %s\n",
               drawing.size(), stream.intended.size(), body.size(), stream.duration, o.rawOut.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseArgs(argc, argv, options);
  if (parsed >= 0) return parsed;
  tqsim::BoardModel model;
  if (!tqsim::MakeModel(options.version, options.baseline, model)) {
    std::fputs("tqsim: no such board (version 1.0 to 4.x, baseline 500 to 5000)\n", stderr);
    return 2;
  }
  tqsim::Drawing drawing;
  if (!BuildDrawing(options, model, drawing)) return 1;
  tqsim::Noise noise(options.noise);
  const tqsim::Stream stream = tqsim::MakeStream(model, drawing, options.timing, noise);
  if (options.pty) return RunPty(options, model, stream);
  return WriteRaw(options, model, drawing, stream);
}
