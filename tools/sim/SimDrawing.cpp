#include "sim/SimDrawing.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace tqsim {

namespace {

// Capital letters and digits on a grid 4 wide and 6 tall (y 0 at the top, 6
// on the baseline). Each point is two digits "xy"; strokes are separated by
// spaces. Lower-case letters are drawn as capitals.
struct BuiltInGlyph {
  char character;
  const char* strokes;
};
const BuiltInGlyph kBuiltInGlyphs[] = {
    {'A', "062046 0333"},       {'B', "0600302132034344453606"},
    {'C', "4130011005163645"}, {'D', "06002031343606"},
    {'E', "40000646 0333"},     {'F', "400006 0333"},
    {'G', "41300110051636454323"}, {'H', "0006 4046 0343"},
    {'I', "1030 2026 1636"},    {'J', "4045362605"},
    {'K', "0006 4003 1446"},    {'L', "000646"},
    {'M', "0600234046"},        {'N', "06004640"},
    {'O', "1030414536160501 10"}, {'P', "06003041423203"},
    {'Q', "1030414536160501 10 2446"}, {'R', "0600304142320303 2346"},
    {'S', "4130100102334445360605"}, {'T', "0040 2026"},
    {'U', "0005163645 4045"},   {'V', "002640"},
    {'W', "0016233640"},        {'X', "0046 4006"},
    {'Y', "0023 4023 2326"},    {'Z', "00400646"},
    {'0', "1030414536160501 10 4106"}, {'1', "11202026 1636"},
    {'2', "0110304142060646"},  {'3', "01103041423344453606 2242"},
    {'4', "300343 3036"},       {'5', "4000023243453606"},
    {'6', "40100105163645443302"}, {'7', "004016"},
    {'8', "10304132120110 123243453616050312"}, {'9', "44231201103041452606"},
    {'.', "2526"},              {'-', "1333"},
    {'!', "2024 2526"},         {'?', "011030414223 24 2526"},
};

std::vector<Point> ParseGridStroke(const char* text, size_t length) {
  std::vector<Point> points;
  for (size_t i = 0; i + 1 < length; i += 2) {
    points.push_back({static_cast<double>(text[i] - '0'), static_cast<double>(text[i + 1] - '0')});
  }
  return points;
}

}  // namespace

std::optional<StrokeFont> StrokeFont::LoadHershey(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  // Each glyph: a 5-character number, a 3-character count of coordinate pairs
  // (the advance pair included), then the pairs as letters around 'R'; a
  // record may run over several lines. " R" lifts the pen.
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  StrokeFont font;
  size_t pos = 0;
  auto skipNewlines = [&] {
    while (pos < all.size() && (all[pos] == '\n' || all[pos] == '\r')) ++pos;
  };
  while (true) {
    skipNewlines();
    if (pos + 8 > all.size()) break;
    const int count = std::atoi(all.substr(pos + 5, 3).c_str());
    pos += 8;
    std::string pairs;
    while (pos < all.size() && static_cast<int>(pairs.size()) < 2 * count) {
      if (all[pos] != '\n' && all[pos] != '\r') pairs.push_back(all[pos]);
      ++pos;
    }
    if (count < 1 || static_cast<int>(pairs.size()) < 2 * count) break;
    Glyph glyph;
    glyph.left = pairs[0] - 'R';
    glyph.right = pairs[1] - 'R';
    std::vector<Point> current;
    for (int i = 1; i < count; ++i) {
      const char a = pairs[2 * i], b = pairs[2 * i + 1];
      if (a == ' ' && b == 'R') {
        if (current.size() > 1) glyph.strokes.push_back(current);
        current.clear();
        continue;
      }
      current.push_back({static_cast<double>(a - 'R'), static_cast<double>(b - 'R')});
    }
    if (current.size() > 1) glyph.strokes.push_back(current);
    font.m_glyphs.push_back(std::move(glyph));
  }
  if (font.m_glyphs.size() < 95) return std::nullopt;  // not a full printable set
  return font;
}

StrokeFont StrokeFont::BuiltIn() {
  StrokeFont font;
  font.m_capTop = 0.0;
  font.m_baseline = 6.0;
  font.m_glyphs.resize(95);
  for (Glyph& glyph : font.m_glyphs) {
    glyph.left = -1.0;
    glyph.right = 5.5;
  }
  for (const BuiltInGlyph& entry : kBuiltInGlyphs) {
    Glyph& glyph = font.m_glyphs[static_cast<size_t>(entry.character - 32)];
    const char* text = entry.strokes;
    while (*text != '\0') {
      const char* end = text;
      while (*end != '\0' && *end != ' ') ++end;
      std::vector<Point> stroke = ParseGridStroke(text, static_cast<size_t>(end - text));
      if (stroke.size() == 1) stroke.push_back({stroke[0].x, stroke[0].y + 0.4});  // a dot
      if (!stroke.empty()) glyph.strokes.push_back(std::move(stroke));
      text = *end == ' ' ? end + 1 : end;
    }
  }
  for (char c = 'a'; c <= 'z'; ++c) {
    font.m_glyphs[static_cast<size_t>(c - 32)] = font.m_glyphs[static_cast<size_t>(c - 'a' + 'A' - 32)];
  }
  return font;
}

StrokeFont StrokeFont::Find(const std::string& name, std::string& usedName) {
  const std::string path = name.find('/') != std::string::npos
                               ? name
                               : "/usr/share/hershey-fonts/" + name + ".jhf";
  if (!name.empty() && name != "builtin") {
    if (std::optional<StrokeFont> font = LoadHershey(path)) {
      usedName = name;
      return *font;
    }
  }
  usedName = "builtin";
  return BuiltIn();
}

Drawing StrokeFont::Layout(const std::string& text, double left, double top, double height,
                           int pen) const {
  Drawing drawing;
  const double scale = height / (m_baseline - m_capTop);
  const double lineHeight = height * 1.8;
  double penX = left;
  double lineTop = top;
  for (const char c : text) {
    if (c == '\n') {
      penX = left;
      lineTop += lineHeight;
      continue;
    }
    const int index = static_cast<unsigned char>(c) - 32;
    if (index < 0 || index >= static_cast<int>(m_glyphs.size())) continue;
    const Glyph& glyph = m_glyphs[static_cast<size_t>(index)];
    for (const std::vector<Point>& line : glyph.strokes) {
      Stroke stroke;
      stroke.pen = pen;
      for (const Point& p : line) {
        stroke.points.push_back(
            {penX + (p.x - glyph.left) * scale, lineTop + (p.y - m_capTop) * scale});
      }
      drawing.push_back(std::move(stroke));
    }
    penX += (glyph.right - glyph.left) * scale;
  }
  return drawing;
}

bool ParseStrokeFile(std::istream& in, Drawing& drawing, std::string& error) {
  std::string line;
  int number = 0;
  int pen = 1;
  bool eraserNext = false;
  Stroke current;
  auto finish = [&] {
    if (!current.points.empty()) drawing.push_back(current);
    current = Stroke{};
    current.pen = pen;
    current.eraser = eraserNext;
  };
  current.pen = pen;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) {
      finish();
      continue;
    }
    if (first == "pen") {
      if (!(words >> pen) || pen < 0 || pen > 7) {
        error = "line " + std::to_string(number) + ": pen wants a code from 0 to 7";
        return false;
      }
      finish();
      continue;
    }
    if (first == "eraser") {
      finish();
      current.eraser = true;
      continue;
    }
    char* end = nullptr;
    const double x = std::strtod(first.c_str(), &end);
    double y = 0.0;
    std::string rest;
    if (end == first.c_str() || *end != '\0' || !(words >> y) || (words >> rest)) {
      error = "line " + std::to_string(number) + ": expected two numbers \"X Y\"";
      return false;
    }
    current.points.push_back({x, y});
    eraserNext = false;
  }
  eraserNext = false;
  finish();
  return true;
}

std::vector<Point> Resample(const std::vector<Point>& line, double step) {
  std::vector<Point> out;
  if (line.empty()) return out;
  out.push_back(line[0]);
  double carried = 0.0;  // distance walked since the last point put out
  for (size_t i = 1; i < line.size(); ++i) {
    const Point a = line[i - 1], b = line[i];
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    double along = step - carried;
    while (along <= length) {
      const double t = along / length;
      out.push_back({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t});
      along += step;
    }
    carried = length - (along - step);
  }
  const Point last = line.back();
  if (std::hypot(out.back().x - last.x, out.back().y - last.y) > step * 0.25) out.push_back(last);
  return out;
}

void FitInto(Drawing& drawing, double left, double top, double width, double height) {
  double minX = std::numeric_limits<double>::max(), minY = minX;
  double maxX = -minX, maxY = -minX;
  for (const Stroke& stroke : drawing) {
    for (const Point& p : stroke.points) {
      minX = std::min(minX, p.x);
      maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y);
      maxY = std::max(maxY, p.y);
    }
  }
  if (minX > maxX) return;
  const double scale = std::min(width / std::max(maxX - minX, 1e-9), height / std::max(maxY - minY, 1e-9));
  for (Stroke& stroke : drawing) {
    for (Point& p : stroke.points) p = {left + (p.x - minX) * scale, top + (p.y - minY) * scale};
  }
}

}  // namespace tqsim
