// The temporary directory of this test program, made for it at the start:
// where the ports it opens write their raw captures (tq<port>.raw).
#pragma once

#include <filesystem>

namespace tqtest {

std::filesystem::path TempDir();

}  // namespace tqtest
