// JEDEC identification: one row per 16-bit key (manufacturer byte low, memory
// type byte high). A row names the part, gives its size rule, and lists the
// changes it makes to the JEDEC command-set template before it is copied.
#include "flash/FlashOps.h"
#include "flash/Identify.h"

namespace {

enum FLASH_SIZE_RULE : UINT8 { SizeJedecCode, SizeShiftedCode, SizeSstCode, SizeIntelCode, SizeFixed };

// Template changes; 0 leaves a field as it is.
struct JEDEC_TEMPLATE_CHANGES {
  UINT8 SectorEraseOp = 0;
  UINT32 SectorSize = 0;
  UINT8 BlockEraseOp = 0;
  UINT8 EnableWriteStatusOp = 0;
};

// A choice that depends on the size the row's rule gave: when the size equals
// Size, these changes are made after the row's own, and Name (if any) replaces
// the row's name.
struct JEDEC_SIZE_CHOICE {
  UINT32 Size = 0;
  JEDEC_TEMPLATE_CHANGES Changes = {};
  FLASH_PART_NAME Name = {nullptr, 0};
};

struct JEDEC_ROW {
  UINT16 Key;
  FLASH_PART_NAME Name;
  FLASH_SIZE_RULE SizeRule;
  UINT32 FixedSize = 0;
  JEDEC_TEMPLATE_CHANGES Changes = {};
  JEDEC_SIZE_CHOICE BySize = {};
};

constexpr JEDEC_TEMPLATE_CHANGES SECTOR_IS_64K_BLOCK = {.SectorEraseOp = 0xD8, .SectorSize = 0x10000};
constexpr JEDEC_TEMPLATE_CHANGES ATMEL_WRITE_STATUS = {.EnableWriteStatusOp = 0x39};

constexpr JEDEC_ROW JEDEC_TABLE[] = {
    {.Key = 0x0201,
     .Name = {"Spansion 25FL Series", 20},
     .SizeRule = SizeShiftedCode,
     .Changes = SECTOR_IS_64K_BLOCK,
     .BySize = {.Size = 0x4000000,
                .Changes = {.SectorSize = 0x40000, .BlockEraseOp = SPI_NO_BLOCK_ERASE},
                .Name = {"Cypress 25FS-S Series", 21}}},
    {.Key = 0x2001, .Name = {"Spansion 25FL(P) Series", 23}, .SizeRule = SizeJedecCode, .Changes = SECTOR_IS_64K_BLOCK},
    {.Key = 0x4001, .Name = {"Spansion 25FL(K) Series", 23}, .SizeRule = SizeJedecCode},
    {.Key = 0x6001, .Name = {"Spansion 25FL(L) Series", 23}, .SizeRule = SizeJedecCode},
    {.Key = 0x400B, .Name = {"XTX 25F Series", 14}, .SizeRule = SizeJedecCode},
    {.Key = 0x600B, .Name = {"XTX 25Q Series", 14}, .SizeRule = SizeJedecCode},
    {.Key = 0x201C, .Name = {"EON 25P Series", 14}, .SizeRule = SizeJedecCode, .Changes = SECTOR_IS_64K_BLOCK},
    {.Key = 0x301C, .Name = {"EON 25F/Q/S/QH/SX Series", 24}, .SizeRule = SizeJedecCode},
    {.Key = 0x311C, .Name = {"EON 25F/Q/S/QH/SX Series", 24}, .SizeRule = SizeJedecCode},
    {.Key = 0x381C, .Name = {"EON 25F/Q/S/QH/SX Series", 24}, .SizeRule = SizeJedecCode},
    {.Key = 0x701C, .Name = {"EON 25F/Q/S/QH/SX Series", 24}, .SizeRule = SizeJedecCode},
    {.Key = 0x781C, .Name = {"EON 25F/Q/S/QH/SX Series", 24}, .SizeRule = SizeJedecCode},
    {.Key = 0x321F, .Name = {"ADESTO AT25SF641", 16}, .SizeRule = SizeFixed, .FixedSize = 0x800000},
    {.Key = 0x421F, .Name = {"ADESTO AT25SL128A", 17}, .SizeRule = SizeFixed, .FixedSize = 0x1000000},
    {.Key = 0x431F, .Name = {"ADESTO AT25SL641", 16}, .SizeRule = SizeFixed, .FixedSize = 0x800000},
    {.Key = 0x441F,
     .Name = {"ATMEL 26DF041/25DF041", 21},
     .SizeRule = SizeFixed,
     .FixedSize = 0x80000,
     .Changes = {.BlockEraseOp = SPI_NO_BLOCK_ERASE, .EnableWriteStatusOp = 0x39}},
    {.Key = 0x451F, .Name = {"ATMEL 26DF081/25DF081", 21}, .SizeRule = SizeFixed, .FixedSize = 0x100000,
     .Changes = ATMEL_WRITE_STATUS},
    {.Key = 0x461F, .Name = {"ATMEL 26DF161/25DQ161", 21}, .SizeRule = SizeFixed, .FixedSize = 0x200000,
     .Changes = ATMEL_WRITE_STATUS},
    {.Key = 0x471F, .Name = {"ATMEL 26DF321/25DF321", 21}, .SizeRule = SizeFixed, .FixedSize = 0x400000,
     .Changes = ATMEL_WRITE_STATUS},
    {.Key = 0x481F, .Name = {"ATMEL 26DF641/25DF641", 21}, .SizeRule = SizeFixed, .FixedSize = 0x800000,
     .Changes = ATMEL_WRITE_STATUS},
    {.Key = 0x861F, .Name = {"ATMEL 26DF161/25DQ161", 21}, .SizeRule = SizeFixed, .FixedSize = 0x200000,
     .Changes = ATMEL_WRITE_STATUS},
    {.Key = 0x2020,
     .Name = {"STM/Micron/Numonyx 25P Series", 29},
     .SizeRule = SizeJedecCode,
     .Changes = SECTOR_IS_64K_BLOCK,
     .BySize = {.Size = 0x1000000, .Changes = {.SectorSize = 0x40000}}},
    {.Key = 0x3820, .Name = {"XMC 25QU Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x4020, .Name = {"XMC 25QH Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x4120, .Name = {"XMC 25QU Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x4320, .Name = {"XMC 25RH Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x4420, .Name = {"XMC 25RU Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x5020, .Name = {"XMC 25QU Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x6020, .Name = {"XMC 25QH Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x7020, .Name = {"STM/Micron/Numonyx 25PF/PX Series", 33}, .SizeRule = SizeJedecCode},
    {.Key = 0x7120, .Name = {"STM/Micron/Numonyx 25PF/PX Series", 33}, .SizeRule = SizeJedecCode},
    {.Key = 0x8020,
     .Name = {"STM/Numonyx 25PE Series", 23},
     .SizeRule = SizeJedecCode,
     .Changes = {.SectorEraseOp = 0xDB, .SectorSize = 0x100}},
    {.Key = 0xBA20, .Name = {"Micron/Numonyx 25Q Series", 25}, .SizeRule = SizeJedecCode},
    {.Key = 0xBB20, .Name = {"Micron/Numonyx 25Q Series", 25}, .SizeRule = SizeJedecCode},
    {.Key = 0x3037, .Name = {"AMIC 25L/LQ Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x4037, .Name = {"AMIC 25L/LQ Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x6068, .Name = {"BoyaMicro 25FQ Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x377F, .Name = {"AMIC 25L Series", 15}, .SizeRule = SizeShiftedCode},
    {.Key = 0x9D7F, .Name = {"PMC 25LV/LQ Series", 18}, .SizeRule = SizeShiftedCode,
     .Changes = {.SectorEraseOp = 0xD7}},
    {.Key = 0x2085, .Name = {"PUYA 25Q/R/F Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x2385, .Name = {"PUYA 25Q/R/F Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x6385, .Name = {"PUYA 25Q/R/F Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x6585, .Name = {"PUYA 25Q/R/F Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x8989, .Name = {"Intel/Numonyx 25F160/320", 24}, .SizeRule = SizeIntelCode,
     .Changes = SECTOR_IS_64K_BLOCK},
    {.Key = 0x408C, .Name = {"ESMT 25L QA/PA Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x418C, .Name = {"ESMT 25L QA/PA Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x609D, .Name = {"ISSI 25LP Series", 16}, .SizeRule = SizeJedecCode},
    {.Key = 0x709D, .Name = {"ISSI 25WP Series", 16}, .SizeRule = SizeJedecCode},
    {.Key = 0x28A1, .Name = {"Fudan FM25W Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x40A1, .Name = {"Fudan FM25Q Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x26BF, .Name = {"SST 26VF Series", 15}, .SizeRule = SizeSstCode},
    {.Key = 0x20C2, .Name = {"MXIC 25L/U Series", 17}, .SizeRule = SizeJedecCode},
    {.Key = 0x24C2, .Name = {"MXIC 25L/U Series", 17}, .SizeRule = SizeJedecCode},
    {.Key = 0x25C2, .Name = {"MXIC 25L/U Series", 17}, .SizeRule = SizeJedecCode},
    {.Key = 0x28C2, .Name = {"MXIC 25R Series", 15}, .SizeRule = SizeJedecCode},
    {.Key = 0x5EC2, .Name = {"MXIC 25L/U Series", 17}, .SizeRule = SizeJedecCode},
    {.Key = 0x75C2, .Name = {"MXIC 77L/77U Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x76C2, .Name = {"MXIC 77L/77U Series", 19}, .SizeRule = SizeJedecCode},
    {.Key = 0x40C8, .Name = {"GigaDevice 25Q Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x47C8, .Name = {"GigaDevice 25B Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x60C8, .Name = {"GigaDevice 25Q Series", 21}, .SizeRule = SizeJedecCode},
    {.Key = 0x65C8, .Name = {"GigaDevice 55WR Series", 22}, .SizeRule = SizeJedecCode},
    {.Key = 0x67C8, .Name = {"GigaDevice 25LB Series", 22}, .SizeRule = SizeJedecCode},
    {.Key = 0x30EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x40EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x50EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x60EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x70EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x71EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x80EF, .Name = {"Winbond 25X/Q Series", 20}, .SizeRule = SizeJedecCode},
    {.Key = 0x8AEF, .Name = {"Winbond 77Q Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x32F8, .Name = {"FIDELIX 25Q Series", 18}, .SizeRule = SizeJedecCode},
    {.Key = 0x43F8, .Name = {"FIDELIX 25M Series", 18}, .SizeRule = SizeJedecCode},
};

constexpr UINT32 TextLength(const CHAR8 *Text) {
  UINT32 Length = 0;
  while (Text[Length] != '\0') {
    Length++;
  }
  return Length;
}

constexpr bool NameLengthsAsStated() {
  for (const JEDEC_ROW &Row : JEDEC_TABLE) {
    if (TextLength(Row.Name.Text) != Row.Name.Length || Row.Name.Length > FLASH_PART_NAME_LENGTH) {
      return false;
    }
    if (Row.BySize.Name.Text != nullptr && TextLength(Row.BySize.Name.Text) != Row.BySize.Name.Length) {
      return false;
    }
  }
  return true;
}

constexpr bool KeysUnique() {
  for (const JEDEC_ROW &A : JEDEC_TABLE) {
    UINT32 Count = 0;
    for (const JEDEC_ROW &B : JEDEC_TABLE) {
      Count += A.Key == B.Key;
    }
    if (Count != 1) {
      return false;
    }
  }
  return true;
}

static_assert(sizeof(JEDEC_TABLE) / sizeof(JEDEC_TABLE[0]) == 73);
static_assert(KeysUnique());
static_assert(NameLengthsAsStated());

constexpr UINT32 INTEL_SIZE_2M = 0x200000;
constexpr UINT32 INTEL_SIZE_4M = 0x400000;
constexpr UINT32 INTEL_SIZE_8M = 0x800000;

UINT32 IntelCapacityToSize(UINT32 Id) {
  switch (static_cast<UINT8>(Id >> 16)) {
  case 0x11:
  case 0x15:
    return INTEL_SIZE_2M;
  case 0x12:
  case 0x16:
    return INTEL_SIZE_4M;
  case 0x13:
  case 0x17:
    return INTEL_SIZE_8M;
  default:
    return FLASH_SIZE_UNLISTED;
  }
}

UINT32 RowSize(const JEDEC_ROW &Row, UINT32 Id) {
  switch (Row.SizeRule) {
  case SizeJedecCode:
    return JedecCapacityToSize(Id);
  case SizeShiftedCode:
    return ShiftedCapacityToSize(Id);
  case SizeSstCode:
    return SstCapacityToSize(Id);
  case SizeIntelCode:
    return IntelCapacityToSize(Id);
  case SizeFixed:
    break;
  }
  return Row.FixedSize;
}

VOID ApplyChanges(const JEDEC_TEMPLATE_CHANGES &Changes, SPI_OPCODE_SET *Template) {
  if (Changes.SectorEraseOp != 0) {
    Template->SectorEraseOp.Opcode = Changes.SectorEraseOp;
  }
  if (Changes.SectorSize != 0) {
    Template->SectorSize = Changes.SectorSize;
  }
  if (Changes.BlockEraseOp != 0) {
    Template->BlockEraseOp.Opcode = Changes.BlockEraseOp;
  }
  if (Changes.EnableWriteStatusOp != 0) {
    Template->EnableWriteStatusOp.Opcode = Changes.EnableWriteStatusOp;
  }
}

const JEDEC_ROW *FindRow(UINT16 Key) {
  for (const JEDEC_ROW &Row : JEDEC_TABLE) {
    if (Row.Key == Key) {
      return &Row;
    }
  }
  return nullptr;
}

} // namespace

UINT8 JedecIdentify(UINT64 BaseAddress, FLASH_DEVICE_OPS **Device) {
  (VOID) BaseAddress;
  const UINT32 Id = ReadFlashIdentity(&mJedecOpcodeTemplate);
  const JEDEC_ROW *Row = FindRow(static_cast<UINT16>(Id));
  if (Row == nullptr) {
    return 0;
  }
  mFlashSize = RowSize(*Row, Id);
  ApplyChanges(Row->Changes, &mJedecOpcodeTemplate);
  FLASH_PART_NAME Name = Row->Name;
  if (Row->BySize.Size != 0 && mFlashSize == Row->BySize.Size) {
    ApplyChanges(Row->BySize.Changes, &mJedecOpcodeTemplate);
    if (Row->BySize.Name.Text != nullptr) {
      Name = Row->BySize.Name;
    }
  }
  return CompleteFlashIdentification(&mJedecOpcodeTemplate, Id, Name, Device, FLASH_STEPS_ALL);
}
