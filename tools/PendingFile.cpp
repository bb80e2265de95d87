#include "PendingFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tqtool {

PendingFile::~PendingFile() { Discard(); }

bool PendingFile::Open(const std::string& path, std::string& error) {
  Discard();
  std::vector<char> name(path.begin(), path.end());
  const char suffix[] = ".partial-XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  m_stream = fdopen(fd, "wb");
  if (m_stream == nullptr) {
    error = std::strerror(errno);
    close(fd);
    unlink(name.data());
    return false;
  }
  m_path = path;
  m_temporary = name.data();
  return true;
}

bool PendingFile::Commit(std::string& error) {
  if (m_stream == nullptr) {
    error = "nothing was written";
    return false;
  }
  const bool written = std::fflush(m_stream) == 0 && std::ferror(m_stream) == 0;
  const int writeError = errno;
  const bool closed = std::fclose(m_stream) == 0;
  m_stream = nullptr;
  if (!written || !closed) {
    error = std::strerror(written ? errno : writeError);
    Discard();
    return false;
  }
  // mkstemp gives the owner alone access; a document is as readable as any
  // file the user creates.
  const mode_t mask = umask(0);
  umask(mask);
  chmod(m_temporary.c_str(), 0666 & ~mask);
  if (std::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
    error = std::strerror(errno);
    Discard();
    return false;
  }
  m_temporary.clear();
  return true;
}

void PendingFile::Discard() {
  if (m_stream != nullptr) std::fclose(m_stream);
  m_stream = nullptr;
  if (!m_temporary.empty()) unlink(m_temporary.c_str());
  m_temporary.clear();
}

}  // namespace tqtool
