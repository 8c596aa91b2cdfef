#include "spi/Timing.h"

#include "platform/Access.h"

UINT64 mTscFrequency = 0;

namespace {

// Family 0x1A and later define P-states with a 12-bit frequency ID in 5 MHz
// steps; earlier families with an 8-bit FID and a divisor ID.
constexpr UINT32 BASE_FAMILY_EXTENDED = 0xF;
constexpr UINT32 NEWER_PSTATE_EXTENDED_FAMILY = 0x0B;
constexpr UINT32 NEWER_FID_MHZ = 5;
constexpr UINT64 NEWER_FID_MASK = 0xFFF;
constexpr UINT32 OLDER_FID_STEP_MHZ = 200;
constexpr UINT32 OLDER_FID_FALLBACK_MHZ = 25;
constexpr UINT32 OLDER_DID_MIN = 0x08;
constexpr UINT32 OLDER_DID_MAX = 0x3C;
constexpr UINT64 HZ_PER_MHZ = 1000000;
constexpr UINT64 MICROSECONDS_PER_SECOND = 1000000;

BOOLEAN UsesNewerPStateFormat() {
  UINT32 Signature = 0;
  AsmCpuid(CPUID_EXTENDED_SIGNATURE, &Signature, nullptr, nullptr, nullptr);
  const UINT32 BaseFamily = (Signature >> 8) & 0xF;
  const UINT32 ExtendedFamily = (Signature >> 20) & 0xFF;
  return BaseFamily == BASE_FAMILY_EXTENDED && ExtendedFamily >= NEWER_PSTATE_EXTENDED_FAMILY;
}

UINT32 CoreMhz(UINT64 Definition, BOOLEAN Newer) {
  if (Newer) {
    return static_cast<UINT32>(Definition & NEWER_FID_MASK) * NEWER_FID_MHZ;
  }
  const UINT32 Fid = static_cast<UINT32>(Definition & 0xFF);
  const UINT32 Did = static_cast<UINT32>((Definition >> 8) & 0x3F);
  if (Did == 0) {
    return 0;
  }
  if (Did >= OLDER_DID_MIN && Did <= OLDER_DID_MAX) {
    return Fid * OLDER_FID_STEP_MHZ / Did;
  }
  return Fid * OLDER_FID_FALLBACK_MHZ;
}

} // namespace

UINT64 GetTscFrequency() {
  if (mTscFrequency != 0) {
    return mTscFrequency;
  }
  const BOOLEAN Newer = UsesNewerPStateFormat();
  for (UINT32 Index = 0; Index < PSTATE_DEFINITION_COUNT; Index++) {
    const UINT64 Definition = AsmReadMsr64(MSR_PSTATE_DEFINITION_0 + Index);
    if ((Definition & PSTATE_ENABLED) != 0) {
      mTscFrequency = static_cast<UINT64>(CoreMhz(Definition, Newer)) * HZ_PER_MHZ;
      return mTscFrequency;
    }
  }
  return TSC_FREQUENCY_FALLBACK;
}

UINT64 DelayMicroseconds(UINT64 Microseconds) {
  const UINT64 Frequency = GetTscFrequency();
  const UINT64 Ticks = Microseconds * Frequency / MICROSECONDS_PER_SECOND;
  const UINT64 Target = AsmReadTsc() + Ticks;
  while (AsmReadTsc() <= Target) {
    CpuPause();
  }
  return Microseconds;
}

UINT64 FlushFlashCacheRange(UINT64 Address, UINT64 Length) {
  if (Length == 0) {
    return Address;
  }
  UINT32 Ebx = 0;
  UINT32 Edx = 0;
  AsmCpuid(CPUID_VERSION_INFO, nullptr, &Ebx, nullptr, &Edx);
  if ((Edx & CPUID_EDX_CLFLUSH) == 0) {
    AsmWbinvd();
    return Address;
  }
  const UINT64 LineSize = static_cast<UINT64>((Ebx >> 8) & 0xFF) * 8;
  if (LineSize == 0) {
    // A processor that reports CLFLUSH with no line size: the line walk would
    // never advance, so write back everything instead.
    AsmWbinvd();
    return Address;
  }
  const UINT64 Start = Address - Address % LineSize;
  const UINT64 Last = Address + Length - 1 + LineSize;
  const UINT64 End = Last - Last % LineSize;
  UINT64 Line = Start;
  do {
    AsmFlushCacheLine(Line);
    Line += LineSize;
  } while (Line != End);
  return Address;
}
