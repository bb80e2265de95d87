// The one drawing of a page, on any cairo surface: PDF (every page), PNG and
// SVG (one page). Ink is drawn as the board shows it: round-ended lines in
// each pen's colour and width, on white.
#pragma once

#include <ostream>
#include <string>

#include "export/InkDocument.h"

typedef struct _cairo cairo_t;

namespace tqtool {

// Draws `page` with its top-left corner at the origin, `scale` surface units
// a board unit.
void DrawPage(cairo_t* cairo, const InkDocument& document, const DocumentPage& page, double scale);

// Each writes to `out`; false with the reason in `error`. `pageIndex` counts
// from 0; the caller checks it is one of the document's.
bool WritePdfDocument(const InkDocument& document, std::ostream& out, std::string& error);
bool WritePngPage(const InkDocument& document, size_t pageIndex, double dpi, std::ostream& out,
                  std::string& error);
bool WriteSvgPage(const InkDocument& document, size_t pageIndex, std::ostream& out,
                  std::string& error);
// False with the reason when the page at `dpi` is more than a PNG can hold.
bool PngFits(const DocumentPage& page, double unitsPerMm, double dpi, std::string& error);

// The largest picture side WritePng draws, in pixels: cairo's own limit.
constexpr double kLargestPngSide = 32767.0;

}  // namespace tqtool
