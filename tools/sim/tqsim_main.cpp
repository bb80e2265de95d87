// tqsim: a virtual board. It draws text or strokes as a board of the chosen
// version would report them, with the noise of an ultrasonic board, and
// either writes a raw capture or plays the board on a pseudo-terminal that
// the library opens like a serial port.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/SimBoard.h"
#include "sim/SimDrawing.h"

namespace {

const char kUsage[] =
    "usage: tqsim [BOARD] [DRAWING] [NOISE] (--raw OUT.raw | --pty [PTY])\n"
    "Board:\n"
    "  --board-version V  firmware version: 1.x (5-byte packets), 2.x, 3.x (9-byte\n"
    "                     packets, heartbeats, eraser) or 4.x (path difference\n"
    "                     and phase); default 2.1\n"
    "  --baseline B       distance between the receivers, 500 to 5000; default 3056\n"
    "Drawing (default: --text hello):\n"
    "  --text TEXT        write TEXT ('|' starts a new line)\n"
    "  --font NAME        Hershey font name or .jhf path (default cursive; the\n"
    "                     built-in capitals when the font is missing)\n"
    "  --height H         capital height in board units (default 600)\n"
    "  --pens LIST        pen codes, one per text line, cycling (default 1)\n"
    "  --strokes FILE     points \"X Y\" one a line, blank line between strokes,\n"
    "                     \"pen N\" and \"eraser\" lines; host coordinates\n"
    "  --eraser-pass      finish with an eraser wiping across the last third\n"
    "  --speed S          pen speed in board units a second (default 1600)\n"
    "Noise (a seed makes every stream reproducible):\n"
    "  --seed N --jitter SD --echo P --drop P --stray P   (defaults 1, 1.5,\n"
    "                     0.02, 0.01, 0.003); --clean switches all noise off\n"
    "Output:\n"
    "  --raw OUT          write a raw capture (20-byte header, then the stream)\n"
    "  --pty              play the board on a pseudo-terminal; prints its path\n"
    "    --link PATH      also make PATH a symlink to it (e.g. /tmp/tq-board)\n"
    "    --start-delay MS wait after the probe before drawing (default 300)\n"
    "    --repeat         draw again and again (else once per probe)\n"
    "    --silent-after S go silent S seconds after drawing starts (SIGUSR1\n"
    "                     switches silence on and off at any time)\n"
    "    --exit-after S   exit S seconds after the drawing is sent\n"
    "    --timeout S      exit after S seconds whatever happens\n"
    "The board answers the probe, streams paced as 9600 baud carries it, and\n"
    "answers '?' with a heartbeat. Exit status: 0, 1 on failure, 2 for usage.\n";

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

bool ParseNumber(const char* text, double& out) {
  if (text == nullptr) return false;
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0';
}

int ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    double number = 0.0;
    auto num = [&](double& out, double low, double high) {
      if (!ParseNumber(next, number) || number < low || number > high) return false;
      out = number;
      ++i;
      return true;
    };
    auto text = [&](std::string& out) {
      if (next == nullptr) return false;
      out = next;
      ++i;
      return true;
    };
    double scratch = 0.0;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--board-version") {
      ok = num(o.version, 1.0, 4.99);
    } else if (arg == "--baseline") {
      ok = num(scratch, 500, 5000);
      o.baseline = static_cast<unsigned>(scratch);
    } else if (arg == "--text") {
      ok = text(o.text);
    } else if (arg == "--font") {
      ok = text(o.font);
    } else if (arg == "--height") {
      ok = num(o.height, 50, 3000);
    } else if (arg == "--pens") {
      std::string list;
      ok = text(list);
      o.pens.clear();
      for (const char c : list) {
        if (c >= '0' && c <= '7') o.pens.push_back(c - '0');
        else if (c != ',') ok = false;
      }
      ok = ok && !o.pens.empty();
    } else if (arg == "--strokes") {
      ok = text(o.strokesFile);
    } else if (arg == "--eraser-pass") {
      o.eraserPass = true;
    } else if (arg == "--speed") {
      ok = num(o.timing.penSpeed, 100, 20000);
    } else if (arg == "--seed") {
      ok = num(scratch, 0, 1e15);
      o.noise.seed = static_cast<uint64_t>(scratch);
    } else if (arg == "--jitter") {
      ok = num(o.noise.jitter, 0, 1000);
    } else if (arg == "--echo") {
      ok = num(o.noise.echo, 0, 1);
    } else if (arg == "--drop") {
      ok = num(o.noise.drop, 0, 1);
    } else if (arg == "--stray") {
      ok = num(o.noise.stray, 0, 1);
    } else if (arg == "--clean") {
      const uint64_t seed = o.noise.seed;
      o.noise = tqsim::NoiseSettings::None();
      o.noise.seed = seed;
    } else if (arg == "--raw") {
      ok = text(o.rawOut);
    } else if (arg == "--pty") {
      o.pty = true;
    } else if (arg == "--link") {
      ok = text(o.link);
    } else if (arg == "--start-delay") {
      ok = num(o.startDelay, 0, 60000);
      o.startDelay /= 1000.0;
    } else if (arg == "--repeat") {
      o.repeat = true;
    } else if (arg == "--silent-after") {
      ok = num(o.silentAfter, 0, 1e6);
    } else if (arg == "--exit-after") {
      ok = num(o.exitAfter, 0, 1e6);
    } else if (arg == "--timeout") {
      ok = num(o.timeout, 0, 1e6);
    } else {
      std::fprintf(stderr, "tqsim: unexpected argument '%s'\n", arg.c_str());
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "tqsim: bad or missing value for %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (o.pty == !o.rawOut.empty()) {
    std::fputs("tqsim: give exactly one of --raw OUT and --pty\n", stderr);
    std::fputs(kUsage, stderr);
    return 2;
  }
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

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void WriteAll(int fd, const tqsim::Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd entry{fd, POLLOUT, 0};
      if (poll(&entry, 1, 200) <= 0) return;  // nobody reads: the bytes are lost on the line
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

int RunPty(const Options& o, const tqsim::BoardModel& model, const tqsim::Stream& stream) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("tqsim: pseudo-terminal");
    return 1;
  }
  const std::string slavePath = ptsname(master);
  // Held open by the board itself, so the line does not hang up between the
  // host's two opens.
  const int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::perror("tqsim: slave side");
    return 1;
  }
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  cfsetspeed(&tio, B9600);
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!o.link.empty()) {
    unlink(o.link.c_str());
    if (symlink(slavePath.c_str(), o.link.c_str()) != 0) {
      std::perror("tqsim: symlink");
      return 1;
    }
  }
  std::printf("tqsim: board %.1f on %s%s%s\n", model.version, slavePath.c_str(),
              o.link.empty() ? "" : " linked as ", o.link.c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  std::signal(SIGUSR1, OnToggle);
  const double born = Now();
  double streamStart = -1.0;  // when the current drawing began, -1: not drawing
  size_t next = 0;            // next chunk of the drawing
  double drawingDone = -1.0;
  double lastSent = born;
  bool silent = false;
  bool silentAfterDone = false;

  while (!g_stop) {
    const double now = Now();
    if (g_toggleSilence) {
      g_toggleSilence = 0;
      silent = !silent;
    }
    if (o.timeout >= 0.0 && now - born >= o.timeout) break;
    if (o.exitAfter >= 0.0 && drawingDone >= 0.0 && now - drawingDone >= o.exitAfter) break;
    if (!silentAfterDone && o.silentAfter >= 0.0 && streamStart >= 0.0 && now - streamStart >= o.silentAfter) {
      silent = true;
      silentAfterDone = true;
    }
    // What is due on the line.
    if (streamStart >= 0.0 && now >= streamStart) {
      while (next < stream.chunks.size() && streamStart + stream.chunks[next].time <= now) {
        if (!silent) WriteAll(master, stream.chunks[next].bytes);
        ++next;
        lastSent = now;
      }
      if (next == stream.chunks.size()) {
        drawingDone = now;
        streamStart = o.repeat ? now + 1.0 : -1.0;
        next = 0;
      }
    }
    // An idle board of protocol 2.0 sends a heartbeat every second.
    if (streamStart < 0.0 && model.family != 1 && now - lastSent >= 1.0) {
      if (!silent) WriteAll(master, {tqsim::kHeartbeat});
      lastSent = now;
    }
    double wait = 0.1;
    if (streamStart >= 0.0 && next < stream.chunks.size()) {
      wait = std::min(wait, std::max(0.0, streamStart + stream.chunks[next].time - now));
    }
    pollfd entry{master, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(wait * 1000.0) + 1);
    if (ready <= 0 || (entry.revents & POLLIN) == 0) {
      if (ready > 0 && (entry.revents & (POLLHUP | POLLERR))) usleep(20000);
      continue;
    }
    uint8_t buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    for (ssize_t i = 0; i < n; ++i) {
      if (silent) continue;
      tqsim::Bytes reply;
      bool probed = false;
      if (buffer[i] == 0x20) {
        reply = tqsim::ProtocolReply(model);
        if (model.protocol >= 2.0) {  // version and geometry follow unasked
          const tqsim::Bytes version = tqsim::VersionReply(model), geometry = tqsim::GeometryPacket(model);
          reply.insert(reply.end(), version.begin(), version.end());
          reply.insert(reply.end(), geometry.begin(), geometry.end());
          probed = true;
        }
      } else if (buffer[i] == '$' && model.protocol < 2.0) {
        reply = tqsim::VersionReply(model);
        const tqsim::Bytes geometry = tqsim::GeometryPacket(model);
        reply.insert(reply.end(), geometry.begin(), geometry.end());
        probed = true;
      } else if (buffer[i] == '?' && model.family != 1) {
        reply = {tqsim::kHeartbeat};
      }
      if (!reply.empty()) {
        WriteAll(master, reply);
        lastSent = Now();
      }
      if (probed) {  // a host has just opened the board: draw for it
        streamStart = Now() + o.startDelay;
        next = 0;
      }
    }
  }
  if (!o.link.empty()) unlink(o.link.c_str());
  close(slave);
  close(master);
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

  std::ofstream out(options.rawOut, std::ios::binary | std::ios::trunc);
  const tqsim::Bytes header = tqsim::CaptureHeader(model);
  tqsim::Bytes body = stream.Flatten();
  // A replay reads whole packet lengths and leaves a shorter tail alone, so
  // the board's idle bytes after the drawing round the body up: the last
  // packet is not lost to a heartbeat or a stray byte earlier on.
  while (body.size() % model.packetLength != 0) {
    body.push_back(model.family == 1 ? uint8_t{0} : tqsim::kHeartbeat);
  }
  out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  if (!out) {
    std::fprintf(stderr, "tqsim: cannot write %s\n", options.rawOut.c_str());
    return 1;
  }
  std::fprintf(stderr, "tqsim: %zu strokes, %zu readings, %zu bytes, %.1f s of line time -> %s\n",
               drawing.size(), stream.intended.size(), body.size(), stream.duration,
               options.rawOut.c_str());
  return 0;
}
