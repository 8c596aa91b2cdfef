// The probe sequence: the list of identification routines, the
// read-identification command, the SST-family routines, the capacity rules and
// the addressing-mode step.
#pragma once

#include "flash/FlashOps.h"
#include "platform/Uefi.h"

constexpr UINT64 FLASH_PROBE_BASE_ADDRESS = 0xFE000000;
constexpr UINT8 FLASH_ID_BYTES = 3;
constexpr UINT8 SPI_OPCODE_READ_MANUFACTURER_DEVICE_ID = 0x90;
constexpr UINT8 FLASH_ID_90_ADDRESS_BYTES = 3;
constexpr UINT32 FLASH_FOUR_BYTE_BOUNDARY = 0x1000000;
constexpr UINT8 SPI_OPCODE_ENTER_FOUR_BYTE = 0xB7;
constexpr UINT8 SPI_OPCODE_EXIT_FOUR_BYTE = 0xE9;
constexpr UINT8 SPI_OPCODE_EXIT_FOUR_BYTE_ALT = 0x29;
constexpr UINT32 SST25VF_PAGE_PROGRAM_THRESHOLD = 0x800000;
constexpr UINT32 FLASH_SIZE_UNLISTED = 0x2000000;

constexpr UINTN FLASH_ID_ROUTINE_COUNT = 5; // four routines and the null end
extern const FLASH_ID_ROUTINE mFlashIdRoutines[FLASH_ID_ROUTINE_COUNT];
// Set by the ROM Armor start-up step; the last entry of the list calls it.
extern FLASH_ID_ROUTINE mRomArmorIdRoutine;

// The addressing-mode command that the last identification sent (0 when it
// sent none). The read, erase and program operations take their address
// width from FlashCommandAddressBytes, which consults it.
extern UINT8 mFlashAddressModeOpcode;

EFI_STATUS IdentifyFlashDevice();
UINT8 FlashReadId(SPI_OPCODE_SET *OpcodeSet, UINT32 *Id);
// The identity read with Template's read-identification command, through the
// ReadId slot of mFlashOps (which the ROM Armor service may have replaced).
UINT32 ReadFlashIdentity(SPI_OPCODE_SET *Template);
UINT8 Sst25VfIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device);
UINT8 JedecIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device);
UINT8 Sst25LfIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device);
UINT8 RomArmorIdentifyEntry(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device);
UINT32 JedecCapacityToSize(UINT32 Id);
UINT32 ShiftedCapacityToSize(UINT32 Id);
UINT32 SstCapacityToSize(UINT32 Id);
EFI_STATUS SetFlashAddressMode();

// Address bytes that a command with Opcode carries: 4 for the four-byte
// opcodes (0x13, 0x12, 0x21, 0xDC) in any mode; otherwise 4 only when an
// identified chip above 16 MiB was put into four-byte addressing, else 3.
UINT8 FlashCommandAddressBytes(UINT8 Opcode);
