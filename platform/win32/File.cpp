// CFile on Windows: CreateFileA with the sharing the flags ask for
// (shareDenyNone shares reading and writing, shareDenyWrite reading only,
// otherwise the file is held exclusively). A create opens the file without
// emptying it and truncates only once the open has succeeded, so a create
// that loses against an exclusive holder leaves the file as it was.
#include <windows.h>

#include "TQApi.h"

namespace {

int CauseFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return CFileException::fileNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return CFileException::accessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return CFileException::sharingViolation;
    default:
      return CFileException::genericException;
  }
}

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

CFile::CFile() : m_handle(invalidHandle) {}

CFile::~CFile() { Close(); }

bool CFile::Open(const char* path, unsigned flags, CFileException* error) {
  Close();
  auto fail = [&](DWORD code) {
    if (error != nullptr) *error = CFileException(CauseFor(code), static_cast<long>(code));
    return false;
  };
  if (path == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  DWORD access = GENERIC_READ;
  if (flags & modeReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & modeWrite) {
    access = GENERIC_WRITE;
  }
  DWORD share = 0;
  if (flags & shareDenyNone) {
    share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  } else if (flags & shareDenyWrite) {
    share = FILE_SHARE_READ;
  }
  const DWORD creation = (flags & modeCreate) ? OPEN_ALWAYS : OPEN_EXISTING;
  HANDLE file = CreateFileA(path, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
  if ((flags & modeCreate) && !(flags & modeNoTruncate) && !SetEndOfFile(file)) {
    const DWORD code = GetLastError();
    CloseHandle(file);
    return fail(code);
  }
  m_handle = reinterpret_cast<intptr_t>(file);
  m_path = path;
  return true;
}

unsigned CFile::Read(void* buffer, unsigned count) {
  if (!IsOpen() || buffer == nullptr) return 0;
  auto* bytes = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!ReadFile(AsHandle(m_handle), bytes + done, count - done, &n, nullptr) || n == 0) break;
    done += n;
  }
  return done;
}

bool CFile::TryWrite(const void* buffer, unsigned count) noexcept {
  if (!IsOpen()) return false;
  const auto* bytes = static_cast<const char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!WriteFile(AsHandle(m_handle), bytes + done, count - done, &n, nullptr) || n == 0) {
      return false;
    }
    done += n;
  }
  return true;
}

void CFile::Write(const void* buffer, unsigned count) {
  if (!TryWrite(buffer, count)) {
    const DWORD code = IsOpen() ? GetLastError() : ERROR_INVALID_HANDLE;
    throw CFileException(CauseFor(code), static_cast<long>(code));
  }
}

long long CFile::Seek(long long offset, SeekPosition from) {
  if (!IsOpen()) return -1;
  const DWORD method = from == begin ? FILE_BEGIN : (from == current ? FILE_CURRENT : FILE_END);
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(AsHandle(m_handle), distance, &position, method)) return -1;
  return position.QuadPart;
}

unsigned long long CFile::GetLength() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(AsHandle(m_handle), &size)) return 0;
  return static_cast<unsigned long long>(size.QuadPart);
}

void CFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(AsHandle(m_handle));
  m_handle = invalidHandle;
  m_path.clear();
}
