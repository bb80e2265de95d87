#include "support/PngPixels.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>

namespace tqtest {

namespace {

int Channel(uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xFF); }

}  // namespace

int PngPixels::Darkest(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return -1;
  const uint32_t p = pixels[static_cast<size_t>(y) * width + x];
  return std::min({Channel(p, 16), Channel(p, 8), Channel(p, 0)});
}

int PngPixels::Lightest(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return -1;
  const uint32_t p = pixels[static_cast<size_t>(y) * width + x];
  return std::max({Channel(p, 16), Channel(p, 8), Channel(p, 0)});
}

PngPixels DecodePng(const std::string& png) {
  struct Reader {
    const std::string* bytes;
    size_t at = 0;
  } reader{&png};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* data, unsigned int length) {
        auto* r = static_cast<Reader*>(closure);
        if (r->at + length > r->bytes->size()) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, r->bytes->data() + r->at, length);
        r->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  PngPixels picture;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    cairo_surface_flush(surface);
    picture.width = cairo_image_surface_get_width(surface);
    picture.height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height);
    for (int y = 0; data != nullptr && y < picture.height; ++y) {
      std::memcpy(&picture.pixels[static_cast<size_t>(y) * picture.width], data + static_cast<size_t>(y) * stride,
                  static_cast<size_t>(picture.width) * 4);
    }
  }
  cairo_surface_destroy(surface);
  return picture;
}

}  // namespace tqtest
