#include "flash/Identify.h"

#include "spi/FlashWindows.h"
#include "spi/SpiEngine.h"

const FLASH_ID_ROUTINE mFlashIdRoutines[FLASH_ID_ROUTINE_COUNT] = {
    Sst25VfIdentify,
    JedecIdentify,
    Sst25LfIdentify,
    RomArmorIdentifyEntry,
    nullptr,
};
FLASH_ID_ROUTINE mRomArmorIdRoutine = nullptr;
UINT8 mFlashAddressModeOpcode = 0;

namespace {

// Identity keys: manufacturer byte low, memory-type byte high.
constexpr UINT16 KEY_ESMT_25L_T = 0x208C;
constexpr UINT16 KEY_ESMT_25L_B = 0x218C;
constexpr UINT16 KEY_SST_25VF = 0x25BF;
constexpr UINT16 KEY_SST_25LF040 = 0x44BF;
constexpr UINT16 KEY_SST_25LF080 = 0x80BF;
// Chips that leave four-byte addressing with 0x29 instead of 0xE9: the
// manufacturer 0x9D and the keys 0x6020 and 0x7020.
constexpr UINT8 MANUFACTURER_ALT_EXIT = 0x9D;
constexpr UINT16 KEY_ALT_EXIT_A = 0x6020;
constexpr UINT16 KEY_ALT_EXIT_B = 0x7020;

UINT8 CapacityByte(UINT32 Id) { return static_cast<UINT8>(Id >> 16); }
UINT16 KeyOf(UINT32 Id) { return static_cast<UINT16>(Id); }

struct CAPACITY_SIZE {
  UINT8 Capacity;
  UINT32 Size;
};

template <UINTN N> UINT32 LookUpCapacity(const CAPACITY_SIZE (&Table)[N], UINT32 Id) {
  for (const CAPACITY_SIZE &Row : Table) {
    if (Row.Capacity == CapacityByte(Id)) {
      return Row.Size;
    }
  }
  return FLASH_SIZE_UNLISTED;
}

constexpr CAPACITY_SIZE JEDEC_CAPACITY[] = {
    {0x10, 0x10000},   {0x11, 0x20000},   {0x12, 0x40000},   {0x13, 0x80000},   {0x14, 0x100000},
    {0x15, 0x200000},  {0x16, 0x400000},  {0x36, 0x400000},  {0x17, 0x800000},  {0x37, 0x800000},
    {0x18, 0x1000000}, {0x38, 0x1000000}, {0x1A, 0x4000000}, {0x20, 0x4000000}, {0x3A, 0x4000000},
    {0x1B, 0x8000000}, {0x21, 0x8000000}, {0x3B, 0x8000000}, {0x22, 0x10000000},
};

constexpr CAPACITY_SIZE SHIFTED_CAPACITY[] = {
    {0x12, 0x80000},  {0x13, 0x100000},  {0x14, 0x200000}, {0x15, 0x400000},
    {0x46, 0x400000}, {0x16, 0x800000},  {0x17, 0x1000000}, {0x20, 0x4000000},
};

constexpr CAPACITY_SIZE SST_CAPACITY[] = {
    {0x01, 0x200000}, {0x41, 0x200000}, {0x02, 0x400000}, {0x4A, 0x400000}, {0x43, 0x800000},
    {0x4B, 0x800000}, {0x8C, 0x40000},  {0x8D, 0x80000},  {0x8E, 0x100000},
};

} // namespace

UINT32 ReadFlashIdentity(SPI_OPCODE_SET *Template) {
  UINT32 Id = 0;
  mFlashOps.ReadId(Template, &Id);
  return Id;
}

UINT32 JedecCapacityToSize(UINT32 Id) { return LookUpCapacity(JEDEC_CAPACITY, Id); }
UINT32 ShiftedCapacityToSize(UINT32 Id) { return LookUpCapacity(SHIFTED_CAPACITY, Id); }
UINT32 SstCapacityToSize(UINT32 Id) { return LookUpCapacity(SST_CAPACITY, Id); }

EFI_STATUS IdentifyFlashDevice() {
  for (const FLASH_ID_ROUTINE *Routine = mFlashIdRoutines; *Routine != nullptr; Routine++) {
    if (((*Routine)(FLASH_PROBE_BASE_ADDRESS, &mFlashDevice) & 0xFF) != 0) {
      break;
    }
  }
  return EFI_SUCCESS;
}

UINT8 FlashReadId(SPI_OPCODE_SET *OpcodeSet, UINT32 *Id) {
  // Preset to 0, an identity no routine recognises: a command that delivered
  // nothing is never taken for a chip.
  UINT8 Received[4] = {0, 0, 0, 0};
  const UINT8 Opcode = OpcodeSet->ReadIdOp.Opcode;
  // 0x90 answers only after three address bytes (address 0: manufacturer
  // first); without them the chip is still taking its address while the
  // controller clocks the reply, and every part reads as FF FF FF.
  const UINT8 AddressBytes = Opcode == SPI_OPCODE_READ_MANUFACTURER_DEVICE_ID ? FLASH_ID_90_ADDRESS_BYTES : 0;
  SpiExecuteCommand(Opcode, AddressBytes, FLASH_ID_BYTES, AddressBytes, 0, Received, 0);
  *Id = static_cast<UINT32>(Received[0]) | static_cast<UINT32>(Received[1]) << 8 |
        static_cast<UINT32>(Received[2]) << 16;
  return 1;
}

UINT8 Sst25VfIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device) {
  (VOID) BaseAddress;
  const UINT32 Id = ReadFlashIdentity(&mSst25VfOpcodeTemplate);
  FLASH_PART_NAME Name;
  switch (KeyOf(Id)) {
  case KEY_ESMT_25L_T:
    mFlashSize = JedecCapacityToSize(Id);
    Name = {"ESMT 25L T Series", 17};
    break;
  case KEY_ESMT_25L_B:
    mFlashSize = JedecCapacityToSize(Id);
    mSst25VfOpcodeTemplate.EnableWriteStatusOp.Opcode = 0x00;
    Name = {"ESMT 25L B Series", 17};
    break;
  case KEY_SST_25VF:
    mFlashSize = SstCapacityToSize(Id);
    if (mFlashSize >= SST25VF_PAGE_PROGRAM_THRESHOLD) {
      mSst25VfOpcodeTemplate.PageSize = 0x100;
    }
    Name = {"SST 25VF Series", 15};
    break;
  default:
    return 0;
  }
  return CompleteFlashIdentification(&mSst25VfOpcodeTemplate, Id, Name, Device, FLASH_STEPS_ALL);
}

UINT8 Sst25LfIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device) {
  (VOID) BaseAddress;
  const UINT32 Id = ReadFlashIdentity(&mSst25LfOpcodeTemplate);
  FLASH_PART_NAME Name;
  switch (KeyOf(Id)) {
  case KEY_SST_25LF040:
    mFlashSize = 0x80000;
    Name = {"SST 25LF040", 11};
    break;
  case KEY_SST_25LF080:
    mFlashSize = 0x100000;
    Name = {"SST 25LF080", 11};
    break;
  default:
    return 0;
  }
  return CompleteFlashIdentification(&mSst25LfOpcodeTemplate, Id, Name, Device, FLASH_STEPS_NO_ADDRESS_MODE);
}

UINT8 RomArmorIdentifyEntry(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device) {
  if (mRomArmorIdRoutine == nullptr) {
    return 0;
  }
  return mRomArmorIdRoutine(BaseAddress, Device);
}

EFI_STATUS SetFlashAddressMode() {
  const UINT16 Key = mFlashId16;
  const UINT8 Rom3 = DetectRom3Window();
  UINT8 Opcode = 0;
  if (mFlashSize > FLASH_FOUR_BYTE_BOUNDARY) {
    if (Rom3 != 0) {
      Opcode = SPI_OPCODE_ENTER_FOUR_BYTE;
    } else if ((Key & 0xFF) == MANUFACTURER_ALT_EXIT || Key == KEY_ALT_EXIT_A || Key == KEY_ALT_EXIT_B) {
      Opcode = SPI_OPCODE_EXIT_FOUR_BYTE_ALT;
    } else {
      Opcode = SPI_OPCODE_EXIT_FOUR_BYTE;
    }
    SpiExecuteCommand(Opcode, 0, 0, 0, 0, nullptr, 0);
  }
  mFlashAddressModeOpcode = Opcode;
  return EFI_SUCCESS;
}

UINT8 FlashCommandAddressBytes(UINT8 Opcode) {
  constexpr UINT8 FOUR_BYTE_OPCODES[] = {0x13, 0x12, 0x21, 0xDC};
  for (UINT8 FourByte : FOUR_BYTE_OPCODES) {
    if (Opcode == FourByte) {
      return 4;
    }
  }
  if (mFlashId == 0 || mFlashSize <= FLASH_FOUR_BYTE_BOUNDARY) {
    return 3;
  }
  return mFlashAddressModeOpcode == SPI_OPCODE_ENTER_FOUR_BYTE ? 4 : 3;
}
