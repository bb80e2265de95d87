#include "pen/Calibration.h"

#include <algorithm>
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

// The turn at b on the way a -> b -> c: positive clockwise on a y-down
// plane (the screen's targets in their order), negative the other way.
double Turn(const PlanePoint& a, const PlanePoint& b, const PlanePoint& c) {
  return (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
}

double Distance(const PlanePoint& a, const PlanePoint& b) { return std::hypot(b.x - a.x, b.y - a.y); }

// Width over height: the mean of the top and bottom edges over the mean of
// the sides.
double Aspect(const Quad& q) {
  const double width = Distance(q[0], q[1]) + Distance(q[3], q[2]);
  const double height = Distance(q[0], q[3]) + Distance(q[1], q[2]);
  return height > 0.0 ? width / height : 0.0;
}

const char* const kCornerNames[4] = {"top-left", "top-right", "bottom-right", "bottom-left"};

}  // namespace

std::string TouchProblem(const Quad& board, size_t count, const Quad& screen, double minApart) {
  count = std::min<size_t>(count, 4);
  if (count == 0) return {};
  for (size_t j = 1; j < count; ++j) {
    for (size_t i = 0; i < j; ++i) {
      if (Distance(board[i], board[j]) < minApart) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the %s touch is %.0f units from the %s one, closer than %.0f: touched twice?",
                      kCornerNames[j], Distance(board[i], board[j]), kCornerNames[i], minApart);
        return text;
      }
    }
  }
  const auto sameSide = [](double a, double b) { return (a > 0.0 && b > 0.0) || (a < 0.0 && b < 0.0); };
  // Where the top-left lies against the top-right and the bottom-left.
  if (count >= 2 && !sameSide(board[1].x - board[0].x, screen[1].x - screen[0].x)) {
    return "the top-left touch is not left of the top-right one: the picture is mirrored or on its side "
           "(is --pod right?), or the targets were touched out of order";
  }
  if (count >= 3 && !sameSide(Turn(board[0], board[1], board[2]), Turn(screen[0], screen[1], screen[2]))) {
    return "the bottom-right touch turns the wrong way from the top edge: the picture is mirrored "
           "(is --pod right?), or the targets were touched out of order";
  }
  if (count < 4) return {};
  if (!sameSide(board[3].y - board[0].y, screen[3].y - screen[0].y)) {
    return "the top-left touch is not above the bottom-left one: the picture is upside down "
           "(is --pod right?), or the targets were touched out of order";
  }
  for (size_t corner = 0; corner < 4; ++corner) {
    const PlanePoint& before = board[(corner + 3) % 4];
    const PlanePoint& after = board[(corner + 1) % 4];
    const PlanePoint& sBefore = screen[(corner + 3) % 4];
    const PlanePoint& sAfter = screen[(corner + 1) % 4];
    if (!sameSide(Turn(before, board[corner], after), Turn(sBefore, screen[corner], sAfter))) {
      return std::string("the four touches do not go round the picture in order (a twisted shape at the ") +
             kCornerNames[corner] + " corner): two targets touched in swapped order?";
    }
  }
  const double boardAspect = Aspect(board), screenAspect = Aspect(screen);
  if (boardAspect <= 0.0 || screenAspect <= 0.0 || boardAspect > screenAspect * kAspectTolerance ||
      boardAspect * kAspectTolerance < screenAspect) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "the touches make a shape %.2f times as wide as high, the screen's targets %.2f: "
                  "a touch far from its target?",
                  boardAspect, screenAspect);
    return text;
  }
  return {};
}

double MinTouchApart(int32_t boardWidth, int32_t boardHeight, const Quad& board) {
  if (boardWidth > 0 && boardHeight > 0) return kMinApartShare * std::min(boardWidth, boardHeight);
  double left = board[0].x, right = left, top = board[0].y, bottom = top;
  for (const PlanePoint& p : board) {
    left = std::min(left, p.x);
    right = std::max(right, p.x);
    top = std::min(top, p.y);
    bottom = std::max(bottom, p.y);
  }
  return kMinApartShare * std::min(right - left, bottom - top);
}

std::string CalibrationProblem(const Calibration& calibration) {
  return TouchProblem(calibration.board, 4, calibration.screen,
                      MinTouchApart(calibration.boardWidth, calibration.boardHeight, calibration.board));
}

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
  if (calibration.boardWidth > 0 && calibration.boardHeight > 0) {
    text << "board " << calibration.boardWidth << ' ' << calibration.boardHeight << '\n';
  }
  for (size_t i = 0; i < 4; ++i) {
    text << "pair " << calibration.board[i].x << ' ' << calibration.board[i].y << ' '
         << calibration.screen[i].x << ' ' << calibration.screen[i].y << '\n';
  }
  return text.str();
}

bool ParseCalibration(const std::string& text, Calibration& out, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int32_t width = 0, height = 0, boardWidth = 0, boardHeight = 0;
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
    } else if (key == "board") {
      ok = static_cast<bool>(words >> boardWidth >> boardHeight) && boardWidth > 0 && boardHeight > 0;
    } else if (key == "pair" && pairs < 4) {
      ok = static_cast<bool>(words >> board[pairs].x >> board[pairs].y >> screen[pairs].x >>
                             screen[pairs].y);
      ++pairs;
    }
    std::string rest;
    if (!ok || (words >> rest)) {
      error = "line " + std::to_string(number) +
              " is not 'screen W H', 'board W H' or one of four 'pair BX BY SX SY'";
      return false;
    }
  }
  if (pairs != 4) {
    error = "the file holds " + std::to_string(pairs) + " pairs, not four";
    return false;
  }
  if (!MakeCalibration(width, height, board, screen, out, error)) return false;
  out.boardWidth = boardWidth;
  out.boardHeight = boardHeight;
  return true;
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
