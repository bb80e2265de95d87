// A browser's PNG screenshot as pixels, decoded by cairo: 0xAARRGGBB each,
// row by row. Empty (width 0) when the bytes are no PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tqtest {

struct PngPixels {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;

  // The darkest of the pixel's red, green and blue; -1 outside the picture.
  int Darkest(int x, int y) const;
  // The lightest of them; -1 outside.
  int Lightest(int x, int y) const;
};

PngPixels DecodePng(const std::string& png);

}  // namespace tqtest
