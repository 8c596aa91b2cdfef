// Software SMI 0x90: registration, the request header, and dispatch of a
// request to the handler that its signature and function select.
#pragma once

#include "platform/Protocols.h"
#include "platform/Uefi.h"

constexpr UINT8 FLASH_SW_SMI_VALUE = 0x90;
constexpr UINT64 FLASH_SMI_VALIDATED_SIZE = 32;
constexpr UINTN SMM_CPU_INDEX_NONE = ~static_cast<UINTN>(0);

constexpr UINT32 SignatureOf(const char (&Letters)[5]) {
  return static_cast<UINT32>(static_cast<UINT8>(Letters[0])) | static_cast<UINT32>(static_cast<UINT8>(Letters[1])) << 8 |
         static_cast<UINT32>(static_cast<UINT8>(Letters[2])) << 16 |
         static_cast<UINT32>(static_cast<UINT8>(Letters[3])) << 24;
}
constexpr UINT32 FLASH_INFO_SIGNATURE = SignatureOf("$BDR");
constexpr UINT32 FORWARD_SIGNATURE = SignatureOf("$GB1");
constexpr UINT32 SET_BYTE_SIGNATURE = SignatureOf("$RCH");
static_assert(FLASH_INFO_SIGNATURE == 0x52444224);
static_assert(FORWARD_SIGNATURE == 0x31424724);
static_assert(SET_BYTE_SIGNATURE == 0x48435224);

// The header at the start of every request buffer; little-endian wire format.
struct FLASH_SMI_REQUEST {
  UINT32 Signature;
  UINT32 Function;
  UINT64 Status;
};
static_assert(OFFSET_OF(FLASH_SMI_REQUEST, Signature) == 0x00);
static_assert(OFFSET_OF(FLASH_SMI_REQUEST, Function) == 0x04);
static_assert(OFFSET_OF(FLASH_SMI_REQUEST, Status) == 0x08);
static_assert(sizeof(FLASH_SMI_REQUEST) == 0x10);

// A handler receives the request address; the first FLASH_SMI_VALIDATED_SIZE
// bytes are validated and Status holds EFI_UNSUPPORTED.
typedef EFI_STATUS (*SMI_REQUEST_HANDLER_FN)(UINT64 Request);

struct SMI_REQUEST_HANDLER {
  UINT32 Signature;
  UINT32 Function;
  SMI_REQUEST_HANDLER_FN Handler;
};

constexpr UINTN SMI_REQUEST_HANDLER_COUNT = 5;
extern const SMI_REQUEST_HANDLER mSmiRequestHandlers[SMI_REQUEST_HANDLER_COUNT];

extern EFI_SMM_CPU_PROTOCOL *mSmmCpu;
extern FORWARDED_SERVICE_PROTOCOL *mForwardedService;

EFI_STATUS RegisterFlashSmiHandler();
EFI_STATUS EFIAPI FlashSmiHandler(IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                  IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL);
EFI_STATUS EFIAPI ForwardedServiceNotify(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle);
