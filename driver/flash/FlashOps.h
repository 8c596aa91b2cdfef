// The flash operations record, the command sets and the chip state: all that
// the driver knows about the flash chip.
#pragma once

#include "platform/Uefi.h"

// Slot shapes. A success flag is 1 or 0.
typedef VOID (*FLASH_READ)(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress);
typedef UINT8 (*FLASH_ERASE_BLOCK)(UINT64 Address);
typedef EFI_STATUS (*FLASH_ERASE)(UINT64 Address, UINT32 ByteCount, UINT8 IsMemoryAddress);
typedef UINT8 (*FLASH_PROGRAM)(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress);
typedef VOID (*FLASH_CLEAR_PROTECTION)(UINT64 Unused0, UINT64 Unused1, UINT64 InitialStatus);
typedef VOID (*FLASH_NO_OPERATION)();
typedef VOID (*FLASH_WRITE_GATE)();
typedef UINT8 (*FLASH_GET_BLOCK_INFO)(UINT32 **BlockSizes, UINT32 *Count);
typedef EFI_STATUS (*FLASH_CONVERT_POINTERS)(EFI_RUNTIME_SERVICES *RuntimeServices);

#pragma pack(push, 1)
struct SPI_OPCODE_ENTRY {
  UINT8 Opcode;
  UINT8 Type; // transfer-type code kept with the opcode; commands are built from Opcode alone
};

struct SPI_OPCODE_SET {
  SPI_OPCODE_ENTRY ProgramOp;
  SPI_OPCODE_ENTRY ReadOp;
  SPI_OPCODE_ENTRY SectorEraseOp;
  SPI_OPCODE_ENTRY BlockEraseOp; // 0xFF: no usable 64 KiB block erase
  SPI_OPCODE_ENTRY ReadStatusOp;
  SPI_OPCODE_ENTRY ReadIdOp;
  SPI_OPCODE_ENTRY WriteStatusOp;
  SPI_OPCODE_ENTRY EnableWriteStatusOp; // 0x00: none
  SPI_OPCODE_ENTRY WriteEnableOp;
  UINT32 PageSize;
  UINT32 SectorSize;
};
#pragma pack(pop)
static_assert(sizeof(SPI_OPCODE_ENTRY) == 2);
static_assert(sizeof(SPI_OPCODE_SET) == 26);
static_assert(OFFSET_OF(SPI_OPCODE_SET, PageSize) == 18);
static_assert(OFFSET_OF(SPI_OPCODE_SET, SectorSize) == 22);

constexpr UINT8 SPI_NO_BLOCK_ERASE = 0xFF;

typedef UINT8 (*FLASH_READ_ID)(SPI_OPCODE_SET *OpcodeSet, UINT32 *Id);

struct FLASH_DEVICE_OPS {
  FLASH_READ Read;
  FLASH_ERASE_BLOCK EraseBlock;
  FLASH_ERASE Erase;
  FLASH_PROGRAM Program;
  FLASH_CLEAR_PROTECTION ClearProtection;
  FLASH_NO_OPERATION NoOperation;
  FLASH_WRITE_GATE EnableDeviceWrite;
  FLASH_WRITE_GATE DisableDeviceWrite;
  FLASH_GET_BLOCK_INFO GetBlockInfo;
  FLASH_CONVERT_POINTERS ConvertPointers;
  UINT32 PageSize;  // 1: one byte per program command; otherwise page programming
  UINT32 BlockSize; // erase unit and alignment of Erase
  CHAR8 *Name;
  FLASH_READ_ID ReadId;
  UINT8 BlockEraseAllowed;
};

// Identification routine: recognises the chip, fills the chip state and
// stores &mFlashOps through Device; returns 1, or 0 having changed nothing.
typedef UINT8 (*FLASH_ID_ROUTINE)(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device);

constexpr UINT32 FLASH_PART_NAME_LENGTH = 48;
constexpr UINT32 FLASH_SIZE_AT_LOAD = 0x02000000;

extern FLASH_DEVICE_OPS mFlashOps;
extern SPI_OPCODE_SET mOpcodes;
extern UINT32 mFlashSize;
extern UINT32 mFlashId;  // manufacturer bits 0-7, memory type 8-15, capacity 16-23
extern UINT16 mFlashId16;
extern CHAR8 mFlashPartName[FLASH_PART_NAME_LENGTH];
extern FLASH_DEVICE_OPS *mFlashDevice;

extern SPI_OPCODE_SET mSst25VfOpcodeTemplate;
extern SPI_OPCODE_SET mJedecOpcodeTemplate;
extern SPI_OPCODE_SET mSst25LfOpcodeTemplate;

// The success steps of an identification, as a set of step bits in their
// numbered order; each routine names the steps it performs.
enum FLASH_SUCCESS_STEP : UINT32 {
  FlashStepCopyName = 1U << 1,
  FlashStepStoreDevice = 1U << 2,
  FlashStepCopyOpcodes = 1U << 3,
  FlashStepSetId = 1U << 4,
  FlashStepSetId16 = 1U << 5,
  FlashStepSetPageSize = 1U << 6,
  FlashStepSetBlockSize = 1U << 7,
  FlashStepSetNamePointer = 1U << 8,
  FlashStepAddressMode = 1U << 9,
};
constexpr UINT32 FLASH_STEPS_ALL = FlashStepCopyName | FlashStepStoreDevice | FlashStepCopyOpcodes | FlashStepSetId |
                                   FlashStepSetId16 | FlashStepSetPageSize | FlashStepSetBlockSize |
                                   FlashStepSetNamePointer | FlashStepAddressMode;
constexpr UINT32 FLASH_STEPS_NO_ADDRESS_MODE = FLASH_STEPS_ALL & ~FlashStepAddressMode;

struct FLASH_PART_NAME {
  const CHAR8 *Text;
  UINT32 Length; // characters copied; no terminator is written
};

// Performs the named success steps with the routine's template (null when the
// steps need none), the identity read, and the recognised name. Returns 1.
UINT8 CompleteFlashIdentification(const SPI_OPCODE_SET *Template, UINT32 Id, FLASH_PART_NAME Name,
                                  FLASH_DEVICE_OPS **Device, UINT32 Steps);

// The operations of the record. Those not built yet answer honestly that they
// did nothing: failure flags, EFI_UNSUPPORTED, counts left as they were.
VOID FlashRead(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress);
UINT8 FlashEraseBlock(UINT64 Address);
EFI_STATUS FlashErase(UINT64 Address, UINT32 ByteCount, UINT8 IsMemoryAddress);
UINT8 FlashProgram(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress);
VOID FlashClearProtection(UINT64 Unused0, UINT64 Unused1, UINT64 InitialStatus);
VOID FlashNoOperation();
VOID FlashEnableDeviceWrite();
VOID FlashDisableDeviceWrite();
UINT8 FlashGetBlockInfo(UINT32 **BlockSizes, UINT32 *Count);
EFI_STATUS FlashConvertPointers(EFI_RUNTIME_SERVICES *RuntimeServices);
