#include "smi/SmiDispatch.h"

#include "entry/DriverEntry.h"
#include "lib/BaseLib.h"
#include "smi/RequestHandlers.h"

EFI_SMM_CPU_PROTOCOL *mSmmCpu = nullptr;
FORWARDED_SERVICE_PROTOCOL *mForwardedService = nullptr;

const SMI_REQUEST_HANDLER mSmiRequestHandlers[SMI_REQUEST_HANDLER_COUNT] = {
    {FLASH_INFO_SIGNATURE, 0, HandleFlashInfoRequest},
    {FORWARD_SIGNATURE, 17, HandleForwardRequest17},
    {FORWARD_SIGNATURE, 18, HandleForwardRequest18},
    {FORWARD_SIGNATURE, 19, HandleForwardRequest19},
    {SET_BYTE_SIGNATURE, 1, HandleSetByteRequest},
};

namespace {

// A lookup that reports success but hands back no interface counts as not
// found: nothing is ever called through a null protocol.
EFI_STATUS SmmLocate(const EFI_GUID &Guid, VOID **Interface) {
  VOID *Found = nullptr;
  EFI_STATUS Status = mSmst->SmmLocateProtocol(const_cast<EFI_GUID *>(&Guid), nullptr, &Found);
  if (EfiError(Status)) {
    return Status;
  }
  if (Found == nullptr) {
    return EFI_NOT_FOUND;
  }
  *Interface = Found;
  return Status;
}

UINT32 ReadSavedRegisterLow(UINTN CpuIndex, EFI_SMM_SAVE_STATE_REGISTER Register) {
  UINT32 Value = 0;
  mSmmCpu->ReadSaveState(mSmmCpu, sizeof(Value), Register, CpuIndex, &Value);
  return Value;
}

} // namespace

EFI_STATUS RegisterFlashSmiHandler() {
  EFI_SMM_SW_DISPATCH2_PROTOCOL *SwDispatch = nullptr;
  EFI_STATUS Status = SmmLocate(EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID, reinterpret_cast<VOID **>(&SwDispatch));
  if (EfiError(Status)) {
    return Status;
  }
  Status = SmmLocate(EFI_SMM_CPU_PROTOCOL_GUID, reinterpret_cast<VOID **>(&mSmmCpu));
  if (EfiError(Status)) {
    return Status;
  }
  EFI_SMM_SW_REGISTER_CONTEXT RegisterContext = {FLASH_SW_SMI_VALUE};
  EFI_HANDLE DispatchHandle = nullptr;
  Status = SwDispatch->Register(SwDispatch, FlashSmiHandler, &RegisterContext, &DispatchHandle);
  if (EfiError(Status)) {
    return Status;
  }
  Status = SmmLocate(FORWARDED_SERVICE_PROTOCOL_GUID, reinterpret_cast<VOID **>(&mForwardedService));
  if (!EfiError(Status)) {
    return Status;
  }
  VOID *Registration = nullptr;
  Status = mSmst->SmmRegisterProtocolNotify(&FORWARDED_SERVICE_PROTOCOL_GUID, ForwardedServiceNotify, &Registration);
  if (EfiError(Status)) {
    // A driver that reports failure leaves no handler behind that could run
    // against a torn-down environment.
    SwDispatch->UnRegister(SwDispatch, DispatchHandle);
  }
  return Status;
}

EFI_STATUS EFIAPI ForwardedServiceNotify(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle) {
  (VOID) Protocol;
  (VOID) Interface;
  (VOID) Handle;
  return SmmLocate(FORWARDED_SERVICE_PROTOCOL_GUID, reinterpret_cast<VOID **>(&mForwardedService));
}

EFI_STATUS EFIAPI FlashSmiHandler(IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                  IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL) {
  (VOID) DispatchHandle;
  (VOID) Context;
  if (CommBuffer == nullptr || CommBufferSize == nullptr) {
    return EFI_SUCCESS;
  }
  const auto *SwContext = static_cast<const EFI_SMM_SW_CONTEXT *>(CommBuffer);
  const UINTN CpuIndex = SwContext->SwSmiCpuIndex;
  if (CpuIndex == SMM_CPU_INDEX_NONE || SwContext->CommandPort != FLASH_SW_SMI_VALUE) {
    return EFI_SUCCESS;
  }
  // RBX carries the low half of the request address, RCX the high half; the
  // upper halves of both registers play no part.
  const UINT64 Low = ReadSavedRegisterLow(CpuIndex, EFI_SMM_SAVE_STATE_REGISTER_RBX);
  const UINT64 High = ReadSavedRegisterLow(CpuIndex, EFI_SMM_SAVE_STATE_REGISTER_RCX);
  const UINT64 Request = High << 32 | Low;

  if (mBufferValidation == nullptr) {
    return EFI_ACCESS_DENIED;
  }
  EFI_STATUS Status = mBufferValidation->ValidateBuffer(Request, FLASH_SMI_VALIDATED_SIZE);
  if (EfiError(Status)) {
    return Status;
  }
  const UINT32 Signature = ReadCallerField<UINT32>(Request + OFFSET_OF(FLASH_SMI_REQUEST, Signature));
  const UINT32 Function = ReadCallerField<UINT32>(Request + OFFSET_OF(FLASH_SMI_REQUEST, Function));
  WriteCallerField<UINT64>(Request + OFFSET_OF(FLASH_SMI_REQUEST, Status), EFI_UNSUPPORTED);

  for (const SMI_REQUEST_HANDLER &Entry : mSmiRequestHandlers) {
    if (Entry.Signature == Signature && Entry.Function == Function) {
      return Entry.Handler(Request);
    }
  }
  return EFI_UNSUPPORTED;
}
