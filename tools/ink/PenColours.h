// The pens' colours by pen code, as every picture of the board draws them:
// the documents written and the live page in the browser.
#pragma once

#include <array>
#include <cstdint>

namespace tqtool {

// Marker colours (0xRRGGBB): black, blue, red, green, then less common sleeves.
inline constexpr std::array<uint32_t, 8> kPenColours = {0x1b1b1b, 0x1f5fbf, 0xc0392b, 0x1e8449,
                                                        0x8e44ad, 0xd35400, 0x117a65, 0x7d6608};

// Codes beyond the table share its colours in turn, so every stroke has one.
constexpr size_t PenColourIndex(int code) { return static_cast<unsigned>(code) % kPenColours.size(); }

}  // namespace tqtool
