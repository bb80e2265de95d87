// What a person meets with the tools: the command line read one way, files
// that are never destroyed, exit codes that agree, messages that say what is
// wrong, and memory that stays bounded. The programs run as users run them.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "export/InkDocument.h"
#include "capture/CaptureFile.h"
#include "support/Packets.h"
#include "support/PtyBoard.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using tqtest::Bytes;

namespace {

using tqtest::CaptureHeader;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path Scratch(const char* name) {
  const fs::path dir = fs::path(std::getenv("TMPDIR")) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Runs `command` through the shell with standard input from /dev/null
// unless the command redirects it.
ToolRun Shell(const std::string& command) {
  const fs::path out = fs::path(std::getenv("TMPDIR")) / "shell.out";
  const fs::path err = fs::path(std::getenv("TMPDIR")) / "shell.err";
  const int status = std::system((command + " > " + out.string() + " 2> " + err.string()).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

const std::string kTq = TQ_TOOL_PATH;
const std::string kSim = TQ_SIM_PATH;
const std::string kSamples = std::string(TQ_SOURCE_DIR) + "/samples/";

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const fs::path& path) {
  const std::string text = Slurp(path);
  return Bytes(text.begin(), text.end());
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- pictures read back with libxml2 ----

// One drawing operation of a picture cairo wrote as SVG: a path stroked or
// filled in one colour, its subpaths' points (ends of curves) in board units.
struct Drawn {
  bool filled = false;
  uint32_t rgb = 0;
  double opacity = 1.0;
  std::vector<std::vector<tqtool::InkPoint>> subpaths;
  bool operator==(const Drawn&) const = default;
};

// The number after "KEY:" in a style, `otherwise` when there is none.
double StyleNumber(const std::string& style, const std::string& key, double otherwise) {
  const size_t at = (";" + style).find(";" + key + ":");
  return at == std::string::npos ? otherwise : std::atof(style.c_str() + at + key.size() + 1);
}

// "KEY:rgb(R%,G%,B%)" as 0xRRGGBB.
uint32_t StyleColour(const std::string& style, const std::string& key) {
  const size_t at = (";" + style).find(";" + key + ":rgb(");
  if (at == std::string::npos) return 0xffffffffu;
  double r = 0, g = 0, b = 0;
  std::sscanf(style.c_str() + at + key.size() + 5, "%lf%%,%lf%%,%lf%%", &r, &g, &b);
  auto byte = [](double percent) { return static_cast<uint32_t>(std::lround(percent * 2.55)); };
  return byte(r) << 16 | byte(g) << 8 | byte(b);
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  const std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

// A path's d with its transform applied, in board units: the page is drawn
// at the default 2 board units a millimetre, in points.
std::vector<std::vector<tqtool::InkPoint>> Subpaths(const std::string& d, const std::string& transform) {
  double m[6] = {1, 0, 0, 1, 0, 0};
  std::sscanf(transform.c_str(), "matrix(%lf,%lf,%lf,%lf,%lf,%lf)", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]);
  const double perUnit = 72.0 / 25.4 / 2.0;
  std::vector<std::vector<tqtool::InkPoint>> subpaths;
  std::istringstream words(d);
  std::string word;
  char op = 0;
  bool closed = false, trailingMove = false;  // cairo ends a closed path with a move
  std::vector<double> numbers;
  auto flush = [&] {
    const size_t pairs = op == 'C' ? 3 : 1;
    if ((op != 'M' && op != 'L' && op != 'C') || numbers.size() != 2 * pairs) return;
    const double x = numbers[2 * pairs - 2], y = numbers[2 * pairs - 1];
    trailingMove = op == 'M' && closed;
    closed = false;
    if (op == 'M') subpaths.emplace_back();
    subpaths.back().push_back({static_cast<int>(std::lround((m[0] * x + m[2] * y + m[4]) / perUnit)),
                               static_cast<int>(std::lround((m[1] * x + m[3] * y + m[5]) / perUnit))});
    numbers.clear();
  };
  while (words >> word) {
    if (std::isalpha(static_cast<unsigned char>(word[0]))) {
      op = word[0];
      closed = closed || op == 'Z';
      numbers.clear();
    } else {
      numbers.push_back(std::atof(word.c_str()));
      flush();
    }
  }
  if (trailingMove) subpaths.pop_back();
  return subpaths;
}

void Gather(xmlNode* node, std::vector<Drawn>& drawn) {
  for (xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type != XML_ELEMENT_NODE) continue;
    if (xmlStrcmp(child->name, reinterpret_cast<const xmlChar*>("path")) == 0) {
      const std::string style = Attribute(child, "style");
      Drawn item;
      item.filled = StyleColour(style, "fill") != 0xffffffffu;
      item.rgb = StyleColour(style, item.filled ? "fill" : "stroke");
      item.opacity = StyleNumber(style, item.filled ? "fill-opacity" : "stroke-opacity", 1.0);
      item.subpaths = Subpaths(Attribute(child, "d"), Attribute(child, "transform"));
      drawn.push_back(item);
    }
    Gather(child, drawn);
  }
}

// Every path of an SVG picture in drawing order; false when it is no SVG.
bool ReadPicture(const std::string& text, std::vector<Drawn>& drawn) {
  xmlDoc* document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "picture.svg", nullptr, XML_PARSE_NONET);
  if (document == nullptr) return false;
  xmlNode* root = xmlDocGetRootElement(document);
  const bool svg = root != nullptr && xmlStrcmp(root->name, reinterpret_cast<const xmlChar*>("svg")) == 0;
  if (svg) Gather(root, drawn);
  xmlFreeDoc(document);
  return svg;
}

// What a debug picture holds, told by colour: the board's outline and pod,
// the footprints, the raw points, all that was written (faint) and the ink
// left on top, each counted in subpaths.
struct Layers {
  size_t board = 0, footprints = 0, raw = 0, written = 0, ink = 0;
};

Layers LayersOf(const std::vector<Drawn>& picture) {
  Layers layers;
  for (const Drawn& item : picture) {
    if (item.rgb == 0xffffff) continue;  // the paper
    size_t& layer = item.rgb == 0x7f8c8d   ? layers.board
                    : item.rgb == 0xf5b041 ? layers.footprints
                    : item.rgb == 0x9fb8d0 ? layers.raw
                    : item.opacity < 1.0   ? layers.written
                                           : layers.ink;
    layer += item.subpaths.size();
  }
  return layers;
}

// The number after `label` in `text`, -1 without it.
long NumberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  return at == std::string::npos ? -1 : std::atol(text.c_str() + at + label.size());
}

TEST(TqOptions, EveryCommandReadsItsCommandLineOneWay) {
  struct Case {
    std::string args;
    int status;
    std::vector<std::string> inErr;  // all on standard error
  } const cases[] = {
      {"live --port abc --events", 2, {"'abc'", "--port", "see tq live --help"}},
      {"live --port 1 --seconds -1 --events", 2, {"'-1'", "--seconds", "see tq live --help"}},
      {"live --port 1 --pod 7 --events", 2, {"'7'", "--pod"}},
      {"live --port 1", 2, {"--events", "see tq live --help"}},
      {"probe --port 1x", 2, {"'1x'", "--port", "see tq probe --help"}},
      {"probe", 2, {"--port", "see tq probe --help"}},
      {"probe --device", 2, {"see tq probe --help"}},
      {"find --bogus", 2, {"--bogus", "see tq find --help"}},
      {"replay --bogus x.raw", 2, {"--bogus", "see tq replay --help"}},
      {"render x.raw", 2, {"--svg", "see tq render --help"}},
      {"dump x.val --pen 3", 2, {"--filter-input", "see tq dump --help"}},
      {"dump x.val --filter-input --pen 300", 2, {"'300'", "--pen"}},
      {"info a b", 2, {"see tq info --help"}},
      {"filter --smooth", 2, {"--smooth", "see tq filter --help"}},
      {"nosuch", 2, {"unknown command 'nosuch'"}},
  };
  for (const Case& c : cases) {
    const ToolRun run = Shell(kTq + " " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_TRUE(run.out.empty()) << c.args << ": " << run.out;
    for (const std::string& part : c.inErr) EXPECT_TRUE(Has(run.err, part)) << c.args << ": " << run.err;
  }
  for (const char* command : {"probe", "find", "live", "filter", "replay", "info", "dump", "render"}) {
    const ToolRun run = Shell(kTq + " " + command + " --help");
    EXPECT_EQ(run.status, 0) << command;
    EXPECT_EQ(run.out.rfind(std::string("usage: tq ") + command, 0), 0u) << run.out;
    EXPECT_TRUE(Has(run.out, "Options:\n  -h, --help")) << command << ": " << run.out;
    EXPECT_TRUE(Has(run.out, "Exit status:")) << command;
    for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
      EXPECT_LT(end - start, 80u) << command << ": " << run.out.substr(start, end - start);
    }
  }
  EXPECT_EQ(Shell(kTq + " --version").out, std::string("tq ") + TQ_VERSION + "\n");
  EXPECT_EQ(Shell(kSim + " --version").out, std::string("tqsim ") + TQ_VERSION + "\n");
  const ToolRun sim = Shell(kSim + " --pens 1,9 --raw x.raw");
  EXPECT_EQ(sim.status, 2);
  EXPECT_TRUE(Has(sim.err, "'1,9'") && Has(sim.err, "--pens") && Has(sim.err, "see tqsim --help")) << sim.err;
}

// The last packet of a live recording often ends in the short tail after
// the last whole packet length: a heartbeat byte in front of the packets
// puts the last byte of the final one, a press of the board's button, there.
TEST(TqRender, ShowsWhatTheReplayShowsTailIncluded) {
  const fs::path dir = Scratch("render_tail");
  Bytes capture = tqtest::Concat({CaptureHeader(2.0, 2.1), {0xF0}});
  for (int i = 0; i < 40; ++i) {
    const auto [first, second] = tqtest::PenDistances(1000 + 10 * i, 800, 3056);
    capture = tqtest::Concat({capture, tqtest::PenPacket(0xA0, first, second, i < 39 ? 60 : 85)});
  }
  ASSERT_EQ((capture.size() - tq::kCaptureHeaderSize) % 9, 1u);
  WriteBytes(dir / "tail.raw", capture);

  const ToolRun render = Shell(kTq + " render " + (dir / "tail.raw").string() + " --svg " + (dir / "t.svg").string());
  EXPECT_FALSE(fs::exists(dir / "tail.val")) << "render writes nothing beside the capture";
  const ToolRun replay = Shell(kTq + " replay " + (dir / "tail.raw").string());
  ASSERT_EQ(replay.status, 0) << replay.err;
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_EQ(replay.out.rfind("down 1 move ", 0), 0u) << replay.out;
  EXPECT_TRUE(Has(replay.out, " board 1 ")) << replay.out;
  // "down A move B up C board D ..." against "messages board D down A move B ...".
  const std::string pens = replay.out.substr(0, replay.out.find(" up"));
  EXPECT_TRUE(Has(render.out, "messages board 1 " + pens + "\n")) << replay.out << render.out;
}

// The picture holds what the summary counts: every raw point (thinned in a
// long capture), every stroke written, faint, under the ink the eraser left,
// which is what tq export keeps, every footprint, and the board. The bundled
// demo picture is the one tq render draws now.
TEST(TqRender, ThePictureHoldsWhatTheSummaryCounts) {
  const fs::path dir = Scratch("render_layers");
  // One long stroke over a small patch: more raw points than are kept whole.
  Bytes scribble = CaptureHeader(2.0, 2.1);
  for (int i = 0; i < 30000; ++i) {
    const auto [first, second] = tqtest::PenDistances(1000 + (i * 7) % 60, 800 + (i * 13) % 60, 3056);
    const Bytes packet = tqtest::PenPacket(0xA0, first, second, i < 29999 ? 60 : 85);
    scribble.insert(scribble.end(), packet.begin(), packet.end());
  }
  WriteBytes(dir / "scribble.raw", scribble);
  struct Case {
    std::string capture;
    bool thinned;
  } const cases[] = {{kSamples + "eraser-v3.raw", false}, {(dir / "scribble.raw").string(), true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capture);
    const ToolRun render = Shell(kTq + " render " + c.capture + " --svg " + (dir / "p.svg").string());
    ASSERT_EQ(render.status, 0) << render.err;
    const ToolRun exported = Shell(kTq + " export --no-pages " + c.capture + " -o " + (dir / "p.inkml").string());
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::vector<Drawn> picture;
    ASSERT_TRUE(ReadPicture(Slurp(dir / "p.svg"), picture));
    const Layers layers = LayersOf(picture);
    const long seen = NumberAfter(render.out, "raw      ");
    const long drawn = Has(render.out, " drawn") ? NumberAfter(render.out, "(filter off), ") : seen;
    EXPECT_EQ(drawn < seen, c.thinned) << render.out;
    EXPECT_EQ(static_cast<long>(layers.raw), drawn) << render.out;
    EXPECT_EQ(static_cast<long>(layers.written), NumberAfter(render.out, "strokes  ")) << render.out;
    EXPECT_EQ(static_cast<long>(layers.footprints), NumberAfter(render.out, " samples, ")) << render.out;
    EXPECT_EQ(static_cast<long>(layers.ink), NumberAfter(exported.out, " pages, ")) << exported.out;
    EXPECT_EQ(layers.board, 2u) << "the outline and the pod";
  }
  ASSERT_EQ(Shell(kTq + " render --quiet " + kSamples + "eraser-v3.raw --svg " + (dir / "demo.svg").string()).status, 0);
  std::vector<Drawn> drawnNow, committed;
  ASSERT_TRUE(ReadPicture(Slurp(dir / "demo.svg"), drawnNow));
  ASSERT_TRUE(ReadPicture(Slurp(std::string(TQ_SOURCE_DIR) + "/docs/demo.svg"), committed));
  EXPECT_TRUE(drawnNow == committed) << "docs/demo.svg is not what make demo draws: copy its picture over it";
}

TEST(TqFiles, NoCommandDestroysAUsersFile) {
  const fs::path dir = Scratch("files");
  const Bytes sample = ReadBytes(kSamples + "hello-v2.raw");
  WriteBytes(dir / "x.raw", sample);
  WriteBytes(dir / "x.out", ReadBytes(kSamples + "hello-v2.raw"));
  { std::ofstream(dir / "mine.txt") << "keep me\n"; }
  struct Case {
    std::string args;
    int status;
    std::string inErr;
  } const cases[] = {
      {"render " + (dir / "x.raw").string() + " --svg " + (dir / "x.raw").string(), 1, "input"},
      {"render " + (dir / "x.raw").string() + " --svg " + (dir / "." / "x.raw").string(), 1, "input"},
      {"render " + (dir / "x.raw").string() + " --svg " + (dir / "no" / "x.svg").string(), 1, "no directory"},
      {"render " + (dir / "x.raw").string() + " --svg " + dir.string(), 1, "is a directory"},
      {"replay " + (dir / "x.out").string(), 2, "--force"},
      // The picture's directory is checked before any board is opened.
      {"live --device /nonexistent/tty --svg " + (dir / "no" / "live.svg").string(), 1, "no directory"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Shell(kTq + " " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_TRUE(Has(run.err, c.inErr)) << c.args << ": " << run.err;
  }
  EXPECT_EQ(ReadBytes(dir / "x.raw"), sample);
  EXPECT_EQ(ReadBytes(dir / "x.out"), sample);
  EXPECT_FALSE(fs::exists(dir / "x.val"));
  EXPECT_EQ(Shell(kTq + " replay --force " + (dir / "x.out").string()).status, 0);

  // tqsim replaces only a link to a pseudo-terminal, never a file.
  const ToolRun sim = Shell(kSim + " --pty --link " + (dir / "mine.txt").string() + " --timeout 1");
  EXPECT_EQ(sim.status, 1);
  EXPECT_TRUE(Has(sim.err, "left alone")) << sim.err;
  EXPECT_EQ(Slurp(dir / "mine.txt"), "keep me\n");

  const ToolRun svg = Shell(kTq + " render " + kSamples + "hello-v1.raw --svg - --quiet");
  EXPECT_EQ(svg.status, 0);
  std::vector<Drawn> picture;
  EXPECT_TRUE(ReadPicture(svg.out, picture)) << svg.out.substr(0, 200);
  EXPECT_GT(LayersOf(picture).ink, 0u);
}

TEST(TqFiles, ExitCodesAgreeAndFilesAreJudgedByWhatTheyHold) {
  const fs::path dir = Scratch("judged");
  const Bytes records = {0x80, 0xE8, 0x03, 0x14, 0x00, 0x88, 0x2C, 0x01, 0xFB, 0xFF, 0xFE, 0, 0, 0, 0};
  WriteBytes(dir / "short.raw", Bytes(10, 0));
  WriteBytes(dir / "refused.raw", tqtest::Concat({CaptureHeader(2.0, 100.0), Bytes(18, 0xF0)}));
  WriteBytes(dir / "records.raw", tqtest::Concat({CaptureHeader(2.0, 2.1), records}));
  WriteBytes(dir / "stream.val", tqtest::Concat({CaptureHeader(2.0, 2.1), Bytes(18, 0xF0)}));
  const std::string d = dir.string() + "/";
  struct Case {
    std::string args;
    int status;
    std::string out;  // the start of standard output
  } const cases[] = {
      // A file that is no capture at all.
      {"replay " + d + "short.raw", 1, ""},
      {"render " + d + "short.raw --svg " + d + "s.svg", 1, ""},
      {"info " + d + "short.raw", 1, ""},
      {"dump " + d + "short.raw", 1, ""},
      // A header the replay refuses: info and render refuse it too.
      {"info " + d + "refused.raw", 1, "file "},
      {"render " + d + "refused.raw --svg " + d + "r.svg", 1, ""},
      {"dump " + d + "records.raw", 0, "0x80 1000 20\n0x88 300 -5\n0xfe 0 0\n"},
      {"dump " + d + "records.raw --filter-input --pen 2", 0, "0x80 1000 20 2\n0x88 300 -5 2\n0xfe 0 0 2\n"},
      {"dump " + d + "stream.val", 1, ""},
      {"dump " + d + "records.raw --filter-input | " + kTq + " filter --no-validate --no-antistreak --no-smooth",
       0, "0x80 1000 20 0 0\n0x88 300 -5 0 0\n0xfe 0 0 0 0\n"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Shell(kTq + " " + c.args);
    EXPECT_EQ(run.status, c.status) << c.args << ": " << run.err;
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out) << c.args;
    if (c.status == 1) {
      EXPECT_EQ(run.err.rfind("tq " + c.args.substr(0, c.args.find(' ')) + ": ", 0), 0u) << c.args << ": " << run.err;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "s.svg"));
  EXPECT_TRUE(Has(Shell(kTq + " info " + d + "records.raw").out, "records        3"));
  EXPECT_FALSE(Has(Shell(kTq + " info " + d + "stream.val").out, "records"));
  EXPECT_TRUE(Has(Shell(kTq + " replay " + kSamples + "hello-v1.raw").out, " check 0 comm 0\n"));
  fs::remove(kSamples + "hello-v1.val");
  fs::remove(kSamples + "hello-v1.out");

  // A FIFO is no capture a replay can wait for.
  ASSERT_EQ(mkfifo((dir / "fifo.raw").c_str(), 0600), 0);
  const ToolRun fifo = Shell("timeout 10 " + kTq + " replay " + d + "fifo.raw");
  EXPECT_EQ(fifo.status, 1) << fifo.err;
  EXPECT_TRUE(Has(fifo.err, "not a regular file")) << fifo.err;
}

TEST(TqOpen, AFailedOpenNamesTheDeviceAndTheReason) {
  const fs::path dir = Scratch("open");
  { std::ofstream(dir / "plain") << "not a line\n"; }
  tqtest::PtyBoard held(6, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // as another program holds it
  struct Case {
    std::string env, args;
    std::vector<std::string> inErr;
  } const cases[] = {
      {"TQ_COM5=" + (dir / "gone").string(), "--port 5", {"tq probe: cannot open ", (dir / "gone").string(), "no such device"}},
      {"TQ_COM5=", "--port 5", {"tq probe: cannot open ", "TQ_COM5 is set but empty"}},
      {"", "--device " + (dir / "plain").string(), {"tq probe: cannot open ", "plain", "not a terminal"}},
      {"", "--port 3 --device " + held.SlavePath(), {"tq probe: cannot open ", held.SlavePath(), "(COM3)", "in use"}},
  };
  for (const Case& c : cases) {
    const ToolRun run = Shell("env " + c.env + " " + kTq + " probe " + c.args);
    EXPECT_EQ(run.status, 1) << c.args;
    for (const std::string& part : c.inErr) EXPECT_TRUE(Has(run.err, part)) << c.args << ": " << run.err;
  }
  close(holder);
  const ToolRun probed = Shell("env -u TQ_COM1 " + kTq + " probe --device " + held.SlavePath());
  EXPECT_EQ(probed.status, 0) << probed.err;
  EXPECT_EQ(probed.out, "version 2.1\nwidth 3396\nmax-height 4572\n");
}

// Runs `tq live` on port 5 in the background; returns its pid.
pid_t StartLive(const std::string& args, const fs::path& out) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    dup2(fd, 2);
    execl("/bin/sh", "sh", "-c", ("exec " + kTq + " live --port 5 " + args).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int WaitFor(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(100 * 1000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -2;
}

TEST(TqLive, EndsOnHangUpWithItsPictureAndOnAVanishedBoardWithStatusOne) {
  const fs::path dir = Scratch("live");
  {
    tqtest::PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", 3056));
    const pid_t live = StartLive("--no-validate --no-antistreak --no-smooth --svg " + (dir / "hup.svg").string(),
                                 dir / "hup.txt");
    ASSERT_TRUE(board.WaitForReceived(0x20, 1, 5000));
    usleep(300 * 1000);
    const auto [first, second] = tqtest::PenDistances(1000, 800, 3056);
    board.Send(tqtest::Concat({tqtest::PenPacket(0xA0, first, second, 60),
                               tqtest::PenPacket(0xA0, first, second, 15)}));
    usleep(300 * 1000);
    kill(live, SIGHUP);
    EXPECT_EQ(WaitFor(live), 0) << Slurp(dir / "hup.txt");
    std::vector<Drawn> picture;
    ASSERT_TRUE(ReadPicture(Slurp(dir / "hup.svg"), picture));
    const std::vector<tqtool::InkPoint> dot = {{1140, 700}, {1140, 700}};
    bool drawn = false;
    for (const Drawn& item : picture) {
      for (const auto& subpath : item.subpaths) drawn = drawn || (!item.filled && item.opacity == 1.0 && subpath == dot);
    }
    EXPECT_TRUE(drawn) << "the pen's dot is drawn";
  }
  tqtest::PtyBoard board(5, tqtest::LongFormBoard("2.0", "2.1", 3056));
  const pid_t live = StartLive("--events", dir / "gone.txt");
  ASSERT_TRUE(board.WaitForReceived(0x20, 1, 5000));
  usleep(300 * 1000);
  board.Vanish();
  EXPECT_EQ(WaitFor(live), 1);
  const std::string said = Slurp(dir / "gone.txt");
  EXPECT_TRUE(Has(said, "comm 8\n")) << said;
  EXPECT_TRUE(Has(said, "tq live: the board's line failed")) << said;
  EXPECT_FALSE(Has(said, "check 0 0")) << said;
}

TEST(TqFilter, BoundsALineAndQuotesOnlyItsStart) {
  const fs::path dir = Scratch("filter_bounds");
  WriteBytes(dir / "long", Bytes(50000, 'x'));
  WriteBytes(dir / "nul", Bytes(1 << 20, 0));
  WriteBytes(dir / "fits", tqtest::Concat({Bytes(4000, ' '), {'0', 'x', '8', '0', ' ', '1', ' ', '2', ' ', '3', '\n'}}));
  struct Case {
    const char* file;
    int status;
    const char* inErr;
  } const cases[] = {{"long", 2, "line 1: longer than 4096 characters: 'xxxx"},
                     {"nul", 2, "line 1: longer than 4096 characters: '\\x00\\x00"},
                     {"fits", 0, ""}};
  for (const Case& c : cases) {
    const ToolRun run = Shell(kTq + " filter --no-validate < " + (dir / c.file).string());
    EXPECT_EQ(run.status, c.status) << c.file;
    EXPECT_LT(run.err.size(), 400u) << c.file;
    EXPECT_TRUE(Has(run.err, c.inErr)) << c.file << ": " << run.err;
  }
}

TEST(RawPointLayer, KeepsASmallLayerWholeAndThinsALongOne) {
  tqtool::RawPointLayer layer(8);
  // Every point of a small drawing is kept, twins included.
  for (int i = 0; i < 100; ++i) layer.Add({i % 10, 0});
  EXPECT_EQ(layer.Points().size(), 100u);
  // A long capture over one 80 x 80 patch: past the first points kept whole,
  // only the patch's 100 squares of the grid add any.
  for (int i = 0; i < 200000; ++i) layer.Add({(i * 7) % 80, (i * 13) % 80});
  EXPECT_EQ(layer.Seen(), 200100u);
  EXPECT_LE(layer.Points().size(), tqtool::RawPointLayer::kKeptWhole + 100);
  EXPECT_GE(layer.Points().size(), tqtool::RawPointLayer::kKeptWhole);
}

}  // namespace

namespace {

// Every command that takes a board reads the board the same way and fails
// the same way: the device named as ttyUSB0 or as a path, the failure naming
// the device and the reason, a port outside 1 to 8 and an unknown option as
// usage errors of one line and a pointer to the help.
TEST(TqBoardOptions, EveryBoardCommandOpensAndFailsAlike) {
  struct Command {
    std::string name, extra;  // what it needs beside the board
    bool runs;                // ends on its own with --seconds against a live board
  } const commands[] = {
      {"probe", "", true},
      {"live", "--events --seconds 1", true},
      {"pen", "--dry-run --seconds 1", true},
      {"calibrate", "--screen 800x600 --out /dev/null", false},
      {"serve", "--listen 127.0.0.1:0", false},
      // No engine at this address: the board's failure comes first all the same.
      {"publish", "--nats nats://127.0.0.1:9 --board b1", false},
  };
  const std::string missing = "tq-no-such-board-here";
  for (const Command& c : commands) {
    const std::string tq = "env -u TQ_COM1 " + kTq + " " + c.name + " " + c.extra + " ";
    const ToolRun gone = Shell(tq + "--device " + missing);
    EXPECT_EQ(gone.status, 1) << c.name << ": " << gone.err;
    EXPECT_EQ(gone.err.rfind("tq " + c.name + ": cannot open /dev/" + missing + " (COM1): no such device", 0), 0u)
        << c.name << ": " << gone.err;

    const ToolRun port = Shell(tq + "--port 9");
    EXPECT_EQ(port.status, 2) << c.name;
    EXPECT_EQ(port.err, "tq " + c.name + ": bad value '9' for --port: a whole number from 1 to 8 is wanted\n" +
                            "see tq " + c.name + " --help\n");
    const ToolRun word = Shell(tq + "--port one");
    EXPECT_EQ(word.status, 2) << c.name;
    EXPECT_TRUE(Has(word.err, "'one'") && Has(word.err, "a whole number from 1 to 8")) << word.err;

    const ToolRun unknown = Shell(tq + "--port 1 --bogus");
    EXPECT_EQ(unknown.status, 2) << c.name;
    EXPECT_TRUE(Has(unknown.err, "--bogus")) << c.name << ": " << unknown.err;
    EXPECT_EQ(std::count(unknown.err.begin(), unknown.err.end(), '\n'), 2) << unknown.err;
    EXPECT_TRUE(Has(unknown.err, "\nsee tq " + c.name + " --help\n")) << unknown.err;
    EXPECT_TRUE(gone.out.empty() && port.out.empty() && unknown.out.empty()) << c.name;

    if (!c.runs) continue;
    // The pty's name under /dev, written as a unit's instance names it.
    tqtest::PtyBoard board(7, tqtest::LongFormBoard("2.0", "2.1", 3056));
    const ToolRun opened = Shell(tq + "--device " + board.SlavePath().substr(1));
    EXPECT_EQ(opened.status, 0) << c.name << ": " << opened.err;
    EXPECT_TRUE(board.CountReceived(0x20) >= 1) << c.name;
  }
}

}  // namespace
