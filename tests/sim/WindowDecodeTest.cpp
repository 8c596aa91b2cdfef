// The FCH's flash-window decode from the hardware side (which chip byte answers
// a processor read), the window mappings on the machine, and PCI Express
// configuration space with the LPC bridge.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "CpuPresets.h"
#include "FlashChip.h"
#include "FlashWindows.h"
#include "Machine.h"
#include "PciConfig.h"
#include "SpiController.h"

namespace sim {
namespace {

constexpr uint64_t Rom3Base = 0xFD00000000ULL; // register 0x64 = 0xFD, register 0x60 = 0

struct DecodeCase {
  const char *Name;
  uint16_t LpcStart = 0xFF00, LpcEnd = 0xFFFF;
  uint32_t Reg30 = 0, Reg50 = 0, Reg5C = 0, Reg60 = 0, Reg64 = 0;
  uint64_t ChipSize;
  uint64_t Address;
  std::optional<uint64_t> Offset; // chip byte that answers; none: no window decodes the address
};

// Expected offsets worked by hand from the FCH's address formation.
const DecodeCase DecodeCases[] = {
    {.Name = "no ROM3, 16 MiB chip at the top of 4 GiB", .ChipSize = 16 * MiB, .Address = 0xFF123456,
     .Offset = 0x123456},
    {.Name = "no ROM3, window start is chip byte 0", .ChipSize = 16 * MiB, .Address = 0xFF000000, .Offset = 0},
    // 24-bit address 0x923456, modulo the 8 MiB chip.
    {.Name = "no ROM3, 8 MiB chip in a half-segment window", .LpcStart = 0xFF80, .ChipSize = 8 * MiB,
     .Address = 0xFF923456, .Offset = 0x123456},
    {.Name = "no ROM3, 32 MiB window, lower segment", .LpcStart = 0xFE00, .ChipSize = 32 * MiB,
     .Address = 0xFE001000, .Offset = 0x1000},
    {.Name = "no ROM3, 32 MiB window, upper segment shows chip segment 0 too", .LpcStart = 0xFE00,
     .ChipSize = 32 * MiB, .Address = 0xFF001000, .Offset = 0x1000},
    // (0xFF + 2) mod 4 = 1.
    {.Name = "ROM3 on, top segment shows chip segment 1", .Reg50 = 1, .ChipSize = 32 * MiB, .Address = 0xFF001000,
     .Offset = 0x01001000},
    {.Name = "ROM3 on, 0x5C = 1 remaps it to chip segment 0", .Reg50 = 1, .Reg5C = 1, .ChipSize = 32 * MiB,
     .Address = 0xFF001000, .Offset = 0x00001000},
    // (0xFE + 2) mod 4 = 0.
    {.Name = "ROM3 on, 32 MiB window, lower segment", .LpcStart = 0xFE00, .Reg50 = 1, .ChipSize = 32 * MiB,
     .Address = 0xFE001000, .Offset = 0x00001000},
    {.Name = "ROM3 on, 32 MiB window, upper segment", .LpcStart = 0xFE00, .Reg50 = 1, .ChipSize = 32 * MiB,
     .Address = 0xFF800000, .Offset = 0x01800000},
    // Segment 0 with bit 0 forced to 1.
    {.Name = "0x30 = 0x05 forces segment bit 0", .LpcStart = 0xFE00, .Reg30 = 0x05, .Reg50 = 1,
     .ChipSize = 32 * MiB, .Address = 0xFE001000, .Offset = 0x01001000},
    // Segment 1 with bit 1 forced to 1: 3.
    {.Name = "0x30 = 0x0A forces segment bit 1", .Reg30 = 0x0A, .Reg50 = 1, .ChipSize = 64 * MiB,
     .Address = 0xFF001000, .Offset = 0x03001000},
    {.Name = "ROM3 on, 64 MiB chip, ROM2 shows the low 32 MiB", .Reg50 = 1, .ChipSize = 64 * MiB,
     .Address = 0xFF001000, .Offset = 0x01001000},
    {.Name = "ROM3 window, segment 2 of a 64 MiB chip", .Reg50 = 1, .Reg64 = 0xFD, .ChipSize = 64 * MiB,
     .Address = Rom3Base + 0x02001000, .Offset = 0x02001000},
    {.Name = "ROM3 window, segment 2 wraps on a 32 MiB chip", .Reg50 = 1, .Reg64 = 0xFD, .ChipSize = 32 * MiB,
     .Address = Rom3Base + 0x02001000, .Offset = 0x00001000},
    {.Name = "ROM3 window, segment 1", .Reg50 = 1, .Reg64 = 0xFD, .ChipSize = 32 * MiB,
     .Address = Rom3Base + 0x01001000, .Offset = 0x01001000},
    // Base 0x1_00000000 (low 26 bits of 0x03FF1234 dropped); segment 3 XOR 2 = 1.
    {.Name = "ROM3 base ignores its low 26 bits, 0x5C remaps", .Reg50 = 1, .Reg5C = 2, .Reg60 = 0x03FF1234,
     .Reg64 = 1, .ChipSize = 64 * MiB, .Address = 0x103001000ULL, .Offset = 0x01001000},
    {.Name = "ROM3 registers set but switched off", .Reg64 = 0xFD, .ChipSize = 64 * MiB,
     .Address = Rom3Base + 0x1000, .Offset = std::nullopt},
    {.Name = "below the ROM2 window", .Reg50 = 1, .Reg64 = 0xFD, .ChipSize = 32 * MiB, .Address = 0xF0000000,
     .Offset = std::nullopt},
};

// (opcode + 3 address bytes + 4 data bytes) = 64 bits at 33 MHz: 1 939 393.9 ps.
constexpr uint64_t WindowRead32WirePs = 1'939'393;

// One platform per case: the machine, the FCH's SPI controller and LPC
// bridge, a chip of the case's size and the windows.
struct Board {
  explicit Board(const DecodeCase &C) {
    Spi.Map(M);
    Pci.Map(M);
    Pci.SetLpcRom2(C.LpcStart, C.LpcEnd);
    Spi.SetRegister32(SpiController::RomSegmentForceReg, C.Reg30);
    Spi.SetRegister32(SpiController::Rom3ControlReg, C.Reg50);
    Spi.SetRegister32(SpiController::SegmentRemapReg, C.Reg5C);
    Spi.SetRegister32(SpiController::Rom3BaseLowReg, C.Reg60);
    Spi.SetRegister32(SpiController::Rom3BaseHighReg, C.Reg64);
    ChipSpec Spec;
    Spec.Name = "window test part";
    Spec.JedecId = {0xEF, 0x40, 0x18};
    Spec.Size = C.ChipSize;
    Spec.Prot.Kind = ProtectionKind::None;
    Chip = std::make_unique<FlashChip>(Spec);
    Spi.AttachChip(Chip.get());
    Windows.Refresh();
  }

  Machine M{CpuPreset("zen3")};
  SpiController Spi;
  PciConfig Pci;
  std::unique_ptr<FlashChip> Chip;
  FlashWindows Windows{Spi, Pci};
};

TEST(WindowDecode, AddressesDecodeToTheChipByteTheFchFetches) {
  const std::vector<uint8_t> Tag = {0x11, 0x22, 0x33, 0x44};
  for (const DecodeCase &C : DecodeCases) {
    SCOPED_TRACE(C.Name);
    Board B(C);
    EXPECT_EQ(B.Windows.Decode(C.Address), C.Offset);

    const uint64_t Before = B.M.NowPs();
    const size_t FaultsBefore = B.M.Faults().size();
    if (C.Offset) {
      B.Chip->Fill(*C.Offset, Tag);
      EXPECT_EQ(B.M.MmioRead(C.Address, 4), 0x44332211u);
      EXPECT_EQ(B.M.NowPs() - Before, B.M.Cost().MmioReadPs + WindowRead32WirePs);
      EXPECT_EQ(B.M.Faults().size(), FaultsBefore);
    } else {
      B.M.MmioRead(C.Address, 1);
      EXPECT_EQ(B.M.Faults().size(), FaultsBefore + 1);
    }
    EXPECT_TRUE(B.M.Log().Spi.empty()) << "window reads are not controller commands";
  }
}

// An FCH without the ROM3 feature ignores register 0x50: no ROM3 window, and
// ROM2 sends 24-bit addresses, so every segment shows the chip's first 16 MiB.
TEST(WindowDecode, OlderFchIgnoresTheRom3Registers) {
  Board B({.Name = "ROM3 requested", .Reg50 = 1, .Reg64 = 0xFD, .ChipSize = 32 * MiB, .Address = 0, .Offset = {}});
  EXPECT_EQ(B.Windows.Decode(0xFF001000), std::optional<uint64_t>(0x01001000));
  EXPECT_EQ(B.Windows.Decode(Rom3Base + 0x1000), std::optional<uint64_t>(0x1000));
  B.M.Cpu().FchHasRom3 = false;
  EXPECT_EQ(B.Windows.Decode(0xFF001000), std::optional<uint64_t>(0x1000));
  EXPECT_EQ(B.Windows.Decode(Rom3Base + 0x1000), std::nullopt);
}

TEST(WindowDecode, WindowsFollowTheRegistersAfterRefresh) {
  Board B({.Name = "ROM3 off at first", .Reg64 = 0xFD, .ChipSize = 64 * MiB, .Address = 0, .Offset = {}});
  B.Chip->Fill(0x03000010, {0x5A});
  B.M.MmioRead(Rom3Base + 0x03000010, 1);
  EXPECT_EQ(B.M.Faults().size(), 1u);

  B.Spi.SetRegister32(SpiController::Rom3ControlReg, 1);
  B.Windows.Refresh();
  EXPECT_EQ(B.M.MmioRead(Rom3Base + 0x03000010, 1), 0x5Au);
  EXPECT_EQ(B.M.Faults().size(), 1u);

  // Mapped once, decoded per access: switched off, the window stops answering.
  B.Spi.SetRegister32(SpiController::Rom3ControlReg, 0);
  B.M.MmioRead(Rom3Base + 0x03000010, 1);
  EXPECT_EQ(B.M.Faults().size(), 2u);
}

TEST(WindowDecode, WritesFaultAndTheControllerKeepsItsRangeInsideRom2) {
  Board B({.Name = "32 MiB ROM2", .LpcStart = 0xFE00, .ChipSize = 32 * MiB, .Address = 0, .Offset = {}});
  B.Spi.SetRegister32(SpiController::SegmentRemapReg, 0xA5A5A5A5);
  EXPECT_EQ(B.M.MmioRead(SpiController::Base + SpiController::SegmentRemapReg, 4), 0xA5A5A5A5u);
  // Either side of the controller's registers the window answers.
  EXPECT_EQ(B.Windows.Decode(SpiController::Base - 1), 0xC0FFFFu);
  B.M.MmioRead(SpiController::Base - 1, 1);
  B.M.MmioRead(SpiController::Base + SpiController::Size, 1);
  EXPECT_TRUE(B.M.Faults().empty());

  B.M.MmioWrite(0xFF000000, 1, 0);
  EXPECT_EQ(B.M.Faults().size(), 1u);
  EXPECT_EQ(B.Chip->Read(0, 1), std::vector<uint8_t>{0xFF});
}

TEST(PciConfigSpace, LpcBridgeAnswersAndAbsentFunctionsReadAllOnes) {
  Machine M(CpuPreset("zen2"));
  PciConfig Pci;
  Pci.Map(M);
  Pci.SetLpcRom2(0xFE00, 0xFFFF);
  struct Row {
    const char *Name;
    uint64_t Function; // ECAM offset of the function
    uint64_t Register;
    unsigned Width;
    uint64_t Value;
  };
  const uint64_t Lpc = EcamFunctionOffset(0, 0x14, 3);
  const Row Rows[] = {
      {.Name = "LPC vendor", .Function = Lpc, .Register = 0x00, .Width = 2, .Value = 0x1022},
      {.Name = "LPC device", .Function = Lpc, .Register = 0x02, .Width = 2, .Value = 0x790E},
      {.Name = "LPC identity", .Function = Lpc, .Register = 0x00, .Width = 4, .Value = 0x790E1022},
      {.Name = "LPC ROM2 start", .Function = Lpc, .Register = 0x6C, .Width = 2, .Value = 0xFE00},
      {.Name = "LPC ROM2 end", .Function = Lpc, .Register = 0x6E, .Width = 2, .Value = 0xFFFF},
      {.Name = "LPC ROM2 both", .Function = Lpc, .Register = 0x6C, .Width = 4, .Value = 0xFFFFFE00},
      {.Name = "LPC ROM2 start high byte", .Function = Lpc, .Register = 0x6D, .Width = 1, .Value = 0xFE},
      {.Name = "bus 0 device 0x14 function 0", .Function = EcamFunctionOffset(0, 0x14, 0), .Register = 0x00,
       .Width = 4, .Value = 0xFFFFFFFF},
      {.Name = "bus 0 device 0 function 0", .Function = EcamFunctionOffset(0, 0, 0), .Register = 0x6C, .Width = 2,
       .Value = 0xFFFF},
      {.Name = "bus 1 device 0x14 function 3", .Function = EcamFunctionOffset(1, 0x14, 3), .Register = 0x6C,
       .Width = 1, .Value = 0xFF},
      {.Name = "last bus", .Function = EcamFunctionOffset(255, 31, 7), .Register = 0xFFC, .Width = 4,
       .Value = 0xFFFFFFFF},
  };
  for (const Row &R : Rows) {
    EXPECT_EQ(M.MmioRead(PciConfig::Base + R.Function + R.Register, R.Width), R.Value) << R.Name;
  }
  EXPECT_TRUE(M.Faults().empty());

  M.MmioRead(PciConfig::Base + Lpc + 0x40, 4);
  M.MmioWrite(PciConfig::Base + Lpc + 0x6C, 2, 0);
  EXPECT_EQ(M.Faults().size(), 2u);
  EXPECT_EQ(Pci.Rom2Start(), 0xFE00);
}

} // namespace
} // namespace sim
