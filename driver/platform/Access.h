// Hardware access primitives. One declaration, two instances chosen at link
// time: platform/x64 (the instructions themselves, for the image) and the
// simulator (for the host). Every call is exactly one access of the stated
// width; none is merged, repeated or left out.
#pragma once

#include "Uefi.h"

UINT8 MmioRead8(UINT64 Address);
UINT16 MmioRead16(UINT64 Address);
UINT32 MmioRead32(UINT64 Address);
VOID MmioWrite8(UINT64 Address, UINT8 Value);
VOID MmioWrite16(UINT64 Address, UINT16 Value);
VOID MmioWrite32(UINT64 Address, UINT32 Value);

UINT8 IoRead8(UINT16 Port);
UINT16 IoRead16(UINT16 Port);
UINT32 IoRead32(UINT16 Port);
VOID IoWrite8(UINT16 Port, UINT8 Value);
VOID IoWrite16(UINT16 Port, UINT16 Value);
VOID IoWrite32(UINT16 Port, UINT32 Value);

// CPUID of Leaf (subleaf 0). A null pointer skips that register. Returns Leaf.
UINT32 AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx);
UINT64 AsmReadMsr64(UINT32 Index);
UINT64 AsmReadTsc();
VOID CpuPause();
VOID AsmWbinvd();
// Flushes the cache line holding Address; returns Address.
UINT64 AsmFlushCacheLine(UINT64 Address);
VOID AsmMfence();
// CPUID with EAX = 0xBACCD00B, EBX = 2, SI = 0; returns SI afterwards. A real
// processor leaves SI alone (0); a simulation environment answering the leaf
// makes it nonzero. Preserves flags and RBX, RCX, RDX, RSI.
UINT16 CpuidBackdoorQuery();
