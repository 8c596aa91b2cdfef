// Driver entry, the ordered start-up sequence, its teardown, and the pool layer.
#pragma once

#include "platform/Protocols.h"
#include "platform/Uefi.h"

extern EFI_SYSTEM_TABLE *mSystemTable;
extern EFI_BOOT_SERVICES *mBootServices;
extern EFI_SMM_SYSTEM_TABLE2 *mSmst;
extern EFI_STATUS mEntryStatus;
extern UINT8 mDiagnosticsEnabled;
extern EFI_SMRAM_DESCRIPTOR *mSmramDescriptors;
extern UINT64 mSmramDescriptorCount;
extern SMM_BUFFER_VALIDATION_PROTOCOL *mBufferValidation;

extern "C" EFI_STATUS EFIAPI FlashSmmDriverEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

// Runs the start-up sequence. Returns 0, or the error of a step without which
// the driver cannot work at all (no SMM system table, no SMRAM map); the
// sequence stops at such a step and the entry fails with that status.
EFI_STATUS InitializeDriverEnvironment(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);
VOID ReleaseDriverEnvironment();

VOID *AllocateDriverPool(UINTN Size);
VOID FreeDriverPool(VOID *Buffer);
BOOLEAN IsInsideSmram(UINT64 Address);
