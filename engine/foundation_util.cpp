// SPDX-License-Identifier: BSD-3-Clause
// The host's utility library: the memory of parameter blocks and the finiteness test.
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "penstock/foundation_util_testing.h"
#include "penstock/ne_mli.h"

namespace {
std::atomic<int32_t> failing_callocs{0};
std::atomic<int64_t> live_blocks{0};
}  // namespace

extern "C" {

void* pmf_calloc(size_t count, size_t size) {
  for (int32_t n = failing_callocs.load(); n > 0;) {
    if (failing_callocs.compare_exchange_weak(n, n - 1)) return nullptr;
  }
  void* p = std::calloc(count, size);
  if (p != nullptr) ++live_blocks;
  return p;
}

void pmf_free(void* p) {
  if (p != nullptr) --live_blocks;
  std::free(p);
}

bool pmf_is_finite(double x) { return std::isfinite(x); }

void pmf_testing_fail_next_callocs(int32_t n) { failing_callocs = n; }

int64_t pmf_testing_live_blocks(void) { return live_blocks.load(); }
}
