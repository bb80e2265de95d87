#include "common/WindowReplay.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/CaptureInput.h"
#include "common/MessageLoop.h"

namespace tqtool {

namespace {

bool Refuse(ReplayOutcome& outcome, ReplayResult result, std::string problem) {
  outcome.result = result;
  outcome.problem = std::move(problem);
  return false;
}

// Looks at the file as the replay will see it, without waiting on it: a
// FIFO or a device is refused before anything is read.
bool Judge(const std::string& path, ReplayOutcome& outcome) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return Refuse(outcome, ReplayResult::CannotOpen, "cannot open " + Quoted(path) + ": " + std::strerror(errno));
  }
  struct stat info{};
  uint8_t bytes[tq::kCaptureHeaderSize];
  ssize_t got = -1;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (regular) {
    do got = pread(fd, bytes, sizeof bytes, 0); while (got < 0 && errno == EINTR);
  }
  const int readError = errno;
  close(fd);
  if (!regular) return Refuse(outcome, ReplayResult::NotRegularFile, Quoted(path) + " is not a regular file");
  if (got < 0) {
    return Refuse(outcome, ReplayResult::ReadFailed,
                  "reading " + Quoted(path) + " failed part way: " + std::strerror(readError));
  }
  if (static_cast<size_t>(got) < sizeof bytes) {
    return Refuse(outcome, ReplayResult::TooShort, ShortCaptureProblem(path));
  }
  outcome.stats.header = tq::DecodeCaptureHeader(bytes);
  outcome.stats.headerRead = true;
  if (std::string problem = CaptureHeaderProblem(path, outcome.stats.header); !problem.empty()) {
    return Refuse(outcome, ReplayResult::NotCapture, std::move(problem));
  }
  return true;
}

std::string OpenReason(const CFileException& error) {
  if (error.m_cause == CFileException::sharingViolation) return "the file is in use (a port may be capturing to it)";
  if (error.m_lOsError != 0) return std::strerror(static_cast<int>(error.m_lOsError));
  if (error.m_cause == CFileException::fileNotFound) return std::strerror(ENOENT);
  if (error.m_cause == CFileException::accessDenied) return std::strerror(EACCES);
  return "the file cannot be opened";
}

}  // namespace

bool ReplayIntoWindow(const std::string& path, HWND window, const tq::SReplayOptions& options,
                      ReplayOutcome& outcome) {
  outcome = ReplayOutcome{};
  if (!Judge(path, outcome)) return false;
  const tq::ReplayStatus status = tq::ReplayCaptureFile(path.c_str(), window, options, &outcome.stats);
  DrainMessages();
  switch (status) {
    case tq::ReplayStatus::Replayed:
      outcome.result = ReplayResult::Replayed;
      return true;
    case tq::ReplayStatus::CannotOpen:
      return Refuse(outcome, ReplayResult::CannotOpen,
                    "cannot open " + Quoted(path) + ": " + OpenReason(outcome.stats.openError));
    case tq::ReplayStatus::NotRegularFile:
      return Refuse(outcome, ReplayResult::NotRegularFile, Quoted(path) + " is not a regular file");
    case tq::ReplayStatus::ReadError:
      return Refuse(outcome, ReplayResult::ReadFailed, "reading " + Quoted(path) + " failed part way");
    case tq::ReplayStatus::NotCapture:
      break;
  }
  // The file changed between the look and the replay.
  if (!outcome.stats.headerRead) return Refuse(outcome, ReplayResult::TooShort, ShortCaptureProblem(path));
  std::string problem = CaptureHeaderProblem(path, outcome.stats.header);
  return Refuse(outcome, ReplayResult::NotCapture,
                problem.empty() ? Quoted(path) + " is not a capture" : std::move(problem));
}

std::string CaptureBaseBeside(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find_last_of('.');
  // A dot that starts the name (".hidden") is no extension.
  if (dot == std::string::npos || dot <= nameStart) return path;
  return path.substr(0, dot);
}

}  // namespace tqtool
