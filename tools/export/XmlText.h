// Text of the XML documents, gathered in blocks and handed to a sink (a file,
// a compressor). Numbers are written in the C locale whatever the host's, as
// XML readers expect.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace tqtool {

class XmlText {
 public:
  using Sink = std::function<bool(const char* data, size_t length)>;
  explicit XmlText(Sink sink);

  XmlText& operator<<(std::string_view text);
  XmlText& operator<<(long long value);
  // A fixed-point number with `decimals` places.
  XmlText& Fixed(double value, int decimals);
  // Hands what is held to the sink; false when any block was refused.
  bool Flush();

 private:
  void Reserve(size_t length);
  Sink m_sink;
  std::vector<char> m_buffer;
  size_t m_used = 0;
  bool m_failed = false;
};

}  // namespace tqtool
