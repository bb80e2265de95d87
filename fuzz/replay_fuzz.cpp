// Arbitrary capture files through TQReadFileData. Checks: no crash, no
// undefined behaviour, nothing thrown for a file that exists.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TQApi.h"

namespace {

std::string Directory() {
  static std::string dir = [] {
    char pattern[] = "/tmp/tq-replay-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Directory() + "/input.raw";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  CFileDialog dialog(path.c_str());
  try {
    TQReadFileData(nullptr, &dialog);
  } catch (const CFileException&) {
    std::abort();  // the file exists and nobody holds it
  }
  return 0;
}
