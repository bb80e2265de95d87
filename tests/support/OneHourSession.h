// An hour at the board as its host messages, for the tests and benchmarks of
// tq serve: a version-3 board (3396 by 4572 units) written on without a
// flush for an hour, as fast as the line carries pen messages (about 100 a
// second) four fifths of the time: handwriting-sized strokes in rows, the
// rows written over again once the board is full, and the eraser wiping a
// patch now and then. The worst page a viewer can join: the whole hour's ink
// is on it, less what the eraser took.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "serve/ServeHub.h"

namespace tqtest {

struct SessionCounts {
  size_t messages = 0, strokes = 0, footprints = 0, points = 0;
};

// Hands the hour's messages to `post` in order; `seconds` of writing (3600
// for the hour).
inline SessionCounts WriteSession(const std::function<void(const tqtool::BoardMessage&)>& post,
                                  double seconds = 3600.0) {
  using tqtool::BoardMessage;
  SessionCounts counts;
  uint32_t seed = 12345;
  auto next = [&seed](int range) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 8) % static_cast<uint32_t>(range));
  };
  auto pen = [&](UINT message, int x, int y, int code) {
    BoardMessage m;
    m.message = message;
    m.x = x;
    m.y = y;
    m.code = code;
    post(m);
    ++counts.messages;
  };
  const size_t total = static_cast<size_t>(seconds * 100.0 * 0.8);
  int row = 0, column = 0;
  while (counts.points < total) {
    // One word: 30 to 60 points, steps of a few units.
    const int code = 1 + static_cast<int>(counts.strokes % 3);
    int x = 80 + column * 220 + next(20), y = 120 + row * 150 + next(20);
    const int length = 30 + next(31);
    pen(TQ_MSG_PEN_DOWN, x, y, code);
    for (int i = 1; i < length; ++i) {
      x += 3 + next(5);
      y += next(15) - 7;
      pen(TQ_MSG_PEN_MOVE, x, y, code);
    }
    pen(TQ_MSG_PEN_UP, x, y, 0);
    counts.points += static_cast<size_t>(length);
    ++counts.strokes;
    if (++column == 14) {
      column = 0;
      if (++row == 29) row = 0;
    }
    // Every 400 words the eraser wipes a patch of four footprints: its
    // outline is eight points of pen 0 around a 200 by 100 rectangle.
    if (counts.strokes % 400 == 0) {
      const int left = 200 + next(2800), top = 200 + next(4000);
      for (int k = 0; k < 4; ++k) {
        const int l = left + k * 60, t = top, r = l + 200, b = t + 100;
        const int outline[8][2] = {{l, t}, {r, t}, {r, b}, {l, t}, {l, b}, {r, b}, {l, b}, {r, t}};
        for (int i = 0; i < 8; ++i) pen(i == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, outline[i][0], outline[i][1], 0);
        pen(TQ_MSG_PEN_UP, r, t, 0);
        ++counts.footprints;
      }
    }
  }
  return counts;
}

}  // namespace tqtest
