// The flash address windows: what start-up reads (SPI register snapshot, LPC
// ROM2 range, ROM3 detection) and the conversions between flash offsets and
// window addresses, each conversion that yields a readable address checked
// against the FCH's decode by reading the byte through the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestPlatform.h"
#include "flash/FlashOps.h"
#include "spi/FlashWindows.h"

namespace {

constexpr uint64_t kSpi = sim::SpiController::Base;
constexpr uint64_t kRegisterFileSize = sim::SpiController::RegisterFileSize;
constexpr unsigned kRegisterCount = kRegisterFileSize / sizeof(uint32_t);
// The LPC bridge's ROM2 range registers as the ECAM window places them.
constexpr uint64_t kLpcBridge = sim::PciConfig::Base + sim::PciConfig::LpcBridge;
constexpr uint64_t kLpcRom2StartAddress = kLpcBridge + sim::PciConfig::Rom2StartReg;
constexpr uint64_t kLpcRom2EndAddress = kLpcBridge + sim::PciConfig::Rom2EndReg;
static_assert(kLpcRom2StartAddress == 0xE00A306C && kLpcRom2EndAddress == 0xE00A306E);
// ROM3 base of the "rom3" and "remapped" presets: register 0x64 = 0xFD, register 0x60 = 0.
constexpr uint64_t kRom3 = 0xFD00000000ULL;
constexpr uint32_t kRom3BaseLow = static_cast<uint32_t>(kRom3);
constexpr uint32_t kRom3BaseHigh = static_cast<uint32_t>(kRom3 >> 32);
constexpr uint32_t kSegmentAtLoad = 0x01000000; // mRom3Size before a ROM3 window is found
constexpr uint32_t kRom3Size = 0x04000000;
constexpr uint64_t kSegment = sim::FlashWindows::SegmentSize;
constexpr uint64_t kNoWindow = ~0ULL;
// The chip model stores 4 KiB granules; a case fills the granules it reads.
constexpr uint64_t kGranule = 4 * sim::KiB;
// An out value the conversions must leave alone when they fail.
constexpr uint64_t kUntouched = 0x5A5A5A5A5A5A5A5AULL;
constexpr uint32_t kCpuidSignatureLeaf = 1;
constexpr uint32_t kCpuidExtendedSignatureLeaf = 0x80000001;

std::string Hex(uint64_t Value) {
  char B[24];
  std::snprintf(B, sizeof B, "0x%llX", static_cast<unsigned long long>(Value));
  return B;
}

// Chip contents a case can recognise: a byte that depends on every bit of
// the offset (segment bits included) and is never the erased value 0xFF.
uint8_t Pattern(uint64_t Offset) {
  uint32_t X = static_cast<uint32_t>(Offset) ^ static_cast<uint32_t>(Offset >> 32);
  X ^= X >> 16;
  X *= 0x45D9F3B;
  X ^= X >> 16;
  X *= 0x45D9F3B;
  X ^= X >> 16;
  return static_cast<uint8_t>(X % 0xFF);
}

// Fills the granule holding chip offset Offset with the pattern of its offsets.
void FillGranule(sim::Platform &P, uint64_t Offset) {
  const uint64_t First = Offset % P.Chip().Spec().Size / kGranule * kGranule;
  std::vector<uint8_t> Bytes(kGranule);
  for (uint64_t I = 0; I < kGranule; I++) {
    Bytes[I] = Pattern(First + I);
  }
  P.Chip().Fill(First, Bytes);
}

const sim::ChipSpec &Chip(const char *Name) {
  const sim::ChipSpec *Spec = sim::FindChip(Name);
  if (Spec == nullptr) {
    ADD_FAILURE() << "no catalogue part " << Name;
    static const sim::ChipSpec Fallback = *sim::FindChip("Winbond W25Q128JV");
    return Fallback;
  }
  return *Spec;
}

// --- Start-up -------------------------------------------------------------

struct StartUpCase {
  const char *Name;
  uint32_t Signature; // CPUID 1 EAX
  uint16_t LpcStart = 0xFF00, LpcEnd = 0xFFFF;
  uint32_t Rom3Control = 0; // SPI register 0x50
  uint32_t Rom2Base, Rom2Size;
  bool Rom3;
};

const StartUpCase kStartUps[] = {
    {.Name = "rom2_ff00_ffff_16mib", .Signature = 0x00A20F10, .Rom2Base = 0xFF000000, .Rom2Size = 0x01000000,
     .Rom3 = false},
    {.Name = "rom2_fe00_ffff_32mib", .Signature = 0x00A20F10, .LpcStart = 0xFE00, .Rom2Base = 0xFE000000,
     .Rom2Size = 0x02000000, .Rom3 = false},
    {.Name = "rom2_ff80_ffff_8mib", .Signature = 0x00A20F10, .LpcStart = 0xFF80, .Rom2Base = 0xFF800000,
     .Rom2Size = 0x00800000, .Rom3 = false},
    {.Name = "rom2_ff00_ff7f_8mib", .Signature = 0x00A20F10, .LpcEnd = 0xFF7F, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x00800000, .Rom3 = false},
    {.Name = "family17_model01_rom3_bit_set", .Signature = 0x00800F12, .Rom3Control = 1, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = false},
    // Extended model 2: the last one without the window.
    {.Name = "family17_model20_rom3_bit_set", .Signature = 0x00820F01, .Rom3Control = 1, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = false},
    {.Name = "family17_model30_rom3_bit_set", .Signature = 0x00830F00, .Rom3Control = 1, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = true},
    {.Name = "family17_model31_rom3_bit_set", .Signature = 0x00830F10, .Rom3Control = 1, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = true},
    {.Name = "family17_model31_rom3_bit_clear", .Signature = 0x00830F10, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = false},
    {.Name = "family19_model01_rom3_bit_clear", .Signature = 0x00A00F11, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = false},
    {.Name = "family19_model01_other_bits_set", .Signature = 0x00A00F11, .Rom3Control = 0xFFFFFFFE,
     .Rom2Base = 0xFF000000, .Rom2Size = 0x01000000, .Rom3 = false},
    {.Name = "family19_model01_rom3_bit_set", .Signature = 0x00A00F11, .Rom3Control = 1, .Rom2Base = 0xFF000000,
     .Rom2Size = 0x01000000, .Rom3 = true},
    {.Name = "family1a_model44_rom3_bit_set", .Signature = 0x00B40F40, .LpcStart = 0xFE00, .Rom3Control = 1,
     .Rom2Base = 0xFE000000, .Rom2Size = 0x02000000, .Rom3 = true},
};

void PrintTo(const StartUpCase &C, std::ostream *Out) { *Out << C.Name; }

class FlashWindowStartUp : public test::PlatformTest, public ::testing::WithParamInterface<StartUpCase> {};

// Registers of the file the snapshot must copy, beyond the window registers:
// every register the command engine does not drive gets a value of its own.
bool EngineRegister(uint64_t Offset) {
  return Offset == (sim::SpiController::OpcodeReg & ~3ULL) || Offset == sim::SpiController::TxCountReg ||
         Offset == sim::SpiController::StatusReg;
}
bool WindowRegister(uint64_t Offset) {
  return Offset == sim::SpiController::RomSegmentForceReg || Offset == sim::SpiController::Rom3ControlReg ||
         Offset == sim::SpiController::SegmentRemapReg || Offset == sim::SpiController::Rom3BaseLowReg ||
         Offset == sim::SpiController::Rom3BaseHighReg;
}

TEST_P(FlashWindowStartUp, SnapshotRom2AndRom3) {
  const StartUpCase &C = GetParam();
  sim::PlatformConfig Config;
  Config.Cpu.Cpuid[kCpuidSignatureLeaf].Eax = C.Signature;
  Config.Cpu.Cpuid[kCpuidExtendedSignatureLeaf].Eax = C.Signature;
  Config.LpcRom2Start = C.LpcStart;
  Config.LpcRom2End = C.LpcEnd;
  for (uint64_t Offset = 0; Offset < kRegisterFileSize; Offset += sizeof(uint32_t)) {
    if (!EngineRegister(Offset) && !WindowRegister(Offset)) {
      Config.SpiRegisters[Offset] = 0xA5000000 | static_cast<uint32_t>(Offset) << 8 | static_cast<uint32_t>(Offset);
    }
  }
  Config.SpiRegisters[sim::SpiController::RomSegmentForceReg] = 0x0000000A;
  Config.SpiRegisters[sim::SpiController::Rom3ControlReg] = C.Rom3Control;
  Config.SpiRegisters[sim::SpiController::SegmentRemapReg] = 0x00000001;
  Config.SpiRegisters[sim::SpiController::Rom3BaseLowReg] = kRom3BaseLow;
  Config.SpiRegisters[sim::SpiController::Rom3BaseHighReg] = kRom3BaseHigh;
  sim::Platform &P = Make(Config);
  std::vector<uint32_t> AtBoot;
  for (unsigned K = 0; K < kRegisterCount; K++) {
    AtBoot.push_back(P.Spi().Register32(K * sizeof(uint32_t)));
  }
  ASSERT_EQ(P.Boot(), EFI_SUCCESS) << C.Name;

  EXPECT_EQ(mPciExpressBase, 0xE0000000u);
  EXPECT_EQ(mPciExpressSize, 0x10000000u);
  EXPECT_EQ(mSpiBase, kSpi);
  EXPECT_EQ(mRom2Base, C.Rom2Base) << C.Name;
  EXPECT_EQ(mRom2Size, C.Rom2Size) << C.Name;
  EXPECT_EQ(mRom3Enabled, C.Rom3 ? 1 : 0) << C.Name;
  EXPECT_EQ(mRom3Size, C.Rom3 ? kRom3Size : kSegmentAtLoad) << C.Name;
  // The ROM2 window the driver computed is the one the FCH decodes.
  const auto Rom2 = P.Windows().Rom2Window();
  ASSERT_TRUE(Rom2.has_value()) << C.Name;
  EXPECT_EQ(Rom2->Base, mRom2Base) << C.Name;
  EXPECT_EQ(Rom2->Size, mRom2Size) << C.Name;

  // The snapshot holds the registers as they stood when the driver loaded.
  for (unsigned K = 0; K < kRegisterCount; K++) {
    EXPECT_EQ(mSpiRegShadow[K], AtBoot[K]) << C.Name << ": register " << Hex(K * 4);
    EXPECT_EQ(SpiShadowRead(static_cast<INT32>(K * 4)), AtBoot[K]) << C.Name << ": register " << Hex(K * 4);
  }
  for (const auto &[Offset, Value] : Config.SpiRegisters) {
    EXPECT_EQ(mSpiRegShadow[Offset / 4], Value) << C.Name << ": preset register " << Hex(Offset);
  }

  // The first accesses to the controller and the LPC bridge: 26 reads of 32
  // bits in register order, then the two 16-bit ROM2 range registers.
  std::vector<sim::TraceEvent> Accesses;
  for (const auto &E : P.M().Log().Events) {
    const bool Mmio = E.Kind == sim::EventKind::MmioRead || E.Kind == sim::EventKind::MmioWrite;
    const bool Controller = E.Address >= kSpi && E.Address < kSpi + sim::SpiController::Size;
    const bool Ecam = E.Address >= sim::PciConfig::Base && E.Address < sim::PciConfig::Base + sim::PciConfig::Size;
    if (Mmio && (Controller || Ecam)) {
      Accesses.push_back(E);
    }
  }
  ASSERT_GE(Accesses.size(), kRegisterCount + 2u) << C.Name;
  for (unsigned K = 0; K < kRegisterCount; K++) {
    const sim::TraceEvent &E = Accesses[K];
    EXPECT_EQ(E.Kind, sim::EventKind::MmioRead) << C.Name << ": snapshot access " << K;
    EXPECT_EQ(E.Address, kSpi + K * 4) << C.Name << ": snapshot access " << K;
    EXPECT_EQ(E.Width, 4u) << C.Name << ": snapshot access " << K;
    EXPECT_EQ(E.Value, AtBoot[K]) << C.Name << ": snapshot access " << K;
  }
  const sim::TraceEvent &Start = Accesses[kRegisterCount];
  const sim::TraceEvent &End = Accesses[kRegisterCount + 1];
  EXPECT_EQ(Start.Kind, sim::EventKind::MmioRead) << C.Name;
  EXPECT_EQ(Start.Address, kLpcRom2StartAddress) << C.Name;
  EXPECT_EQ(Start.Width, 2u) << C.Name;
  EXPECT_EQ(Start.Value, C.LpcStart) << C.Name;
  EXPECT_EQ(End.Kind, sim::EventKind::MmioRead) << C.Name;
  EXPECT_EQ(End.Address, kLpcRom2EndAddress) << C.Name;
  EXPECT_EQ(End.Width, 2u) << C.Name;
  EXPECT_EQ(End.Value, C.LpcEnd) << C.Name;
  // Read once: the rest of start-up reads neither the window registers nor
  // the LPC bridge again.
  for (size_t I = kRegisterCount + 2; I < Accesses.size(); I++) {
    const sim::TraceEvent &E = Accesses[I];
    EXPECT_FALSE(E.Kind == sim::EventKind::MmioRead && E.Address >= kSpi &&
                 WindowRegister((E.Address - kSpi) & ~3ULL))
        << C.Name << ": window register " << Hex(E.Address - kSpi) << " read again";
    EXPECT_FALSE(E.Address >= sim::PciConfig::Base && E.Address < sim::PciConfig::Base + sim::PciConfig::Size)
        << C.Name << ": configuration space read again at " << Hex(E.Address);
  }

  // Detection again, as the addressing-mode step does it: same answer, same state.
  EXPECT_EQ(DetectRom3Window(), C.Rom3 ? 1 : 0) << C.Name;
  EXPECT_EQ(mRom3Enabled, C.Rom3 ? 1 : 0) << C.Name;
  EXPECT_EQ(mRom3Size, C.Rom3 ? kRom3Size : kSegmentAtLoad) << C.Name;
}

INSTANTIATE_TEST_SUITE_P(Cases, FlashWindowStartUp, ::testing::ValuesIn(kStartUps),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// --- Conversions ------------------------------------------------------------

struct Conversion {
  const char *Name;
  uint64_t Value;
  FLASH_WINDOW Window;            // MapToFlashWindow
  std::optional<uint64_t> Mapped; // FlashMapForRead; none: it fails
  uint32_t Offset;                // FlashAddressToOffset
};

struct WindowSetup {
  const char *Name;
  const char *Preset = "default";
  std::optional<uint16_t> LpcRom2Start = std::nullopt;
  std::vector<std::pair<uint64_t, uint32_t>> Registers = {}; // on top of the preset
  const char *Chip = "Winbond W25Q128JV";
  std::vector<Conversion> Cases = {};
};

void PrintTo(const WindowSetup &S, std::ostream *Out) { *Out << S.Name; }

constexpr auto None = FlashWindowNone;
constexpr auto Rom2 = FlashWindowRom2;
constexpr auto Rom3 = FlashWindowRom3;
constexpr auto Fails = std::nullopt;
constexpr const char *k8MiB = "Winbond W25Q64JV";
constexpr const char *k16MiB = "Winbond W25Q128JV";
constexpr const char *k32MiB = "Winbond W25Q256JV";
constexpr const char *k64MiB = "Winbond W25Q512JV";

// Expected values worked by hand from the window rules: without ROM3 every
// ROM2 segment shows chip segment 0; with it, window segment s at A[31:24]
// shows chip segment ((A[31:24] + 2), forced bits of 0x30, XOR 0x5C) mod 4.
// Values at or above the chip size try ROM2, then ROM3, then are reduced to
// the chip size; FlashAddressToOffset takes values below 128 MiB as offsets
// and falls back to (value + 32 MiB) mod 4 GiB when no window maps.
const WindowSetup kSetups[] = {
    {.Name = "no_rom3_chip_16mib",
     .Chip = k16MiB,
     .Cases =
         {
             {"offset in the first segment", 0x123456, Rom2, 0xFF123456, 0x123456},
             {"first chip byte", 0, Rom2, 0xFF000000, 0},
             {"last chip byte", 0xFFFFFF, Rom2, 0xFFFFFFFF, 0xFFFFFF},
             {"ROM2-window address", 0xFF123456, Rom2, 0xFF123456, 0x123456},
             {"below the window: reduced to the chip size", 0xF0123456, Rom2, 0xFF123456, 0x123456},
             {"0xF0000000 reduces to offset 0", 0xF0000000, Rom2, 0xFF000000, 0},
             {"value equal to the flash size reduces to 0", 0x01000000, Rom2, 0xFF000000, 0x01000000},
             {"value above the flash size", 0x01123456, Rom2, 0xFF123456, 0x01123456},
             {"last value taken as an offset", 0x07FFFFFF, Rom2, 0xFFFFFFFF, 0x07FFFFFF},
             {"first value taken as an address", 0x08000000, Rom2, 0xFF000000, 0},
             {"above 4 GiB in segment 0xFF: reduced", 0x1FF123456, Rom2, 0xFF123456, 0x123456},
             // Bits 31..24 are 0, the segment ROM2 shows, but no window holds the
             // value: it is reduced like any other value outside the windows.
             {"above 4 GiB in segment 0: reduced", 0x100123456, Rom2, 0xFF123456, 0x123456},
         }},
    {.Name = "no_rom3_window_8mib_chip_8mib",
     .LpcRom2Start = 0xFF80,
     .Chip = k8MiB,
     .Cases =
         {
             {"offset: no whole segment in the window", 0x123456, None, Fails, 0x123456},
             {"first chip byte", 0, None, Fails, 0},
             {"last chip byte", 0x7FFFFF, None, Fails, 0x7FFFFF},
             {"value equal to the flash size", 0x800000, None, Fails, 0x800000},
             // 24-bit address 0x923456, modulo the 8 MiB chip.
             {"ROM2-window address", 0xFF923456, Rom2, 0xFF923456, 0x123456},
             {"window start", 0xFF800000, Rom2, 0xFF800000, 0},
             {"window end", 0xFFFFFFFF, Rom2, 0xFFFFFFFF, 0x7FFFFF},
             {"below the window: fixed fall-back", 0xFF123456, None, Fails, 0x01123456},
         }},
    {.Name = "rom3_chip_32mib",
     .Preset = "rom3",
     .Chip = k32MiB,
     .Cases =
         {
             // (0xFF + 2) mod 4 = 1: the window shows chip segment 1.
             {"offset in chip segment 1", 0x01001000, Rom2, 0xFF001000, 0x01001000},
             {"offset in chip segment 0: not shown", 0x1000, None, Fails, 0x1000},
             {"ROM2-window address", 0xFF001000, Rom2, 0xFF001000, 0x01001000},
             {"window end", 0xFFFFFFFF, Rom2, 0xFFFFFFFF, 0x01FFFFFF},
             {"0xF0000000 reduces to an unshown offset: fall-back", 0xF0000000, None, Fails, 0xF2000000},
             {"value equal to the flash size reduces to 0", 0x02000000, None, Fails, 0x02000000},
             {"value above the flash size", 0x03001000, Rom2, 0xFF001000, 0x03001000},
             {"last value taken as an offset", 0x07FFFFFF, Rom2, 0xFFFFFFFF, 0x07FFFFFF},
             {"ROM3 segment 1 is a ROM3 address", kRom3 + 0x01001000, Rom3, kRom3 + 0x01001000,
              0x01001000},
             {"ROM3 segment 0", kRom3 + 0x1000, Rom3, kRom3 + 0x1000, 0x1000},
             // The FCH sends 0x02001000, which the 32 MiB chip takes modulo its size.
             {"ROM3 segment 2 aliases chip segment 0", kRom3 + 0x02001000, Rom3, kRom3 + 0x02001000, 0x1000},
         }},
    {.Name = "remapped_chip_32mib",
     .Preset = "remapped",
     .Chip = k32MiB,
     .Cases =
         {
             // 1 XOR 0x5C = 0: the window shows chip segment 0.
             {"offset in chip segment 0", 0x1000, Rom2, 0xFF001000, 0x1000},
             {"offset in chip segment 1: not shown", 0x01001000, None, Fails, 0x01001000},
             {"ROM2-window address", 0xFF001000, Rom2, 0xFF001000, 0x1000},
             {"value equal to the flash size reduces to 0", 0x02000000, Rom2, 0xFF000000, 0x02000000},
             {"0xF0000000 reduces to offset 0", 0xF0000000, Rom2, 0xFF000000, 0},
             {"ROM3 segment 0 is a ROM3 address", kRom3 + 0x1000, Rom3, kRom3 + 0x1000, 0x01001000},
             {"ROM3 segment 1 shows chip segment 0", kRom3 + 0x01001000, Rom3, kRom3 + 0x01001000, 0x1000},
         }},
    {.Name = "rom3_window_32mib_chip_32mib",
     .Preset = "rom3",
     .LpcRom2Start = 0xFE00,
     .Chip = k32MiB,
     .Cases =
         {
             // (0xFE + 2) mod 4 = 0, (0xFF + 2) mod 4 = 1.
             {"offset in chip segment 1", 0x01800000, Rom2, 0xFF800000, 0x01800000},
             {"offset in chip segment 0", 0x00800000, Rom2, 0xFE800000, 0x00800000},
             {"lower window segment", 0xFE001000, Rom2, 0xFE001000, 0x1000},
             {"upper window segment", 0xFF001000, Rom2, 0xFF001000, 0x01001000},
             {"value equal to the flash size reduces to 0", 0x02000000, Rom2, 0xFE000000, 0x02000000},
             {"0xF0000000 reduces to offset 0", 0xF0000000, Rom2, 0xFE000000, 0},
             {"ROM3 segment 1 is a ROM3 address", kRom3 + 0x01001000, Rom3, kRom3 + 0x01001000,
              0x01001000},
             {"ROM3 segment 0 is a ROM3 address", kRom3 + 0x1000, Rom3, kRom3 + 0x1000, 0x1000},
         }},
    {.Name = "no_rom3_window_32mib_chip_32mib",
     .Preset = "rom2-32m",
     .Chip = k32MiB,
     .Cases =
         {
             {"offset in chip segment 0", 0x00800000, Rom2, 0xFE800000, 0x00800000},
             {"offset in chip segment 1: never shown", 0x01800000, None, Fails, 0x01800000},
             {"upper window segment shows chip segment 0", 0xFF800000, Rom2, 0xFF800000, 0x00800000},
             {"value equal to the flash size reduces to 0", 0x02000000, Rom2, 0xFE000000, 0x02000000},
             {"value above the flash size", 0x02800000, Rom2, 0xFE800000, 0x02800000},
         }},
    {.Name = "forced_segment_bit0_window_32mib",
     .Preset = "rom3",
     .LpcRom2Start = 0xFE00,
     .Registers = {{sim::SpiController::RomSegmentForceReg, 0x05}},
     .Chip = k32MiB,
     .Cases =
         {
             // Both window segments show chip segment 1: 0 and 1 with bit 0 forced to 1.
             {"offset in chip segment 0: not shown", 0x1000, None, Fails, 0x1000},
             {"offset in chip segment 1", 0x01001000, Rom2, 0xFE001000, 0x01001000},
             {"lower window segment", 0xFE001000, Rom2, 0xFE001000, 0x01001000},
             {"upper window segment", 0xFF001000, Rom2, 0xFF001000, 0x01001000},
         }},
    {.Name = "forced_segment_bit1_chip_64mib",
     .Preset = "rom3",
     .Registers = {{sim::SpiController::RomSegmentForceReg, 0x0A}},
     .Chip = k64MiB,
     .Cases =
         {
             // Segment 1 with bit 1 forced to 1: 3.
             {"offset in chip segment 3", 0x03001000, Rom2, 0xFF001000, 0x03001000},
             {"offset in chip segment 1: not shown", 0x01001000, None, Fails, 0x01001000},
             {"ROM2-window address", 0xFF001000, Rom2, 0xFF001000, 0x03001000},
             {"ROM3 segment 3 is a ROM3 address", kRom3 + 0x03001000, Rom3, kRom3 + 0x03001000,
              0x03001000},
         }},
    {.Name = "rom3_chip_64mib",
     .Preset = "rom3",
     .Chip = k64MiB,
     .Cases =
         {
             {"ROM3 segment 2", kRom3 + 0x02001000, Rom3, kRom3 + 0x02001000, 0x02001000},
             {"offset in chip segment 2: not shown by ROM2", 0x02001000, None, Fails, 0x02001000},
             {"offset in chip segment 1", 0x01001000, Rom2, 0xFF001000, 0x01001000},
             {"ROM3 end", kRom3 + 0x03FFFFFF, Rom3, kRom3 + 0x03FFFFFF, 0x03FFFFFF},
             {"above 4 GiB in segment 2: moved into ROM3", 0x102001000, Rom3, kRom3 + 0x02001000, 0x02001000},
             {"value equal to the flash size reduces to 0", 0x04000000, None, Fails, 0x04000000},
             {"0xF0000000: fall-back", 0xF0000000, None, Fails, 0xF2000000},
             {"ROM3 segment 1 is a ROM3 address", kRom3 + 0x01001000, Rom3, kRom3 + 0x01001000,
              0x01001000},
         }},
    {.Name = "rom3_chip_16mib",
     .Preset = "rom3",
     .Chip = k16MiB,
     .Cases =
         {
             {"offset in the chip", 0x1000, Rom2, 0xFF001000, 0x1000},
             {"ROM2-window address", 0xFF001000, Rom2, 0xFF001000, 0x1000},
             {"value equal to the flash size reduces to 0", 0x01000000, Rom2, 0xFF000000, 0x01000000},
             {"ROM3 segment 0 is a ROM3 address", kRom3 + 0x1000, Rom3, kRom3 + 0x1000, 0x1000},
             {"ROM3 segment 2 aliases chip segment 0", kRom3 + 0x02001000, Rom3, kRom3 + 0x02001000, 0x1000},
         }},
    {.Name = "remapped_chip_64mib",
     .Preset = "remapped",
     .Chip = k64MiB,
     .Cases =
         {
             {"offset in chip segment 0", 0x1000, Rom2, 0xFF001000, 0x1000},
             {"ROM3 segment 3 shows chip segment 2", kRom3 + 0x03001000, Rom3, kRom3 + 0x03001000, 0x02001000},
             {"ROM3 segment 0 shows chip segment 1", kRom3 + 0x1000, Rom3, kRom3 + 0x1000, 0x01001000},
         }},
};

sim::PlatformConfig ConfigOf(const WindowSetup &S) {
  sim::PlatformConfig Config = sim::PlatformPreset(S.Preset);
  if (S.LpcRom2Start) {
    Config.LpcRom2Start = *S.LpcRom2Start;
  }
  for (const auto &[Offset, Value] : S.Registers) {
    Config.SpiRegisters[Offset] = Value;
  }
  Config.Chip = Chip(S.Chip);
  return Config;
}

class FlashWindowConversions : public test::PlatformTest, public ::testing::WithParamInterface<WindowSetup> {};

TEST_P(FlashWindowConversions, AgreeWithTheDecode) {
  const WindowSetup &S = GetParam();
  sim::Platform &P = Make(ConfigOf(S));
  ASSERT_EQ(P.Boot(), EFI_SUCCESS) << S.Name;
  // Identification sets the chip size the conversions use.
  ASSERT_EQ(mFlashSize, P.Chip().Spec().Size) << S.Name;
  P.M().Log().Clear();

  struct Result {
    uint64_t Mapped;
    uint32_t MappedOffset; // FlashAddressToOffset of the mapped address
  };
  std::vector<std::optional<Result>> Results;
  for (const Conversion &C : S.Cases) {
    const std::string Where = std::string(S.Name) + " / " + C.Name + " (" + Hex(C.Value) + ")";
    UINT64 Value = C.Value;
    EXPECT_EQ(MapToFlashWindow(&Value), C.Window) << Where;
    UINT64 Mapped = kUntouched;
    const UINT8 Readable = FlashMapForRead(C.Value, &Mapped);
    UINT64 WindowOffset = kUntouched;
    const UINT8 Converted = FlashWindowAddressToOffset(C.Value, &WindowOffset);
    EXPECT_EQ(FlashAddressToOffset(C.Value), C.Offset) << Where;
    if (C.Mapped) {
      EXPECT_EQ(Readable, 1) << Where;
      EXPECT_EQ(Mapped, *C.Mapped) << Where;
      EXPECT_EQ(Value, Mapped) << Where << ": MapToFlashWindow and FlashMapForRead differ";
      EXPECT_EQ(Converted, 1) << Where;
    } else {
      EXPECT_EQ(Readable, 0) << Where;
      EXPECT_EQ(Mapped, kUntouched) << Where << ": out value written on failure";
      EXPECT_EQ(Converted, 0) << Where;
      EXPECT_EQ(WindowOffset, kUntouched) << Where << ": out offset written on failure";
    }
    Results.push_back(Readable ? std::optional<Result>{{Mapped, FlashAddressToOffset(Mapped)}} : std::nullopt);
  }
  // The conversions work from the snapshot: no register, no flash command.
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::MmioRead), 0u) << S.Name;
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::MmioWrite), 0u) << S.Name;
  EXPECT_TRUE(P.M().Log().Spi.empty()) << S.Name;

  // Every readable address, read through the window: the byte is the chip's
  // byte at the offset the driver computed for it.
  const uint64_t ChipSize = P.Chip().Spec().Size;
  for (size_t I = 0; I < S.Cases.size(); I++) {
    const Conversion &C = S.Cases[I];
    if (!Results[I]) {
      continue;
    }
    const std::string Where = std::string(S.Name) + " / " + C.Name + " (" + Hex(C.Value) + ")";
    const uint64_t Address = Results[I]->Mapped;
    const uint32_t DriverOffset = Results[I]->MappedOffset;
    const std::optional<uint64_t> Decoded = P.Windows().Decode(Address);
    if (!Decoded) {
      ADD_FAILURE() << Where << ": FlashMapForRead gave " << Hex(Address) << ", which no flash window decodes";
      continue;
    }
    EXPECT_EQ(DriverOffset, *Decoded) << Where << ": driver offset " << Hex(DriverOffset) << " for " << Hex(Address)
                                      << ", the FCH reads chip offset " << Hex(*Decoded);
    FillGranule(P, *Decoded);
    FillGranule(P, DriverOffset);
    FillGranule(P, C.Value);
    const uint8_t Byte = static_cast<uint8_t>(sim::Machine::Current().MmioRead(Address, 1));
    EXPECT_EQ(Byte, P.Chip().Read(*Decoded, 1)[0]) << Where << ": window byte at " << Hex(Address);
    if (DriverOffset < ChipSize) {
      EXPECT_EQ(Byte, P.Chip().Read(DriverOffset, 1)[0])
          << Where << ": window byte at " << Hex(Address) << " against chip offset " << Hex(DriverOffset);
    }
    if (C.Value < mFlashSize) {
      EXPECT_EQ(Byte, P.Chip().Read(C.Value, 1)[0])
          << Where << ": window byte at " << Hex(Address) << " against the offset itself";
    }
  }

  // Each whole ROM2 segment shows the chip segment the driver assigns it.
  for (uint32_t Segment = 0; Segment < mRom2Size / kSegment; Segment++) {
    const uint64_t Address = mRom2Base + Segment * kSegment;
    const std::optional<uint64_t> Decoded = P.Windows().Decode(Address);
    ASSERT_TRUE(Decoded.has_value()) << S.Name << ": window segment " << Segment;
    EXPECT_EQ((static_cast<uint64_t>(Rom2SegmentToFlashSegment(static_cast<UINT8>(Segment))) << 24) & (mFlashSize - 1),
              *Decoded)
        << S.Name << ": window segment " << Segment;
  }
}

INSTANTIATE_TEST_SUITE_P(Setups, FlashWindowConversions, ::testing::ValuesIn(kSetups),
                         [](const auto &Info) { return std::string(Info.param.Name); });

// The snapshot is the only source: registers changed after start-up change
// nothing in the conversions.
TEST(FlashWindowSnapshot, LaterRegisterChangesAreNotSeen) {
  sim::PlatformConfig Config = sim::PlatformPreset("rom3");
  Config.Chip = Chip(k32MiB);
  sim::Platform P(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  P.Spi().SetRegister32(sim::SpiController::Rom3ControlReg, 0);
  P.Spi().SetRegister32(sim::SpiController::SegmentRemapReg, 1);
  P.Spi().SetRegister32(sim::SpiController::RomSegmentForceReg, 0x0F);
  P.M().Log().Clear();
  UINT64 Mapped = 0;
  EXPECT_EQ(FlashMapForRead(0x01001000, &Mapped), 1);
  EXPECT_EQ(Mapped, 0xFF001000u);
  EXPECT_EQ(FlashAddressToOffset(0xFF001000), 0x01001000u);
  UINT64 Rom3Address = kRom3 + 0x1000;
  EXPECT_EQ(MapToFlashWindow(&Rom3Address), FlashWindowRom3);
  EXPECT_EQ(SpiShadowRead(sim::SpiController::SegmentRemapReg), 0u);
  EXPECT_EQ(DetectRom3Window(), 1);
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::MmioRead), 0u);
  EXPECT_TRUE(P.M().Faults().empty());
}

// --- A chip size of 0 -------------------------------------------------------

struct ZeroSizeSetup {
  const char *Name;
  const char *Preset;
  const char *Chip;
};

const ZeroSizeSetup kZeroSizeSetups[] = {
    {"no_rom3", "default", k16MiB},
    {"rom3", "rom3", k32MiB},
};

// Values outside the ROM2 window 0xFF000000..0xFFFFFFFF, with
// FlashAddressToOffset: below 128 MiB the value, else the fall-back.
const std::pair<uint64_t, uint32_t> kOutsideRom2[] = {
    {0, 0},
    {0x1000, 0x1000},
    {0x00FFFFFF, 0x00FFFFFF},
    {0x01001000, 0x01001000},
    {0x07FFFFFF, 0x07FFFFFF},
    {0xF0000000, 0xF2000000},
    {0xFEFFFFFF, 0x00FFFFFF},
    {0x100000000, 0x02000000},
    {0x1FF001000, 0x01001000},
    {kRom3 + 0x1000, 0x02001000},
    {kRom3 + 0x01001000, 0x03001000},
    {~0ULL, 0x01FFFFFF},
};
const uint64_t kInsideRom2[] = {0xFF000000, 0xFF001000, 0xFF123456, 0xFFFFFFFF};

void PrintTo(const ZeroSizeSetup &S, std::ostream *Out) { *Out << S.Name; }

class FlashWindowZeroSize : public test::PlatformTest, public ::testing::WithParamInterface<ZeroSizeSetup> {};

TEST_P(FlashWindowZeroSize, NoWindowOutsideRom2) {
  const ZeroSizeSetup &S = GetParam();
  sim::PlatformConfig Config = sim::PlatformPreset(S.Preset);
  Config.Chip = Chip(S.Chip);
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS) << S.Name;
  // No catalogue chip identifies with size 0; only a ROM Armor provider
  // reports it, so the size is set directly after identification.
  mFlashSize = 0;
  P.M().Log().Clear();
  for (const auto &[Value, Offset] : kOutsideRom2) {
    const std::string Where = std::string(S.Name) + " / " + Hex(Value);
    EXPECT_EQ(MapToRom2Window(Value), kNoWindow) << Where;
    EXPECT_EQ(MapToRom3Window(Value), kNoWindow) << Where;
    UINT64 V = Value;
    EXPECT_EQ(MapToFlashWindow(&V), FlashWindowNone) << Where;
    UINT64 Mapped = kUntouched;
    EXPECT_EQ(FlashMapForRead(Value, &Mapped), 0) << Where;
    EXPECT_EQ(Mapped, kUntouched) << Where;
    EXPECT_EQ(FlashAddressToOffset(Value), Offset) << Where;
  }
  // Inside the ROM2 window the address stands for itself; the offset the
  // driver computes for it is the one the FCH reads.
  for (const uint64_t Address : kInsideRom2) {
    const std::string Where = std::string(S.Name) + " / " + Hex(Address);
    EXPECT_EQ(MapToRom2Window(Address), Address) << Where;
    EXPECT_EQ(MapToRom3Window(Address), kNoWindow) << Where;
    UINT64 Mapped = kUntouched;
    EXPECT_EQ(FlashMapForRead(Address, &Mapped), 1) << Where;
    EXPECT_EQ(Mapped, Address) << Where;
    const std::optional<uint64_t> Decoded = P.Windows().Decode(Address);
    ASSERT_TRUE(Decoded.has_value()) << Where;
    EXPECT_EQ(FlashAddressToOffset(Address), *Decoded) << Where;
  }
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::MmioRead), 0u) << S.Name;
}

INSTANTIATE_TEST_SUITE_P(Setups, FlashWindowZeroSize, ::testing::ValuesIn(kZeroSizeSetups),
                         [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
