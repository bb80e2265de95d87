// Position of a pen from its two distances, and the meaning of the code byte
// that a packet carries next to them.
#pragma once

namespace tq {

// The board's two receivers sit on one line, R0 at (0, 0) and R1 at
// (spacing, 0); y runs away from that line into the writing surface.
// Intersects the circle of radius distToR0 around R0 with the circle of
// radius distToR1 around R1. x is always written, y only when the reading is
// accepted. A reading is rejected when x lies more than 280 units before R0
// or more than 400 units beyond R1 (both limits themselves still pass), when
// x is NaN, or when the circles do not meet.
bool Triangulate(double distToR1, double distToR0, double spacing, double& x, double& y);

// Results of ClassifyPenCode.
constexpr int kPenCodeKnown = 1;    // penCode written
constexpr int kPenCodeHover = 2;    // the pen is seen but not pressed
constexpr int kPenCodeUnknown = 99;  // not a pen or eraser code; skip the packet

// Interprets a packet's code byte (0 to 255). Returns kPenCodeKnown and
// writes penCode (0 to 4 pens, 5 a board notification, 6 to 9 the eraser's
// two emitters with their end inactive/active), or kPenCodeHover or
// kPenCodeUnknown leaving penCode as it was.
int ClassifyPenCode(int code, int& penCode);

}  // namespace tq
