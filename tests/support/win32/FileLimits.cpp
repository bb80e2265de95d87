// Windows has no file size limit for a process: a byte-range lock held on a
// handle of the test's own stands in. Locks are mandatory there, so every
// write of another handle that reaches into the locked range fails
// (ERROR_LOCK_VIOLATION) and the file cannot grow past its start.
#include "support/FileLimits.h"

#include <windows.h>

#include <fstream>

#include "support/TempDir.h"

namespace tqtest {

struct FileSizeLimit::Saved {
  std::vector<HANDLE> handles;
};

namespace {

constexpr DWORD kLockedHigh = 0x10000000;  // 2^60 bytes: the rest of any file

}  // namespace

FileSizeLimit::FileSizeLimit(uint64_t limit, const std::vector<std::filesystem::path>& files)
    : m_saved(std::make_unique<Saved>()) {
  for (const std::filesystem::path& file : files) {
    HANDLE handle = CreateFileA(file.string().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(limit);
    at.OffsetHigh = static_cast<DWORD>(limit >> 32);
    LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 0, kLockedHigh, &at);
    m_saved->handles.push_back(handle);
  }
}

FileSizeLimit::~FileSizeLimit() {
  for (HANDLE handle : m_saved->handles) CloseHandle(handle);  // which ends its locks
}

FullFile::FullFile() : m_path((TempDir() / "full.bin").string()) {
  std::ofstream(m_path, std::ios::binary | std::ios::trunc);
  m_lock = std::make_unique<FileSizeLimit>(0, std::vector<std::filesystem::path>{m_path});
}

FullFile::~FullFile() {
  m_lock.reset();
  DeleteFileA(m_path.c_str());
}

}  // namespace tqtest
