// CFile on POSIX. Sharing maps to flock: openers that share take LOCK_SH,
// an opener without sharing takes LOCK_EX, both without blocking, so a file
// held exclusively refuses every other open and an exclusive open fails on
// a file in use. Truncation happens only after the lock is taken, so a
// create that loses against an exclusive reader has not emptied the file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TQApi.h"

namespace {

int CauseFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return CFileException::fileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return CFileException::accessDenied;
    case EWOULDBLOCK:
      return CFileException::sharingViolation;
    default:
      return CFileException::genericException;
  }
}

}  // namespace

CFile::CFile() : m_handle(invalidHandle) {}

CFile::~CFile() { Close(); }

bool CFile::Open(const char* path, unsigned flags, CFileException* error) {
  Close();
  auto fail = [&](int code) {
    if (error != nullptr) *error = CFileException(CauseFor(code), code);
    return false;
  };
  if (path == nullptr) return fail(ENOENT);
  int mode = O_CLOEXEC;
  if (flags & modeReadWrite) {
    mode |= O_RDWR;
  } else if (flags & modeWrite) {
    mode |= O_WRONLY;
  } else {
    mode |= O_RDONLY;
  }
  if (flags & modeCreate) mode |= O_CREAT;
  const int fd = open(path, mode, 0644);
  if (fd < 0) return fail(errno);
  const bool shared = (flags & shareDenyNone) != 0;
  if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int code = errno;
    close(fd);
    return fail(code);
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int code = errno;
    close(fd);
    return fail(code);
  }
  // A directory opens for reading here but is no file to read: refused, as
  // Windows refuses it, with the open itself rather than a read of nothing.
  if (S_ISDIR(info.st_mode)) {
    close(fd);
    return fail(EISDIR);
  }
  // Only a regular file has a length to cut: a capture pointed at a device
  // (a symlink to /dev/null or /dev/full, a FIFO) is opened as it is.
  if ((flags & modeCreate) && !(flags & modeNoTruncate) && S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) {
    const int code = errno;
    close(fd);
    return fail(code);
  }
  m_handle = fd;
  m_path = path;
  return true;
}

unsigned CFile::Read(void* buffer, unsigned count) {
  if (!IsOpen() || buffer == nullptr) return 0;
  auto* bytes = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    const ssize_t n = read(m_handle, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<unsigned>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
}

bool CFile::TryWrite(const void* buffer, unsigned count) noexcept {
  if (!IsOpen()) return false;
  const auto* bytes = static_cast<const char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    const ssize_t n = write(m_handle, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<unsigned>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void CFile::Write(const void* buffer, unsigned count) {
  if (!TryWrite(buffer, count)) {
    const int code = IsOpen() ? errno : EBADF;
    throw CFileException(CauseFor(code), code);
  }
}

long long CFile::Seek(long long offset, SeekPosition from) {
  if (!IsOpen()) return -1;
  const int whence = from == begin ? SEEK_SET : (from == current ? SEEK_CUR : SEEK_END);
  return static_cast<long long>(lseek(m_handle, static_cast<off_t>(offset), whence));
}

unsigned long long CFile::GetLength() const {
  struct stat info {};
  if (!IsOpen() || fstat(m_handle, &info) != 0) return 0;
  return static_cast<unsigned long long>(info.st_size);
}

void CFile::Close() {
  if (!IsOpen()) return;
  flock(m_handle, LOCK_UN);
  close(m_handle);
  m_handle = invalidHandle;
  m_path.clear();
}
