// CFile on Windows: CreateFileA with the sharing the flags ask for
// (shareDenyNone shares reading and writing, shareDenyWrite reading only,
// otherwise the file is held exclusively). A create opens the file without
// emptying it and truncates only once the open has succeeded, so a create
// that loses against an exclusive holder leaves the file as it was.
#include <windows.h>

#include "TQApi.h"
#include "platform/Platform.h"

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

namespace {

// Why an open handle is no file to read or record; 0 when it is one. A
// link is opened as itself under kOpenCapture, so a capture never writes
// where a link points.
DWORD RefusalOf(HANDLE file, unsigned flags) {
  if ((flags & (tqp::kOpenRegularOnly | tqp::kOpenCapture)) == 0) return 0;
  if (GetFileType(file) != FILE_TYPE_DISK) return ERROR_BAD_FILE_TYPE;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return GetLastError();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return ERROR_BAD_FILE_TYPE;
  return 0;
}

DWORD ShareOf(unsigned flags) {
  // A capture lets others read it while it grows, never write it: a second
  // capture of the same file, in this process or another, is refused.
  if (flags & tqp::kOpenCapture) return FILE_SHARE_READ;
  if (flags & CFile::shareDenyNone) return FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (flags & CFile::shareDenyWrite) return FILE_SHARE_READ;
  return 0;
}

}  // namespace

bool CFile::Open(const char* path, unsigned flags, CFileException* error) {
  Close();
  auto fail = [&](DWORD code) {
    const int cause = code == ERROR_BAD_FILE_TYPE ? tqp::kCauseNotRegularFile : CauseFor(code);
    if (error != nullptr) *error = CFileException(cause, static_cast<long>(code));
    return false;
  };
  if (path == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  DWORD access = GENERIC_READ;
  if (flags & modeReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & modeWrite) {
    access = GENERIC_WRITE;
  }
  const DWORD creation = (flags & modeCreate) ? OPEN_ALWAYS : OPEN_EXISTING;
  const DWORD attributes = FILE_ATTRIBUTE_NORMAL | ((flags & tqp::kOpenCapture) ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  HANDLE file = CreateFileA(path, access, ShareOf(flags), nullptr, creation, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(GetLastError());
  if (const DWORD refusal = RefusalOf(file, flags); refusal != 0) {
    CloseHandle(file);
    return fail(refusal);
  }
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
