#include "support/FileLimits.h"

#include <sys/resource.h>

#include <csignal>

namespace tqtest {

struct FileSizeLimit::Saved {
  rlimit limit{};
  void (*handler)(int) = nullptr;
};

FileSizeLimit::FileSizeLimit(uint64_t limit, const std::vector<std::filesystem::path>&)
    : m_saved(std::make_unique<Saved>()) {
  m_saved->handler = std::signal(SIGXFSZ, SIG_IGN);
  getrlimit(RLIMIT_FSIZE, &m_saved->limit);
  rlimit lowered = m_saved->limit;
  lowered.rlim_cur = static_cast<rlim_t>(limit);
  setrlimit(RLIMIT_FSIZE, &lowered);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &m_saved->limit);
  std::signal(SIGXFSZ, m_saved->handler);
}

FullFile::FullFile() : m_path("/dev/full") {}

FullFile::~FullFile() = default;

}  // namespace tqtest
