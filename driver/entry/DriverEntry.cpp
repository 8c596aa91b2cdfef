#include "entry/DriverEntry.h"

#include "flash/Identify.h"
#include "smi/SmiDispatch.h"
#include "spi/FlashWindows.h"
#include "spi/SpiEngine.h"

EFI_SYSTEM_TABLE *mSystemTable = nullptr;
EFI_BOOT_SERVICES *mBootServices = nullptr;
EFI_SMM_SYSTEM_TABLE2 *mSmst = nullptr;
EFI_STATUS mEntryStatus = EFI_SUCCESS;
UINT8 mDiagnosticsEnabled = 0;
EFI_SMRAM_DESCRIPTOR *mSmramDescriptors = nullptr;
UINT64 mSmramDescriptorCount = 0;
SMM_BUFFER_VALIDATION_PROTOCOL *mBufferValidation = nullptr;

namespace {

constexpr UINT64 SMRAM_DESCRIPTOR_SIZE = sizeof(EFI_SMRAM_DESCRIPTOR);

EFI_STATUS LocateSmst() {
  EFI_SMM_BASE2_PROTOCOL *SmmBase = nullptr;
  EFI_STATUS Status =
      mBootServices->LocateProtocol(const_cast<EFI_GUID *>(&EFI_SMM_BASE2_PROTOCOL_GUID), nullptr,
                                    reinterpret_cast<VOID **>(&SmmBase));
  if (EfiError(Status)) {
    return Status;
  }
  if (SmmBase == nullptr) {
    return EFI_NOT_FOUND;
  }
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  Status = SmmBase->GetSmstLocation(SmmBase, &Smst);
  if (EfiError(Status)) {
    return Status;
  }
  if (Smst == nullptr) {
    return EFI_NOT_FOUND;
  }
  mSmst = Smst;
  return EFI_SUCCESS;
}

BOOLEAN ProtocolPresent(const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  return !EfiError(mBootServices->LocateProtocol(const_cast<EFI_GUID *>(&Guid), nullptr, &Interface));
}

VOID SettleDiagnosticsFlag() {
  mDiagnosticsEnabled = 0;
  if (ProtocolPresent(PCD_PROTOCOL_GUID) && ProtocolPresent(EFI_PCD_PROTOCOL_GUID)) {
    mDiagnosticsEnabled = 1;
  }
}

// The SMRAM map through the PI size query: the first call learns the size,
// the second fills a pool buffer of that size.
EFI_STATUS RecordSmramMap() {
  EFI_SMM_ACCESS2_PROTOCOL *SmmAccess = nullptr;
  EFI_STATUS Status =
      mBootServices->LocateProtocol(const_cast<EFI_GUID *>(&EFI_SMM_ACCESS2_PROTOCOL_GUID), nullptr,
                                    reinterpret_cast<VOID **>(&SmmAccess));
  if (EfiError(Status)) {
    return Status;
  }
  if (SmmAccess == nullptr) {
    return EFI_NOT_FOUND;
  }
  UINTN Size = 0;
  SmmAccess->GetCapabilities(SmmAccess, &Size, nullptr);
  if (Size < SMRAM_DESCRIPTOR_SIZE) {
    return EFI_NOT_FOUND;
  }
  auto *Descriptors = static_cast<EFI_SMRAM_DESCRIPTOR *>(AllocateDriverPool(Size));
  if (Descriptors == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  UINTN Filled = Size;
  Status = SmmAccess->GetCapabilities(SmmAccess, &Filled, Descriptors);
  if (EfiError(Status) || Filled > Size) {
    // The buffer holds no trustworthy map, so nothing can tell SMRAM from
    // other memory; give it back the only way that cannot misroute it.
    mSmst->SmmFreePool(Descriptors);
    return EfiError(Status) ? Status : EFI_DEVICE_ERROR;
  }
  mSmramDescriptors = Descriptors;
  mSmramDescriptorCount = Filled / SMRAM_DESCRIPTOR_SIZE;
  return EFI_SUCCESS;
}

VOID LocateBufferValidation() {
  SMM_BUFFER_VALIDATION_PROTOCOL *Validation = nullptr;
  EFI_STATUS Status = mSmst->SmmLocateProtocol(const_cast<EFI_GUID *>(&SMM_BUFFER_VALIDATION_PROTOCOL_GUID), nullptr,
                                               reinterpret_cast<VOID **>(&Validation));
  mBufferValidation = EfiError(Status) ? nullptr : Validation;
}

} // namespace

EFI_STATUS InitializeDriverEnvironment(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  if (SystemTable == nullptr || SystemTable->BootServices == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // 1. Service tables.
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  // 2. The SMM system table: every SMM service call goes through it.
  EFI_STATUS Status = LocateSmst();
  if (EfiError(Status)) {
    return Status;
  }
  // 3. Fatal codes are displayed only when both PCD protocols are present.
  SettleDiagnosticsFlag();
  // 4. The SMRAM map, before anything is freed through FreeDriverPool.
  Status = RecordSmramMap();
  if (EfiError(Status)) {
    return Status;
  }
  // 8. PCI Express window, SPI register snapshot, ROM2 window.
  SetUpFlashWindows();
  // 9. ROM3 window.
  DetectRom3Window();
  // 10. The SPI mailbox, or a notification waiting for it.
  LocateSpiMailbox();
  // 12. Identify the flash chip.
  IdentifyFlashDevice();
  // 13. The buffer-validation protocol, looked up once.
  LocateBufferValidation();
  return EFI_SUCCESS;
}

VOID ReleaseDriverEnvironment() {
  if (mSmramDescriptors != nullptr) {
    FreeDriverPool(mSmramDescriptors);
  }
}

extern "C" EFI_STATUS EFIAPI FlashSmmDriverEntry(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  EFI_STATUS EnvironmentStatus = InitializeDriverEnvironment(ImageHandle, SystemTable);
  mEntryStatus = EFI_LOAD_ERROR;
  EFI_STATUS Status = EfiError(EnvironmentStatus) ? EnvironmentStatus : RegisterFlashSmiHandler();
  if (!(EfiError(Status) && !EfiError(mEntryStatus))) {
    mEntryStatus = Status;
  }
  if (EfiError(mEntryStatus)) {
    ReleaseDriverEnvironment();
  }
  return mEntryStatus;
}

VOID *AllocateDriverPool(UINTN Size) {
  VOID *Buffer = nullptr;
  if (EfiError(mSmst->SmmAllocatePool(EfiRuntimeServicesData, Size, &Buffer))) {
    return nullptr;
  }
  return Buffer;
}

VOID FreeDriverPool(VOID *Buffer) {
  if (IsInsideSmram(reinterpret_cast<UINT64>(Buffer))) {
    mSmst->SmmFreePool(Buffer);
  } else {
    mBootServices->FreePool(Buffer);
  }
}

BOOLEAN IsInsideSmram(UINT64 Address) {
  for (UINT64 Index = 0; Index < mSmramDescriptorCount; Index++) {
    const EFI_SMRAM_DESCRIPTOR &Range = mSmramDescriptors[Index];
    if (Range.CpuStart <= Address && Address - Range.CpuStart < Range.PhysicalSize) {
      return 1;
    }
  }
  return 0;
}
