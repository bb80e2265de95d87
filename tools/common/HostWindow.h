// The tool's own host window: prints every message it receives as one line,
// in the format other tools and tests parse:
//   down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM
//   board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "TQApi.h"

namespace tqtool {

std::string FormatEvent(UINT message, WPARAM wParam, LPARAM lParam);

class PrintingWindow {
 public:
  // Prints the lines of the messages accepted by `filter` (all when empty).
  explicit PrintingWindow(std::FILE* out, std::function<bool(UINT)> filter = {});
  ~PrintingWindow();
  PrintingWindow(const PrintingWindow&) = delete;
  PrintingWindow& operator=(const PrintingWindow&) = delete;
  HWND Handle() const { return m_window; }
  // Called for every message after it is printed.
  std::function<void(UINT, WPARAM, LPARAM)> onMessage;
  // Live tools show each line as it happens; a replay prints faster when
  // its lines are written out in blocks.
  bool flushEachLine = true;

 private:
  static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND m_window;
  std::FILE* m_out;
  std::function<bool(UINT)> m_filter;
};

}  // namespace tqtool
