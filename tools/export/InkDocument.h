// A session laid out as a document: the board's pages with what is left on
// each after erasing, the paper they are printed on, and the pens' colours and
// widths. Every export format is written from this one description.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ink/PenColours.h"
#include "ink/StrokeModel.h"

namespace tqtool {

// Board units per millimetre when the user names none, as for the pen on the
// desktop: the board comes out at its own size, a whiteboard of 1.7 by 2.3 m.
constexpr double kDefaultUnitsPerMm = 2.0;
// A PNG of the whole board at that size stays about 2000 by 2700 pixels.
constexpr double kDefaultDpi = 30.0;
constexpr double kPointsPerMm = 72.0 / 25.4;

struct PenStyle {
  uint32_t rgb = 0;      // 0xRRGGBB
  double widthMm = 2.5;  // the line's width on paper: a whiteboard marker's
};

// One style per pen code. Codes beyond the table share the last pens' styles
// in turn, so every stroke has one.
class PenStyles {
 public:
  static constexpr int kCodes = static_cast<int>(kPenColours.size());
  PenStyles();
  // "CODE=#RRGGBB[:WIDTH_MM],..." changes the named pens only; false (with
  // the reason) for anything else, and then nothing changes.
  bool Parse(const std::string& text, std::string& error);
  // Every pen's line `widthMm` wide, colours kept.
  void SetWidths(double widthMm);
  const PenStyle& For(int code) const;

 private:
  std::array<PenStyle, kCodes> m_styles;
};

// The filter-off points of a long capture would cover the board many times
// over: past the first kKeptWhole points, a point is kept only where no kept
// point shares its square of the grid, so the layer stays within the board's
// area however long the capture is.
class RawPointLayer {
 public:
  static constexpr size_t kKeptWhole = 20000;
  explicit RawPointLayer(int cell = 8) : m_cell(cell < 1 ? 1 : cell) {}
  void Add(InkPoint point);
  const std::vector<InkPoint>& Points() const { return m_points; }
  std::vector<InkPoint> Take() { return std::move(m_points); }
  size_t Seen() const { return m_seen; }  // kept or not

 private:
  int m_cell;
  size_t m_seen = 0;
  std::vector<InkPoint> m_points;
  std::set<std::pair<int, int>> m_cells;
};

struct PageLayout {
  double unitsPerMm = kDefaultUnitsPerMm;
  bool crop = false;       // cut each page to its ink with a margin
  double marginMm = 10.0;  // around the ink when cropping
  // The picture for looking at the pipeline rather than for filing: the
  // triangulated points with the filter off, everything written (faint where
  // it was erased) and the eraser's footprints, under the ink that is left,
  // inside the board's outline.
  bool debug = false;
};

// One page: the part of the board it shows, in board units, and its ink.
struct DocumentPage {
  double left = 0.0, top = 0.0, width = 1.0, height = 1.0;
  std::vector<InkStroke> strokes;  // what is left on the board
  // The debug style's layers, empty otherwise.
  std::vector<InkStroke> written;
  std::vector<Footprint> footprints;
  std::vector<InkPoint> rawPoints;  // thinned as RawPointLayer does
};

struct InkDocument {
  double unitsPerMm = kDefaultUnitsPerMm;
  unsigned boardWidth = 0, boardHeight = 0;  // board units
  PenStyles pens;
  bool debug = false;
  double rawPointMm = 0.4;  // the radius of the debug style's raw points
  std::vector<DocumentPage> pages;  // never empty

  double PointsPerUnit() const { return kPointsPerMm / unitsPerMm; }
  size_t StrokeCount() const;
  size_t PointCount() const;
};

// Every page the board wrote on (a page never written on is left out), each
// with what remains after erasing; a blank page when nothing was written.
// `unfiltered`, the same session replayed with the filter off, gives the
// debug style its raw points.
InkDocument BuildDocument(const StrokeModel& model, const PageLayout& layout, const PenStyles& pens,
                          const StrokeModel* unfiltered = nullptr);

// The width, in board units, of the lines of a picture of the whole board
// `width` units wide: wide enough to be seen when the picture is seen whole.
// The debug style draws the board's outline with it.
unsigned BoardLine(unsigned width);

// The picture of `tq render` and `tq live --svg`: the whole board in the
// debug style, every pen's line and the raw points as wide as the board's
// lines. `model` keeps one page (it starts none at the board's flush), so
// the picture shows all that was written; `rawPoints`, the filter-off points
// already thinned, are drawn under it.
InkDocument BoardPicture(const StrokeModel& model, std::vector<InkPoint> rawPoints = {});

// "#RRGGBB" of a colour.
std::string ColourText(uint32_t rgb);

}  // namespace tqtool
