// The processor's flash windows: ROM2 below 4 GiB (bounds from the LPC
// bridge), ROM3 (64 MiB anywhere, on newer processors), the segment remap of
// the SPI controller, and the conversions between flash offsets and memory
// addresses.
#pragma once

#include "platform/Uefi.h"

constexpr UINT64 PCI_EXPRESS_BASE = 0xE0000000;
constexpr UINT64 PCI_EXPRESS_SIZE = 0x10000000;
constexpr UINT64 FCH_SPI_DEFAULT_BASE = 0xFEC10000;
constexpr UINT32 SPI_REG_SHADOW_COUNT = 26; // 32-bit registers 0x00..0x64

// ECAM offsets of the LPC bridge (bus 0, device 0x14, function 3) registers.
constexpr UINT64 EcamOffset(UINT64 Bus, UINT64 Device, UINT64 Function, UINT64 Register) {
  return Bus << 20 | Device << 15 | Function << 12 | Register;
}
constexpr UINT64 LPC_ROM2_START = EcamOffset(0, 0x14, 3, 0x6C); // 16 bits, 64 KiB units
constexpr UINT64 LPC_ROM2_END = EcamOffset(0, 0x14, 3, 0x6E);   // 16 bits, last unit included
static_assert(LPC_ROM2_START == 0xA306C);

// SPI controller registers read from the snapshot.
constexpr INT32 SPI_REG_ROM2_SEGMENT_OVERRIDE = 0x30; // bits 0,1 values; bits 2,3 enable
constexpr INT32 SPI_REG_ROM3_ENABLE = 0x50;           // bit 0
constexpr INT32 SPI_REG_SEGMENT_REMAP = 0x5C;         // bits 7..0 XORed into segment numbers
constexpr INT32 SPI_REG_ROM3_BASE_LOW = 0x60;
constexpr INT32 SPI_REG_ROM3_BASE_HIGH = 0x64;

constexpr UINT32 CPUID_FAMILY_MODEL_MASK = 0x0FFF0F00;
constexpr UINT32 ROM3_FIRST_SIGNATURE = 0x00830F00; // family 0x17, extended model 3
constexpr UINT32 ROM3_WINDOW_SIZE = 0x04000000;
constexpr UINT64 ROM3_OFFSET_MASK = 0x3FFFFFF;
constexpr UINT32 FLASH_SEGMENT_SIZE = 0x01000000;
constexpr UINT64 FLASH_SEGMENT_OFFSET_MASK = 0xFFFFFF;
constexpr UINT64 FLASH_NO_WINDOW = ~0ULL;
// Values below this are flash offsets already.
constexpr UINT64 FLASH_OFFSET_LIMIT = 0x8000000;
// The fixed fall-back: a 32 MiB chip that ends at 4 GiB.
constexpr UINT32 FLASH_FALLBACK_BIAS = 0x2000000;

enum FLASH_WINDOW : UINT32 { FlashWindowNone = 0, FlashWindowRom2 = 2, FlashWindowRom3 = 3 };

extern UINT64 mPciExpressBase;
extern UINT64 mPciExpressSize;
extern UINT64 mSpiBase;
extern UINT32 mSpiRegShadow[SPI_REG_SHADOW_COUNT];
extern UINT32 mRom2Base;
extern UINT32 mRom2Size;
extern UINT8 mRom3Enabled;
extern UINT32 mRom3Size;

UINT64 PciExpressAddress(UINT64 Offset);
UINT32 SpiShadowRead(INT32 Offset);
UINT8 DetectRom3Window();
UINT8 Rom2SegmentToFlashSegment(UINT8 Segment);
UINT64 MapToRom2Window(UINT64 Value);
UINT64 MapToRom3Window(UINT64 Value);
FLASH_WINDOW MapToFlashWindow(UINT64 *Value);
UINT8 FlashWindowAddressToOffset(UINT64 Address, UINT64 *Offset);
UINT8 FlashMapForRead(UINT64 Value, UINT64 *Address);
UINT32 FlashAddressToOffset(UINT64 Value);

// Start-up: PCI Express window, SPI register snapshot, ROM2 window.
VOID SetUpFlashWindows();
