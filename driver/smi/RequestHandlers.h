// The five request handlers and their wire layouts (little-endian, offsets
// from the start of the caller's request buffer).
#pragma once

#include "platform/Uefi.h"
#include "smi/SmiDispatch.h"

constexpr UINT64 FLASH_INFO_DONE_MARKER = 0x5AA5AA55;
constexpr UINT32 FLASH_INFO_DEFAULT_FLASH_SIZE = 0x02000000;
constexpr UINT32 FLASH_INFO_BLOCK_SIZE = 4096;
constexpr UINT32 FLASH_INFO_NAME_SIGNATURE = SignatureOf("$FPS");
constexpr UINT32 FLASH_PART_NAME_SIZE = 48;
static_assert(FLASH_INFO_NAME_SIGNATURE == 0x53504624);

// "$BDR" 0.
struct FLASH_INFO_REQUEST {
  FLASH_SMI_REQUEST Header;
  UINT32 DefaultFlashSize;
  UINT32 BlockSize;
  UINT32 FlashSize;
  UINT32 Reserved;
  UINT32 NameSignature;
  UINT32 NameLength;
  UINT8 PartName[FLASH_PART_NAME_SIZE];
};
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, Header.Status) == 0x08);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, DefaultFlashSize) == 0x10);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, BlockSize) == 0x14);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, FlashSize) == 0x18);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, Reserved) == 0x1C);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, NameSignature) == 0x20);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, NameLength) == 0x24);
static_assert(OFFSET_OF(FLASH_INFO_REQUEST, PartName) == 0x28);
static_assert(sizeof(FLASH_INFO_REQUEST) == 88);

// "$GB1" 17, 18, 19.
struct FORWARD_REQUEST {
  FLASH_SMI_REQUEST Header;
  UINT32 DataAddress;
};
static_assert(OFFSET_OF(FORWARD_REQUEST, Header.Status) == 0x08);
static_assert(OFFSET_OF(FORWARD_REQUEST, DataAddress) == 0x10);

// "$RCH" 1. Bytes 0x10 to 0x17 are not read.
struct SET_BYTE_REQUEST {
  FLASH_SMI_REQUEST Header;
  UINT8 Unused[8];
  UINT32 ByteAddress;
};
static_assert(OFFSET_OF(SET_BYTE_REQUEST, Header.Status) == 0x08);
static_assert(OFFSET_OF(SET_BYTE_REQUEST, ByteAddress) == 0x18);

// Sizes of the data blocks handed to the forwarded service, and its slots.
constexpr UINT64 FORWARD_17_DATA_SIZE = 259;
constexpr UINT64 FORWARD_18_DATA_SIZE = 36;
constexpr UINT64 FORWARD_19_DATA_SIZE = 24;

EFI_STATUS HandleFlashInfoRequest(UINT64 Request);
EFI_STATUS HandleForwardRequest17(UINT64 Request);
EFI_STATUS HandleForwardRequest18(UINT64 Request);
EFI_STATUS HandleForwardRequest19(UINT64 Request);
EFI_STATUS HandleSetByteRequest(UINT64 Request);
