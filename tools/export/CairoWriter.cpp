#include "export/CairoWriter.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "geometry/Truncate.h"

namespace tqtool {

namespace {

cairo_status_t WriteToStream(void* closure, const unsigned char* data, unsigned int length) {
  auto& out = *static_cast<std::ostream*>(closure);
  out.write(reinterpret_cast<const char*>(data), length);
  return out ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

// The picture's size in pixels at `scale` pixels a board unit.
void PngSize(const DocumentPage& page, double scale, double& width, double& height) {
  width = std::ceil(page.width * scale);
  height = std::ceil(page.height * scale);
}

constexpr uint32_t kFootprintColour = 0xf5b041;
constexpr uint32_t kRawPointColour = 0x9fb8d0;
constexpr uint32_t kBoardColour = 0x7f8c8d;

void SetColour(cairo_t* cairo, uint32_t rgb, double alpha) {
  cairo_set_source_rgba(cairo, ((rgb >> 16) & 0xff) / 255.0, ((rgb >> 8) & 0xff) / 255.0,
                        (rgb & 0xff) / 255.0, alpha);
}

// A stroke of one point is a dot: a line of no length with round ends.
void TraceStroke(cairo_t* cairo, const InkStroke& stroke) {
  if (stroke.points.empty()) return;
  cairo_move_to(cairo, stroke.points.front().x, stroke.points.front().y);
  for (const InkPoint& point : stroke.points) cairo_line_to(cairo, point.x, point.y);
}

// Finishes the surface and reports what went wrong on the way, if anything.
bool Finish(cairo_surface_t* surface, std::string& error) {
  cairo_surface_finish(surface);
  const cairo_status_t status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  if (status == CAIRO_STATUS_SUCCESS) return true;
  error = cairo_status_to_string(status);
  return false;
}

// Strokes of one pen in a row are one path: the same look, and a PDF or SVG
// with one drawing operation where the pen wrote many strokes.
void DrawStrokes(cairo_t* cairo, const InkDocument& document, const std::vector<InkStroke>& strokes,
                 double alpha) {
  for (size_t first = 0; first < strokes.size();) {
    size_t end = first;
    while (end < strokes.size() && strokes[end].pen == strokes[first].pen) ++end;
    const PenStyle& style = document.pens.For(strokes[first].pen);
    SetColour(cairo, style.rgb, alpha);
    cairo_set_line_width(cairo, style.widthMm * document.unitsPerMm);
    cairo_new_path(cairo);
    for (size_t i = first; i < end; ++i) TraceStroke(cairo, strokes[i]);
    cairo_stroke(cairo);
    first = end;
  }
}

// The board's width and largest height, and the pod at the middle of its top
// edge, drawn inside the page so that a page of the whole board shows the
// outline whole.
void DrawBoard(cairo_t* cairo, const InkDocument& document) {
  const double width = std::max(document.boardWidth, 1u);
  const double height = std::max(document.boardHeight, 1u);
  const double line = BoardLine(document.boardWidth);
  SetColour(cairo, kBoardColour, 1.0);
  cairo_set_line_width(cairo, line);
  cairo_new_path(cairo);
  cairo_rectangle(cairo, line / 2.0, line / 2.0, width - line, height - line);
  cairo_stroke(cairo);
  cairo_rectangle(cairo, width / 2.0 - width / 20.0, 0.0, width / 10.0, 2.0 * line);
  cairo_fill(cairo);
}

// The board's outline, the footprints shaded, the filter-off points as light
// dots and everything written faint, so that the ink left on top shows what
// the eraser and the filter did.
void DrawDebugLayers(cairo_t* cairo, const InkDocument& document, const DocumentPage& page) {
  DrawBoard(cairo, document);
  SetColour(cairo, kFootprintColour, 0.3);
  for (const Footprint& footprint : page.footprints) {
    cairo_new_path(cairo);
    for (const InkPoint& corner : footprint.corners) cairo_line_to(cairo, corner.x, corner.y);
    cairo_close_path(cairo);
    cairo_fill(cairo);
  }
  // Each point a line of no length with round ends: one path for the layer,
  // a few characters a point in an SVG.
  SetColour(cairo, kRawPointColour, 1.0);
  cairo_set_line_width(cairo, 2.0 * document.rawPointMm * document.unitsPerMm);
  cairo_new_path(cairo);
  for (const InkPoint& point : page.rawPoints) {
    cairo_move_to(cairo, point.x, point.y);
    cairo_line_to(cairo, point.x, point.y);
  }
  cairo_stroke(cairo);
  DrawStrokes(cairo, document, page.written, 0.3);
}

double PagePoints(double boardUnits, const InkDocument& document) {
  return boardUnits * document.PointsPerUnit();
}

}  // namespace

void DrawPage(cairo_t* cairo, const InkDocument& document, const DocumentPage& page, double scale) {
  cairo_save(cairo);
  cairo_set_source_rgb(cairo, 1.0, 1.0, 1.0);
  cairo_paint(cairo);
  cairo_scale(cairo, scale, scale);
  cairo_translate(cairo, -page.left, -page.top);
  cairo_set_line_cap(cairo, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cairo, CAIRO_LINE_JOIN_ROUND);
  if (document.debug) DrawDebugLayers(cairo, document, page);
  DrawStrokes(cairo, document, page.strokes, 1.0);
  cairo_restore(cairo);
}

bool WritePdfDocument(const InkDocument& document, std::ostream& out, std::string& error) {
  const DocumentPage& first = document.pages.front();
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(
      &WriteToStream, &out, PagePoints(first.width, document), PagePoints(first.height, document));
  cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, "tq export");
  cairo_t* cairo = cairo_create(surface);
  for (const DocumentPage& page : document.pages) {
    cairo_pdf_surface_set_size(surface, PagePoints(page.width, document),
                               PagePoints(page.height, document));
    DrawPage(cairo, document, page, document.PointsPerUnit());
    cairo_show_page(cairo);
  }
  cairo_destroy(cairo);
  return Finish(surface, error);
}

bool PngFits(const DocumentPage& page, double unitsPerMm, double dpi, std::string& error) {
  double width = 0.0, height = 0.0;
  PngSize(page, dpi / 25.4 / unitsPerMm, width, height);
  if (width >= 1.0 && height >= 1.0 && width <= kLargestPngSide && height <= kLargestPngSide) {
    return true;
  }
  char size[96];
  std::snprintf(size, sizeof size, "%.0f by %.0f", width, height);
  error = std::string("the picture would be ") + size + " pixels; choose a lower --dpi or --crop";
  return false;
}

bool WritePngPage(const InkDocument& document, size_t pageIndex, double dpi, std::ostream& out,
                  std::string& error) {
  const DocumentPage& page = document.pages.at(pageIndex);
  if (!PngFits(page, document.unitsPerMm, dpi, error)) return false;
  const double scale = dpi / 25.4 / document.unitsPerMm;  // pixels a board unit
  double width = 0.0, height = 0.0;
  PngSize(page, scale, width, height);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, tq::TruncateToInt32(width),
                                                        tq::TruncateToInt32(height));
  cairo_t* cairo = cairo_create(surface);
  DrawPage(cairo, document, page, scale);
  cairo_destroy(cairo);
  const cairo_status_t status = cairo_surface_write_to_png_stream(surface, &WriteToStream, &out);
  if (status != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    error = cairo_status_to_string(status);
    return false;
  }
  return Finish(surface, error);
}

bool WriteSvgPage(const InkDocument& document, size_t pageIndex, std::ostream& out,
                  std::string& error) {
  const DocumentPage& page = document.pages.at(pageIndex);
  cairo_surface_t* surface = cairo_svg_surface_create_for_stream(
      &WriteToStream, &out, PagePoints(page.width, document), PagePoints(page.height, document));
  cairo_t* cairo = cairo_create(surface);
  DrawPage(cairo, document, page, document.PointsPerUnit());
  cairo_show_page(cairo);
  cairo_destroy(cairo);
  return Finish(surface, error);
}

}  // namespace tqtool
