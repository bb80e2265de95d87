#include "support/PenLines.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace tqtest {

std::vector<std::string> PenLines(std::istream& text) {
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(text, line)) {
    std::istringstream fields(line);
    std::string kind;
    int x = 0, y = 0, code = 0;
    fields >> kind >> x >> y >> code;
    if (kind == "down" || kind == "move" || kind == "up") {
      lines.push_back(kind + " " + std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(code));
    }
  }
  return lines;
}

std::vector<std::string> FilePenLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  return PenLines(in);
}

std::vector<std::string> ReplayPenLines(const std::string& tq, const std::filesystem::path& capture) {
  std::string output;
  const std::string command = tq + " replay --events '" + capture.string() + "'";
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    pclose(pipe);
  }
  std::istringstream in(output);
  return PenLines(in);
}

}  // namespace tqtest
