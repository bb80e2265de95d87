// A session laid out as a document: the board's pages with what is left on
// each after erasing, the paper they are printed on, and the pens' colours and
// widths. Every export format is written from this one description.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "StrokeModel.h"

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
  static constexpr int kCodes = 8;
  PenStyles();
  // "CODE=#RRGGBB[:WIDTH_MM],..." changes the named pens only; false (with
  // the reason) for anything else, and then nothing changes.
  bool Parse(const std::string& text, std::string& error);
  const PenStyle& For(int code) const;

 private:
  std::array<PenStyle, kCodes> m_styles;
};

struct PageLayout {
  double unitsPerMm = kDefaultUnitsPerMm;
  bool crop = false;       // cut each page to its ink with a margin
  double marginMm = 10.0;  // around the ink when cropping
  // The picture for looking at the pipeline rather than for filing: the
  // triangulated points with the filter off, everything written (faint where
  // it was erased) and the eraser's footprints, under the ink that is left.
  bool debug = false;
};

// One page: the part of the board it shows, in board units, and its ink.
struct DocumentPage {
  double left = 0.0, top = 0.0, width = 1.0, height = 1.0;
  std::vector<InkStroke> strokes;  // what is left on the board
  // The debug style's layers, empty otherwise.
  std::vector<InkStroke> written;
  std::vector<Footprint> footprints;
  std::vector<InkPoint> rawPoints;
};

struct InkDocument {
  double unitsPerMm = kDefaultUnitsPerMm;
  unsigned boardWidth = 0, boardHeight = 0;  // board units
  PenStyles pens;
  bool debug = false;
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

// "#RRGGBB" of a colour.
std::string ColourText(uint32_t rgb);

}  // namespace tqtool
