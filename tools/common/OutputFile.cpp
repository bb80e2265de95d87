#include "common/OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "common/CaptureInput.h"

namespace tqtool {

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first{}, second{};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Names of the process's own descriptors: whatever they lead to (a pipe, a
// terminal, the file the shell opened) is written where it is, never
// replaced by a file of ours.
bool NamesADescriptor(const std::string& path) {
  return path == "/dev/stdout" || path == "/dev/stderr" || path.rfind("/dev/fd/", 0) == 0 ||
         path.rfind("/proc/", 0) == 0;
}

enum class Kind { New, Regular, Straight, Directory, LinkToNothing, Unknown };

struct Target {
  Kind kind = Kind::Unknown;
  std::string file;  // the file replaced (a link's target) or written
  mode_t mode = 0;   // an existing file's permissions, kept
  int error = 0;     // why an Unknown target could not be looked at
};

Target Look(const std::string& path) {
  Target target;
  target.file = path;
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) {
    target.error = errno;
    struct stat link{};
    if (errno != ENOENT) return target;
    target.kind = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) ? Kind::LinkToNothing : Kind::New;
    return target;
  }
  if (S_ISDIR(info.st_mode)) {
    target.kind = Kind::Directory;
  } else if (!S_ISREG(info.st_mode) || NamesADescriptor(path)) {
    target.kind = Kind::Straight;
  } else {
    target.kind = Kind::Regular;
    target.mode = info.st_mode & 07777;
    struct stat link{};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      // The link stays a link: the file it names is what is replaced.
      char* real = realpath(path.c_str(), nullptr);
      if (real == nullptr) {
        target.kind = Kind::Unknown;
        target.error = errno;
        return target;
      }
      target.file = real;
      std::free(real);
    }
  }
  return target;
}

// An ostream's bytes onto a descriptor, keeping the first error the system
// gave (ENOSPC of /dev/full, EPIPE, EIO) for the person.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : m_fd(fd) { setp(m_block, m_block + sizeof m_block); }
  int Error() const { return m_error; }

 protected:
  int_type overflow(int_type c) override {
    if (!Flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool Flush() {
    const char* at = pbase();
    while (m_error == 0 && at < pptr()) {
      const ssize_t put = ::write(m_fd, at, static_cast<size_t>(pptr() - at));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        m_error = errno;
        break;
      }
      at += put;
    }
    setp(m_block, m_block + sizeof m_block);
    return m_error == 0;
  }

  int m_fd;
  int m_error = 0;
  char m_block[64 * 1024];
};

// Writes everything `write` produces to `fd`; false with the system's
// reason in `why` when a write failed.
bool Produce(int fd, const std::function<void(std::ostream&)>& write, std::string& why) {
  DescriptorBuffer buffer(fd);
  std::ostream out(&buffer);
  write(out);
  out.flush();
  if (buffer.Error() != 0) why = std::strerror(buffer.Error());
  return !out.fail() && buffer.Error() == 0;
}

// The temporary of the write in progress, for the signal handler: a fixed
// buffer, since the handler may neither allocate nor lock. One write at a
// time; the tools write their outputs from one thread.
char g_temporary[PATH_MAX + 16];
volatile sig_atomic_t g_armed = 0;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_installed[3];

void RemoveTemporary(int signal) {
  if (g_armed != 0) unlink(g_temporary);
  g_armed = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (kEndingSignals[i] == signal) sigaction(signal, &g_previous[i], nullptr);
  }
  // Ends the program as the signal would have, once this handler returns.
  raise(signal);
}

// Installed for the signals that would end the program as they stand; a
// signal the program handles or ignores is left to it.
class TemporaryGuard {
 public:
  TemporaryGuard() {
    struct sigaction action{};
    action.sa_handler = &RemoveTemporary;
    sigemptyset(&action.sa_mask);
    for (int signal : kEndingSignals) sigaddset(&action.sa_mask, signal);
    m_signals = action.sa_mask;
    for (size_t i = 0; i < 3; ++i) {
      struct sigaction current{};
      g_installed[i] = sigaction(kEndingSignals[i], nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
                       (current.sa_flags & SA_SIGINFO) == 0;
      if (g_installed[i]) sigaction(kEndingSignals[i], &action, &g_previous[i]);
    }
  }
  ~TemporaryGuard() {
    Block();
    if (g_armed != 0) unlink(g_temporary);
    g_armed = 0;
    for (size_t i = 0; i < 3; ++i) {
      if (g_installed[i]) sigaction(kEndingSignals[i], &g_previous[i], nullptr);
    }
    Unblock();
  }
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;

  // Creates the temporary in `directory`; -1 with errno set when it cannot.
  int Create(const std::string& directory) {
    const std::string name = directory + "/.tq-XXXXXX";
    if (name.size() >= sizeof g_temporary) {
      errno = ENAMETOOLONG;
      return -1;
    }
    Block();
    std::memcpy(g_temporary, name.c_str(), name.size() + 1);
    const int fd = mkostemp(g_temporary, O_CLOEXEC);
    g_armed = fd >= 0 ? 1 : 0;
    const int error = errno;
    Unblock();
    errno = error;
    return fd;
  }
  const char* Name() const { return g_temporary; }
  // The temporary becomes `path`; false with errno set when it cannot.
  bool Rename(const std::string& path) {
    Block();
    const bool renamed = std::rename(g_temporary, path.c_str()) == 0;
    const int error = errno;
    if (renamed) g_armed = 0;
    Unblock();
    errno = error;
    return renamed;
  }

 private:
  void Block() { sigprocmask(SIG_BLOCK, &m_signals, &m_before); }
  void Unblock() { sigprocmask(SIG_SETMASK, &m_before, nullptr); }
  sigset_t m_signals{}, m_before{};
};

bool WriteStraight(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& why) {
  struct stat info{};
  const bool regular = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (regular ? O_TRUNC : 0));
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  bool written = Produce(fd, write, why);
  if (close(fd) != 0 && written) {
    why = std::strerror(errno);
    written = false;
  }
  return written;
}

bool WriteReplacing(const Target& target, const std::function<void(std::ostream&)>& write, std::string& why) {
  TemporaryGuard guard;
  const int fd = guard.Create(DirectoryOf(target.file));
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  // A new picture is for everyone who may read it, as a plain create gives;
  // a replaced file keeps its permissions.
  mode_t mode = target.mode;
  if (target.kind == Kind::New) {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  bool written = fchmod(fd, mode) == 0;
  if (!written) why = std::strerror(errno);
  written = written && Produce(fd, write, why);
  if (close(fd) != 0 && written) {
    why = std::strerror(errno);
    written = false;
  }
  if (written && !guard.Rename(target.file)) {
    why = std::strerror(errno);
    written = false;
  }
  return written;  // the guard removes a temporary that was not renamed
}

}  // namespace

std::string OutputProblem(const std::string& path, const std::vector<std::string>& inputs) {
  if (path == "-") return {};
  if (path.empty()) return "an empty output name";
  for (const std::string& input : inputs) {
    if (input == path || SameFile(input, path)) return Quoted(path) + " is the input; it is not overwritten";
  }
  const Target target = Look(path);
  switch (target.kind) {
    case Kind::Directory:
      return Quoted(path) + " is a directory";
    case Kind::LinkToNothing:
      return Quoted(path) + " is a link to a file that does not exist; it is not replaced";
    case Kind::Unknown:
      return "cannot write " + Quoted(path) + ": " + std::strerror(target.error);
    case Kind::Straight:
      if (access(path.c_str(), W_OK) != 0) return "cannot write " + Quoted(path) + ": " + std::strerror(errno);
      return {};
    case Kind::New:
    case Kind::Regular:
      break;
  }
  const std::string directory = DirectoryOf(target.file);
  struct stat info{};
  if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "cannot write " + Quoted(path) + ": no directory " + Quoted(directory);
  }
  if (access(directory.c_str(), W_OK | X_OK) != 0) {
    return "cannot write " + Quoted(path) + ": " + std::strerror(errno);
  }
  return {};
}

bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& why) {
  why.clear();
  if (path == "-") {
    // What the program printed before comes first.
    std::cout.flush();
    std::fflush(stdout);
    return Produce(STDOUT_FILENO, write, why);
  }
  const Target target = Look(path);
  switch (target.kind) {
    case Kind::Straight:
      return WriteStraight(path, write, why);
    case Kind::New:
    case Kind::Regular:
      return WriteReplacing(target, write, why);
    case Kind::Directory:
      why = std::strerror(EISDIR);
      return false;
    case Kind::LinkToNothing:
      why = "a link to a file that does not exist";
      return false;
    case Kind::Unknown:
      why = std::strerror(target.error);
      return false;
  }
  return false;
}

bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write) {
  std::string why;
  return WriteOutput(path, write, why);
}

bool WritesToStandardOutput(const std::string& path) {
  if (path == "-") return true;
  struct stat named{}, out{};
  return NamesADescriptor(path) && stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
         named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

}  // namespace tqtool
