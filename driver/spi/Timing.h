// Time-stamp-counter frequency, microsecond delays and the cache flush of a
// flash range. All timing comes from the TSC and the P-state definitions.
#pragma once

#include "platform/Uefi.h"

extern UINT64 mTscFrequency;

constexpr UINT32 CPUID_VERSION_INFO = 1;
constexpr UINT32 CPUID_EXTENDED_SIGNATURE = 0x80000001;
constexpr UINT32 MSR_PSTATE_DEFINITION_0 = 0xC0010064; // P-state 0; P-states 1..7 follow
constexpr UINT32 PSTATE_DEFINITION_COUNT = 8;
constexpr UINT64 PSTATE_ENABLED = 1ULL << 63;
// Returned, and not stored, when no P-state is enabled.
constexpr UINT64 TSC_FREQUENCY_FALLBACK = 256;
constexpr UINT32 CPUID_EDX_CLFLUSH = 1U << 19;

UINT64 GetTscFrequency();
UINT64 DelayMicroseconds(UINT64 Microseconds);
UINT64 FlushFlashCacheRange(UINT64 Address, UINT64 Length);
