// Every Windows test program gets a temporary directory of its own as TMP
// (what GetTempPathA reports), so the raw captures that open ports write
// never meet those of a test program running beside it. Removed at the end.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace tqtest {

std::filesystem::path TempDir() {
  char dir[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof dir, dir);
  if (length == 0 || length > sizeof dir) return ".";
  std::string path(dir, length);
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace tqtest

namespace {

class TempDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char base[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > sizeof base) return;
    char name[64];
    std::snprintf(name, sizeof name, "tqtest-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    const std::string dir = std::string(base, length) + name;
    if (!CreateDirectoryA(dir.c_str(), nullptr)) return;
    m_dir = dir;
    SetEnvironmentVariableA("TMP", (m_dir + "\\").c_str());
    SetEnvironmentVariableA("TEMP", (m_dir + "\\").c_str());
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
