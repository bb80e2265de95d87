// tq export, checked by what reads its documents: libxml2 parses the InkML
// and the Xournal++ XML back and they are compared point by point with the
// stroke model built from the bundled samples' golden message lists;
// xmllint, the PDF tools and Xournal++ itself open the files; pictures are
// compared by their content (pages, ink share, ink's bounding box).
#include <cairo.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/ExportSession.h"
#include "export/CairoWriter.h"
#include "ink/StrokeModel.h"
#include "geometry/Truncate.h"
#include "support/PtyBoard.h"

namespace {

namespace fs = std::filesystem;
using tqtool::InkPoint;
using tqtool::InkStroke;

const std::string kTool = TQ_TOOL_PATH;
const std::string kSamples = std::string(TQ_SOURCE_DIR) + "/samples/";
const char* const kSampleNames[] = {"hello-v1", "hello-v2", "hello-v4", "pens-v3", "eraser-v3"};
constexpr double kPointsPerUnit = 72.0 / 25.4 / tqtool::kDefaultUnitsPerMm;

class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/tq-export-XXXXXX";
    m_path = mkdtemp(name) != nullptr ? name : "";
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_path))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string m_path;
};

// The exit status of a shell command line.
int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* program) {
  return Shell(std::string("command -v ") + program + " >/dev/null 2>&1") == 0;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The pages a session leaves on the board, from a golden message list: what
// the stroke model keeps of each page written on, as the export must show it.
std::vector<std::vector<InkStroke>> ExpectedPages(const std::string& events, bool pageAtFlush) {
  tqtool::StrokeModel model(pageAtFlush);
  std::istringstream lines(Slurp(events));
  std::string kind;
  while (lines >> kind) {
    long a = 0, b = 0, c = 0, d = 0;
    if (kind == "down" || kind == "move" || kind == "up") {
      lines >> a >> b >> c >> d;
      const UINT message = kind == "down"   ? TQ_MSG_PEN_DOWN
                           : kind == "move" ? TQ_MSG_PEN_MOVE
                                            : TQ_MSG_PEN_UP;
      model.Pen(message, int(a), int(b), int(d));
    } else if (kind == "board") {
      lines >> a >> b;
      model.BoardEvent(unsigned(a));
    } else {
      std::getline(lines, kind);
    }
  }
  model.Finish();  // a stroke the list leaves open was drawn all the same
  std::vector<std::vector<InkStroke>> pages;
  for (const tqtool::InkPage& page : model.Pages()) {
    if (!page.Empty()) pages.push_back(tqtool::Remaining(page));
  }
  if (pages.empty()) pages.emplace_back();
  return pages;
}

size_t Count(const std::vector<std::vector<InkStroke>>& pages) {
  size_t strokes = 0;
  for (const auto& page : pages) strokes += page.size();
  return strokes;
}

// ---- XML read back with libxml2 ----

struct XmlFile {
  explicit XmlFile(const std::string& path)  // a gzip file is read through zlib
      : doc(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET)) {}
  ~XmlFile() { xmlFreeDoc(doc); }
  xmlNode* Root() const { return doc != nullptr ? xmlDocGetRootElement(doc) : nullptr; }
  xmlDoc* doc;
};

std::vector<xmlNode*> Children(xmlNode* parent, const char* name) {
  std::vector<xmlNode*> found;
  for (xmlNode* n = parent != nullptr ? parent->children : nullptr; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, BAD_CAST name) == 0) found.push_back(n);
  }
  return found;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

std::string Text(xmlNode* node) {
  xmlChar* value = xmlNodeGetContent(node);
  std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  xmlFree(value);
  return text;
}

std::vector<double> Numbers(std::string text) {
  for (char& c : text) c = c == ',' ? ' ' : c;
  std::istringstream in(text);
  std::vector<double> numbers;
  double value;
  while (in >> value) numbers.push_back(value);
  return numbers;
}

// Every InkML page against the expected strokes: pen, and every point exact
// (the traces hold board units).
void CheckInkml(const std::string& path, const std::vector<std::vector<InkStroke>>& expected) {
  XmlFile file(path);
  ASSERT_NE(file.Root(), nullptr) << path;
  const std::vector<xmlNode*> groups = Children(file.Root(), "traceGroup");
  ASSERT_EQ(groups.size(), expected.size()) << path;
  for (size_t p = 0; p < groups.size(); ++p) {
    const std::vector<xmlNode*> traces = Children(groups[p], "trace");
    ASSERT_EQ(traces.size(), expected[p].size()) << path << " page " << p + 1;
    for (size_t s = 0; s < traces.size(); ++s) {
      const InkStroke& stroke = expected[p][s];
      EXPECT_EQ(Attribute(traces[s], "brushRef"), "#pen" + std::to_string(stroke.pen));
      const std::vector<double> numbers = Numbers(Text(traces[s]));
      ASSERT_EQ(numbers.size(), 2 * stroke.points.size()) << path << " trace " << s;
      for (size_t i = 0; i < stroke.points.size(); ++i) {
        ASSERT_EQ(numbers[2 * i], stroke.points[i].x);
        ASSERT_EQ(numbers[2 * i + 1], stroke.points[i].y);
      }
    }
  }
}

// Every Xournal++ page: its size in points, each stroke's colour and width
// as --pens named them, and its points (a dot is written as two).
void CheckXopp(const std::string& path, const std::vector<std::vector<InkStroke>>& expected,
               double width, double height) {
  XmlFile file(path);
  ASSERT_NE(file.Root(), nullptr) << path;
  const std::vector<xmlNode*> pages = Children(file.Root(), "page");
  ASSERT_EQ(pages.size(), expected.size()) << path;
  for (size_t p = 0; p < pages.size(); ++p) {
    EXPECT_NEAR(std::stod(Attribute(pages[p], "width")), width * kPointsPerUnit, 0.01);
    EXPECT_NEAR(std::stod(Attribute(pages[p], "height")), height * kPointsPerUnit, 0.01);
    const std::vector<xmlNode*> layers = Children(pages[p], "layer");
    ASSERT_EQ(layers.size(), 1u);
    const std::vector<xmlNode*> strokes = Children(layers[0], "stroke");
    ASSERT_EQ(strokes.size(), expected[p].size()) << path << " page " << p + 1;
    for (size_t s = 0; s < strokes.size(); ++s) {
      const InkStroke& stroke = expected[p][s];
      EXPECT_EQ(Attribute(strokes[s], "tool"), "pen");
      EXPECT_EQ(Attribute(strokes[s], "color"), stroke.pen == 0 ? "#102030ff" : "#c00000ff");
      EXPECT_NEAR(std::stod(Attribute(strokes[s], "width")), stroke.pen == 0 ? 5.67 : 7.09, 0.01);
      const std::vector<double> numbers = Numbers(Text(strokes[s]));
      const size_t points = std::max<size_t>(stroke.points.size(), 2);
      ASSERT_EQ(numbers.size(), 2 * points) << path << " stroke " << s;
      for (size_t i = 0; i < points; ++i) {
        const InkPoint& point = stroke.points[std::min(i, stroke.points.size() - 1)];
        ASSERT_NEAR(numbers[2 * i], point.x * kPointsPerUnit, 0.006);
        ASSERT_NEAR(numbers[2 * i + 1], point.y * kPointsPerUnit, 0.006);
      }
    }
  }
}

// ---- pictures ----

struct Ink {
  int width = 0, height = 0;
  double share = 0.0;                              // of the picture's pixels
  int left = 0, top = 0, right = -1, bottom = -1;  // the ink's bounding box
};

// A pixel is ink when it is clearly darker than white paper.
Ink InkOf(const std::string& png) {
  Ink ink;
  cairo_surface_t* surface = cairo_image_surface_create_from_png(png.c_str());
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return ink;
  }
  ink.width = cairo_image_surface_get_width(surface);
  ink.height = cairo_image_surface_get_height(surface);
  ink.left = ink.width, ink.top = ink.height;
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  size_t inked = 0;
  for (int y = 0; y < ink.height; ++y) {
    for (int x = 0; x < ink.width; ++x) {
      const auto* pixel = reinterpret_cast<const uint32_t*>(data + y * stride) + x;
      const unsigned r = (*pixel >> 16) & 0xff, g = (*pixel >> 8) & 0xff, b = *pixel & 0xff;
      if (std::min({r, g, b}) >= 160) continue;
      ++inked;
      ink.left = std::min(ink.left, x), ink.right = std::max(ink.right, x);
      ink.top = std::min(ink.top, y), ink.bottom = std::max(ink.bottom, y);
    }
  }
  ink.share = double(inked) / (double(ink.width) * ink.height);
  cairo_surface_destroy(surface);
  return ink;
}

struct Box {
  double left = 1e9, top = 1e9, right = -1e9, bottom = -1e9;
};

Box PointBox(const std::vector<InkStroke>& strokes) {
  Box box;
  for (const InkStroke& stroke : strokes) {
    for (const InkPoint& p : stroke.points) {
      box.left = std::min(box.left, double(p.x)), box.right = std::max(box.right, double(p.x));
      box.top = std::min(box.top, double(p.y)), box.bottom = std::max(box.bottom, double(p.y));
    }
  }
  return box;
}

// Page N of a PDF as a PNG at `dpi`, through poppler.
std::string Rasterise(const std::string& pdf, int page, int dpi, const std::string& stem) {
  const std::string n = std::to_string(page);
  Shell("pdftoppm -png -singlefile -r " + std::to_string(dpi) + " -f " + n + " -l " + n + " '" +
        pdf + "' '" + stem + "'");
  return stem + ".png";
}

int PdfPages(const std::string& pdf) {
  const std::string info = pdf + ".info";
  if (Shell("pdfinfo '" + pdf + "' > '" + info + "' 2>/dev/null") != 0) return -1;
  std::istringstream lines(Slurp(info));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Pages:", 0) == 0) return std::stoi(line.substr(6));
  }
  return -1;
}

unsigned BoardHeight(unsigned baseline) {
  return unsigned(tq::TruncateToInt32(std::sqrt(30250000.0 - double(baseline) * baseline)));
}

// A capture of the hello sample written twice, the board flushed after each.
std::string TwoPageCapture(const ScratchDir& dir) {
  const std::string raw = Slurp(kSamples + "hello-v2.raw");
  const std::string flush = {char(0xC0), char(0x102 / 128), char(0x102 % 128), 0, 0, 0, 0, 0, 0};
  const std::string path = dir / "two.raw";
  std::ofstream(path, std::ios::binary) << raw << flush << raw.substr(20) << flush;
  return path;
}

const char kPens[] = " --pens '0=#102030:2,1=#c00000,2=#c00000,3=#c00000,4=#c00000' ";

// ---- the tests ----

TEST(Export, EverySampleInEveryFormatHoldsWhatIsLeftOnTheBoard) {
  for (const char* tool : {"xmllint", "pdfinfo", "pdftoppm"}) {
    if (!Have(tool)) GTEST_SKIP() << tool << " is not installed (make test installs it)";
  }
  ScratchDir dir;
  const unsigned width = 3056 + 340, height = BoardHeight(3056);
  for (const char* name : kSampleNames) {
    SCOPED_TRACE(name);
    const std::string raw = kSamples + name + ".raw";
    const auto expected = ExpectedPages(kSamples + name + ".events", true);
    ASSERT_GT(Count(expected), 0u);
    for (const char* extension : {".inkml", ".xopp", ".pdf", ".png", ".svg"}) {
      ASSERT_EQ(Shell(kTool + " export -q " + raw + kPens + "-o " + (dir / name) + extension), 0)
          << extension;
    }
    CheckInkml(dir / (name + std::string(".inkml")), expected);
    CheckXopp(dir / (name + std::string(".xopp")), expected, width, height);
    EXPECT_EQ(Shell("xmllint --noout " + (dir / name) + ".inkml " + (dir / name) + ".svg"), 0);
    EXPECT_EQ(PdfPages(dir / (name + std::string(".pdf"))), int(expected.size()));

    // The PNG at its default dpi holds the ink where the points lie, pen widths aside.
    const Ink png = InkOf(dir / (name + std::string(".png")));
    const double pixels = tqtool::kDefaultDpi / 25.4 / tqtool::kDefaultUnitsPerMm;
    EXPECT_EQ(double(png.width), std::ceil(width * pixels));
    EXPECT_EQ(double(png.height), std::ceil(height * pixels));
    const Box box = PointBox(expected[0]);
    const double slack = 2.5 / 2.0 * tqtool::kDefaultDpi / 25.4 + 2.0;  // half the widest pen, 2 pixels
    EXPECT_NEAR(png.left, box.left * pixels, slack);
    EXPECT_NEAR(png.right, box.right * pixels, slack);
    EXPECT_NEAR(png.top, box.top * pixels, slack);
    EXPECT_NEAR(png.bottom, box.bottom * pixels, slack);
    EXPECT_GT(png.share, 0.001);

    // The PDF, drawn by poppler at the same resolution, is the same picture.
    const Ink pdf = InkOf(Rasterise(dir / (name + std::string(".pdf")), 1, int(tqtool::kDefaultDpi), dir / "page"));
    EXPECT_EQ(pdf.width, png.width);
    EXPECT_NEAR(pdf.share, png.share, 0.15 * png.share);
    EXPECT_NEAR(pdf.left, png.left, 2);
    EXPECT_NEAR(pdf.bottom, png.bottom, 2);
  }
}

TEST(Export, XournalppOpensTheDocumentAndPrintsTheSameInkAsOurPdf) {
  for (const char* tool : {"xournalpp", "xvfb-run", "pdfinfo", "pdftoppm"}) {
    if (!Have(tool)) GTEST_SKIP() << tool << " is not installed (make test installs it)";
  }
  ScratchDir dir;
  for (const std::string& raw : {TwoPageCapture(dir), kSamples + "eraser-v3.raw"}) {
    SCOPED_TRACE(raw);
    ASSERT_EQ(Shell(kTool + " export -q " + raw + " -o " + (dir / "doc.xopp")), 0);
    ASSERT_EQ(Shell(kTool + " export -q " + raw + " -o " + (dir / "ours.pdf")), 0);
    // Xournal++ keeps its settings under HOME; it needs a display to start.
    const std::string home = dir / "home";
    fs::create_directories(home);
    ASSERT_EQ(Shell("cd " + home + " && HOME=" + home + " XDG_CONFIG_HOME=" + home +
                    " XDG_CACHE_HOME=" + home + " XDG_DATA_HOME=" + home +
                    " timeout 120 xvfb-run -a" + " xournalpp " + (dir / "doc.xopp") + " -p " +
                    (dir / "theirs.pdf") + " >/dev/null 2>&1"),
              0);
    const int pages = PdfPages(dir / "ours.pdf");
    ASSERT_GT(pages, 0);
    EXPECT_EQ(PdfPages(dir / "theirs.pdf"), pages);
    for (int page = 1; page <= pages; ++page) {
      const Ink ours = InkOf(Rasterise(dir / "ours.pdf", page, 20, dir / "ours"));
      const Ink theirs = InkOf(Rasterise(dir / "theirs.pdf", page, 20, dir / "theirs"));
      EXPECT_EQ(theirs.width, ours.width);
      EXPECT_EQ(theirs.height, ours.height);
      EXPECT_GT(ours.share, 0.0005);
      EXPECT_NEAR(theirs.share, ours.share, 0.2 * ours.share) << "page " << page;
      EXPECT_NEAR(theirs.left, ours.left, 3);
      EXPECT_NEAR(theirs.top, ours.top, 3);
      EXPECT_NEAR(theirs.right, ours.right, 3);
      EXPECT_NEAR(theirs.bottom, ours.bottom, 3);
    }
  }
}

TEST(Export, PagesFollowTheBoardsFlushAndCropFollowsTheInk) {
  ScratchDir dir;
  const std::string raw = TwoPageCapture(dir);
  // What the library's own replay sends a window, read as pages or as one.
  ASSERT_EQ(Shell(kTool + " replay " + raw + " --events > " + (dir / "two.events")), 0);
  const auto pages = ExpectedPages(dir / "two.events", true);
  const auto single = ExpectedPages(dir / "two.events", false);
  // The flush at the end opens a page nobody writes on: it is left out.
  ASSERT_EQ(pages.size(), 2u);
  ASSERT_EQ(single.size(), 1u);
  ASSERT_EQ(Shell(kTool + " export -q " + raw + " -o " + (dir / "pages.inkml")), 0);
  CheckInkml(dir / "pages.inkml", pages);
  ASSERT_EQ(Shell(kTool + " export -q --no-pages " + raw + " -o " + (dir / "one.inkml")), 0);
  CheckInkml(dir / "one.inkml", single);

  // Cropped: each page is its points' box, 5 mm beyond it all round.
  const double margin = 5 * tqtool::kDefaultUnitsPerMm;
  ASSERT_EQ(
      Shell(kTool + " export -q --crop --margin 5" + kPens + raw + " -o " + (dir / "crop.xopp")),
      0);
  XmlFile file(dir / "crop.xopp");
  const std::vector<xmlNode*> written = Children(file.Root(), "page");
  ASSERT_EQ(written.size(), pages.size());
  for (size_t p = 0; p < pages.size(); ++p) {
    const Box box = PointBox(pages[p]);
    EXPECT_NEAR(std::stod(Attribute(written[p], "width")),
                (box.right - box.left + 2 * margin) * kPointsPerUnit, 0.01);
    EXPECT_NEAR(std::stod(Attribute(written[p], "height")),
                (box.bottom - box.top + 2 * margin) * kPointsPerUnit, 0.01);
    const std::vector<double> first =
        Numbers(Text(Children(Children(written[p], "layer")[0], "stroke")[0]));
    EXPECT_NEAR(first[0], (pages[p][0].points[0].x - box.left + margin) * kPointsPerUnit, 0.01);
    EXPECT_NEAR(first[1], (pages[p][0].points[0].y - box.top + margin) * kPointsPerUnit, 0.01);
  }
}

// Nine idle hours of heartbeat bytes in front of a word: the replay reads in
// blocks and keeps only the ink, so the export needs no more memory than for
// the word alone, far less than the capture's 32 MiB.
TEST(Export, MemoryFollowsTheInkNotTheCapture) {
  ScratchDir dir;
  const std::string raw = Slurp(kSamples + "hello-v2.raw");
  {
    // Written in pieces, never held whole.
    std::ofstream idle(dir / "idle.raw", std::ios::binary);
    idle << raw.substr(0, 20);
    const std::string heartbeats(1u << 16, char(0xF0));
    for (int i = 0; i < 512; ++i) idle << heartbeats;
    idle << raw.substr(20);
  }
  // Started from a small program of its own: neither the largest child this
  // program had (Xournal++, above) nor this program's own pages count.
  const std::string peak = dir / "peak";
  ASSERT_EQ(Shell(std::string(TQ_PEAK_MEMORY_PATH) + " " + kTool + " export -q " + (dir / "idle.raw") +
                  " -o " + (dir / "idle.inkml") + " > " + peak),
            0);
  const long kib = std::atol(Slurp(peak).c_str());
  EXPECT_GT(kib, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' own memory comes on top; holding the capture still shows.
  EXPECT_LT(kib, 64 * 1024);
#else
  EXPECT_LT(kib, 24 * 1024);
#endif
  CheckInkml(dir / "idle.inkml", ExpectedPages(kSamples + "hello-v2.events", true));
}

// The erasing rule as the pictures show it: a footprint made after a stroke
// takes the ink under it away, one made before it or on another page does
// not, and a page whose ink is all erased stays a blank page.
TEST(Export, WhatALaterFootprintCoversIsGoneFromThePicture) {
  struct Case {
    const char* name;
    bool eraseFirst, flushBetween;
    int eraserLeft, eraserRight;  // a footprint from y 350 to 650
    size_t pieces;
    std::vector<int> inked, blank;  // x positions along the line y = 500
  };
  const Case cases[] = {
      {"erased in the middle", false, false, 400, 600, 2, {150, 350, 650, 850}, {450, 500, 550}},
      {"footprint made first", true, false, 400, 600, 1, {150, 450, 500, 850}, {}},
      {"footprint on the next page", false, true, 400, 600, 1, {150, 450, 500, 850}, {}},
      {"erased at one end", false, false, 50, 300, 1, {350, 850}, {100, 250}},
      {"erased whole", false, false, 0, 1000, 0, {}, {150, 500, 850}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tqtool::StrokeModel model;
    model.SetBoard(1000, 1000);
    auto footprint = [&] {
      const InkPoint corner[4] = {
          {c.eraserLeft, 350}, {c.eraserRight, 350}, {c.eraserRight, 650}, {c.eraserLeft, 650}};
      const int walk[8] = {0, 1, 2, 0, 3, 2, 3, 1};
      for (int i = 0; i < 8; ++i)
        model.Pen(i ? TQ_MSG_PEN_MOVE : TQ_MSG_PEN_DOWN, corner[walk[i]].x, corner[walk[i]].y, 0);
      model.Pen(TQ_MSG_PEN_UP, 140, 0, 0);
    };
    if (c.eraseFirst) footprint();
    for (int x = 100; x <= 900; x += 10)
      model.Pen(x == 100 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, x, 500, 1);
    model.Pen(TQ_MSG_PEN_UP, 900, 500, 0);
    if (c.flushBetween) model.BoardEvent(0);
    if (!c.eraseFirst) footprint();

    tqtool::PageLayout layout;
    layout.unitsPerMm = 10.0;
    const tqtool::InkDocument document = tqtool::BuildDocument(model, layout, {});
    ASSERT_EQ(document.pages.size(), c.flushBetween ? 2u : 1u);
    EXPECT_EQ(document.pages[0].strokes.size(), c.pieces);
    layout.debug = true;
    const tqtool::InkDocument debug = tqtool::BuildDocument(model, layout, {});
    // The line y = 500 of the page drawn at a pixel a board unit: the
    // lightest of each pixel's three channels.
    auto row = [&dir](const tqtool::InkDocument& drawn) {
      std::ofstream out(dir / "page.png", std::ios::binary);
      std::string error;
      EXPECT_TRUE(tqtool::WritePngPage(drawn, 0, 254.0, out, error)) << error;
      out.close();
      cairo_surface_t* surface = cairo_image_surface_create_from_png((dir / "page.png").c_str());
      std::vector<unsigned> light(1000, 0);
      if (cairo_image_surface_get_width(surface) == 1000) {
        const auto* line = reinterpret_cast<const uint32_t*>(
            cairo_image_surface_get_data(surface) + 500 * cairo_image_surface_get_stride(surface));
        for (int x = 0; x < 1000; ++x) {
          light[x] = std::min({(line[x] >> 16) & 0xffu, (line[x] >> 8) & 0xffu, line[x] & 0xffu});
        }
      }
      cairo_surface_destroy(surface);
      return light;
    };
    const std::vector<unsigned> ink = row(document), shown = row(debug);
    for (int x : c.inked) EXPECT_LT(ink[x], 160u) << "no ink at x " << x;
    for (int x : c.blank) EXPECT_EQ(ink[x], 255u) << "ink left at x " << x;
    // The debug picture still shows where the erased ink was, faintly.
    for (int x : c.inked) EXPECT_LT(shown[x], 160u) << "debug: no ink at x " << x;
    for (int x : c.blank) EXPECT_TRUE(shown[x] > 160u && shown[x] < 250u) << "debug at x " << x;
  }
}

TEST(Export, FailuresSayWhyExitOneAndLeaveNoFileBehind) {
  ScratchDir dir;
  std::ofstream(dir / "zeros.raw", std::ios::binary) << std::string(64, '\0');
  std::ofstream(dir / "short.raw", std::ios::binary) << "tq";
  std::ofstream(dir / "kept.png") << "the user's picture";
  const std::string hello = kSamples + "hello-v2.raw";
  fs::copy_file(hello, dir / "copy.raw");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);  // nothing would ever end it
  struct Case {
    std::string arguments;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {(dir / "zeros.raw") + " -o " + (dir / "out.pdf"), 1, "is not a capture: header not accepted"},
      {(dir / "short.raw") + " -o " + (dir / "out.pdf"), 1, "is shorter than a capture header (20 bytes)"},
      {(dir / "missing.raw") + " -o " + (dir / "out.pdf"), 1, "cannot open"},
      {(dir / "fifo") + " -o " + (dir / "out.pdf"), 1, "is not a regular file"},
      {hello + " -o " + (dir / "out.doc"), 1, "unknown format"},
      {hello + " --format bmp -o " + (dir / "out.pdf"), 1, "unknown format of 'bmp'"},
      {hello + " -o " + (dir / "no/such/dir/out.pdf"), 1, "cannot write"},
      {(dir / "copy.raw") + " --format pdf -o " + (dir / "copy.raw"), 1,
       "is the input; it is not overwritten"},
      {hello + " --page 2 -o " + (dir / "kept.png"), 1, "no page 2"},
      {hello + " --pens 1=red -o " + (dir / "out.pdf"), 2, "the colour is not #RRGGBB"},
      {hello + " --dpi 0 -o " + (dir / "out.png"), 2, "--dpi"},
      {hello, 2, "--output is required"},
  };
  const std::vector<std::string> before = dir.Names();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(Shell(kTool + " export " + c.arguments + " 2>" + (dir / "../tq-export-said")),
              c.status);
    const std::string said = Slurp(dir / "../tq-export-said");
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(dir.Names(), before);
  }
  fs::remove(dir / "../tq-export-said");
  EXPECT_EQ(Slurp(dir / "kept.png"), "the user's picture");
  EXPECT_EQ(Slurp(dir / "copy.raw"), Slurp(hello));
}

// A live session recorded with tq live --record exports to what its window
// was sent.
TEST(Export, ALiveRecordingExportsToTheStrokesTheWindowReceived) {
  ScratchDir dir;
  tqtest::PtyBoard board(6, tqtest::LongFormBoard("2.0", "2.1", 3056));
  std::thread live([&] {
    Shell(kTool + " live --port 6 --events --seconds 3 --record " + (dir / "rec.raw") + " > " +
          (dir / "live.events"));
  });
  ASSERT_TRUE(board.WaitForReceived(0x20, 1, 3000));
  usleep(300 * 1000);
  const std::string hello = Slurp(kSamples + "hello-v2.raw").substr(20);
  board.Send(tqtest::Bytes(hello.begin(), hello.end()));
  live.join();
  const auto expected = ExpectedPages(dir / "live.events", true);
  ASSERT_GT(Count(expected), 3u);
  ASSERT_EQ(Shell(kTool + " export -q " + (dir / "rec.raw") + " -o " + (dir / "rec.inkml")), 0);
  CheckInkml(dir / "rec.inkml", expected);
  EXPECT_EQ(Shell(kTool + " live --port 6 --seconds 1 --record " + (dir / "no/such.raw") +
                  " 2>/dev/null"),
            1);
  EXPECT_EQ(
      Shell(kTool + " live --port 6 --seconds 1 --record " + (dir / "rec.txt") + " 2>/dev/null"),
      2);
}

TEST(PenStyles, ParsesColoursAndWidthsAndRefusesAnythingElse) {
  struct Case {
    const char* text;
    bool accepted;
    int code;
    uint32_t rgb;
    double width;
  };
  const Case cases[] = {
      {"1=#000000", true, 1, 0x000000, 2.5},
      {"2=#D00000:1.5", true, 2, 0xd00000, 1.5},
      {"0=#123456,0=#abcdef:3", true, 0, 0xabcdef, 3.0},
      {"7=#00ff00:50", true, 7, 0x00ff00, 50.0},
      {"8=#000000", false, 0, 0, 0},
      {"-1=#000000", false, 0, 0, 0},
      {"1=000000", false, 0, 0, 0},
      {"1=#00000", false, 0, 0, 0},
      {"1=#00000g", false, 0, 0, 0},
      {"1=#000000:0", false, 0, 0, 0},
      {"1=#000000:101", false, 0, 0, 0},
      {"1=#000000:wide", false, 0, 0, 0},
      {"=#000000", false, 0, 0, 0},
      {"1x=#000000", false, 0, 0, 0},
      {"1=#000000,2", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tqtool::PenStyles pens;
    const tqtool::PenStyles before = pens;
    std::string error;
    ASSERT_EQ(pens.Parse(c.text, error), c.accepted) << error;
    if (!c.accepted) {
      EXPECT_FALSE(error.empty());
      for (int code = 0; code < tqtool::PenStyles::kCodes; ++code) {
        EXPECT_EQ(pens.For(code).rgb, before.For(code).rgb);  // nothing changed
      }
      continue;
    }
    EXPECT_EQ(pens.For(c.code).rgb, c.rgb);
    EXPECT_DOUBLE_EQ(pens.For(c.code).widthMm, c.width);
    EXPECT_EQ(pens.For(c.code + tqtool::PenStyles::kCodes).rgb, c.rgb);
  }
}

}  // namespace
