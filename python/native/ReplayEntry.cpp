// The replay entry of the Python package. TQReadFileData takes the host's
// file dialog object and reports a capture it cannot open by throwing; a C
// caller (ctypes) can make neither, and an exception crossing into it ends
// the process. This entry takes a path and returns the reason instead.
//
// A replay from Python only reads: several threads and processes may replay
// one capture at once. TQReadFileData holds its file without sharing while
// it replays, so the capture is read here, under a read lock that a port
// recording to the file refuses (and that refuses such a port meanwhile),
// and replayed from an anonymous in-memory copy that nobody else sees.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "TQApi.h"

namespace {

// A day of a board's 9600-baud line is about 83 MB.
constexpr off_t kMaxCaptureBytes = off_t{256} << 20;

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

int Fail(long* osError, int cause, int code) {
  if (osError != nullptr) *osError = code;
  return cause;
}

// Reads `fd` to its end; false with errno set on a failed read or a file
// grown past the bound meanwhile.
bool ReadAll(int fd, std::vector<uint8_t>& data) {
  uint8_t block[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (data.size() + static_cast<size_t>(got) > static_cast<size_t>(kMaxCaptureBytes)) {
      errno = EFBIG;
      return false;
    }
    data.insert(data.end(), block, block + got);
  }
}

bool WriteAll(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

extern "C" {

// Replays the raw capture at `path` into `window` as TQReadFileData does,
// without writing anything. Returns 0 when the file was read (a refused
// header included), else the file's failure cause (2 not found, 5 access
// denied or no regular file, 11 in use, 1 other), with the system's error in
// `osError` when that is not null.
__attribute__((visibility("default"))) int TQPyReplayFile(HWND window, const char* path,
                                                          long* osError) {
  if (path == nullptr) return Fail(osError, CFileException::genericException, EINVAL);
  Descriptor file;
  // Non-blocking, so that a FIFO put in the file's place is not waited on.
  file.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (file.fd < 0) {
    const int code = errno;
    const int cause = code == ENOENT ? CFileException::fileNotFound
                      : code == EACCES || code == EPERM ? CFileException::accessDenied
                                                        : CFileException::genericException;
    return Fail(osError, cause, code);
  }
  struct stat info {};
  if (fstat(file.fd, &info) != 0) return Fail(osError, CFileException::genericException, errno);
  if (!S_ISREG(info.st_mode)) {
    return Fail(osError, CFileException::accessDenied, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  }
  if (info.st_size > kMaxCaptureBytes) return Fail(osError, CFileException::genericException, EFBIG);
  // A capture being recorded holds a write lock of the whole file, which
  // this read lock conflicts with; other replays' read locks do not.
  struct flock whole {};
  whole.l_type = F_RDLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(file.fd, F_OFD_SETLK, &whole) != 0 && (errno == EAGAIN || errno == EACCES)) {
    return Fail(osError, CFileException::sharingViolation, EBUSY);
  }
  if (fcntl(file.fd, F_SETFL, O_RDONLY) != 0) return Fail(osError, CFileException::genericException, errno);
  std::vector<uint8_t> data;
  data.reserve(static_cast<size_t>(info.st_size));
  if (!ReadAll(file.fd, data)) return Fail(osError, CFileException::genericException, errno);

  Descriptor copy;
  copy.fd = memfd_create("tqapi-replay", MFD_CLOEXEC);
  if (copy.fd < 0 || !WriteAll(copy.fd, data)) return Fail(osError, CFileException::genericException, errno);
  data = {};
  // The library opens the copy through its name under /proc; the .val and
  // .out captures it would write beside that name cannot be made there, so
  // nothing is written.
  CFileDialog dialog(("/proc/self/fd/" + std::to_string(copy.fd)).c_str());
  try {
    TQReadFileData(window, &dialog);
  } catch (const CFileException& error) {
    if (osError != nullptr) *osError = error.m_lOsError;
    return error.m_cause != CFileException::none ? error.m_cause : CFileException::genericException;
  } catch (...) {
    return CFileException::genericException;
  }
  return 0;
}

}  // extern "C"
