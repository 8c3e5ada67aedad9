#include "base/PixelMemory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>

namespace orlu {

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kSmallAlign = 64;
std::atomic<int> gFailNext{0};
}  // namespace

void* AllocPixelBlock(std::size_t bytes) noexcept {
  int pending = gFailNext.load(std::memory_order_relaxed);
  while (pending > 0) {
    if (gFailNext.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  if (bytes == 0) bytes = 1;
  const std::size_t align = bytes >= kHugePage ? kHugePage : kSmallAlign;
  if (bytes > static_cast<std::size_t>(-1) - align) return nullptr;
  const std::size_t rounded = (bytes + align - 1) / align * align;  // aligned_alloc wants a multiple
  void* p = std::aligned_alloc(align, rounded);
  if (p && align == kHugePage) madvise(p, rounded, MADV_HUGEPAGE);  // advice only; failure is harmless
  return p;
}

void FreePixelBlock(void* p) noexcept { std::free(p); }

void FailNextPixelAllocations(int n) noexcept { gFailNext.store(n < 0 ? 0 : n); }

}  // namespace orlu
