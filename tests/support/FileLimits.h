// Files whose writes fail, as on a full disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tqtest {

// While it lives, a write that would take one of `files` past `limit` bytes
// fails with an error, never a signal. On Linux the limit holds for every
// file of the process (the files named are not needed); on Windows the files
// named, which must exist, are locked from `limit` on.
class FileSizeLimit {
 public:
  FileSizeLimit(uint64_t limit, const std::vector<std::filesystem::path>& files);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> m_saved;
};

// A file that takes nothing: every write to it fails. /dev/full on Linux, on
// Windows a file of the temporary directory locked whole.
class FullFile {
 public:
  FullFile();
  ~FullFile();
  FullFile(const FullFile&) = delete;
  FullFile& operator=(const FullFile&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  std::unique_ptr<FileSizeLimit> m_lock;
};

}  // namespace tqtest
