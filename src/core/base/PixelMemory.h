// The one allocator for large pixel blocks (planes, masks, scratch buffers).
//
// Fresh memory costs a page fault per 4 KiB on first touch, which dominates simple
// operations on big images. Blocks of 2 MiB and more are therefore 2 MiB-aligned and
// advised as transparent huge pages; smaller blocks are 64-byte aligned.
#pragma once

#include <cstddef>
#include <memory>

namespace orlu {

// Returns nullptr on failure (never throws). The block is uninitialised.
void* AllocPixelBlock(std::size_t bytes) noexcept;
// Frees a block from AllocPixelBlock; nullptr is ignored.
void FreePixelBlock(void* p) noexcept;

struct PixelBlockDeleter {
  void operator()(void* p) const noexcept { FreePixelBlock(p); }
};
template <class T>
using PixelBlockPtr = std::unique_ptr<T[], PixelBlockDeleter>;

// Typed convenience: count elements of T, nullptr on failure or overflow.
template <class T>
PixelBlockPtr<T> AllocPixels(std::size_t count) noexcept {
  if (count > static_cast<std::size_t>(-1) / sizeof(T)) return PixelBlockPtr<T>();
  return PixelBlockPtr<T>(static_cast<T*>(AllocPixelBlock(count * sizeof(T))));
}

// Test hook: the next n calls of AllocPixelBlock fail. 0 clears it.
void FailNextPixelAllocations(int n) noexcept;

}  // namespace orlu
