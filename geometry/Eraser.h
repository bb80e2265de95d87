// The eraser: two emitters 210 units apart on one body, each end of which can
// be pressed (active). Each packet carries the distances of one emitter only,
// so packets are paired into readings, a reading's two positions are checked
// against the emitters' spacing, readings whose emitters were mis-heard
// (a reflection, a shadowed emitter) are repaired from the good readings on
// either side, and every resolved reading is drawn as the outline of the
// eraser's footprint.
//
// Positions here live in the eraser frame: the receiver frame with the two
// receivers exchanged, so the first distance field of a packet is the
// distance to (0, 0) and the second the distance to (baseline, 0).
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/PenSample.h"
#include "geometry/EraserReading.h"

namespace tq {

class CBoardPort;

// A plane vector, and the few operations the eraser needs on vectors and on
// sample positions.
struct SVector2 {
  double x = 0.0;
  double y = 0.0;
};

inline SVector2 operator-(SVector2 a, SVector2 b) { return {a.x - b.x, a.y - b.y}; }
inline SVector2 operator+(SVector2 a, SVector2 b) { return {a.x + b.x, a.y + b.y}; }
inline SVector2 operator*(SVector2 v, double s) { return {v.x * s, v.y * s}; }
double Length(SVector2 v);
// a − b, the positions of two samples.
inline SVector2 Difference(const SPenSample& a, const SPenSample& b) { return {a.x - b.x, a.y - b.y}; }
// The sample moved by the vector: same kind and pen code, valid 0.
SPenSample operator+(const SPenSample& sample, SVector2 v);
SPenSample operator-(const SPenSample& sample, SVector2 v);

constexpr double kEmitterSpacing = 210.0;
constexpr double kEmitterSpacingTolerance = 63.0;
// Cost that RecoverEmitter returns when it cannot place the other emitter.
constexpr double kRecoveryFailed = 1000000.0;
// Failing readings that wait for the next good one. A stuck or shadowed
// eraser fails about fifty times a second; beyond this the oldest go.
constexpr std::size_t kMaxWaitingReadings = 1024;

// Emitter positions of a reading.
inline SVector2 Emitter1(const SEraserReading& r) { return {r.x1, r.y1}; }
inline SVector2 Emitter2(const SEraserReading& r) { return {r.x2, r.y2}; }

// One accepted eraser packet (pen code 6 to 9, distance fields `first` and
// `second`) joins the reading being assembled; a completed reading is
// resolved and drawn.
void PairEraserPacket(CBoardPort& port, uint32_t first, uint32_t second, int32_t penCode);

// Takes the oldest pending reading: a reading whose emitters lie about 210
// apart goes out (after the repaired readings of the gap before it); one that
// does not waits for the next good one.
void ResolveEraserReading(CBoardPort& port);

// Proposes two readings in which the anchor emitter (emitter 2 for modes 0
// and 1, emitter 1 for modes 2 and 3) stays where its distances put it and
// the other emitter is placed 210 from it, on the circle of its own distance
// to one receiver: (baseline, 0) for modes 0 and 2, (0, 0) for modes 1 and 3.
// Returns the cost, how far the two emitters' distances to that receiver
// disagree with the spacing (0 when they allow it), or kRecoveryFailed, in
// which case `first` and `second` are left alone.
double RecoverEmitter(const CBoardPort& port, SEraserReading reading, int mode,
                      SEraserReading& first, SEraserReading& second);

// The footprint of a resolved reading in the eraser frame, as the eight
// pen-down samples that draw it: corners C1, C2, C3, C1, C4, C3, C4, C2.
// The eraser is 105 wide; a pressed end reaches 131 from the centre along
// the axis, an end that is not pressed stops 65.5 short of the centre.
// False (nothing to draw) when neither end is pressed or both emitters lie
// at one point.
constexpr std::size_t kFootprintOutlineLength = 8;
bool FootprintOutline(const SEraserReading& reading, SPenSample outline[kFootprintOutlineLength]);

// Draws the oldest resolved reading, if either end of the eraser is pressed,
// as the outline of its footprint, straight to the host window.
void EmitEraserFootprint(CBoardPort& port);

}  // namespace tq
