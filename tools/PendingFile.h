// An output file that appears whole or not at all: written under a temporary
// name beside the final one and renamed over it only when complete, so a
// failed or interrupted export never leaves half a document behind.
#pragma once

#include <cstdio>
#include <string>

namespace tqtool {

class PendingFile {
 public:
  PendingFile() = default;
  ~PendingFile();  // removes the temporary file unless committed
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Creates the temporary file in the directory of `path`; false with the
  // system's reason in `error`.
  bool Open(const std::string& path, std::string& error);
  std::FILE* Stream() const { return m_stream; }
  // Flushes, closes and renames onto the final name; false with the reason.
  bool Commit(std::string& error);

 private:
  void Discard();
  std::string m_path, m_temporary;
  std::FILE* m_stream = nullptr;
};

}  // namespace tqtool
