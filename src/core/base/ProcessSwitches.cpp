#include "base/ProcessSwitches.h"

#include <atomic>

namespace orlu {

namespace {
std::atomic<bool> gPermitSSE{true};
std::atomic<bool> gPermitMT{true};
}  // namespace

bool CpuHasSSE2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("sse") && __builtin_cpu_supports("sse2");
#else
  return false;
#endif
}

void SetPermitSSE(bool on) noexcept { gPermitSSE.store(on, std::memory_order_relaxed); }
bool UseVectorCode() noexcept { return gPermitSSE.load(std::memory_order_relaxed) && CpuHasSSE2(); }

void SetPermitMT(bool on) noexcept { gPermitMT.store(on, std::memory_order_relaxed); }
bool PermitMultithreading() noexcept { return gPermitMT.load(std::memory_order_relaxed); }

}  // namespace orlu
