// Headless Chromium driven over its DevTools pipe (file descriptors 3 and 4,
// one JSON message per NUL): open a page, evaluate script in it, take a
// screenshot. No port is opened for the browser itself.
#pragma once

#include <sys/types.h>

#include <string>

namespace tqtest {

class HeadlessBrowser {
 public:
  // The browser program, or empty when it is not installed.
  static std::string Program();

  HeadlessBrowser(int width, int height);
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // A tab of the window's size showing `url`; false when the browser failed.
  bool Open(const std::string& url);
  // The value of a script expression that yields a string (or a promise of
  // one); false on a script error or timeout.
  bool Evaluate(const std::string& expression, std::string& value, int timeoutMs = 10000);
  // The tab as PNG bytes.
  bool Screenshot(std::string& png);

 private:
  // Sends one command; returns its reply message, empty on error or timeout.
  std::string Call(const std::string& method, const std::string& params, int timeoutMs = 15000);

  int m_width, m_height;
  pid_t m_pid = -1;
  int m_toBrowser = -1, m_fromBrowser = -1;
  int m_nextId = 1;
  std::string m_session;
  std::string m_pending;
  std::string m_profile;
};

// The string value of `"key":"..."` in a JSON text, unescaped; empty when absent.
std::string JsonString(const std::string& json, const std::string& key);
// The number value of `"key":N`; `fallback` when absent.
double JsonNumber(const std::string& json, const std::string& key, double fallback = 0.0);
std::string DecodeBase64(const std::string& text);

}  // namespace tqtest
