#include "spi/FlashWindows.h"

#include "flash/FlashOps.h"
#include "platform/Access.h"

UINT64 mPciExpressBase = 0;
UINT64 mPciExpressSize = 0;
UINT64 mSpiBase = FCH_SPI_DEFAULT_BASE;
UINT32 mSpiRegShadow[SPI_REG_SHADOW_COUNT] = {};
UINT32 mRom2Base = 0;
UINT32 mRom2Size = 0;
UINT8 mRom3Enabled = 0;
UINT32 mRom3Size = FLASH_SEGMENT_SIZE;

namespace {

constexpr UINT32 LPC_WINDOW_UNIT = 0x10000;
constexpr UINT8 ROM2_SEGMENT_BIAS = 2;
constexpr UINT32 ROM2_OVERRIDE_BIT0 = 1U << 2;
constexpr UINT32 ROM2_OVERRIDE_BIT1 = 1U << 3;

UINT8 SegmentOf(UINT64 Value) { return static_cast<UINT8>(Value >> 24); }
UINT8 RemapByte() { return static_cast<UINT8>(SpiShadowRead(SPI_REG_SEGMENT_REMAP)); }

// A chip size of 0 (only a ROM Armor provider could report one) has no
// segments and no offset bits: no window can map it.
BOOLEAN FlashSizeUsable() { return mFlashSize != 0; }

BOOLEAN IsInRom2Window(UINT64 Value) {
  return mRom2Base <= Value && Value < static_cast<UINT64>(mRom2Base) + mRom2Size;
}

UINT64 Rom3Base() {
  const UINT64 Base =
      static_cast<UINT64>(SpiShadowRead(SPI_REG_ROM3_BASE_HIGH)) << 32 | SpiShadowRead(SPI_REG_ROM3_BASE_LOW);
  return Base & ~ROM3_OFFSET_MASK;
}

} // namespace

UINT64 PciExpressAddress(UINT64 Offset) {
  if (Offset < mPciExpressSize) {
    return mPciExpressBase + Offset;
  }
  return FLASH_NO_WINDOW;
}

UINT32 SpiShadowRead(INT32 Offset) {
  const auto *Bytes = reinterpret_cast<const UINT8 *>(mSpiRegShadow);
  UINT32 Value = 0;
  for (INT32 Index = 3; Index >= 0; Index--) {
    Value = Value << 8 | Bytes[Offset + Index];
  }
  return Value;
}

VOID SetUpFlashWindows() {
  mPciExpressBase = PCI_EXPRESS_BASE;
  mPciExpressSize = PCI_EXPRESS_SIZE;
  for (UINT32 Index = 0; Index < SPI_REG_SHADOW_COUNT; Index++) {
    mSpiRegShadow[Index] = MmioRead32(mSpiBase + Index * sizeof(UINT32));
  }
  const UINT32 Start = MmioRead16(PciExpressAddress(LPC_ROM2_START));
  const UINT32 End = mPciExpressSize > LPC_ROM2_END ? MmioRead16(PciExpressAddress(LPC_ROM2_END)) : 0xFFFF;
  mRom2Base = Start * LPC_WINDOW_UNIT;
  mRom2Size = (End * LPC_WINDOW_UNIT + (LPC_WINDOW_UNIT - 1)) - mRom2Base + 1;
}

UINT8 DetectRom3Window() {
  UINT32 Signature = 0;
  AsmCpuid(1, &Signature, nullptr, nullptr, nullptr);
  if ((Signature & CPUID_FAMILY_MODEL_MASK) < ROM3_FIRST_SIGNATURE) {
    return 0;
  }
  if ((SpiShadowRead(SPI_REG_ROM3_ENABLE) & 1) == 0) {
    return 0;
  }
  mRom3Enabled = 1;
  mRom3Size = ROM3_WINDOW_SIZE;
  return 1;
}

UINT8 Rom2SegmentToFlashSegment(UINT8 Segment) {
  if (mRom3Enabled == 0) {
    return 0;
  }
  UINT8 Chip = SegmentOf(static_cast<UINT32>(static_cast<UINT32>(Segment) * FLASH_SEGMENT_SIZE + mRom2Base));
  Chip = static_cast<UINT8>(Chip + ROM2_SEGMENT_BIAS);
  const UINT32 Override = SpiShadowRead(SPI_REG_ROM2_SEGMENT_OVERRIDE);
  if ((Override & ROM2_OVERRIDE_BIT0) != 0) {
    Chip = static_cast<UINT8>((Chip & ~1U) | (Override & 1U));
  }
  if ((Override & ROM2_OVERRIDE_BIT1) != 0) {
    Chip = static_cast<UINT8>((Chip & ~2U) | (Override & 2U));
  }
  Chip ^= RemapByte();
  return static_cast<UINT8>(Chip & ((mRom3Size - 1) >> 24));
}

UINT64 MapToRom2Window(UINT64 Value) {
  if (IsInRom2Window(Value)) {
    return Value;
  }
  if (!FlashSizeUsable()) {
    return FLASH_NO_WINDOW;
  }
  const UINT32 Segments = mRom2Size >> 24;
  for (UINT32 Segment = 0; Segment < Segments; Segment++) {
    if ((Rom2SegmentToFlashSegment(static_cast<UINT8>(Segment)) & ((mFlashSize - 1) >> 24)) == SegmentOf(Value)) {
      return (mRom2Base + static_cast<UINT64>(Segment) * FLASH_SEGMENT_SIZE) | (Value & FLASH_SEGMENT_OFFSET_MASK);
    }
  }
  return FLASH_NO_WINDOW;
}

UINT64 MapToRom3Window(UINT64 Value) {
  if (mRom3Enabled == 0 || !FlashSizeUsable()) {
    return FLASH_NO_WINDOW;
  }
  const UINT64 Base = Rom3Base();
  if ((Value & ~ROM3_OFFSET_MASK) == Base && (Value & ROM3_OFFSET_MASK) < mRom3Size) {
    return Value;
  }
  for (UINT32 Index = 0; Index < 4; Index++) {
    if ((((mRom3Size - 1) >> 24) & ((mFlashSize - 1) >> 24) & (RemapByte() ^ Index)) == SegmentOf(Value)) {
      return static_cast<UINT64>(Index) * FLASH_SEGMENT_SIZE | (Value & FLASH_SEGMENT_OFFSET_MASK) | Base;
    }
  }
  return FLASH_NO_WINDOW;
}

FLASH_WINDOW MapToFlashWindow(UINT64 *Value) {
  if (*Value >= mFlashSize) {
    // Only an address inside the ROM2 window is a ROM2 address. A value whose
    // segment bits merely match a ROM2 segment (a ROM3 address, or one above
    // 4 GiB) is not: taken as one, it would be read where no window is, or
    // converted into the wrong chip segment.
    if (IsInRom2Window(*Value)) {
      return FlashWindowRom2;
    }
    const UINT64 Rom3 = MapToRom3Window(*Value);
    if (Rom3 != FLASH_NO_WINDOW) {
      *Value = Rom3;
      return FlashWindowRom3;
    }
    if (!FlashSizeUsable()) {
      return FlashWindowNone;
    }
    *Value = (*Value & 0xFFFFFFFF) & (mFlashSize - 1);
  }
  const UINT64 Rom2 = MapToRom2Window(*Value);
  if (Rom2 == FLASH_NO_WINDOW) {
    return FlashWindowNone;
  }
  *Value = Rom2;
  return FlashWindowRom2;
}

UINT8 FlashWindowAddressToOffset(UINT64 Address, UINT64 *Offset) {
  UINT64 Value = Address;
  switch (MapToFlashWindow(&Value)) {
  case FlashWindowRom3:
    // The chip decodes the window's 26-bit address modulo its size, so a chip
    // smaller than the window shows up in it more than once; the offset is
    // the one the chip sees.
    *Offset = ((static_cast<UINT32>(((Value >> 24) & 0xFF) ^ RemapByte()) << 24 & (mRom3Size - 1)) |
               (Value & FLASH_SEGMENT_OFFSET_MASK)) &
              (mFlashSize - 1);
    return 1;
  case FlashWindowRom2: {
    const UINT8 Segment = SegmentOf(static_cast<UINT32>(static_cast<UINT32>(Value) - mRom2Base));
    *Offset = (mFlashSize - 1) &
              (static_cast<UINT32>(Rom2SegmentToFlashSegment(Segment)) << 24 | (Value & FLASH_SEGMENT_OFFSET_MASK));
    return 1;
  }
  case FlashWindowNone:
    break;
  }
  return 0;
}

UINT8 FlashMapForRead(UINT64 Value, UINT64 *Address) {
  UINT64 Mapped = Value;
  const FLASH_WINDOW Window = MapToFlashWindow(&Mapped);
  if (Window == FlashWindowRom2 || Window == FlashWindowRom3) {
    *Address = Mapped;
    return 1;
  }
  return 0;
}

UINT32 FlashAddressToOffset(UINT64 Value) {
  if (Value < FLASH_OFFSET_LIMIT) {
    return static_cast<UINT32>(Value);
  }
  UINT64 Offset = 0;
  if (FlashWindowAddressToOffset(Value, &Offset)) {
    return static_cast<UINT32>(Offset);
  }
  return static_cast<UINT32>(Value + FLASH_FALLBACK_BIAS);
}
