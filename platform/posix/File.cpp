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
#include "platform/Platform.h"

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

namespace {

// Why an open file is no file to read or record, as an errno value; 0 when
// it is one. A directory opens for reading here but is no file to read:
// refused, as Windows refuses it, with the open itself.
int RefusalOf(const struct stat& info, unsigned flags) {
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if ((flags & (tqp::kOpenRegularOnly | tqp::kOpenCapture)) == 0) return 0;
  if (!S_ISREG(info.st_mode)) return EINVAL;
  // Another user's file in a shared temporary directory is not ours to fill.
  if ((flags & tqp::kOpenCapture) && info.st_uid != geteuid()) return EACCES;
  return 0;
}

// A capture holds a write lock of its own open file, which every other open
// of the file conflicts with, in this process too: a second capture of the
// same file is refused instead of writing over the first. A file system
// without such locks records unguarded.
int HoldAgainstOtherCaptures(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return 0;
  return (errno == EAGAIN || errno == EACCES) ? EWOULDBLOCK : 0;
}

int OpenMode(unsigned flags) {
  int mode = O_CLOEXEC;
  if (flags & CFile::modeReadWrite) {
    mode |= O_RDWR;
  } else if (flags & CFile::modeWrite) {
    mode |= O_WRONLY;
  } else {
    mode |= O_RDONLY;
  }
  if (flags & CFile::modeCreate) mode |= O_CREAT;
  // Neither a replay nor a capture waits in the open for a FIFO's other end;
  // a capture keeps the flag, so that no write of it waits either.
  if (flags & (tqp::kOpenRegularOnly | tqp::kOpenCapture)) mode |= O_NONBLOCK;
  if (flags & tqp::kOpenCapture) mode |= O_NOFOLLOW;
  return mode;
}

// The checks and locks of an open descriptor, in the order that keeps a
// refused open from changing the file; 0 or the errno value of the refusal.
int Admit(int fd, unsigned flags) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return errno;
  if (const int refusal = RefusalOf(info, flags); refusal != 0) return refusal;
  const bool shared = (flags & CFile::shareDenyNone) != 0;
  if (flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) return errno;
  if (flags & tqp::kOpenCapture) {
    if (const int held = HoldAgainstOtherCaptures(fd); held != 0) return held;
  }
  if ((flags & tqp::kOpenRegularOnly) && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return errno;
  // Only a regular file has a length to cut: a host's file on a device (a
  // symlink to /dev/null or /dev/full, a FIFO) is opened as it is.
  if ((flags & CFile::modeCreate) && !(flags & CFile::modeNoTruncate) && S_ISREG(info.st_mode) &&
      ftruncate(fd, 0) != 0) {
    return errno;
  }
  return 0;
}

}  // namespace

bool CFile::Open(const char* path, unsigned flags, CFileException* error) {
  Close();
  auto fail = [&](int code) {
    int cause = CauseFor(code);
    if ((flags & (tqp::kOpenRegularOnly | tqp::kOpenCapture)) && (code == EISDIR || code == EINVAL)) {
      cause = tqp::kCauseNotRegularFile;
    }
    if (error != nullptr) *error = CFileException(cause, code);
    return false;
  };
  if (path == nullptr) return fail(ENOENT);
  const int fd = open(path, OpenMode(flags), 0644);
  if (fd < 0) return fail(errno);
  if (const int refusal = Admit(fd, flags); refusal != 0) {
    close(fd);
    return fail(refusal);
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
