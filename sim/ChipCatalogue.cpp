#include "ChipCatalogue.h"

#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr uint64_t Ms = 1000;        // microseconds per millisecond
constexpr uint64_t Sec = 1000 * Ms;  // microseconds per second
constexpr uint32_t MHz = 1'000'000;

// Erase times of one part in microseconds (typical / maximum); zero where the
// part has no such erase.
struct EraseTimes {
  uint64_t Sector4kTyp = 0, Sector4kMax = 0;
  uint64_t Block32kTyp = 0, Block32kMax = 0;
  uint64_t Block64kTyp = 0, Block64kMax = 0;
  uint64_t ChipTyp = 0, ChipMax = 0;
};

// Standard opcodes: 0x20 4 KiB sector, 0x52 32 KiB block, 0xD8 64 KiB block,
// 0x60 / 0xC7 chip; native four-byte 0x21 and 0xDC.
constexpr uint8_t Sector4kOp = 0x20, Block32kOp = 0x52, Block64kOp = 0xD8, ChipOp = 0x60, ChipAltOp = 0xC7;
constexpr uint8_t Sector4kFourByteOp = 0x21, Block64kFourByteOp = 0xDC;

std::vector<EraseOp> Erases(const EraseTimes &T, bool FourByteOps) {
  std::vector<EraseOp> Ops;
  if (T.Sector4kMax != 0) {
    Ops.push_back({.Opcode = Sector4kOp, .Size = 4 * KiB, .TypicalUs = T.Sector4kTyp, .MaxUs = T.Sector4kMax});
  }
  if (T.Block32kMax != 0) {
    Ops.push_back({.Opcode = Block32kOp, .Size = 32 * KiB, .TypicalUs = T.Block32kTyp, .MaxUs = T.Block32kMax});
  }
  if (T.Block64kMax != 0) {
    Ops.push_back({.Opcode = Block64kOp, .Size = 64 * KiB, .TypicalUs = T.Block64kTyp, .MaxUs = T.Block64kMax});
  }
  if (FourByteOps && T.Sector4kMax != 0) {
    Ops.push_back({.Opcode = Sector4kFourByteOp, .Size = 4 * KiB, .TypicalUs = T.Sector4kTyp, .MaxUs = T.Sector4kMax,
                   .FourByteAddress = true});
  }
  if (FourByteOps && T.Block64kMax != 0) {
    Ops.push_back({.Opcode = Block64kFourByteOp, .Size = 64 * KiB, .TypicalUs = T.Block64kTyp,
                   .MaxUs = T.Block64kMax, .FourByteAddress = true});
  }
  Ops.push_back({.Opcode = ChipOp, .Size = 0, .TypicalUs = T.ChipTyp, .MaxUs = T.ChipMax});
  Ops.push_back({.Opcode = ChipAltOp, .Size = 0, .TypicalUs = T.ChipTyp, .MaxUs = T.ChipMax});
  return Ops;
}

// ---- Timings -------------------------------------------------------------

// Winbond W25Q128JV: max values from a vendor board-support header, typical from
// the family's self-description tables. Also the generic figures for families
// without published ones.
constexpr EraseTimes WinbondErase{.Sector4kTyp = 45 * Ms, .Sector4kMax = 400 * Ms,
                                  .Block32kTyp = 120 * Ms, .Block32kMax = 1600 * Ms,
                                  .Block64kTyp = 150 * Ms, .Block64kMax = 2000 * Ms,
                                  .ChipTyp = 40 * Sec, .ChipMax = 200 * Sec};
constexpr ChipTimes WinbondTimes{.tPPTypUs = 700, .tPPMaxUs = 3 * Ms, .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};
constexpr EraseTimes GenericErase = WinbondErase;
constexpr ChipTimes GenericTimes = WinbondTimes;

// Macronix "G" generation (MX25L25645G) self-description tables; maxima the
// tables lack are the generic ones.
constexpr EraseTimes MacronixGErase{.Sector4kTyp = 30 * Ms, .Sector4kMax = 420 * Ms,
                                    .Block32kTyp = 160 * Ms, .Block32kMax = 1600 * Ms,
                                    .Block64kTyp = 288 * Ms, .Block64kMax = 4 * Sec,
                                    .ChipTyp = 40 * Sec, .ChipMax = 200 * Sec};
constexpr ChipTimes MacronixGTimes{.tPPTypUs = 256, .tPPMaxUs = 3 * Ms, .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};
// MX25L12835F: maxima (low confidence); typical figures from the G generation.
constexpr EraseTimes Macronix35FErase{.Sector4kTyp = 30 * Ms, .Sector4kMax = 120 * Ms,
                                      .Block32kTyp = 160 * Ms, .Block32kMax = 650 * Ms,
                                      .Block64kTyp = 288 * Ms, .Block64kMax = 650 * Ms,
                                      .ChipTyp = 40 * Sec, .ChipMax = 80 * Sec};

// Micron N25Q: maxima from a board-support table; typical figures generic.
constexpr EraseTimes MicronN25QErase{.Sector4kTyp = 45 * Ms, .Sector4kMax = 800 * Ms,
                                     .Block64kTyp = 150 * Ms, .Block64kMax = 3 * Sec,
                                     .ChipTyp = 40 * Sec, .ChipMax = 480 * Sec};
// Micron MT25Q (512 Mbit): maxima, low confidence; typical figures generic.
constexpr EraseTimes MicronMT25QErase{.Sector4kTyp = 45 * Ms, .Sector4kMax = 400 * Ms,
                                      .Block32kTyp = 120 * Ms, .Block32kMax = 1000 * Ms,
                                      .Block64kTyp = 150 * Ms, .Block64kMax = 1000 * Ms,
                                      .ChipTyp = 40 * Sec, .ChipMax = 460 * Sec};
constexpr ChipTimes MicronMT25QTimes{.tPPTypUs = 700, .tPPMaxUs = 2 * Ms, .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};

// Spansion S25FL128S vendor simulation model constants (one figure per
// operation, used as typical and maximum). 4 KiB parameter-sector times generic.
constexpr EraseTimes SpansionFLSErase{.Sector4kTyp = 45 * Ms, .Sector4kMax = 400 * Ms,
                                      .Block64kTyp = 650 * Ms, .Block64kMax = 650 * Ms,
                                      .ChipTyp = 165 * Sec, .ChipMax = 165 * Sec};
constexpr ChipTimes SpansionFLSTimes{.tPPTypUs = 750, .tPPMaxUs = 750, .tBPTypUs = 400, .tBPMaxUs = 400,
                                     .tWTypUs = 10 * Ms, .tWMaxUs = 200 * Ms};
// Cypress S25FS-S (S25FS256S model as family stand-in).
constexpr uint64_t SpansionFS256kEraseUs = 2900 * Ms;
constexpr uint64_t SpansionFSChipEraseUs = 360 * Sec;
constexpr ChipTimes SpansionFSTimes{.tPPTypUs = 900, .tPPMaxUs = 900, .tWTypUs = 15 * Ms, .tWMaxUs = 750 * Ms};

// ISSI IS25WP256 self-description table; missing maxima generic.
constexpr EraseTimes IssiErase{.Sector4kTyp = 48 * Ms, .Sector4kMax = 384 * Ms,
                               .Block32kTyp = 160 * Ms, .Block32kMax = 1600 * Ms,
                               .Block64kTyp = 304 * Ms, .Block64kMax = 2000 * Ms,
                               .ChipTyp = 60 * Sec, .ChipMax = 480 * Sec};
constexpr ChipTimes IssiTimes{.tPPTypUs = 200, .tPPMaxUs = 1200, .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};

// GigaDevice GD25Q class: board wait values (typical, low confidence); maxima generic.
constexpr EraseTimes GigaDeviceErase{.Sector4kTyp = 50 * Ms, .Sector4kMax = 400 * Ms,
                                     .Block32kTyp = 150 * Ms, .Block32kMax = 1600 * Ms,
                                     .Block64kTyp = 250 * Ms, .Block64kMax = 2000 * Ms,
                                     .ChipTyp = 15 * Sec, .ChipMax = 200 * Sec};

// SST25VF016B / 080B: typical figures from the datasheet text (low confidence),
// maxima taken equal to them where none is known.
constexpr EraseTimes Sst25VfErase{.Sector4kTyp = 18 * Ms, .Sector4kMax = 25 * Ms,
                                  .Block32kTyp = 20 * Ms, .Block32kMax = 25 * Ms,
                                  .Block64kTyp = 20 * Ms, .Block64kMax = 25 * Ms,
                                  .ChipTyp = 35 * Ms, .ChipMax = 50 * Ms};
constexpr ChipTimes Sst25VfTimes{.tPPTypUs = 1500, .tPPMaxUs = 1500, .tBPTypUs = 7, .tBPMaxUs = 10,
                                 .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};
// SST25LF040A/080A: no 64 KiB erase; SST 25VF figures as family stand-in.
constexpr EraseTimes Sst25LfErase{.Sector4kTyp = 18 * Ms, .Sector4kMax = 25 * Ms,
                                  .Block32kTyp = 20 * Ms, .Block32kMax = 25 * Ms,
                                  .ChipTyp = 70 * Ms, .ChipMax = 100 * Ms};

// ST M25P: uniform 64 KiB sectors (256 KiB on M25P128), no 4 KiB erase;
// figures from the datasheets as remembered, medium confidence.
constexpr EraseTimes StM25P64Erase{.Block64kTyp = 1 * Sec, .Block64kMax = 3 * Sec,
                                   .ChipTyp = 68 * Sec, .ChipMax = 160 * Sec};
constexpr ChipTimes StM25PTimes{.tPPTypUs = 1400, .tPPMaxUs = 5 * Ms, .tWTypUs = 5 * Ms, .tWMaxUs = 15 * Ms};
constexpr uint64_t StM25P128SectorTypUs = 2 * Sec, StM25P128SectorMaxUs = 6 * Sec;
constexpr uint64_t StM25P128ChipTypUs = 105 * Sec, StM25P128ChipMaxUs = 250 * Sec;

// Atmel AT25DF: from the datasheets as remembered, low confidence.
constexpr EraseTimes AtmelErase{.Sector4kTyp = 50 * Ms, .Sector4kMax = 200 * Ms,
                                .Block32kTyp = 250 * Ms, .Block32kMax = 600 * Ms,
                                .Block64kTyp = 400 * Ms, .Block64kMax = 950 * Ms,
                                .ChipTyp = 7 * Sec, .ChipMax = 28 * Sec};
constexpr ChipTimes AtmelTimes{.tPPTypUs = 1000, .tPPMaxUs = 5 * Ms, .tWTypUs = 10 * Ms, .tWMaxUs = 15 * Ms};

// ---- Status-register protection -------------------------------------------

// Winbond W25Q (and Winbond-like) SR1: BP0-2 bits 2-4, TB bit 5, SEC bit 6, SRP0 bit 7;
// bp 1 protects the top 1/64, bp 6 the top half, bp 7 everything.
constexpr Protection WinbondProt{.Kind = ProtectionKind::Fraction, .BpBits = 3, .TbBit = 5, .KeptBits = 0xC0};
// W25Q256JV/512JV SR1: BP0-3 bits 2-5, TB bit 6, SRP0 bit 7; bp 1 protects the top 64 KiB, doubling.
constexpr Protection Winbond4BpProt{
    .Kind = ProtectionKind::Units, .BpBits = 4, .TbBit = 6, .Unit = 64 * KiB, .KeptBits = 0x80};
// Macronix SR: BP0-3 bits 2-5, QE bit 6, SRWD bit 7 (top/bottom is a one-time configuration bit).
constexpr Protection MacronixProt{.Kind = ProtectionKind::Units, .BpBits = 4, .Unit = 64 * KiB, .KeptBits = 0xC0};
// ISSI IS25LP/WP SR: BP0-3 bits 2-5, QE bit 6, SRWD bit 7.
constexpr Protection IssiProt = MacronixProt;
// Micron N25Q/MT25Q SR: BP0-2 bits 2-4, TB bit 5, BP3 bit 6, SRWD bit 7.
constexpr Protection MicronProt{.Kind = ProtectionKind::Units, .BpBits = 3, .HighBpBit = 6, .TbBit = 5,
                                .Unit = 64 * KiB, .KeptBits = 0x80};
// ST M25P / Spansion FL-S / generic SR: BP0-2 bits 2-4, SRWD bit 7.
constexpr Protection StProt{.Kind = ProtectionKind::Fraction, .BpBits = 3, .KeptBits = 0x80};
// SST25VF016B/080B SR: BP0-2 bits 2-4 (BP3 bit 5 not used), AAI bit 6, BPL bit 7;
// bp 1 protects the top 1/32, bp 5 the top half, bp 6 and 7 everything; BP set at power-up.
constexpr Protection Sst25VfProt{.Kind = ProtectionKind::Fraction, .BpBits = 3, .FullFrom = 6,
                                 .ProtectedAtPowerUp = true, .KeptBits = 0x80};
// SST25VF064C SR: BP0-3 bits 2-5, BPL bit 7; bp 1 protects the top 64 KiB, doubling; BP set at power-up.
constexpr Protection Sst25Vf064Prot{.Kind = ProtectionKind::Units, .BpBits = 4, .Unit = 64 * KiB,
                                    .ProtectedAtPowerUp = true, .KeptBits = 0x80};
// SST25LF040A/080A SR: BP0-1 bits 2-3, BPL bit 7; bp 1 top quarter, 2 top half, 3 all; set at power-up.
constexpr Protection Sst25LfProt{.Kind = ProtectionKind::Fraction, .BpBits = 2, .ProtectedAtPowerUp = true,
                                 .KeptBits = 0x80};
// Atmel AT25DF: per-64 KiB sector protection, all sectors protected at power-up;
// Protect/Unprotect Sector 0x36/0x39; SR bits 2-3 (SWP) summarise, a status write
// of all ones / all zeros in bits 2-5 is Global Protect / Global Unprotect; SPRL bit 7.
constexpr Protection AtmelProt{.Kind = ProtectionKind::Locks, .BpShift = 2, .BpBits = 0, .Unit = 64 * KiB,
                               .ProtectedAtPowerUp = true, .KeptBits = 0x80, .LockOp = 0x36, .UnlockOp = 0x39,
                               .GlobalProtectMask = 0x3C};
// SST26VF: block-protection register, every block write-protected at power-up;
// Global Block-Protection Unlock 0x98. Modelled at 64 KiB granularity.
constexpr Protection Sst26Prot{.Kind = ProtectionKind::Locks, .BpBits = 0, .Unit = 64 * KiB,
                               .ProtectedAtPowerUp = true, .KeptBits = 0x00, .GlobalUnlockOp = 0x98};
constexpr Protection NoProt{.Kind = ProtectionKind::None, .BpBits = 0, .KeptBits = 0x00};

// ---- Rows ------------------------------------------------------------------

constexpr char GenericTimingNote[] = "timings generic (Winbond W25Q128JV figures)";

// A part with the common JEDEC command set (4/32/64 KiB and chip erase, BP0-2
// with SRWD), generic timings.
ChipSpec CommonPart(std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size) {
  return ChipSpec{.Name = std::move(Name),
                  .Notes = std::move(Notes),
                  .JedecId = Id,
                  .Size = Size,
                  .Erases = Erases(GenericErase, false),
                  .Prot = StProt,
                  .Times = GenericTimes,
                  .MaxReadHz = 50 * MHz};
}

// A part of a family for whose identity no public part is known.
ChipSpec StandIn(std::string Family, std::array<uint8_t, 3> Id, uint64_t Size) {
  return CommonPart("Generic " + Family + " (family stand-in)",
                    std::string("family stand-in: no public part known for this identity; size by the JEDEC "
                                "capacity convention; ") + GenericTimingNote,
                    Id, Size);
}

// Winbond-like part (Winbond, GigaDevice, XMC, Adesto SF/SL, Spansion FL-K/FL-L,
// Eon, XTX): 4/32/64 KiB erases, 0x50 volatile status enable.
ChipSpec WinbondLike(std::string Name, std::string Notes, std::array<uint8_t, 3> Id,
                     std::optional<std::array<uint8_t, 2>> Id90, uint64_t Size, const EraseTimes &E = WinbondErase,
                     const ChipTimes &T = WinbondTimes, uint32_t ReadHz = 50 * MHz) {
  return ChipSpec{.Name = std::move(Name),
                  .Notes = std::move(Notes),
                  .JedecId = Id,
                  .Id90 = Id90,
                  .Size = Size,
                  .Erases = Erases(E, false),
                  .VolatileStatusEnable = true,
                  .Prot = WinbondProt,
                  .Times = T,
                  .MaxReadHz = ReadHz};
}

ChipSpec AtmelPart(std::string Name, std::array<uint8_t, 3> Id, uint64_t Size) {
  return ChipSpec{.Name = std::move(Name),
                  .Notes = "Atmel AT25DF family: sector protection at power-up; timings low confidence",
                  .JedecId = Id,
                  .JedecIdExtra = {0x00}, // extended device information length
                  .Size = Size,
                  .Erases = Erases(AtmelErase, false),
                  .Prot = AtmelProt,
                  .Times = AtmelTimes,
                  .MaxReadHz = 50 * MHz};
}

ChipSpec IntelS33(std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size, bool TopBoot) {
  // Intel S33: 64 KiB sectors (0xD8), eight 8 KiB parameter blocks (0x40) in
  // the boot sector at the bottom (B) or top (T), bulk erase 0xC7; 33 MHz.
  constexpr uint8_t ParameterEraseOp = 0x40;
  const uint64_t BootBegin = TopBoot ? Size - 64 * KiB : 0;
  return ChipSpec{.Name = std::move(Name),
                  .Notes = std::move(Notes),
                  .JedecId = Id,
                  .Size = Size,
                  .Erases = {{.Opcode = Block64kOp, .Size = 64 * KiB, .TypicalUs = GenericErase.Block64kTyp,
                              .MaxUs = GenericErase.Block64kMax},
                             {.Opcode = ParameterEraseOp, .Size = 8 * KiB, .TypicalUs = GenericErase.Sector4kTyp,
                              .MaxUs = GenericErase.Sector4kMax, .RegionBegin = BootBegin,
                              .RegionEnd = BootBegin + 64 * KiB},
                             {.Opcode = ChipAltOp, .Size = 0, .TypicalUs = GenericErase.ChipTyp,
                              .MaxUs = GenericErase.ChipMax}},
                  .Prot = StProt,
                  .Times = GenericTimes,
                  .MaxReadHz = 33 * MHz};
}

std::vector<ChipSpec> BuildCatalogue() {
  std::vector<ChipSpec> C;
  const auto Add = [&C](ChipSpec S) { C.push_back(std::move(S)); };

  // Spansion / Cypress (manufacturer 0x01).
  // FL-S hybrid configuration: 32 parameter sectors of 4 KiB at the bottom (128 KiB), 64 KiB elsewhere.
  const auto FlsErases = [](bool FourByte) {
    std::vector<EraseOp> Ops{
        {.Opcode = Sector4kOp, .Size = 4 * KiB, .TypicalUs = SpansionFLSErase.Sector4kTyp,
         .MaxUs = SpansionFLSErase.Sector4kMax, .RegionBegin = 0, .RegionEnd = 128 * KiB},
        {.Opcode = Block64kOp, .Size = 64 * KiB, .TypicalUs = SpansionFLSErase.Block64kTyp,
         .MaxUs = SpansionFLSErase.Block64kMax},
        {.Opcode = ChipOp, .Size = 0, .TypicalUs = SpansionFLSErase.ChipTyp, .MaxUs = SpansionFLSErase.ChipMax},
        {.Opcode = ChipAltOp, .Size = 0, .TypicalUs = SpansionFLSErase.ChipTyp, .MaxUs = SpansionFLSErase.ChipMax}};
    if (FourByte) {
      Ops.push_back({.Opcode = Sector4kFourByteOp, .Size = 4 * KiB, .TypicalUs = SpansionFLSErase.Sector4kTyp,
                     .MaxUs = SpansionFLSErase.Sector4kMax, .FourByteAddress = true, .RegionBegin = 0,
                     .RegionEnd = 128 * KiB});
      Ops.push_back({.Opcode = Block64kFourByteOp, .Size = 64 * KiB, .TypicalUs = SpansionFLSErase.Block64kTyp,
                     .MaxUs = SpansionFLSErase.Block64kMax, .FourByteAddress = true});
    }
    return Ops;
  };
  Add({.Name = "Spansion S25FL064P",
       .Notes = "4 KiB parameter sectors modelled at the bottom 128 KiB; S25FL128S timings as family stand-in",
       .JedecId = {0x01, 0x02, 0x16},
       .Id90 = std::array<uint8_t, 2>{0x01, 0x16},
       .Size = 8 * MiB,
       .Erases = FlsErases(false),
       .Prot = StProt,
       .Times = SpansionFLSTimes,
       .MaxReadHz = 40 * MHz});
  Add({.Name = "Spansion S25FL256S",
       .Notes = "64 KiB-sector hybrid configuration; four-byte addressing through native opcodes and the bank "
                "register (not modelled), no 0xB7; S25FL128S timings as family stand-in",
       .JedecId = {0x01, 0x02, 0x19},
       .JedecIdExtra = {0x4D, 0x01},
       .Id90 = std::array<uint8_t, 2>{0x01, 0x18},
       .Size = 32 * MiB,
       .Erases = FlsErases(true),
       .NativeFourByteOps = true,
       .Prot = StProt,
       .Times = SpansionFLSTimes,
       .MaxReadHz = 50 * MHz});
  Add({.Name = "Cypress S25FS512S",
       .Notes = "uniform 256 KiB-sector configuration (no 4 KiB erase); four-byte mode 0xB7 / 0xB8; "
                "S25FS256S model figures as family stand-in",
       .JedecId = {0x01, 0x02, 0x20},
       .JedecIdExtra = {0x4D, 0x00, 0x81},
       .Id90 = std::array<uint8_t, 2>{0x01, 0x19},
       .Size = 64 * MiB,
       .Erases = {{.Opcode = Block64kOp, .Size = 256 * KiB, .TypicalUs = SpansionFS256kEraseUs,
                   .MaxUs = SpansionFS256kEraseUs},
                  {.Opcode = Block64kFourByteOp, .Size = 256 * KiB, .TypicalUs = SpansionFS256kEraseUs,
                   .MaxUs = SpansionFS256kEraseUs, .FourByteAddress = true},
                  {.Opcode = ChipOp, .Size = 0, .TypicalUs = SpansionFSChipEraseUs, .MaxUs = SpansionFSChipEraseUs},
                  {.Opcode = ChipAltOp, .Size = 0, .TypicalUs = SpansionFSChipEraseUs,
                   .MaxUs = SpansionFSChipEraseUs}},
       .FourByteMode = true,
       .ExitFourByteOp = 0xB8,
       .NativeFourByteOps = true,
       .Prot = StProt,
       .Times = SpansionFSTimes,
       .MaxReadHz = 50 * MHz});
  Add({.Name = "Spansion S25FL128S",
       .Notes = "64 KiB-sector hybrid configuration; times from the vendor simulation model",
       .JedecId = {0x01, 0x20, 0x18},
       .JedecIdExtra = {0x4D, 0x01},
       .Id90 = std::array<uint8_t, 2>{0x01, 0x17},
       .Size = 16 * MiB,
       .Erases = FlsErases(true),
       .NativeFourByteOps = true,
       .Prot = StProt,
       .Times = SpansionFLSTimes,
       .MaxReadHz = 50 * MHz});
  Add(WinbondLike("Spansion S25FL164K", std::string("Winbond-like command set; ") + GenericTimingNote,
                  {0x01, 0x40, 0x17}, std::array<uint8_t, 2>{0x01, 0x16}, 8 * MiB));
  {
    ChipSpec S = WinbondLike("Cypress S25FL128L",
                             std::string("four-byte mode 0xB7 / 0xB8 and native four-byte opcodes; ") +
                                 GenericTimingNote,
                             {0x01, 0x60, 0x18}, std::array<uint8_t, 2>{0x01, 0x17}, 16 * MiB);
    S.FourByteMode = true;
    S.ExitFourByteOp = 0xB8;
    S.NativeFourByteOps = true;
    S.Erases = Erases(WinbondErase, true);
    Add(std::move(S));
  }

  // XTX (0x0B).
  Add(WinbondLike("XTX XT25F128B", std::string("identity as remembered, medium confidence; ") + GenericTimingNote,
                  {0x0B, 0x40, 0x18}, std::nullopt, 16 * MiB));
  Add(StandIn("XTX 25Q", {0x0B, 0x60, 0x17}, 8 * MiB));

  // Eon (0x1C).
  Add({.Name = "Eon EN25P32",
       .Notes = std::string("uniform 64 KiB sectors, no 4 KiB erase; ") + GenericTimingNote,
       .JedecId = {0x1C, 0x20, 0x16},
       .Id90 = std::array<uint8_t, 2>{0x1C, 0x15},
       .Size = 4 * MiB,
       .Erases = Erases({.Block64kTyp = GenericErase.Block64kTyp, .Block64kMax = GenericErase.Block64kMax,
                         .ChipTyp = GenericErase.ChipTyp, .ChipMax = GenericErase.ChipMax},
                        false),
       .Prot = StProt,
       .Times = GenericTimes,
       .MaxReadHz = 50 * MHz});
  Add(WinbondLike("Eon EN25Q64", std::string("medium confidence; ") + GenericTimingNote, {0x1C, 0x30, 0x17},
                  std::array<uint8_t, 2>{0x1C, 0x16}, 8 * MiB));
  Add(WinbondLike("Eon EN25F32", std::string("medium confidence; ") + GenericTimingNote, {0x1C, 0x31, 0x16},
                  std::array<uint8_t, 2>{0x1C, 0x15}, 4 * MiB));
  Add(WinbondLike("Eon EN25S64", std::string("1.8 V; medium confidence; ") + GenericTimingNote, {0x1C, 0x38, 0x17},
                  std::nullopt, 8 * MiB));
  Add(WinbondLike("Eon EN25QH128", std::string("medium confidence; ") + GenericTimingNote, {0x1C, 0x70, 0x18},
                  std::array<uint8_t, 2>{0x1C, 0x17}, 16 * MiB));
  Add(StandIn("Eon 25 (1C 78)", {0x1C, 0x78, 0x17}, 8 * MiB));

  // Adesto / Atmel (0x1F).
  Add(WinbondLike("Adesto AT25SF641", std::string("Winbond-like command set; ") + GenericTimingNote,
                  {0x1F, 0x32, 0x17}, std::nullopt, 8 * MiB));
  Add(WinbondLike("Adesto AT25SL128A", std::string("1.8 V; Winbond-like command set; ") + GenericTimingNote,
                  {0x1F, 0x42, 0x18}, std::nullopt, 16 * MiB));
  Add(WinbondLike("Adesto AT25SL641", std::string("1.8 V; Winbond-like command set; ") + GenericTimingNote,
                  {0x1F, 0x43, 0x17}, std::nullopt, 8 * MiB));
  Add(AtmelPart("Atmel AT25DF041A", {0x1F, 0x44, 0x01}, 512 * KiB));
  Add(AtmelPart("Atmel AT25DF081A", {0x1F, 0x45, 0x01}, 1 * MiB));
  Add(AtmelPart("Atmel AT25DF161", {0x1F, 0x46, 0x02}, 2 * MiB));
  Add(AtmelPart("Atmel AT25DF321A", {0x1F, 0x47, 0x01}, 4 * MiB));
  Add(AtmelPart("Atmel AT25DF641A", {0x1F, 0x48, 0x00}, 8 * MiB));
  Add(AtmelPart("Atmel AT25DQ161", {0x1F, 0x86, 0x00}, 2 * MiB));

  // ST / Numonyx / Micron / XMC (0x20).
  Add({.Name = "ST M25P128",
       .Notes = "uniform 256 KiB sectors, no 4 KiB erase; datasheet figures as remembered, medium confidence",
       .JedecId = {0x20, 0x20, 0x18},
       .Size = 16 * MiB,
       .Erases = {{.Opcode = Block64kOp, .Size = 256 * KiB, .TypicalUs = StM25P128SectorTypUs,
                   .MaxUs = StM25P128SectorMaxUs},
                  {.Opcode = ChipAltOp, .Size = 0, .TypicalUs = StM25P128ChipTypUs, .MaxUs = StM25P128ChipMaxUs}},
       .Prot = StProt,
       .Times = StM25PTimes,
       .MaxReadHz = 20 * MHz});
  Add({.Name = "ST M25P64",
       .Notes = "uniform 64 KiB sectors, no 4 KiB erase; datasheet figures as remembered, medium confidence",
       .JedecId = {0x20, 0x20, 0x17},
       .Size = 8 * MiB,
       .Erases = {{.Opcode = Block64kOp, .Size = 64 * KiB, .TypicalUs = StM25P64Erase.Block64kTyp,
                   .MaxUs = StM25P64Erase.Block64kMax},
                  {.Opcode = ChipAltOp, .Size = 0, .TypicalUs = StM25P64Erase.ChipTyp, .MaxUs = StM25P64Erase.ChipMax}},
       .Prot = StProt,
       .Times = StM25PTimes,
       .MaxReadHz = 20 * MHz});
  Add(StandIn("XMC 25QU (20 38)", {0x20, 0x38, 0x18}, 16 * MiB));
  Add(WinbondLike("XMC XM25QH128C", std::string("Winbond-like command set; ") + GenericTimingNote,
                  {0x20, 0x40, 0x18}, std::array<uint8_t, 2>{0x20, 0x17}, 16 * MiB));
  Add(WinbondLike("XMC XM25QU128C", std::string("1.8 V; Winbond-like command set; ") + GenericTimingNote,
                  {0x20, 0x41, 0x18}, std::array<uint8_t, 2>{0x20, 0x17}, 16 * MiB));
  Add(StandIn("XMC 25RH", {0x20, 0x43, 0x17}, 8 * MiB));
  Add(StandIn("XMC 25RU", {0x20, 0x44, 0x17}, 8 * MiB));
  Add(StandIn("XMC 25QU (20 50)", {0x20, 0x50, 0x18}, 16 * MiB));
  {
    ChipSpec S = WinbondLike("XMC XM25QH256B",
                             std::string("exit four-byte opcode 0x29 low confidence (datasheet not at hand); ") +
                                 GenericTimingNote,
                             {0x20, 0x60, 0x19}, std::nullopt, 32 * MiB);
    S.FourByteMode = true;
    S.ExitFourByteOp = 0x29;
    S.NativeFourByteOps = true;
    S.Erases = Erases(WinbondErase, true);
    S.Prot = Winbond4BpProt;
    Add(std::move(S));
  }
  Add(WinbondLike("XMC XM25QH128A", std::string("identity as remembered, medium confidence; ") + GenericTimingNote,
                  {0x20, 0x70, 0x18}, std::nullopt, 16 * MiB));
  {
    ChipSpec S = StandIn("XMC 25QH 256 Mbit (20 70 19)", {0x20, 0x70, 0x19}, 32 * MiB);
    S.Notes += "; four-byte mode with exit opcode 0x29, low confidence";
    S.FourByteMode = true;
    S.ExitFourByteOp = 0x29;
    Add(std::move(S));
  }
  Add({.Name = "Numonyx M25PX64",
       .Notes = std::string("4 KiB subsectors and 64 KiB sectors; ") + GenericTimingNote,
       .JedecId = {0x20, 0x71, 0x17},
       .Size = 8 * MiB,
       .Erases = Erases({.Sector4kTyp = GenericErase.Sector4kTyp, .Sector4kMax = GenericErase.Sector4kMax,
                         .Block64kTyp = GenericErase.Block64kTyp, .Block64kMax = GenericErase.Block64kMax,
                         .ChipTyp = GenericErase.ChipTyp, .ChipMax = GenericErase.ChipMax},
                        false),
       .Prot = StProt,
       .Times = StM25PTimes,
       .MaxReadHz = 50 * MHz});
  {
    // M25PE80: 256-byte page erase 0xDB, 4 KiB subsector 0x20, 64 KiB sector 0xD8;
    // no status-register block protection (lock registers, not modelled).
    constexpr uint8_t PageEraseOp = 0xDB;
    Add({.Name = "Numonyx M25PE80",
         .Notes = "page erase 0xDB; figures as remembered, low confidence; no bulk erase modelled",
         .JedecId = {0x20, 0x80, 0x14},
         .Size = 1 * MiB,
         .Erases = {{.Opcode = PageEraseOp, .Size = 256, .TypicalUs = 10 * Ms, .MaxUs = 20 * Ms},
                    {.Opcode = Sector4kOp, .Size = 4 * KiB, .TypicalUs = 50 * Ms, .MaxUs = 150 * Ms},
                    {.Opcode = Block64kOp, .Size = 64 * KiB, .TypicalUs = 1 * Sec, .MaxUs = 5 * Sec}},
         .Prot = NoProt,
         .Times = {.tPPTypUs = 800, .tPPMaxUs = 5 * Ms, .tWTypUs = 5 * Ms, .tWMaxUs = 15 * Ms},
         .MaxReadHz = 33 * MHz});
  }
  const auto Micron = [](std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size,
                         const EraseTimes &E, const ChipTimes &T) {
    const bool Big = Size > 16 * MiB;
    return ChipSpec{.Name = std::move(Name),
                    .Notes = std::move(Notes) + "; 0xB7 / 0xE9 need write enable first",
                    .JedecId = Id,
                    .JedecIdExtra = {0x10}, // length of the extended device information
                    .Size = Size,
                    .Erases = Erases(E, Big),
                    .FourByteMode = Big,
                    .FourByteModeNeedsWel = true,
                    .NativeFourByteOps = Big,
                    .Prot = MicronProt,
                    .Times = T,
                    .MaxReadHz = 54 * MHz};
  };
  Add(Micron("Micron N25Q128A13", "maxima from a board-support table, typical generic", {0x20, 0xBA, 0x18}, 16 * MiB,
             MicronN25QErase, GenericTimes));
  Add(Micron("Micron N25Q256A13", "maxima from a board-support table, typical generic", {0x20, 0xBA, 0x19}, 32 * MiB,
             MicronN25QErase, GenericTimes));
  Add(Micron("Micron MT25QL512ABB", "MT25Q maxima, low confidence; typical generic", {0x20, 0xBA, 0x20}, 64 * MiB,
             MicronMT25QErase, MicronMT25QTimes));
  Add(Micron("Micron N25Q128A11", "1.8 V; maxima from a board-support table, typical generic", {0x20, 0xBB, 0x18},
             16 * MiB, MicronN25QErase, GenericTimes));

  // AMIC (0x37, and 0x7F 0x37 with the continuation code first).
  Add(WinbondLike("AMIC A25L032", std::string("medium confidence; ") + GenericTimingNote, {0x37, 0x30, 0x16},
                  std::nullopt, 4 * MiB));
  Add(WinbondLike("AMIC A25LQ64", std::string("identity as remembered, low confidence; ") + GenericTimingNote,
                  {0x37, 0x40, 0x17}, std::nullopt, 8 * MiB));
  Add({.Name = "AMIC A25L40P",
       .Notes = std::string("answers 7F 37 20 13: continuation code, manufacturer, memory type, capacity; low "
                            "confidence; ") + GenericTimingNote,
       .JedecId = {0x7F, 0x37, 0x20},
       .JedecIdExtra = {0x13},
       .Size = 512 * KiB,
       .Erases = Erases({.Block64kTyp = GenericErase.Block64kTyp, .Block64kMax = GenericErase.Block64kMax,
                         .ChipTyp = GenericErase.ChipTyp, .ChipMax = GenericErase.ChipMax},
                        false),
       .Prot = StProt,
       .Times = GenericTimes,
       .MaxReadHz = 50 * MHz});

  // Boya (0x68).
  Add(StandIn("Boya 25 (68 60)", {0x68, 0x60, 0x17}, 8 * MiB));

  // PMC (0x7F 0x9D).
  {
    // Pm25LQ032C: 4 KiB sector erase under both 0x20 and the PMC opcode 0xD7.
    constexpr uint8_t PmcSectorEraseOp = 0xD7;
    ChipSpec S = CommonPart("PMC Pm25LQ032C", std::string("sector erase 0xD7 and 0x20; ") + GenericTimingNote,
                            {0x7F, 0x9D, 0x46}, 4 * MiB);
    S.Erases.push_back({.Opcode = PmcSectorEraseOp, .Size = 4 * KiB, .TypicalUs = GenericErase.Sector4kTyp,
                        .MaxUs = GenericErase.Sector4kMax});
    Add(std::move(S));
  }

  // Puya (0x85).
  Add(StandIn("Puya 25Q (85 20)", {0x85, 0x20, 0x18}, 16 * MiB));
  Add(StandIn("Puya 25Q (85 23)", {0x85, 0x23, 0x17}, 8 * MiB));
  Add(StandIn("Puya 25Q (85 63)", {0x85, 0x63, 0x17}, 8 * MiB));
  Add(StandIn("Puya 25Q (85 65)", {0x85, 0x65, 0x17}, 8 * MiB));

  // Intel (0x89): device 0x11-0x13 bottom boot, 0x15-0x17 top boot.
  const std::string IntelNote = std::string("Intel S33: 8 KiB parameter blocks in the boot sector; ") + GenericTimingNote;
  Add(IntelS33("Intel QB25F160S33B8", IntelNote, {0x89, 0x89, 0x11}, 2 * MiB, false));
  Add(IntelS33("Intel QB25F320S33T8", IntelNote, {0x89, 0x89, 0x16}, 4 * MiB, true));
  Add(IntelS33("Intel QB25F640S33B8", IntelNote, {0x89, 0x89, 0x13}, 8 * MiB, false));
  Add(IntelS33("Generic Intel S33 (89 89 14, family stand-in)",
               "family stand-in: device byte 0x14 is no Intel S33 part; 1 MiB by the JEDEC capacity convention; " +
                   IntelNote,
               {0x89, 0x89, 0x14}, 1 * MiB, false));

  // ESMT (0x8C).
  Add({.Name = "ESMT F25L008A",
       .Notes = "SST-compatible: byte program, EWSR, protected at power-up; SST 25VF figures as family stand-in, low "
                "confidence",
       .JedecId = {0x8C, 0x20, 0x14},
       .Id90 = std::array<uint8_t, 2>{0x8C, 0x13},
       .Size = 1 * MiB,
       .BytePrograms = true,
       .Erases = Erases(Sst25VfErase, false),
       .NeedsEwsr = true,
       .Prot = Sst25VfProt,
       .Times = Sst25VfTimes,
       .MaxReadHz = 33 * MHz});
  Add({.Name = "ESMT F25L16PA",
       .Notes = "page program; status write after WREN or EWSR; SST 25VF figures as family stand-in, low confidence",
       .JedecId = {0x8C, 0x21, 0x15},
       .Size = 2 * MiB,
       .Erases = Erases(Sst25VfErase, false),
       .NeedsEwsr = true,
       .Prot = StProt,
       .Times = Sst25VfTimes,
       .MaxReadHz = 50 * MHz});
  Add(StandIn("ESMT F25L QA (8C 40)", {0x8C, 0x40, 0x16}, 4 * MiB));
  Add(WinbondLike("ESMT F25L32QA", std::string("identity as remembered, low confidence; ") + GenericTimingNote,
                  {0x8C, 0x41, 0x16}, std::nullopt, 4 * MiB));

  // ISSI (0x9D).
  const auto Issi = [](std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size,
                       std::optional<std::array<uint8_t, 2>> Id90) {
    const bool Big = Size > 16 * MiB;
    return ChipSpec{.Name = std::move(Name),
                    .Notes = std::move(Notes),
                    .JedecId = Id,
                    .Id90 = Id90,
                    .Size = Size,
                    .Erases = Erases(IssiErase, Big),
                    .FourByteMode = Big,
                    .ExitFourByteOp = 0x29, // EX4B
                    .NativeFourByteOps = Big,
                    .Prot = IssiProt,
                    .Times = IssiTimes,
                    .MaxReadHz = 50 * MHz};
  };
  Add(Issi("ISSI IS25LP128", "IS25WP256 figures as family stand-in", {0x9D, 0x60, 0x18}, 16 * MiB,
           std::array<uint8_t, 2>{0x9D, 0x17}));
  Add(Issi("ISSI IS25LP256D", "IS25WP256 figures as family stand-in", {0x9D, 0x60, 0x19}, 32 * MiB,
           std::array<uint8_t, 2>{0x9D, 0x18}));
  Add(Issi("ISSI IS25WP256D", "1.8 V; self-description table figures", {0x9D, 0x70, 0x19}, 32 * MiB,
           std::array<uint8_t, 2>{0x9D, 0x18}));

  // Fudan (0xA1).
  Add(StandIn("Fudan FM25W", {0xA1, 0x28, 0x17}, 8 * MiB));
  Add(StandIn("Fudan FM25Q", {0xA1, 0x40, 0x17}, 8 * MiB));

  // SST / Microchip (0xBF).
  Add({.Name = "Microchip SST26VF064B",
       .Notes = "block-protection register locked at power-up, unlocked by 0x98; uniform 64 KiB blocks (the 8 and 32 "
                "KiB end blocks not modelled); SST 25VF figures as family stand-in",
       .JedecId = {0xBF, 0x26, 0x43},
       .Size = 8 * MiB,
       .Erases = Erases({.Sector4kTyp = Sst25VfErase.Sector4kTyp, .Sector4kMax = Sst25VfErase.Sector4kMax,
                         .Block64kTyp = Sst25VfErase.Block64kTyp, .Block64kMax = Sst25VfErase.Block64kMax,
                         .ChipTyp = Sst25VfErase.ChipTyp, .ChipMax = Sst25VfErase.ChipMax},
                        false),
       .Prot = Sst26Prot,
       .Times = Sst25VfTimes,
       .MaxReadHz = 40 * MHz});
  const auto Sst25Vf = [](std::string Name, std::string Notes, uint8_t Capacity, uint8_t Device, uint64_t Size) {
    return ChipSpec{.Name = std::move(Name),
                    .Notes = std::move(Notes),
                    .JedecId = {0xBF, 0x25, Capacity},
                    .Id90 = std::array<uint8_t, 2>{0xBF, Device},
                    .Size = Size,
                    .BytePrograms = true,
                    .Erases = Erases(Sst25VfErase, false),
                    .NeedsEwsr = true,
                    .Prot = Sst25VfProt,
                    .Times = Sst25VfTimes,
                    .MaxReadHz = 25 * MHz};
  };
  Add(Sst25Vf("SST25VF016B", "byte program (AAI not modelled); times low confidence", 0x41, 0x41, 2 * MiB));
  Add(Sst25Vf("SST25VF080B", "byte program (AAI not modelled); times low confidence", 0x8E, 0x8E, 1 * MiB));
  Add(Sst25Vf("SST25WF040", "1.8 V member of the SST25 family, capacity byte 0x04; SST25VF016B times as family "
                            "stand-in",
              0x04, 0x04, 512 * KiB));
  {
    ChipSpec S = Sst25Vf("SST25VF064C", "256-byte page program; SST25VF016B times as family stand-in", 0x4B, 0x4B,
                         8 * MiB);
    S.BytePrograms = false;
    S.Prot = Sst25Vf064Prot;
    S.MaxReadHz = 50 * MHz;
    Add(std::move(S));
  }
  const auto Sst25Lf = [](std::string Name, uint8_t Device, uint64_t Size) {
    return ChipSpec{.Name = std::move(Name),
                    .Notes = "no JEDEC identification: identity only through 0x90; EWSR required (WREN does not "
                             "arm the status write, low confidence); SST 25VF times as family stand-in",
                    .JedecId = {0xBF, Device, 0xFF},
                    .AnswersJedecId = false,
                    .Id90 = std::array<uint8_t, 2>{0xBF, Device},
                    .Size = Size,
                    .BytePrograms = true,
                    .Erases = Erases(Sst25LfErase, false),
                    .NeedsEwsr = true,
                    .WrenArmsStatusWrite = false,
                    .Prot = Sst25LfProt,
                    .Times = Sst25VfTimes,
                    .MaxReadHz = 33 * MHz};
  };
  Add(Sst25Lf("SST25LF040A", 0x44, 512 * KiB));
  Add(Sst25Lf("SST25LF080A", 0x80, 1 * MiB));

  // Macronix (0xC2).
  const auto Macronix = [](std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size,
                           std::optional<std::array<uint8_t, 2>> Id90, const EraseTimes &E, const ChipTimes &T) {
    const bool Big = Size > 16 * MiB;
    return ChipSpec{.Name = std::move(Name),
                    .Notes = std::move(Notes),
                    .JedecId = Id,
                    .Id90 = Id90,
                    .Size = Size,
                    .Erases = Erases(E, Big),
                    .FourByteMode = Big,
                    .NativeFourByteOps = Big,
                    .Prot = MacronixProt,
                    .Times = T,
                    .MaxReadHz = 50 * MHz};
  };
  Add(Macronix("Macronix MX25L12835F", "maxima low confidence; typical figures from the G generation",
               {0xC2, 0x20, 0x18}, 16 * MiB, std::array<uint8_t, 2>{0xC2, 0x17}, Macronix35FErase, MacronixGTimes));
  Add(Macronix("Macronix MX25L25645G", "self-description table figures; missing maxima generic", {0xC2, 0x20, 0x19},
               32 * MiB, std::array<uint8_t, 2>{0xC2, 0x18}, MacronixGErase, MacronixGTimes));
  Add(Macronix("Macronix MX25L51245G", "MX25L25645G figures as family stand-in", {0xC2, 0x20, 0x1A}, 64 * MiB,
               std::array<uint8_t, 2>{0xC2, 0x19}, MacronixGErase, MacronixGTimes));
  Add(StandIn("Macronix 25L (C2 24)", {0xC2, 0x24, 0x15}, 2 * MiB));
  Add(Macronix("Macronix MX25U12835F", "1.8 V; MX25L25645G figures as family stand-in", {0xC2, 0x25, 0x38},
               16 * MiB, std::array<uint8_t, 2>{0xC2, 0x37}, MacronixGErase, MacronixGTimes));
  Add(Macronix("Macronix MX25R6435F", "wide-voltage; MX25L25645G figures as family stand-in", {0xC2, 0x28, 0x17},
               8 * MiB, std::array<uint8_t, 2>{0xC2, 0x16}, MacronixGErase, MacronixGTimes));
  Add(Macronix("Macronix MX25L3235E", "identity as remembered, low confidence; MX25L25645G figures as stand-in",
               {0xC2, 0x5E, 0x16}, 4 * MiB, std::nullopt, MacronixGErase, MacronixGTimes));
  Add(StandIn("Macronix 77L (C2 75)", {0xC2, 0x75, 0x18}, 16 * MiB));
  Add(StandIn("Macronix 77U (C2 76)", {0xC2, 0x76, 0x18}, 16 * MiB));

  // GigaDevice (0xC8).
  Add(WinbondLike("GigaDevice GD25Q128C", "board wait values, low confidence", {0xC8, 0x40, 0x18},
                  std::array<uint8_t, 2>{0xC8, 0x17}, 16 * MiB, GigaDeviceErase));
  Add(WinbondLike("GigaDevice GD25Q64C", "board wait values, low confidence", {0xC8, 0x40, 0x17},
                  std::array<uint8_t, 2>{0xC8, 0x16}, 8 * MiB, GigaDeviceErase));
  Add(StandIn("GigaDevice 25B (C8 47)", {0xC8, 0x47, 0x18}, 16 * MiB));
  Add(WinbondLike("GigaDevice GD25LQ128D", "1.8 V; board wait values, low confidence", {0xC8, 0x60, 0x18},
                  std::array<uint8_t, 2>{0xC8, 0x17}, 16 * MiB, GigaDeviceErase));
  Add(StandIn("GigaDevice 55WR (C8 65)", {0xC8, 0x65, 0x18}, 16 * MiB));
  Add(StandIn("GigaDevice 25LB (C8 67)", {0xC8, 0x67, 0x18}, 16 * MiB));

  // Winbond (0xEF).
  {
    ChipSpec S = WinbondLike("Winbond W25X32", "no 32 KiB erase; W25Q128JV figures as family stand-in",
                             {0xEF, 0x30, 0x16}, std::array<uint8_t, 2>{0xEF, 0x15}, 4 * MiB);
    S.Erases = Erases({.Sector4kTyp = WinbondErase.Sector4kTyp, .Sector4kMax = WinbondErase.Sector4kMax,
                       .Block64kTyp = WinbondErase.Block64kTyp, .Block64kMax = WinbondErase.Block64kMax,
                       .ChipTyp = WinbondErase.ChipTyp, .ChipMax = WinbondErase.ChipMax},
                      false);
    S.VolatileStatusEnable = false;
    S.Prot = StProt;
    Add(std::move(S));
  }
  Add(WinbondLike("Winbond W25Q64JV", "W25Q128JV figures as family stand-in", {0xEF, 0x40, 0x17},
                  std::array<uint8_t, 2>{0xEF, 0x16}, 8 * MiB));
  Add(WinbondLike("Winbond W25Q128JV", "max from a vendor board-support header, typical from self-description tables",
                  {0xEF, 0x40, 0x18}, std::array<uint8_t, 2>{0xEF, 0x17}, 16 * MiB));
  const auto WinbondBig = [](std::string Name, std::string Notes, std::array<uint8_t, 3> Id, uint64_t Size,
                             std::array<uint8_t, 2> Id90) {
    ChipSpec S = WinbondLike(std::move(Name), std::move(Notes), Id, Id90, Size);
    S.FourByteMode = true;
    S.NativeFourByteOps = true;
    S.Erases = Erases(WinbondErase, true);
    S.Prot = Winbond4BpProt;
    return S;
  };
  Add(WinbondBig("Winbond W25Q256JV", "W25Q128JV figures as family stand-in; native four-byte opcodes",
                 {0xEF, 0x40, 0x19}, 32 * MiB, {0xEF, 0x18}));
  Add(WinbondBig("Winbond W25Q512JV", "W25Q128JV figures as family stand-in; native four-byte opcodes",
                 {0xEF, 0x40, 0x20}, 64 * MiB, {0xEF, 0x19}));
  Add(WinbondLike("Winbond W25Q80BW", "1.8 V; W25Q128JV figures as family stand-in", {0xEF, 0x50, 0x14},
                  std::array<uint8_t, 2>{0xEF, 0x13}, 1 * MiB));
  Add(WinbondLike("Winbond W25Q128FW", "1.8 V; W25Q128JV figures as family stand-in", {0xEF, 0x60, 0x18},
                  std::array<uint8_t, 2>{0xEF, 0x17}, 16 * MiB));
  Add(WinbondLike("Winbond W25Q128JV-IM", "DTR variant; W25Q128JV figures", {0xEF, 0x70, 0x18},
                  std::array<uint8_t, 2>{0xEF, 0x17}, 16 * MiB));
  Add(WinbondBig("Winbond W25M512JV", "two 32 MiB dies behind die select 0xC2; die 0 only is modelled",
                 {0xEF, 0x71, 0x19}, 32 * MiB, {0xEF, 0x18}));
  Add(WinbondLike("Winbond W25Q128JW-IM", "1.8 V DTR variant; W25Q128JV figures as family stand-in",
                  {0xEF, 0x80, 0x18}, std::array<uint8_t, 2>{0xEF, 0x17}, 16 * MiB));
  Add(StandIn("Winbond W77Q (EF 8A)", {0xEF, 0x8A, 0x16}, 4 * MiB));

  // Fidelix (0xF8).
  Add(StandIn("Fidelix FM25Q (F8 32)", {0xF8, 0x32, 0x16}, 4 * MiB));
  Add(StandIn("Fidelix FM25M (F8 43)", {0xF8, 0x43, 0x16}, 4 * MiB));
  return C;
}

std::string Lower(std::string_view S) {
  std::string L(S);
  for (char &Ch : L) {
    Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(Ch)));
  }
  return L;
}

std::optional<std::array<uint8_t, 3>> ParseIdentity(std::string_view S) {
  constexpr size_t IdentityDigits = 6;
  if (S.size() != IdentityDigits) {
    return std::nullopt;
  }
  std::array<uint8_t, 3> Id{};
  for (size_t I = 0; I < IdentityDigits; I++) {
    const char Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(S[I])));
    int Nibble = 0;
    if (Ch >= '0' && Ch <= '9') {
      Nibble = Ch - '0';
    } else if (Ch >= 'a' && Ch <= 'f') {
      Nibble = Ch - 'a' + 10;
    } else {
      return std::nullopt;
    }
    Id[I / 2] = static_cast<uint8_t>(Id[I / 2] << 4 | Nibble);
  }
  return Id;
}

} // namespace

const std::vector<ChipSpec> &ChipCatalogue() {
  static const std::vector<ChipSpec> Catalogue = BuildCatalogue();
  return Catalogue;
}

const ChipSpec *FindChip(std::string_view Name) {
  const std::string Wanted = Lower(Name);
  for (const ChipSpec &S : ChipCatalogue()) {
    const std::string Full = Lower(S.Name);
    const size_t Space = Full.find(' ');
    if (Full == Wanted || (Space != std::string::npos && Full.substr(Space + 1) == Wanted)) {
      return &S;
    }
  }
  return nullptr;
}

const ChipSpec *FindChipById(std::array<uint8_t, 3> Id) {
  for (const ChipSpec &S : ChipCatalogue()) {
    if (S.AnswersJedecId && S.JedecId == Id) {
      return &S;
    }
  }
  return nullptr;
}

ChipSpec GenericChip(std::array<uint8_t, 3> Id) {
  char Name[64];
  std::snprintf(Name, sizeof Name, "Generic JEDEC part %02X %02X %02X", Id[0], Id[1], Id[2]);
  return CommonPart(Name, std::string("any identity; 16 MiB with a common command set; ") + GenericTimingNote, Id,
                    16 * MiB);
}

ChipSpec AbsentChip() {
  ChipSpec S = GenericChip({0xFF, 0xFF, 0xFF});
  S.Name = "Absent (floating bus)";
  S.Notes = "nothing drives the data line: every byte reads 0xFF";
  S.Bus = BusAnswer::Floating;
  return S;
}

ChipSpec DeadBus() {
  ChipSpec S = GenericChip({0x00, 0x00, 0x00});
  S.Name = "Dead bus (data line low)";
  S.Notes = "the data line is held low: every byte reads 0x00";
  S.Bus = BusAnswer::Zeros;
  return S;
}

std::optional<ChipSpec> ParseChipArgument(std::string_view Argument) {
  if (const ChipSpec *S = FindChip(Argument)) {
    return *S;
  }
  if (auto Id = ParseIdentity(Argument)) {
    const ChipSpec *S = FindChipById(*Id);
    return S != nullptr ? *S : GenericChip(*Id);
  }
  const std::string L = Lower(Argument);
  if (L == "absent") {
    return AbsentChip();
  }
  if (L == "dead") {
    return DeadBus();
  }
  return std::nullopt;
}

ChipSpec ChipFromArgument(std::string_view NameOrSixHexDigits) {
  return ParseChipArgument(NameOrSixHexDigits).value_or(AbsentChip());
}

} // namespace sim
