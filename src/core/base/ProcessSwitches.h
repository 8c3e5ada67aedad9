// Process-wide switches that the parallel and vector code consult. The settings object
// applies its PermitSSE and PermitMT options here once at start-up and when they change.
#pragma once

namespace orlu {

// The processor has SSE and SSE2.
bool CpuHasSSE2() noexcept;

void SetPermitSSE(bool on) noexcept;
// Vector code may run: permitted and supported by the processor.
bool UseVectorCode() noexcept;

void SetPermitMT(bool on) noexcept;
bool PermitMultithreading() noexcept;

}  // namespace orlu
