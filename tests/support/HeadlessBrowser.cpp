#include "support/HeadlessBrowser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace tqtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

std::string HeadlessBrowser::Program() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return std::string();
}

HeadlessBrowser::HeadlessBrowser(int width, int height) : m_width(width), m_height(height) {
  const std::string program = Program();
  char profile[] = "/tmp/tqtest-browser-XXXXXX";
  if (program.empty() || mkdtemp(profile) == nullptr) return;
  m_profile = profile;
  int commands[2], replies[2];
  if (pipe(commands) != 0 || pipe(replies) != 0) return;
  m_pid = fork();
  if (m_pid == 0) {
    // The pipe's ends go to 3 (commands in) and 4 (replies out).
    const int in = dup(commands[0]), out = dup(replies[1]);
    close(commands[1]);
    close(replies[0]);
    dup2(in, 3);
    dup2(out, 4);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    const std::string user = "--user-data-dir=" + m_profile;
    const std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
    execl(program.c_str(), program.c_str(), "--headless", "--no-sandbox", "--disable-gpu",
          "--remote-debugging-pipe", "--no-first-run", "--disable-extensions",
          "--disable-background-networking", "--hide-scrollbars", "--mute-audio", user.c_str(),
          size.c_str(), "about:blank", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(commands[0]);
  close(replies[1]);
  m_toBrowser = commands[1];
  m_fromBrowser = replies[0];
  fcntl(m_toBrowser, F_SETFD, FD_CLOEXEC);
  fcntl(m_fromBrowser, F_SETFD, FD_CLOEXEC);
}

HeadlessBrowser::~HeadlessBrowser() {
  if (m_pid > 0) {
    Call("Browser.close", "{}", 3000);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (waitpid(m_pid, nullptr, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        break;
      }
      usleep(20000);
    }
  }
  if (m_toBrowser >= 0) close(m_toBrowser);
  if (m_fromBrowser >= 0) close(m_fromBrowser);
  std::error_code ignored;
  if (!m_profile.empty()) std::filesystem::remove_all(m_profile, ignored);
}

std::string HeadlessBrowser::Call(const std::string& method, const std::string& params, int timeoutMs) {
  if (m_pid <= 0) return std::string();
  const int id = m_nextId++;
  std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
  if (!m_session.empty() && method.rfind("Target.", 0) != 0 && method.rfind("Browser.", 0) != 0) {
    message += ",\"sessionId\":\"" + m_session + "\"";
  }
  message += "}";
  message.push_back('\0');
  if (write(m_toBrowser, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return {};
  const std::string prefix = "{\"id\":" + std::to_string(id) + ",";
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    size_t end;
    while ((end = m_pending.find('\0')) != std::string::npos) {
      std::string reply = m_pending.substr(0, end);
      m_pending.erase(0, end + 1);
      if (reply.rfind(prefix, 0) == 0) return reply.find("\"error\":") == prefix.size() ? std::string() : reply;
    }
    pollfd entry{m_fromBrowser, POLLIN, 0};
    if (poll(&entry, 1, 50) <= 0) continue;
    char buffer[65536];
    const ssize_t n = read(m_fromBrowser, buffer, sizeof buffer);
    if (n <= 0) return std::string();
    m_pending.append(buffer, static_cast<size_t>(n));
  }
  return std::string();
}

bool HeadlessBrowser::Open(const std::string& url) {
  const std::string target = JsonString(Call("Target.createTarget", "{\"url\":\"about:blank\"}"), "targetId");
  if (target.empty()) return false;
  m_session = JsonString(
      Call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"), "sessionId");
  if (m_session.empty()) return false;
  const std::string metrics = "{\"width\":" + std::to_string(m_width) + ",\"height\":" +
                              std::to_string(m_height) + ",\"deviceScaleFactor\":1,\"mobile\":false}";
  return !Call("Emulation.setDeviceMetricsOverride", metrics).empty() &&
         !Call("Page.navigate", "{\"url\":" + Quoted(url) + "}").empty();
}

bool HeadlessBrowser::Evaluate(const std::string& expression, std::string& value, int timeoutMs) {
  const std::string reply = Call("Runtime.evaluate",
                                 "{\"expression\":" + Quoted(expression) +
                                     ",\"returnByValue\":true,\"awaitPromise\":true}",
                                 timeoutMs);
  if (reply.empty() || reply.find("\"exceptionDetails\"") != std::string::npos) return false;
  value = JsonString(reply, "value");
  return true;
}

bool HeadlessBrowser::Screenshot(std::string& png) {
  png = DecodeBase64(JsonString(Call("Page.captureScreenshot", "{\"format\":\"png\"}"), "data"));
  return !png.empty();
}

std::string JsonString(const std::string& json, const std::string& key) {
  const std::string tag = "\"" + key + "\":\"";
  const size_t at = json.find(tag);
  if (at == std::string::npos) return std::string();
  std::string value;
  for (size_t i = at + tag.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\' || i + 1 >= json.size()) {
      value.push_back(json[i]);
      continue;
    }
    const char escaped = json[++i];
    if (escaped == 'n') value.push_back('\n');
    else if (escaped == 't') value.push_back('\t');
    else if (escaped == 'u' && i + 4 < json.size()) {
      value.push_back(static_cast<char>(std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16)));
      i += 4;
    } else value.push_back(escaped);
  }
  return value;
}

double JsonNumber(const std::string& json, const std::string& key, double fallback) {
  const std::string tag = "\"" + key + "\":";
  const size_t at = json.find(tag);
  if (at == std::string::npos) return fallback;
  return std::strtod(json.c_str() + at + tag.size(), nullptr);
}

std::string DecodeBase64(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

}  // namespace tqtest
