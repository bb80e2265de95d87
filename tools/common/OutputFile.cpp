#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "common/OutputFile.h"

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

}  // namespace

std::string OutputProblem(const std::string& path, const std::vector<std::string>& inputs) {
  if (path == "-") return {};
  if (path.empty()) return "an empty output name";
  for (const std::string& input : inputs) {
    if (input == path || SameFile(input, path)) return "'" + path + "' is the input; it is not overwritten";
  }
  struct stat info{};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return "'" + path + "' is a directory";
  const std::string directory = DirectoryOf(path);
  if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "cannot write '" + path + "': no directory '" + directory + "'";
  }
  if (access(directory.c_str(), W_OK | X_OK) != 0) {
    return "cannot write '" + path + "': " + std::strerror(errno);
  }
  return {};
}

bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write) {
  if (path == "-") {
    write(std::cout);
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  std::string temporary = DirectoryOf(path) + "/.tq-XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return false;
  close(fd);
  bool written = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    write(out);
    out.close();
    written = !out.fail();
  }
  // A picture is for everyone who may read the file, as a plain create gives.
  const mode_t mask = umask(0);
  umask(mask);
  written = written && chmod(temporary.c_str(), 0666 & ~mask) == 0 &&
            std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) std::remove(temporary.c_str());
  return written;
}

}  // namespace tqtool
