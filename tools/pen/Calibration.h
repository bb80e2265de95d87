// Mapping the board onto a screen or a projected picture.
//
// A projector seldom hits the board square on: the picture on the board is a
// quadrilateral, keystoned and often a little rotated, so the mapping from
// board positions to screen pixels is a perspective one (a homography, eight
// parameters), fixed by the four board positions at which the user touched
// four targets near the screen's corners. An affine matrix, which is what
// libinput's calibration takes, can only approximate it; the nearest one in
// the least-squares sense is offered for users who prefer libinput's own.
//
// The calibration file, plain text, '#' starts a comment:
//   screen W H                  the screen in pixels
//   board W H                   the board's range when calibrated (host
//                               units; optional, older files lack it)
//   pair BX BY SX SY            four lines: a board position (host units,
//                               after the pod location) and the screen
//                               pixel it is to land on
// The mapping is solved from the pairs when the file is read.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tqpen {

struct PlanePoint {
  double x;
  double y;
};

struct Homography {
  std::array<double, 9> h{1, 0, 0, 0, 1, 0, 0, 0, 1};
  PlanePoint Apply(const PlanePoint& p) const;
};

using Quad = std::array<PlanePoint, 4>;

// The mapping that takes from[i] to to[i]; false when three points of either
// quadrilateral lie on one line (nothing maps them).
bool SolveHomography(const Quad& from, const Quad& to, Homography& out);

// The targets the user touches: top-left, top-right, bottom-right,
// bottom-left, each inset from its corner by `inset` of the screen's size.
Quad CalibrationTargets(int32_t width, int32_t height, double inset);

struct Calibration {
  int32_t screenWidth = 0;
  int32_t screenHeight = 0;
  int32_t boardWidth = 0;  // the board's range, 0 when not known
  int32_t boardHeight = 0;
  Quad board{};
  Quad screen{};
  Homography mapping;
};

// Fills `out` from four pairs; false and a reason when no mapping exists.
bool MakeCalibration(int32_t width, int32_t height, const Quad& board, const Quad& screen,
                     Calibration& out, std::string& error);
std::string FormatCalibration(const Calibration& calibration);
bool ParseCalibration(const std::string& text, Calibration& out, std::string& error);

// A misclick, found the way people know from other calibration tools: the
// first `count` touches of `board` (top-left, top-right, bottom-right,
// bottom-left, host units: x to the right, y down once the pod location is
// applied) against the targets `screen` they were asked for. Refused, with
// the reason returned (empty when the touches are fine):
//   - a touch closer than `minApart` to an earlier one (a double touch);
//   - a turn at any corner against the targets' turn: touches out of order
//     (a twisted quadrilateral, a bow-tie), a mirrored picture (the pod
//     location wrong), or a top-left not left of the top-right and above the
//     bottom-left (a picture upside down or on its side);
//   - a quadrilateral whose width to height is off from the targets' by more
//     than kAspectTolerance either way.
// Each check runs as soon as the touches it needs are in, so a collector
// asks again for the touch that broke one.
constexpr double kMinApartShare = 0.05;  // of the board's smaller side
constexpr double kAspectTolerance = 2.0;
std::string TouchProblem(const Quad& board, size_t count, const Quad& screen, double minApart);

// How far apart two touches must be on a board of that range; with a range
// of 0 (a calibration file without one) the touches' own extent stands in.
double MinTouchApart(int32_t boardWidth, int32_t boardHeight, const Quad& board);

// TouchProblem over a whole calibration.
std::string CalibrationProblem(const Calibration& calibration);

// Screen pixels per board unit along the top edge of the picture.
double PixelsPerBoardUnit(const Calibration& calibration);

// "WIDTHxHEIGHT" (1920x1080), both above 0; false for anything else.
bool ParseSize(const std::string& text, int32_t& width, int32_t& height);

// The screen pixel of a board position, clamped to the screen.
int32_t ClampToRange(double value, int32_t max);

// libinput's matrix (a b c d e f: x' = a x + b y + c, y' = d x + e y + f, all
// as shares of the ranges) nearest to the calibration, for a device whose
// range is the board's, boardWidth by boardHeight units.
std::array<double, 6> NearestAffineMatrix(const Calibration& calibration, double boardWidth,
                                          double boardHeight);
// The udev rule line that gives the device named `deviceName` that matrix.
std::string LibinputMatrixLine(const std::array<double, 6>& matrix, const std::string& deviceName);

}  // namespace tqpen
