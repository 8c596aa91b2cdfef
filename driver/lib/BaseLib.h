// Small copy and fill routines of the freestanding driver, and the accessors
// for memory that a caller outside SMM owns.
#pragma once

#include "platform/Uefi.h"

VOID CopyMem(VOID *Destination, const VOID *Source, UINTN Length);
VOID SetMem(VOID *Buffer, UINTN Length, UINT8 Value);
inline VOID ZeroMem(VOID *Buffer, UINTN Length) { SetMem(Buffer, Length, 0); }

// Caller memory can change under the driver while it runs (another processor,
// a device). Each field is read exactly once, through a volatile access, into
// SMRAM; decisions are made on that copy only.
template <typename T> inline T ReadCallerField(UINT64 Address) { return *reinterpret_cast<volatile const T *>(Address); }
template <typename T> inline VOID WriteCallerField(UINT64 Address, T Value) {
  *reinterpret_cast<volatile T *>(Address) = Value;
}
