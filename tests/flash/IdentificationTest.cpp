// Identification of every part of the simulated chip catalogue, and of a few
// identities no catalogue part answers, with and without the ROM3 window: what
// the driver made of the chip (name, size, identity, command set, geometry)
// against expectations written here from the part tables, and the commands it
// sent to find out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "TestPlatform.h"
#include "flash/FlashOps.h"
#include "flash/Identify.h"

namespace {

// ---- Command sets as byte images -------------------------------------------

// SPI_OPCODE_SET in field order: nine opcode/type pairs, then PageSize and
// SectorSize, 32 bits little-endian each.
using OpcodeImage = std::array<uint8_t, 26>;

constexpr size_t SectorEraseOpcodeAt = 4;
constexpr size_t BlockEraseOpcodeAt = 6;
constexpr size_t EnableWriteStatusOpcodeAt = 14;
constexpr size_t PageSizeAt = 18;
constexpr size_t SectorSizeAt = 22;

constexpr OpcodeImage Sst25VfImage = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x9F, 0x02, 0x01,
                                      0x01, 0x50, 0x00, 0x06, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
constexpr OpcodeImage JedecImage = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x9F, 0x00, 0x01,
                                    0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
constexpr OpcodeImage Sst25LfImage = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x90, 0x02, 0x01,
                                      0x01, 0x50, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};

uint32_t Le32At(const OpcodeImage &Image, size_t At) {
  return static_cast<uint32_t>(Image[At]) | static_cast<uint32_t>(Image[At + 1]) << 8 |
         static_cast<uint32_t>(Image[At + 2]) << 16 | static_cast<uint32_t>(Image[At + 3]) << 24;
}

std::string HexImage(const OpcodeImage &Image) {
  std::string Text;
  for (uint8_t Byte : Image) {
    char Digits[4];
    std::snprintf(Digits, sizeof Digits, "%02X ", Byte);
    Text += Digits;
  }
  Text.pop_back();
  return Text;
}

void PutLe32At(OpcodeImage &Image, size_t At, uint32_t Value) {
  for (size_t Byte = 0; Byte < sizeof Value; Byte++) {
    Image[At + Byte] = static_cast<uint8_t>(Value >> (8 * Byte));
  }
}

// The bytes of Set as hex text, so that a difference shows field by field.
std::string ImageOf(const SPI_OPCODE_SET &Set) {
  static_assert(sizeof Set == std::tuple_size_v<OpcodeImage>);
  OpcodeImage Image;
  std::memcpy(Image.data(), &Set, sizeof Set);
  return HexImage(Image);
}

// ---- Expectations ------------------------------------------------------------

enum class Recogniser { Sst25Vf, Jedec, Sst25Lf, None };

// The fields a part row changes in its routine's template; unset ones keep the
// template's value.
struct TemplateChanges {
  std::optional<uint8_t> SectorEraseOp;
  std::optional<uint8_t> BlockEraseOp;
  std::optional<uint8_t> EnableWriteStatusOp;
  std::optional<uint32_t> PageSize;
  std::optional<uint32_t> SectorSize;
};

// The addressing-mode command an identification sends, by platform: the
// four-byte entry with the ROM3 window, an exit without it; 0 for none.
struct ModeCommands {
  uint8_t WithRom3 = 0;
  uint8_t WithoutRom3 = 0;
};
constexpr uint8_t Enter4Byte = 0xB7;
constexpr uint8_t Exit4Byte = 0xE9;
constexpr uint8_t Exit4ByteAlt = 0x29; // manufacturer 0x9D, keys 0x6020 and 0x7020
constexpr ModeCommands Above16MiB = {.WithRom3 = Enter4Byte, .WithoutRom3 = Exit4Byte};
constexpr ModeCommands Above16MiBAltExit = {.WithRom3 = Enter4Byte, .WithoutRom3 = Exit4ByteAlt};

// One row: a chip by the three identification bytes it answers to 0x9F, or by
// catalogue name for the parts that answer only 0x90 (Answer then holds the
// bytes received after 0x90's three address bytes: manufacturer, device,
// manufacturer again).
struct Expectation {
  std::array<uint8_t, 3> Answer;
  const char *Part = nullptr;
  Recogniser By = Recogniser::Jedec;
  const char *Name = nullptr;
  uint32_t Size = 0;
  TemplateChanges Changes = {};
  ModeCommands Mode = {};
};

constexpr uint8_t Sector64KErase = 0xD8;
constexpr uint32_t Sector64K = 0x10000;
constexpr uint32_t Sector256K = 0x40000;
constexpr uint8_t NoBlockErase = 0xFF;
constexpr uint8_t AtmelUnprotect = 0x39;
constexpr uint32_t Sst25VfPages = 0x100;

const TemplateChanges Sector64KBlock = {.SectorEraseOp = Sector64KErase, .SectorSize = Sector64K};
const TemplateChanges AtmelEnable = {.EnableWriteStatusOp = AtmelUnprotect};

const std::vector<Expectation> &Expectations() {
  using enum Recogniser;
  static const std::vector<Expectation> Rows = {
      // Spansion / Cypress 0x01.
      {.Answer = {0x01, 0x02, 0x16}, .Name = "Spansion 25FL Series", .Size = 0x800000, .Changes = Sector64KBlock},
      {.Answer = {0x01, 0x02, 0x19}, .Name = "Spansion 25FL Series", .Size = 0x2000000, .Changes = Sector64KBlock,
       .Mode = Above16MiB},
      {.Answer = {0x01, 0x02, 0x20},
       .Name = "Cypress 25FS-S Series",
       .Size = 0x4000000,
       .Changes = {.SectorEraseOp = Sector64KErase, .BlockEraseOp = NoBlockErase, .SectorSize = Sector256K},
       .Mode = Above16MiB},
      {.Answer = {0x01, 0x20, 0x18}, .Name = "Spansion 25FL(P) Series", .Size = 0x1000000, .Changes = Sector64KBlock},
      {.Answer = {0x01, 0x40, 0x17}, .Name = "Spansion 25FL(K) Series", .Size = 0x800000},
      {.Answer = {0x01, 0x60, 0x18}, .Name = "Spansion 25FL(L) Series", .Size = 0x1000000},
      // XTX 0x0B.
      {.Answer = {0x0B, 0x40, 0x18}, .Name = "XTX 25F Series", .Size = 0x1000000},
      {.Answer = {0x0B, 0x60, 0x17}, .Name = "XTX 25Q Series", .Size = 0x800000},
      // Eon 0x1C.
      {.Answer = {0x1C, 0x20, 0x16}, .Name = "EON 25P Series", .Size = 0x400000, .Changes = Sector64KBlock},
      {.Answer = {0x1C, 0x30, 0x17}, .Name = "EON 25F/Q/S/QH/SX Series", .Size = 0x800000},
      {.Answer = {0x1C, 0x31, 0x16}, .Name = "EON 25F/Q/S/QH/SX Series", .Size = 0x400000},
      {.Answer = {0x1C, 0x38, 0x17}, .Name = "EON 25F/Q/S/QH/SX Series", .Size = 0x800000},
      {.Answer = {0x1C, 0x70, 0x18}, .Name = "EON 25F/Q/S/QH/SX Series", .Size = 0x1000000},
      {.Answer = {0x1C, 0x78, 0x17}, .Name = "EON 25F/Q/S/QH/SX Series", .Size = 0x800000},
      // Adesto / Atmel 0x1F: fixed sizes, whatever the capacity byte.
      {.Answer = {0x1F, 0x32, 0x17}, .Name = "ADESTO AT25SF641", .Size = 0x800000},
      {.Answer = {0x1F, 0x42, 0x18}, .Name = "ADESTO AT25SL128A", .Size = 0x1000000},
      {.Answer = {0x1F, 0x43, 0x17}, .Name = "ADESTO AT25SL641", .Size = 0x800000},
      {.Answer = {0x1F, 0x44, 0x01},
       .Name = "ATMEL 26DF041/25DF041",
       .Size = 0x80000,
       .Changes = {.BlockEraseOp = NoBlockErase, .EnableWriteStatusOp = AtmelUnprotect}},
      {.Answer = {0x1F, 0x44, 0x7E},
       .Name = "ATMEL 26DF041/25DF041",
       .Size = 0x80000,
       .Changes = {.BlockEraseOp = NoBlockErase, .EnableWriteStatusOp = AtmelUnprotect}},
      {.Answer = {0x1F, 0x45, 0x01}, .Name = "ATMEL 26DF081/25DF081", .Size = 0x100000, .Changes = AtmelEnable},
      {.Answer = {0x1F, 0x46, 0x02}, .Name = "ATMEL 26DF161/25DQ161", .Size = 0x200000, .Changes = AtmelEnable},
      {.Answer = {0x1F, 0x47, 0x01}, .Name = "ATMEL 26DF321/25DF321", .Size = 0x400000, .Changes = AtmelEnable},
      {.Answer = {0x1F, 0x48, 0x00}, .Name = "ATMEL 26DF641/25DF641", .Size = 0x800000, .Changes = AtmelEnable},
      {.Answer = {0x1F, 0x86, 0x00}, .Name = "ATMEL 26DF161/25DQ161", .Size = 0x200000, .Changes = AtmelEnable},
      // ST / Numonyx / Micron / XMC 0x20.
      {.Answer = {0x20, 0x20, 0x18},
       .Name = "STM/Micron/Numonyx 25P Series",
       .Size = 0x1000000,
       .Changes = {.SectorEraseOp = Sector64KErase, .SectorSize = Sector256K}},
      {.Answer = {0x20, 0x20, 0x17}, .Name = "STM/Micron/Numonyx 25P Series", .Size = 0x800000,
       .Changes = Sector64KBlock},
      {.Answer = {0x20, 0x38, 0x18}, .Name = "XMC 25QU Series", .Size = 0x1000000},
      {.Answer = {0x20, 0x40, 0x18}, .Name = "XMC 25QH Series", .Size = 0x1000000},
      {.Answer = {0x20, 0x41, 0x18}, .Name = "XMC 25QU Series", .Size = 0x1000000},
      {.Answer = {0x20, 0x43, 0x17}, .Name = "XMC 25RH Series", .Size = 0x800000},
      {.Answer = {0x20, 0x44, 0x17}, .Name = "XMC 25RU Series", .Size = 0x800000},
      {.Answer = {0x20, 0x50, 0x18}, .Name = "XMC 25QU Series", .Size = 0x1000000},
      {.Answer = {0x20, 0x60, 0x19}, .Name = "XMC 25QH Series", .Size = 0x2000000, .Mode = Above16MiBAltExit},
      {.Answer = {0x20, 0x70, 0x18}, .Name = "STM/Micron/Numonyx 25PF/PX Series", .Size = 0x1000000},
      {.Answer = {0x20, 0x70, 0x19}, .Name = "STM/Micron/Numonyx 25PF/PX Series", .Size = 0x2000000,
       .Mode = Above16MiBAltExit},
      {.Answer = {0x20, 0x71, 0x17}, .Name = "STM/Micron/Numonyx 25PF/PX Series", .Size = 0x800000},
      {.Answer = {0x20, 0x80, 0x14},
       .Name = "STM/Numonyx 25PE Series",
       .Size = 0x100000,
       .Changes = {.SectorEraseOp = 0xDB, .SectorSize = 0x100}},
      {.Answer = {0x20, 0xBA, 0x18}, .Name = "Micron/Numonyx 25Q Series", .Size = 0x1000000},
      {.Answer = {0x20, 0xBA, 0x19}, .Name = "Micron/Numonyx 25Q Series", .Size = 0x2000000, .Mode = Above16MiB},
      {.Answer = {0x20, 0xBA, 0x20}, .Name = "Micron/Numonyx 25Q Series", .Size = 0x4000000, .Mode = Above16MiB},
      {.Answer = {0x20, 0xBB, 0x18}, .Name = "Micron/Numonyx 25Q Series", .Size = 0x1000000},
      // AMIC 0x37, and 0x7F 0x37 (continuation code first: the third byte the
      // driver sees, 0x20, is the memory type, read by the shifted code).
      {.Answer = {0x37, 0x30, 0x16}, .Name = "AMIC 25L/LQ Series", .Size = 0x400000},
      {.Answer = {0x37, 0x40, 0x17}, .Name = "AMIC 25L/LQ Series", .Size = 0x800000},
      {.Answer = {0x7F, 0x37, 0x20}, .Name = "AMIC 25L Series", .Size = 0x4000000, .Mode = Above16MiB},
      // Boya 0x68.
      {.Answer = {0x68, 0x60, 0x17}, .Name = "BoyaMicro 25FQ Series", .Size = 0x800000},
      // PMC 0x7F 0x9D.
      {.Answer = {0x7F, 0x9D, 0x46}, .Name = "PMC 25LV/LQ Series", .Size = 0x400000,
       .Changes = {.SectorEraseOp = 0xD7}},
      // Puya 0x85.
      {.Answer = {0x85, 0x20, 0x18}, .Name = "PUYA 25Q/R/F Series", .Size = 0x1000000},
      {.Answer = {0x85, 0x23, 0x17}, .Name = "PUYA 25Q/R/F Series", .Size = 0x800000},
      {.Answer = {0x85, 0x63, 0x17}, .Name = "PUYA 25Q/R/F Series", .Size = 0x800000},
      {.Answer = {0x85, 0x65, 0x17}, .Name = "PUYA 25Q/R/F Series", .Size = 0x800000},
      // Intel 0x89: its own capacity code.
      {.Answer = {0x89, 0x89, 0x11}, .Name = "Intel/Numonyx 25F160/320", .Size = 0x200000, .Changes = Sector64KBlock},
      {.Answer = {0x89, 0x89, 0x16}, .Name = "Intel/Numonyx 25F160/320", .Size = 0x400000, .Changes = Sector64KBlock},
      {.Answer = {0x89, 0x89, 0x13}, .Name = "Intel/Numonyx 25F160/320", .Size = 0x800000, .Changes = Sector64KBlock},
      {.Answer = {0x89, 0x89, 0x14}, .Name = "Intel/Numonyx 25F160/320", .Size = 0x2000000, .Changes = Sector64KBlock,
       .Mode = Above16MiB},
      // ESMT 0x8C: 8C 20 and 8C 21 through the SST 25VF routine, the rest by the JEDEC table.
      {.Answer = {0x8C, 0x20, 0x14}, .By = Sst25Vf, .Name = "ESMT 25L T Series", .Size = 0x100000},
      {.Answer = {0x8C, 0x20, 0x19}, .By = Sst25Vf, .Name = "ESMT 25L T Series", .Size = 0x2000000,
       .Mode = Above16MiB},
      {.Answer = {0x8C, 0x21, 0x15}, .By = Sst25Vf, .Name = "ESMT 25L B Series", .Size = 0x200000,
       .Changes = {.EnableWriteStatusOp = 0x00}},
      {.Answer = {0x8C, 0x40, 0x16}, .Name = "ESMT 25L QA/PA Series", .Size = 0x400000},
      {.Answer = {0x8C, 0x41, 0x16}, .Name = "ESMT 25L QA/PA Series", .Size = 0x400000},
      // ISSI 0x9D: any part above 16 MiB leaves four-byte addressing with 0x29.
      {.Answer = {0x9D, 0x60, 0x18}, .Name = "ISSI 25LP Series", .Size = 0x1000000},
      {.Answer = {0x9D, 0x60, 0x19}, .Name = "ISSI 25LP Series", .Size = 0x2000000, .Mode = Above16MiBAltExit},
      {.Answer = {0x9D, 0x60, 0x1A}, .Name = "ISSI 25LP Series", .Size = 0x4000000, .Mode = Above16MiBAltExit},
      {.Answer = {0x9D, 0x70, 0x19}, .Name = "ISSI 25WP Series", .Size = 0x2000000, .Mode = Above16MiBAltExit},
      // Fudan 0xA1.
      {.Answer = {0xA1, 0x28, 0x17}, .Name = "Fudan FM25W Series", .Size = 0x800000},
      {.Answer = {0xA1, 0x40, 0x17}, .Name = "Fudan FM25Q Series", .Size = 0x800000},
      // SST / Microchip 0xBF: 26VF by the JEDEC table, 25VF by its own routine
      // (pages from 8 MiB up), 25LF only through 0x90.
      {.Answer = {0xBF, 0x26, 0x43}, .Name = "SST 26VF Series", .Size = 0x800000},
      {.Answer = {0xBF, 0x25, 0x41}, .By = Sst25Vf, .Name = "SST 25VF Series", .Size = 0x200000},
      {.Answer = {0xBF, 0x25, 0x8E}, .By = Sst25Vf, .Name = "SST 25VF Series", .Size = 0x100000},
      {.Answer = {0xBF, 0x25, 0x04}, .By = Sst25Vf, .Name = "SST 25VF Series", .Size = 0x2000000,
       .Changes = {.PageSize = Sst25VfPages}, .Mode = Above16MiB},
      {.Answer = {0xBF, 0x25, 0xFF}, .By = Sst25Vf, .Name = "SST 25VF Series", .Size = 0x2000000,
       .Changes = {.PageSize = Sst25VfPages}, .Mode = Above16MiB},
      {.Answer = {0xBF, 0x25, 0x4B}, .By = Sst25Vf, .Name = "SST 25VF Series", .Size = 0x800000,
       .Changes = {.PageSize = Sst25VfPages}},
      {.Answer = {0xBF, 0x44, 0xBF}, .Part = "SST25LF040A", .By = Sst25Lf, .Name = "SST 25LF040", .Size = 0x80000},
      {.Answer = {0xBF, 0x80, 0xBF}, .Part = "SST25LF080A", .By = Sst25Lf, .Name = "SST 25LF080", .Size = 0x100000},
      // Macronix 0xC2.
      {.Answer = {0xC2, 0x20, 0x18}, .Name = "MXIC 25L/U Series", .Size = 0x1000000},
      {.Answer = {0xC2, 0x20, 0x19}, .Name = "MXIC 25L/U Series", .Size = 0x2000000, .Mode = Above16MiB},
      {.Answer = {0xC2, 0x20, 0x1A}, .Name = "MXIC 25L/U Series", .Size = 0x4000000, .Mode = Above16MiB},
      {.Answer = {0xC2, 0x24, 0x15}, .Name = "MXIC 25L/U Series", .Size = 0x200000},
      {.Answer = {0xC2, 0x25, 0x38}, .Name = "MXIC 25L/U Series", .Size = 0x1000000},
      {.Answer = {0xC2, 0x28, 0x17}, .Name = "MXIC 25R Series", .Size = 0x800000},
      {.Answer = {0xC2, 0x5E, 0x16}, .Name = "MXIC 25L/U Series", .Size = 0x400000},
      {.Answer = {0xC2, 0x75, 0x18}, .Name = "MXIC 77L/77U Series", .Size = 0x1000000},
      {.Answer = {0xC2, 0x76, 0x18}, .Name = "MXIC 77L/77U Series", .Size = 0x1000000},
      // GigaDevice 0xC8.
      {.Answer = {0xC8, 0x40, 0x18}, .Name = "GigaDevice 25Q Series", .Size = 0x1000000},
      {.Answer = {0xC8, 0x40, 0x17}, .Name = "GigaDevice 25Q Series", .Size = 0x800000},
      {.Answer = {0xC8, 0x47, 0x18}, .Name = "GigaDevice 25B Series", .Size = 0x1000000},
      {.Answer = {0xC8, 0x60, 0x18}, .Name = "GigaDevice 25Q Series", .Size = 0x1000000},
      {.Answer = {0xC8, 0x65, 0x18}, .Name = "GigaDevice 55WR Series", .Size = 0x1000000},
      {.Answer = {0xC8, 0x67, 0x18}, .Name = "GigaDevice 25LB Series", .Size = 0x1000000},
      // Winbond 0xEF.
      {.Answer = {0xEF, 0x30, 0x16}, .Name = "Winbond 25X/Q Series", .Size = 0x400000},
      {.Answer = {0xEF, 0x40, 0x17}, .Name = "Winbond 25X/Q Series", .Size = 0x800000},
      {.Answer = {0xEF, 0x40, 0x18}, .Name = "Winbond 25X/Q Series", .Size = 0x1000000},
      {.Answer = {0xEF, 0x40, 0x19}, .Name = "Winbond 25X/Q Series", .Size = 0x2000000, .Mode = Above16MiB},
      {.Answer = {0xEF, 0x40, 0x20}, .Name = "Winbond 25X/Q Series", .Size = 0x4000000, .Mode = Above16MiB},
      {.Answer = {0xEF, 0x40, 0x39}, .Name = "Winbond 25X/Q Series", .Size = 0x2000000, .Mode = Above16MiB},
      {.Answer = {0xEF, 0x50, 0x14}, .Name = "Winbond 25X/Q Series", .Size = 0x100000},
      {.Answer = {0xEF, 0x60, 0x18}, .Name = "Winbond 25X/Q Series", .Size = 0x1000000},
      {.Answer = {0xEF, 0x70, 0x18}, .Name = "Winbond 25X/Q Series", .Size = 0x1000000},
      {.Answer = {0xEF, 0x71, 0x19}, .Name = "Winbond 25X/Q Series", .Size = 0x2000000, .Mode = Above16MiB},
      {.Answer = {0xEF, 0x80, 0x18}, .Name = "Winbond 25X/Q Series", .Size = 0x1000000},
      {.Answer = {0xEF, 0x8A, 0x16}, .Name = "Winbond 77Q Series", .Size = 0x400000},
      // Fidelix 0xF8.
      {.Answer = {0xF8, 0x32, 0x16}, .Name = "FIDELIX 25Q Series", .Size = 0x400000},
      {.Answer = {0xF8, 0x43, 0x16}, .Name = "FIDELIX 25M Series", .Size = 0x400000},
      // Nothing recognised: nothing on the bus, a dead data line, an unknown
      // manufacturer, an unknown memory type of a known one, the ROM Armor
      // marker without the service, and BF 44 answered to 0x9F instead of 0x90.
      {.Answer = {0xFF, 0xFF, 0xFF}, .By = None},
      {.Answer = {0x00, 0x00, 0x00}, .By = None},
      {.Answer = {0x8E, 0x20, 0x18}, .By = None},
      {.Answer = {0xEF, 0x99, 0x18}, .By = None},
      {.Answer = {0x52, 0x41, 0x32}, .By = None},
      {.Answer = {0xBF, 0x44, 0x10}, .By = None},
  };
  return Rows;
}

// The identities outside the catalogue that the table above covers.
std::vector<sim::ChipSpec> ExtraChips() {
  return {sim::AbsentChip(),
          sim::DeadBus(),
          sim::GenericChip({0x8E, 0x20, 0x18}),
          sim::GenericChip({0xEF, 0x99, 0x18}),
          sim::GenericChip({0x52, 0x41, 0x32}),
          sim::GenericChip({0xBF, 0x44, 0x10}),
          sim::GenericChip({0x1F, 0x44, 0x7E}),
          sim::GenericChip({0x8C, 0x20, 0x19}),
          sim::GenericChip({0x9D, 0x60, 0x1A}),
          sim::GenericChip({0xBF, 0x25, 0xFF}),
          sim::GenericChip({0xEF, 0x40, 0x39})};
}

const Expectation *FindExpectation(const sim::ChipSpec &Chip) {
  const auto &Rows = Expectations();
  auto Named = std::find_if(Rows.begin(), Rows.end(),
                            [&](const Expectation &E) { return E.Part != nullptr && Chip.Name == E.Part; });
  if (Named != Rows.end()) {
    return &*Named;
  }
  if (!Chip.AnswersJedecId) {
    return nullptr;
  }
  auto ById = std::find_if(Rows.begin(), Rows.end(),
                           [&](const Expectation &E) { return E.Part == nullptr && E.Answer == Chip.JedecId; });
  return ById != Rows.end() ? &*ById : nullptr;
}

OpcodeImage ExpectedOpcodes(const Expectation &E) {
  OpcodeImage Image = E.By == Recogniser::Sst25Vf ? Sst25VfImage
                      : E.By == Recogniser::Sst25Lf ? Sst25LfImage
                                                    : JedecImage;
  const TemplateChanges &C = E.Changes;
  if (C.SectorEraseOp) {
    Image[SectorEraseOpcodeAt] = *C.SectorEraseOp;
  }
  if (C.BlockEraseOp) {
    Image[BlockEraseOpcodeAt] = *C.BlockEraseOp;
  }
  if (C.EnableWriteStatusOp) {
    Image[EnableWriteStatusOpcodeAt] = *C.EnableWriteStatusOp;
  }
  if (C.PageSize) {
    PutLe32At(Image, PageSizeAt, *C.PageSize);
  }
  if (C.SectorSize) {
    PutLe32At(Image, SectorSizeAt, *C.SectorSize);
  }
  return Image;
}

// The chip state before any identification: what an unrecognised chip leaves.
constexpr uint32_t SizeAtLoad = 0x02000000;
constexpr uint32_t PageSizeAtLoad = 1;
constexpr uint32_t BlockSizeAtLoad = 0x1000;

constexpr uint8_t ReadJedecId = 0x9F;
constexpr uint8_t ReadManufacturerDevice = 0x90;
constexpr uint8_t IdBytes = 3;
constexpr uint8_t Id90AddressBytes = 3;

std::vector<uint8_t> ExpectedReadIds(Recogniser By) {
  switch (By) {
  case Recogniser::Sst25Vf:
    return {ReadJedecId};
  case Recogniser::Jedec:
    return {ReadJedecId, ReadJedecId};
  case Recogniser::Sst25Lf:
  case Recogniser::None:
    break;
  }
  return {ReadJedecId, ReadJedecId, ReadManufacturerDevice};
}

std::string Hex(const std::array<uint8_t, 3> &Bytes) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%02X %02X %02X", Bytes[0], Bytes[1], Bytes[2]);
  return Text;
}

std::string Listing(const std::deque<sim::SpiCommand> &Trace) {
  std::string Text = "SPI commands:\n";
  for (const sim::SpiCommand &C : Trace) {
    Text += "  " + sim::Trace::Format(C) + "\n";
  }
  return Text;
}

bool IsReadId(const sim::SpiCommand &C) {
  return C.Opcode == ReadJedecId || C.Opcode == ReadManufacturerDevice;
}

// Checks the driver's chip state and the SPI commands of one probe run
// (Trace) against E, on a platform with or without the ROM3 window.
void CheckIdentification(const Expectation &E, bool Rom3, const std::deque<sim::SpiCommand> &Trace) {
  SCOPED_TRACE("identity " + Hex(E.Answer) + (Rom3 ? ", ROM3 window" : ", no ROM3 window"));

  // Read-identification commands, in order, with their shapes.
  std::vector<uint8_t> ReadIds;
  std::vector<const sim::SpiCommand *> Others;
  for (const sim::SpiCommand &C : Trace) {
    EXPECT_EQ(C.Path, sim::SpiPath::Controller);
    if (IsReadId(C)) {
      ReadIds.push_back(C.Opcode);
      EXPECT_EQ(C.RxCount, IdBytes);
      if (C.Opcode == ReadManufacturerDevice) {
        EXPECT_EQ(C.TxCount, Id90AddressBytes);
        EXPECT_EQ(C.Tx, std::vector<uint8_t>(Id90AddressBytes, 0x00));
      } else {
        EXPECT_EQ(C.TxCount, 0u);
      }
    } else {
      Others.push_back(&C);
    }
  }
  EXPECT_EQ(ReadIds, ExpectedReadIds(E.By)) << Listing(Trace);

  const uint8_t Mode = Rom3 ? E.Mode.WithRom3 : E.Mode.WithoutRom3;
  if (Mode == 0) {
    EXPECT_TRUE(Others.empty()) << Listing(Trace);
  } else {
    ASSERT_EQ(Others.size(), 1u) << Listing(Trace);
    EXPECT_EQ(unsigned{Others[0]->Opcode}, unsigned{Mode});
    EXPECT_EQ(Others[0]->TxCount, 0u);
    EXPECT_EQ(Others[0]->RxCount, 0u);
    EXPECT_TRUE(IsReadId(Trace.front()) && &Trace.back() == Others[0]) << "the mode command comes last";
  }
  EXPECT_EQ(unsigned{mFlashAddressModeOpcode}, unsigned{Mode});

  // Slots the identification never touches.
  EXPECT_EQ(mFlashOps.Read, FlashRead);
  EXPECT_EQ(mFlashOps.EraseBlock, FlashEraseBlock);
  EXPECT_EQ(mFlashOps.Erase, FlashErase);
  EXPECT_EQ(mFlashOps.Program, FlashProgram);
  EXPECT_EQ(mFlashOps.ClearProtection, FlashClearProtection);
  EXPECT_EQ(mFlashOps.ReadId, FlashReadId);
  EXPECT_EQ(mFlashOps.BlockEraseAllowed, 1u);

  std::array<char, FLASH_PART_NAME_LENGTH> Name{};
  if (E.By == Recogniser::None) {
    EXPECT_EQ(mFlashDevice, nullptr);
    EXPECT_EQ(ImageOf(mOpcodes), HexImage(OpcodeImage{}));
    EXPECT_EQ(mFlashSize, SizeAtLoad);
    EXPECT_EQ(mFlashId, 0u);
    EXPECT_EQ(mFlashId16, 0u);
    EXPECT_EQ(mFlashOps.Name, nullptr);
    EXPECT_EQ(mFlashOps.PageSize, PageSizeAtLoad);
    EXPECT_EQ(mFlashOps.BlockSize, BlockSizeAtLoad);
  } else {
    std::memcpy(Name.data(), E.Name, std::strlen(E.Name));
    const uint32_t Id = static_cast<uint32_t>(E.Answer[0]) | static_cast<uint32_t>(E.Answer[1]) << 8 |
                        static_cast<uint32_t>(E.Answer[2]) << 16;
    const OpcodeImage Opcodes = ExpectedOpcodes(E);
    EXPECT_EQ(mFlashDevice, &mFlashOps);
    EXPECT_EQ(ImageOf(mOpcodes), HexImage(Opcodes));
    EXPECT_EQ(mFlashSize, E.Size);
    EXPECT_EQ(mFlashId, Id);
    EXPECT_EQ(mFlashId16, static_cast<uint16_t>(Id));
    EXPECT_EQ(mFlashOps.Name, mFlashPartName);
    EXPECT_EQ(mFlashOps.PageSize, Le32At(Opcodes, PageSizeAt));
    EXPECT_EQ(mFlashOps.BlockSize, Le32At(Opcodes, SectorSizeAt));
  }
  std::array<char, FLASH_PART_NAME_LENGTH> Buffer;
  std::memcpy(Buffer.data(), mFlashPartName, Buffer.size());
  EXPECT_EQ(std::string(Buffer.data(), Buffer.size()), std::string(Name.data(), Name.size()));
}

// ---- The catalogue, with and without the ROM3 window ------------------------

struct ChipCase {
  sim::ChipSpec Chip;
};

void PrintTo(const ChipCase &C, std::ostream *Out) { *Out << C.Chip.Name; }

std::vector<ChipCase> AllChips() {
  std::vector<ChipCase> Cases;
  for (const sim::ChipSpec &S : sim::ChipCatalogue()) {
    Cases.push_back({S});
  }
  for (sim::ChipSpec &S : ExtraChips()) {
    Cases.push_back({std::move(S)});
  }
  return Cases;
}

std::string Identifier(const std::string &Text) {
  std::string Id;
  for (char Ch : Text) {
    const bool Word = (Ch >= 'A' && Ch <= 'Z') || (Ch >= 'a' && Ch <= 'z') || (Ch >= '0' && Ch <= '9');
    if (Word) {
      Id += Ch;
    } else if (!Id.empty() && Id.back() != '_') {
      Id += '_';
    }
  }
  while (!Id.empty() && Id.back() == '_') {
    Id.pop_back();
  }
  return Id;
}

bool IsRom3(const std::string &Preset) { return Preset == "rom3"; }

class Identification : public test::PlatformTest,
                       public ::testing::WithParamInterface<std::tuple<ChipCase, std::string>> {};

TEST_P(Identification, BootIdentifiesThePartAsTabled) {
  const auto &[Case, Preset] = GetParam();
  const Expectation *E = FindExpectation(Case.Chip);
  ASSERT_NE(E, nullptr) << "no expectation row for '" << Case.Chip.Name << "' answering "
                        << Hex(Case.Chip.JedecId) << ": add one";
  sim::PlatformConfig Config = sim::PlatformPreset(Preset);
  Config.Chip = Case.Chip;
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  CheckIdentification(*E, IsRom3(Preset), P.M().Log().Spi);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, Identification,
                         ::testing::Combine(::testing::ValuesIn(AllChips()), ::testing::Values("default", "rom3")),
                         [](const auto &Info) {
                           return Identifier(std::get<0>(Info.param).Chip.Name) + "_" + std::get<1>(Info.param);
                         });

// ---- Identifying again ---------------------------------------------------------

// Parts whose rows change their routine's template, and a part above 16 MiB.
class IdentifyAgain : public test::PlatformTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(IdentifyAgain, GivesTheSameState) {
  sim::PlatformConfig Config;
  Config.Chip = *sim::FindChip(GetParam());
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  ASSERT_EQ(mFlashDevice, &mFlashOps);
  const std::string Opcodes = ImageOf(mOpcodes);
  std::array<uint8_t, sizeof(FLASH_DEVICE_OPS)> Ops;
  std::memcpy(Ops.data(), &mFlashOps, Ops.size());
  const uint32_t Size = mFlashSize, Id = mFlashId;
  std::array<char, FLASH_PART_NAME_LENGTH> Name;
  std::memcpy(Name.data(), mFlashPartName, Name.size());
  const std::vector<uint8_t> BootCommands = P.M().Log().SpiOpcodes();

  P.M().Log().Clear();
  IdentifyFlashDevice();

  EXPECT_EQ(ImageOf(mOpcodes), Opcodes);
  std::array<uint8_t, sizeof(FLASH_DEVICE_OPS)> OpsAgain;
  std::memcpy(OpsAgain.data(), &mFlashOps, OpsAgain.size());
  EXPECT_EQ(OpsAgain, Ops);
  EXPECT_EQ(mFlashSize, Size);
  EXPECT_EQ(mFlashId, Id);
  EXPECT_EQ(std::memcmp(mFlashPartName, Name.data(), Name.size()), 0);
  // The second run reads the identity afresh and sends the same addressing-mode
  // command again.
  EXPECT_EQ(P.M().Log().SpiOpcodes(), BootCommands);
}

INSTANTIATE_TEST_SUITE_P(Parts, IdentifyAgain,
                         ::testing::Values("Cypress S25FS512S", "ST M25P128", "Atmel AT25DF041A", "ESMT F25L16PA",
                                           "SST25VF064C", "SST25LF080A"),
                         [](const auto &Info) { return Identifier(Info.param); });

// ---- A different chip, a shorter name ------------------------------------------

struct Swap {
  const char *First;
  const char *Second;
};

void PrintTo(const Swap &S, std::ostream *Out) { *Out << S.First << " -> " << S.Second; }

class ChipSwap : public test::PlatformTest, public ::testing::WithParamInterface<Swap> {
protected:
  std::unique_ptr<sim::FlashChip> Second_;
};

// The chip's identity changes under a booted driver; the next probe run takes
// on the second part entirely, and the first part's longer name leaves no tail.
TEST_P(ChipSwap, NextIdentificationDescribesOnlyTheNewPart) {
  const Swap &S = GetParam();
  sim::PlatformConfig Config;
  Config.Chip = *sim::FindChip(S.First);
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  const Expectation *FirstRow = FindExpectation(Config.Chip);
  ASSERT_NE(FirstRow, nullptr);
  ASSERT_EQ(std::string(mFlashPartName, std::strlen(FirstRow->Name)), FirstRow->Name);

  const sim::ChipSpec &SecondSpec = *sim::FindChip(S.Second);
  const Expectation *SecondRow = FindExpectation(SecondSpec);
  ASSERT_NE(SecondRow, nullptr);
  ASSERT_LT(std::strlen(SecondRow->Name), std::strlen(FirstRow->Name));
  Second_ = std::make_unique<sim::FlashChip>(SecondSpec);
  P.Spi().AttachChip(Second_.get());
  P.M().Log().Clear();
  IdentifyFlashDevice();
  CheckIdentification(*SecondRow, false, P.M().Log().Spi);
}

INSTANTIATE_TEST_SUITE_P(Parts, ChipSwap,
                         ::testing::Values(Swap{"Micron N25Q128A13", "SST25VF080B"},
                                           Swap{"Generic XMC 25QH 256 Mbit (20 70 19) (family stand-in)",
                                                "SST25LF040A"}),
                         [](const auto &Info) { return Identifier(Info.param.Second); });

} // namespace
