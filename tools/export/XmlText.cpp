#include "export/XmlText.h"

#include <charconv>
#include <cstring>

namespace tqtool {

namespace {

constexpr size_t kBlock = 64 * 1024;
constexpr size_t kLongestNumber = 64;

}  // namespace

XmlText::XmlText(Sink sink) : m_sink(std::move(sink)), m_buffer(kBlock) {}

void XmlText::Reserve(size_t length) {
  if (m_used + length > m_buffer.size()) Flush();
  if (length > m_buffer.size()) m_buffer.resize(length);
}

XmlText& XmlText::operator<<(std::string_view text) {
  Reserve(text.size());
  std::memcpy(m_buffer.data() + m_used, text.data(), text.size());
  m_used += text.size();
  return *this;
}

XmlText& XmlText::operator<<(long long value) {
  Reserve(kLongestNumber);
  char* at = m_buffer.data() + m_used;
  m_used += static_cast<size_t>(std::to_chars(at, at + kLongestNumber, value).ptr - at);
  return *this;
}

XmlText& XmlText::Fixed(double value, int decimals) {
  Reserve(kLongestNumber);
  char* at = m_buffer.data() + m_used;
  const std::to_chars_result result =
      std::to_chars(at, at + kLongestNumber, value, std::chars_format::fixed, decimals);
  // Only a value beyond any page (or not a number) is too long; write 0.
  if (result.ec != std::errc()) {
    *at = '0';
    ++m_used;
  } else {
    m_used += static_cast<size_t>(result.ptr - at);
  }
  return *this;
}

bool XmlText::Flush() {
  if (m_used > 0 && !m_failed) m_failed = !m_sink(m_buffer.data(), m_used);
  m_used = 0;
  return !m_failed;
}

}  // namespace tqtool
