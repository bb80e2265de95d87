// What the virtual board draws: strokes in host coordinates (x to the right,
// y away from the pod, in board units), made from text in a single-stroke
// font or read from a plain stroke file.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace tqsim {

struct Point {
  double x = 0.0;
  double y = 0.0;
};

struct Stroke {
  std::vector<Point> points;
  int pen = 1;          // pen code 0 to 4 (below version 2.0: 0 to 7, not 5)
  bool eraser = false;  // the points are the path of the eraser's centre
};

using Drawing = std::vector<Stroke>;

// A single-stroke font: each glyph is a few polylines and an advance.
class StrokeFont {
 public:
  // Reads a Hershey font file (.jhf); nothing when it cannot be read.
  static std::optional<StrokeFont> LoadHershey(const std::string& path);
  // A plain capital-letter font that needs no files.
  static StrokeFont BuiltIn();
  // The Hershey font `name` from the system's font directory (or a path to a
  // .jhf file), falling back to the built-in font; `usedName` says which.
  static StrokeFont Find(const std::string& name, std::string& usedName);

  // Lays out `text` (lines split at '\n') with its top-left corner at
  // (left, top) and capital letters `height` units tall.
  Drawing Layout(const std::string& text, double left, double top, double height, int pen) const;

 private:
  struct Glyph {
    double left = 0.0, right = 0.0;  // advance = right - left
    std::vector<std::vector<Point>> strokes;
  };
  std::vector<Glyph> m_glyphs;  // index = character code - 32
  double m_capTop = -12.0;      // glyph y of the top of a capital letter
  double m_baseline = 9.0;      // glyph y of the baseline
};

// Stroke file: one point "X Y" a line, a blank line between strokes; "pen N"
// sets the pen code of the strokes that follow; "eraser" makes the next
// stroke an eraser pass; '#' starts a comment. False with `error` set on a
// line that is none of these.
bool ParseStrokeFile(std::istream& in, Drawing& drawing, std::string& error);

// Points along the polyline every `step` units (first and last included).
std::vector<Point> Resample(const std::vector<Point>& line, double step);

// Moves and scales a drawing so that it fits the box (left, top, width,
// height), keeping its proportions.
void FitInto(Drawing& drawing, double left, double top, double width, double height);

}  // namespace tqsim
