#include "pen/Calibration.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "geometry/Truncate.h"

namespace tqpen {
namespace {

// Solves a x = b for a small square system by elimination with partial
// pivoting; false when the system is singular.
template <size_t N>
bool SolveLinear(std::array<std::array<double, N + 1>, N> rows, std::array<double, N>& x) {
  for (size_t col = 0; col < N; ++col) {
    size_t pivot = col;
    for (size_t r = col + 1; r < N; ++r) {
      if (std::fabs(rows[r][col]) > std::fabs(rows[pivot][col])) pivot = r;
    }
    if (std::fabs(rows[pivot][col]) < 1e-12) return false;
    std::swap(rows[col], rows[pivot]);
    for (size_t r = 0; r < N; ++r) {
      if (r == col) continue;
      const double factor = rows[r][col] / rows[col][col];
      for (size_t c = col; c <= N; ++c) rows[r][c] -= factor * rows[col][c];
    }
  }
  for (size_t i = 0; i < N; ++i) x[i] = rows[i][N] / rows[i][i];
  return true;
}

// Twice the area of the triangle a b c, against the size of its sides: near
// zero when the three lie on one line.
bool Collinear(const PlanePoint& a, const PlanePoint& b, const PlanePoint& c) {
  const double cross = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
  const double scale = std::hypot(b.x - a.x, b.y - a.y) * std::hypot(c.x - a.x, c.y - a.y);
  return std::fabs(cross) <= 1e-6 * scale || scale == 0.0;
}

bool AnyThreeCollinear(const Quad& q) {
  return Collinear(q[0], q[1], q[2]) || Collinear(q[0], q[1], q[3]) ||
         Collinear(q[0], q[2], q[3]) || Collinear(q[1], q[2], q[3]);
}

}  // namespace

PlanePoint Homography::Apply(const PlanePoint& p) const {
  const double w = h[6] * p.x + h[7] * p.y + h[8];
  return {(h[0] * p.x + h[1] * p.y + h[2]) / w, (h[3] * p.x + h[4] * p.y + h[5]) / w};
}

// u = (h0 x + h1 y + h2) / (h6 x + h7 y + 1), v likewise with h3 h4 h5:
// two linear equations in the eight unknowns for each pair.
bool SolveHomography(const Quad& from, const Quad& to, Homography& out) {
  if (AnyThreeCollinear(from) || AnyThreeCollinear(to)) return false;
  std::array<std::array<double, 9>, 8> rows{};
  for (size_t i = 0; i < 4; ++i) {
    const double x = from[i].x, y = from[i].y, u = to[i].x, v = to[i].y;
    rows[2 * i] = {x, y, 1, 0, 0, 0, -x * u, -y * u, u};
    rows[2 * i + 1] = {0, 0, 0, x, y, 1, -x * v, -y * v, v};
  }
  std::array<double, 8> h{};
  if (!SolveLinear<8>(rows, h)) return false;
  for (size_t i = 0; i < 8; ++i) out.h[i] = h[i];
  out.h[8] = 1.0;
  return true;
}

Quad CalibrationTargets(int32_t width, int32_t height, double inset) {
  const double left = inset * width, right = (1.0 - inset) * width;
  const double top = inset * height, bottom = (1.0 - inset) * height;
  return {{{left, top}, {right, top}, {right, bottom}, {left, bottom}}};
}

bool MakeCalibration(int32_t width, int32_t height, const Quad& board, const Quad& screen,
                     Calibration& out, std::string& error) {
  if (width <= 0 || height <= 0) {
    error = "the screen size must be positive";
    return false;
  }
  out.screenWidth = width;
  out.screenHeight = height;
  out.board = board;
  out.screen = screen;
  if (!SolveHomography(board, screen, out.mapping)) {
    error = "three of the four points lie on one line; touch each target once, in order";
    return false;
  }
  return true;
}

std::string FormatCalibration(const Calibration& calibration) {
  std::ostringstream text;
  text.precision(10);
  text << "# tq calibration: board positions and the screen pixels they land on\n"
       << "screen " << calibration.screenWidth << ' ' << calibration.screenHeight << '\n';
  for (size_t i = 0; i < 4; ++i) {
    text << "pair " << calibration.board[i].x << ' ' << calibration.board[i].y << ' '
         << calibration.screen[i].x << ' ' << calibration.screen[i].y << '\n';
  }
  return text.str();
}

bool ParseCalibration(const std::string& text, Calibration& out, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int32_t width = 0, height = 0;
  Quad board{}, screen{};
  size_t pairs = 0;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string key;
    if (!(words >> key)) continue;
    bool ok = false;
    if (key == "screen") {
      ok = static_cast<bool>(words >> width >> height);
    } else if (key == "pair" && pairs < 4) {
      ok = static_cast<bool>(words >> board[pairs].x >> board[pairs].y >> screen[pairs].x >>
                             screen[pairs].y);
      ++pairs;
    }
    std::string rest;
    if (!ok || (words >> rest)) {
      error = "line " + std::to_string(number) + " is not 'screen W H' or one of four 'pair BX BY SX SY'";
      return false;
    }
  }
  if (pairs != 4) {
    error = "the file holds " + std::to_string(pairs) + " pairs, not four";
    return false;
  }
  return MakeCalibration(width, height, board, screen, out, error);
}

double PixelsPerBoardUnit(const Calibration& calibration) {
  const PlanePoint& b0 = calibration.board[0];
  const PlanePoint& b1 = calibration.board[1];
  const PlanePoint& s0 = calibration.screen[0];
  const PlanePoint& s1 = calibration.screen[1];
  return std::hypot(s1.x - s0.x, s1.y - s0.y) / std::hypot(b1.x - b0.x, b1.y - b0.y);
}

int32_t ClampToRange(double value, int32_t max) {
  if (!(value > 0.0)) return 0;
  if (value >= max) return max;
  return tq::TruncateToInt32(std::floor(value + 0.5));
}

// Least squares over the four pairs, one axis at a time: the normal
// equations of u = a nx + b ny + c.
std::array<double, 6> NearestAffineMatrix(const Calibration& calibration, double boardWidth,
                                          double boardHeight) {
  std::array<double, 6> matrix{};
  for (size_t axis = 0; axis < 2; ++axis) {
    std::array<std::array<double, 4>, 3> rows{};
    for (size_t i = 0; i < 4; ++i) {
      const double basis[3] = {calibration.board[i].x / boardWidth,
                               calibration.board[i].y / boardHeight, 1.0};
      const double target = axis == 0 ? calibration.screen[i].x / calibration.screenWidth
                                       : calibration.screen[i].y / calibration.screenHeight;
      for (size_t r = 0; r < 3; ++r) {
        for (size_t c = 0; c < 3; ++c) rows[r][c] += basis[r] * basis[c];
        rows[r][3] += basis[r] * target;
      }
    }
    std::array<double, 3> abc{};
    if (!SolveLinear<3>(rows, abc)) abc = {axis == 0 ? 1.0 : 0.0, axis == 0 ? 0.0 : 1.0, 0.0};
    for (size_t c = 0; c < 3; ++c) matrix[axis * 3 + c] = abc[c];
  }
  return matrix;
}

std::string LibinputMatrixLine(const std::array<double, 6>& matrix, const std::string& deviceName) {
  char values[160];
  std::snprintf(values, sizeof values, "%.6f %.6f %.6f %.6f %.6f %.6f", matrix[0], matrix[1],
                matrix[2], matrix[3], matrix[4], matrix[5]);
  return "ACTION==\"add|change\", KERNEL==\"event*\", ATTRS{name}==\"" + deviceName +
         "\", ENV{LIBINPUT_CALIBRATION_MATRIX}=\"" + values + "\"";
}

bool ParseSize(const std::string& text, int32_t& width, int32_t& height) {
  char extra = 0;
  return std::sscanf(text.c_str(), "%dx%d%c", &width, &height, &extra) == 2 && width > 0 && height > 0;
}

}  // namespace tqpen
