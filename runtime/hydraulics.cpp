// SPDX-License-Identifier: BSD-3-Clause
#include "penstock/hydraulics.hpp"

#include <atomic>
#include <bit>
#include <cstdint>

namespace penstock {

namespace {

// The last cross-section formed in this plug-in, for any thread to read, behind a sequence number
// (a seqlock): odd while a thread writes it, and moved on by each write, so that a reader that sees
// the same even number before and after reading the three words has read one write's values.
struct LastSection {
  std::atomic<uint64_t> sequence{0};
  std::atomic<uint64_t> circle{0}, Din{0}, A{0};
};
LastSection last;

}  // namespace

// A component forms its cross-section in every residual, zero crossing and Jacobian row, nearly
// always from the same diameter: the last one formed is given again for the same circle constant
// and diameter (the same bits). It is the value the formula gives, without the power.
double cross_section(double circle, double Din) {
  const uint64_t c = std::bit_cast<uint64_t>(circle), d = std::bit_cast<uint64_t>(Din);
  const uint64_t before = last.sequence.load(std::memory_order_acquire);
  if (before % 2 == 0) {
    const uint64_t lc = last.circle.load(std::memory_order_relaxed), ld = last.Din.load(std::memory_order_relaxed);
    const uint64_t la = last.A.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (last.sequence.load(std::memory_order_relaxed) == before && lc == c && ld == d) return std::bit_cast<double>(la);
  }
  const double A = safe_divide(circle * signed_pow(Din, 2), 4);
  uint64_t free = last.sequence.load(std::memory_order_relaxed);
  if (free % 2 == 0 && last.sequence.compare_exchange_strong(free, free + 1, std::memory_order_acquire)) {
    std::atomic_thread_fence(std::memory_order_release);
    last.circle.store(c, std::memory_order_relaxed);
    last.Din.store(d, std::memory_order_relaxed);
    last.A.store(std::bit_cast<uint64_t>(A), std::memory_order_relaxed);
    last.sequence.store(free + 2, std::memory_order_release);
  }
  return A;
}

}  // namespace penstock
