#include "filter/SampleQueue.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

tq::SPenSample Numbered(int n) {
  tq::SPenSample s;
  s.x = n;
  return s;
}

// The ring must behave as a double-ended queue through wrap-around and
// growth; a standard deque is the reference.
TEST(SampleQueue, MatchesADequeThroughWrapAndGrowth) {
  tq::CSampleQueue queue(4);
  std::deque<int> reference;
  int next = 0;
  for (int round = 0; round < 200; ++round) {
    const int op = (round * 7) % 10;
    if (op < 6 || reference.empty()) {
      queue.push_back(Numbered(next));
      reference.push_back(next++);
    } else if (op < 7) {
      queue.pop_front();
      reference.pop_front();
    } else if (op < 8) {
      queue.pop_back();
      reference.pop_back();
    } else if (reference.size() > 2) {
      queue.erase(2);
      reference.erase(reference.begin() + 2);
    }
    ASSERT_EQ(queue.size(), reference.size());
    for (std::size_t i = 0; i < reference.size(); ++i) ASSERT_EQ(queue[i].x, reference[i]) << round;
    if (round % 50 == 49) {
      queue.clear();
      reference.clear();
    }
  }
}

}  // namespace
