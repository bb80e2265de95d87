// The pen lines of a session as tq replay --events prints them: "KIND X Y
// CODE" for every down, move and up, whatever else the text holds. Tests of
// the tools that carry a board's messages elsewhere (the live view, the
// message engine, the archive) compare what arrives with these.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace tqtest {

std::vector<std::string> PenLines(std::istream& text);
// The file's pen lines (an archived session's events, say).
std::vector<std::string> FilePenLines(const std::filesystem::path& path);
// `TQ replay --events CAPTURE`'s pen lines.
std::vector<std::string> ReplayPenLines(const std::string& tq, const std::filesystem::path& capture);

}  // namespace tqtest
