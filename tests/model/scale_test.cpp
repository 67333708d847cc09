// SPDX-License-Identifier: BSD-3-Clause
// The memory a loaded model takes grows with its size at a few hundred bytes an unknown, whether
// the model is one chain (count:) or many components of its own: every byte the heap hands out
// while a model loads is counted, and the most held at once is held against the unknowns.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "model_support.hpp"

#ifndef PENSTOCK_SANITIZED  // the sanitizers bring their own allocator

namespace {

std::atomic<bool> counting{false};
std::atomic<long> held{0}, most{0};

void count_in(void* p) {
  if (p == nullptr || !counting.load(std::memory_order_relaxed)) return;
  const long now = held += static_cast<long>(malloc_usable_size(p));
  long seen = most.load();
  while (now > seen && !most.compare_exchange_weak(seen, now)) {
  }
}

void count_out(void* p) {
  if (p != nullptr && counting.load(std::memory_order_relaxed)) held -= static_cast<long>(malloc_usable_size(p));
}

void* allocate(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  count_in(p);
  return p;
}

void release(void* p) noexcept {
  count_out(p);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace penstock::testing {
namespace {

// The most heap held at once while the text loads, per unknown of the model.
double bytes_per_unknown(const std::string& text) {
  const std::filesystem::path file = write_model(text);
  held = 0;
  most = 0;
  counting = true;
  size_t unknowns = 0;
  {
    const sim::Model model = sim::load_model(file, catalogue());
    unknowns = model.system->size();
  }
  counting = false;
  return static_cast<double>(most.load()) / static_cast<double>(unknowns);
}

const char* const kHead = R"(fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 100 m}}
)";
const char* const kTail = R"(  valve: {type: Orifice, parameters: {Din: 0.5 m}}
signals: {valve.Kv: 0.02}
run: {stop: 1 s, output: 0.1 s}
)";

TEST(Scale, AChainTakesAFewHundredBytesAnUnknown) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  const std::string text =
      std::string(kHead) +
      "  line: {type: Pipe, count: 4000, parameters: {dx: 1 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}\n" + kTail +
      "connections: [[lake.B, ref], [lake.A, line.A], [line.B, valve.A], [valve.B, ref]]\n";
  const double bytes = bytes_per_unknown(text);
  RecordProperty("bytes_per_unknown", std::to_string(bytes));
  EXPECT_LT(bytes, 700) << bytes << " bytes per unknown";
}

TEST(Scale, SeparateComponentsTakeAFewHundredBytesAnUnknown) {
  PENSTOCK_REQUIRE_COMPONENTS("Headwater", "Pipe", "Orifice");
  constexpr int kSections = 2000;
  std::string text = kHead;
  for (int k = 0; k < kSections; ++k)
    text +=
        "  p" + std::to_string(k) + ": {type: Pipe, parameters: {dx: 1 m, Din: 0.5 m, lambda: 0.02, a: 1200 m/s}}\n";
  text += kTail;
  text += "connections:\n  - [lake.B, ref]\n  - [lake.A, p0.A]\n";
  for (int k = 0; k + 1 < kSections; ++k)
    text += "  - [p" + std::to_string(k) + ".B, p" + std::to_string(k + 1) + ".A]\n";
  text += "  - [p" + std::to_string(kSections - 1) + ".B, valve.A]\n  - [valve.B, ref]\n";
  const double bytes = bytes_per_unknown(text);
  RecordProperty("bytes_per_unknown", std::to_string(bytes));
  // The model file's own parsed tree is held while the model loads: a line of text per section.
  EXPECT_LT(bytes, 1300) << bytes << " bytes per unknown";
}

}  // namespace
}  // namespace penstock::testing

#endif
