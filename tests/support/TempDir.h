// The temporary directory of this test program, made for it at the start:
// where the ports it opens write their raw captures (tq<port>.raw). And the
// files the tests lay out in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "capture/CaptureFile.h"
#include "support/Packets.h"

namespace tqtest {

std::filesystem::path TempDir();

// A fresh, empty directory inside TempDir().
inline std::filesystem::path FreshDir(const std::string& name) {
  const std::filesystem::path dir = TempDir() / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline void WriteAll(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The header a capture file starts with.
inline Bytes CaptureHeader(double protocol, double version, uint32_t baseline = 3056) {
  uint8_t bytes[tq::kCaptureHeaderSize];
  tq::EncodeCaptureHeader({protocol, version, baseline}, bytes);
  return Bytes(bytes, bytes + sizeof bytes);
}

}  // namespace tqtest
