#include "smi/RequestHandlers.h"

#include "entry/DriverEntry.h"
#include "flash/FlashOps.h"
#include "flash/Identify.h"
#include "lib/BaseLib.h"

namespace {

template <typename T> VOID WriteField(UINT64 Request, UINT64 Offset, T Value) {
  WriteCallerField<T>(Request + Offset, Value);
}

VOID WriteStatus(UINT64 Request, EFI_STATUS Status) {
  WriteField<UINT64>(Request, OFFSET_OF(FLASH_SMI_REQUEST, Status), Status);
}

// The common path of the three "$GB1" functions: validate the caller's data
// block, hand its address to one slot of the forwarded service.
EFI_STATUS ForwardRequest(UINT64 Request, UINT64 DataSize, UINTN Slot) {
  if (mBufferValidation == nullptr) {
    return EFI_ACCESS_DENIED;
  }
  const UINT64 DataAddress = ReadCallerField<UINT32>(Request + OFFSET_OF(FORWARD_REQUEST, DataAddress));
  EFI_STATUS Status = mBufferValidation->ValidateBuffer(DataAddress, DataSize);
  if (EfiError(Status)) {
    return Status;
  }
  // The service may not be installed yet; its notification picks it up later.
  if (mForwardedService == nullptr) {
    WriteStatus(Request, EFI_NOT_READY);
    return EFI_NOT_READY;
  }
  Status = mForwardedService->Slot[Slot](DataAddress);
  WriteStatus(Request, Status);
  return Status;
}

} // namespace

EFI_STATUS HandleFlashInfoRequest(UINT64 Request) {
  // The dispatcher vouched for the first 32 bytes only; the reply reaches
  // byte 87, so the whole reply must be the caller's to write.
  if (mBufferValidation == nullptr) {
    return EFI_ACCESS_DENIED;
  }
  EFI_STATUS Validation = mBufferValidation->ValidateBuffer(Request, sizeof(FLASH_INFO_REQUEST));
  if (EfiError(Validation)) {
    return Validation;
  }
  WriteField<UINT32>(Request, OFFSET_OF(FLASH_INFO_REQUEST, DefaultFlashSize), FLASH_INFO_DEFAULT_FLASH_SIZE);
  WriteField<UINT32>(Request, OFFSET_OF(FLASH_INFO_REQUEST, BlockSize), FLASH_INFO_BLOCK_SIZE);
  IdentifyFlashDevice();
  WriteField<UINT32>(Request, OFFSET_OF(FLASH_INFO_REQUEST, FlashSize), mFlashSize);
  if (mFlashDevice == nullptr) {
    ZeroMem(mFlashPartName, sizeof(mFlashPartName));
    IdentifyFlashDevice();
  }
  if (mFlashDevice != nullptr && mFlashDevice->Name != nullptr) {
    WriteField<UINT32>(Request, OFFSET_OF(FLASH_INFO_REQUEST, NameSignature), FLASH_INFO_NAME_SIGNATURE);
    WriteField<UINT32>(Request, OFFSET_OF(FLASH_INFO_REQUEST, NameLength), FLASH_PART_NAME_SIZE);
    for (UINT32 Index = 0; Index < FLASH_PART_NAME_SIZE; Index++) {
      WriteField<UINT8>(Request, OFFSET_OF(FLASH_INFO_REQUEST, PartName) + Index,
                        static_cast<UINT8>(mFlashDevice->Name[Index]));
    }
  }
  WriteStatus(Request, FLASH_INFO_DONE_MARKER);
  return EFI_SUCCESS;
}

EFI_STATUS HandleForwardRequest17(UINT64 Request) { return ForwardRequest(Request, FORWARD_17_DATA_SIZE, 1); }
EFI_STATUS HandleForwardRequest18(UINT64 Request) { return ForwardRequest(Request, FORWARD_18_DATA_SIZE, 2); }
EFI_STATUS HandleForwardRequest19(UINT64 Request) { return ForwardRequest(Request, FORWARD_19_DATA_SIZE, 0); }

EFI_STATUS HandleSetByteRequest(UINT64 Request) {
  if (mBufferValidation == nullptr) {
    return EFI_ACCESS_DENIED;
  }
  const UINT64 ByteAddress = ReadCallerField<UINT32>(Request + OFFSET_OF(SET_BYTE_REQUEST, ByteAddress));
  EFI_STATUS Validation = mBufferValidation->ValidateBuffer(ByteAddress, 1);
  if (EfiError(Validation)) {
    return Validation;
  }
  WriteCallerField<UINT8>(ByteAddress, 1);
  WriteStatus(Request, Validation);
  return EFI_SUCCESS;
}
