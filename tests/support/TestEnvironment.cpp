// Every test program gets a temporary directory of its own as TMPDIR, so the
// raw captures that open ports write (tq<port>.raw) never meet those of a
// test program running beside it. Removed when the program ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace tqtest {

std::filesystem::path TempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace tqtest

namespace {

class TempDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/tqtest-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
      m_dir = pattern;
      setenv("TMPDIR", m_dir.c_str(), 1);
    }
  }
  void TearDown() override {
    if (m_dir.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

 private:
  std::string m_dir;
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new TempDirEnvironment);

}  // namespace
