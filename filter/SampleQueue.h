// A double-ended queue of pen samples held by value in a ring. It grows when
// full and never shrinks, so once a stroke or two have passed, moving
// samples through the filter allocates nothing (a standard deque frees and
// allocates a block every few samples as its contents slide).
#pragma once

#include <cstddef>
#include <vector>

#include "filter/PenSample.h"

namespace tq {

class CSampleQueue {
 public:
  explicit CSampleQueue(std::size_t capacity = 8) : m_slots(RoundUp(capacity)) {}

  bool empty() const { return m_size == 0; }
  std::size_t size() const { return m_size; }

  SPenSample& operator[](std::size_t i) { return m_slots[Slot(i)]; }
  const SPenSample& operator[](std::size_t i) const { return m_slots[Slot(i)]; }
  SPenSample& front() { return (*this)[0]; }
  const SPenSample& front() const { return (*this)[0]; }
  SPenSample& back() { return (*this)[m_size - 1]; }
  const SPenSample& back() const { return (*this)[m_size - 1]; }

  void push_back(const SPenSample& sample) {
    if (m_size == m_slots.size()) Grow();
    m_slots[Slot(m_size)] = sample;
    ++m_size;
  }
  void pop_front() {
    m_head = (m_head + 1) & (m_slots.size() - 1);
    --m_size;
  }
  void pop_back() { --m_size; }
  void clear() {
    m_head = 0;
    m_size = 0;
  }
  // Removes the sample at position i; the later ones move up.
  void erase(std::size_t i) {
    for (; i + 1 < m_size; ++i) (*this)[i] = (*this)[i + 1];
    --m_size;
  }

 private:
  static std::size_t RoundUp(std::size_t capacity) {
    std::size_t slots = 1;
    while (slots < capacity) slots *= 2;
    return slots;
  }
  std::size_t Slot(std::size_t i) const { return (m_head + i) & (m_slots.size() - 1); }
  void Grow() {
    std::vector<SPenSample> larger(m_slots.size() * 2);
    for (std::size_t i = 0; i < m_size; ++i) larger[i] = (*this)[i];
    m_slots.swap(larger);
    m_head = 0;
  }

  std::vector<SPenSample> m_slots;  // a power of two of them
  std::size_t m_head = 0;
  std::size_t m_size = 0;
};

}  // namespace tq
