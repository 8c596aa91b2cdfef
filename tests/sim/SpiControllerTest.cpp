// The FCH SPI controller and the SPI mailbox as device models: bus time of a
// command in virtual time, where received bytes land, the register file, and
// the fault knobs; the mailbox's completion codes and knobs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CpuPresets.h"
#include "FlashChip.h"
#include "Machine.h"
#include "SpiController.h"
#include "SpiMailbox.h"

namespace sim {
namespace {

constexpr uint64_t Ctl = SpiController::Base;

// A part described here rather than taken from the catalogue, so that the
// identification bytes the tests expect are stated in the test.
const std::vector<uint8_t> TestId = {0xEF, 0x40, 0x18};
constexpr uint64_t PatternOffset = 0x1000;
std::vector<uint8_t> Pattern() {
  std::vector<uint8_t> Bytes(256);
  for (size_t I = 0; I < Bytes.size(); I++) {
    Bytes[I] = static_cast<uint8_t>(I * 7 + 3);
  }
  return Bytes;
}
std::vector<uint8_t> TestChipId() { return TestId; }
std::unique_ptr<FlashChip> MakeTestChip() {
  ChipSpec Spec;
  Spec.Name = "controller test part";
  Spec.JedecId = {TestId[0], TestId[1], TestId[2]};
  Spec.Size = 32 * MiB;
  Spec.NativeFourByteOps = true;
  Spec.Prot.Kind = ProtectionKind::None;
  auto Chip = std::make_unique<FlashChip>(Spec);
  Chip->Fill(PatternOffset, Pattern());
  return Chip;
}

class SpiControllerTest : public ::testing::Test {
protected:
  SpiControllerTest() : M(CpuPreset("zen3")), Chip(MakeTestChip()) {
    Spi.Map(M);
    Spi.AttachChip(Chip.get());
  }

  // Issues a command as firmware does: opcode, counts, FIFO bytes, then the
  // execute bit. Returns the time the command started.
  uint64_t Issue(uint8_t Opcode, uint8_t Tx, uint8_t Rx, const std::vector<uint8_t> &Fifo) {
    M.MmioWrite(Ctl + SpiController::OpcodeReg, 1, Opcode);
    M.MmioWrite(Ctl + SpiController::TxCountReg, 1, Tx);
    M.MmioWrite(Ctl + SpiController::RxCountReg, 1, Rx);
    for (size_t I = 0; I < Fifo.size(); I++) {
      M.MmioWrite(Ctl + SpiController::FifoOffset + I, 1, Fifo[I]);
    }
    M.MmioWrite(Ctl + SpiController::ExecuteReg, 1, SpiController::ExecuteBit);
    return M.NowPs();
  }

  // A read whose device access happens at virtual time At.
  uint64_t ReadAt(uint64_t At, uint64_t Offset, unsigned Width) {
    M.Advance(At - M.Cost().MmioReadPs - M.NowPs());
    return M.MmioRead(Ctl + Offset, Width);
  }
  bool ExecuteBitAt(uint64_t At) { return (ReadAt(At, SpiController::ExecuteReg, 1) & SpiController::ExecuteBit) != 0; }
  bool BusyBitAt(uint64_t At) { return (ReadAt(At, SpiController::StatusReg, 4) & SpiController::BusyBit) != 0; }

  size_t Notes() { return M.Log().Count(EventKind::Note); }

  Machine M;
  SpiController Spi;
  std::unique_ptr<FlashChip> Chip;
};

// Bus time = (opcode + Tx + Rx) bytes * 8 bits / clock + 400 ns controller overhead.
struct TimingCase {
  const char *Name;
  uint64_t ClockHz;
  uint8_t Opcode, Tx, Rx;
  std::vector<uint8_t> Fifo;
  uint64_t DurationPs;
  bool ReadsPattern = false; // the received bytes are the pattern at PatternOffset
};

const TimingCase TimingCases[] = {
    // 32 bits at 33 MHz: 969 696.97 ps.
    {.Name = "read id", .ClockHz = 33'000'000, .Opcode = 0x9F, .Tx = 0, .Rx = 3, .Fifo = {}, .DurationPs = 1'369'696},
    // 69 bytes = 552 bits at 33 MHz: 16 727 272.7 ps.
    {.Name = "read 64 with 4 address bytes",
     .ClockHz = 33'000'000,
     .Opcode = 0x13,
     .Tx = 4,
     .Rx = 64,
     .Fifo = {0x00, 0x00, 0x10, 0x00},
     .DurationPs = 17'127'272,
     .ReadsPattern = true},
    // 8 bits at 66 MHz: 121 212.1 ps.
    {.Name = "write enable", .ClockHz = 66'000'000, .Opcode = 0x06, .Tx = 0, .Rx = 0, .Fifo = {}, .DurationPs = 521'212},
    // 16 bits at 800 kHz: 20 us.
    {.Name = "read status", .ClockHz = 800'000, .Opcode = 0x05, .Tx = 0, .Rx = 1, .Fifo = {}, .DurationPs = 20'400'000},
};

TEST_F(SpiControllerTest, CommandHoldsExecuteAndBusyForItsBusTimeAndStoresRxAfterTx) {
  for (const TimingCase &C : TimingCases) {
    SCOPED_TRACE(C.Name);
    M.Log().Clear();
    Spi.SetClockHz(C.ClockHz);
    const uint64_t Start = Issue(C.Opcode, C.Tx, C.Rx, C.Fifo);

    ASSERT_EQ(M.Log().Spi.size(), 1u);
    const SpiCommand &Sent = M.Log().Spi[0];
    EXPECT_EQ(Sent.Path, SpiPath::Controller);
    EXPECT_EQ(Sent.Opcode, C.Opcode);
    EXPECT_EQ(Sent.Tx, C.Fifo);
    EXPECT_EQ(Sent.StartPs, Start);
    EXPECT_EQ(Sent.EndPs - Sent.StartPs, C.DurationPs);

    EXPECT_TRUE(ExecuteBitAt(Start + C.DurationPs - 1));
    EXPECT_TRUE(BusyBitAt(Start + C.DurationPs - 1));
    EXPECT_FALSE(ExecuteBitAt(Start + C.DurationPs));
    EXPECT_FALSE(BusyBitAt(Start + C.DurationPs));

    ASSERT_EQ(Sent.Rx.size(), C.Rx);
    if (C.ReadsPattern) {
      const std::vector<uint8_t> P = Pattern();
      EXPECT_EQ(Sent.Rx, std::vector<uint8_t>(P.begin(), P.begin() + C.Rx));
    }
    for (unsigned I = 0; I < C.Tx; I++) {
      EXPECT_EQ(M.MmioRead(Ctl + SpiController::FifoOffset + I, 1), C.Fifo[I]) << "FIFO " << I;
    }
    for (unsigned I = 0; I < C.Rx; I++) {
      EXPECT_EQ(M.MmioRead(Ctl + SpiController::FifoOffset + C.Tx + I, 1), Sent.Rx[I]) << "FIFO " << C.Tx + I;
    }
  }
  EXPECT_TRUE(M.Faults().empty());
}

TEST_F(SpiControllerTest, ReadIdentificationLandsAtFifoOffsetZero) {
  Issue(0x9F, 0, 3, {});
  ASSERT_EQ(M.Log().Spi.size(), 1u);
  const std::vector<uint8_t> Id = TestChipId();
  EXPECT_EQ(M.Log().Spi[0].Rx, Id);
  for (unsigned I = 0; I < Id.size(); I++) {
    EXPECT_EQ(Spi.Fifo(I), Id[I]);
  }
}

TEST_F(SpiControllerTest, CountsBeyondTheFifoAreClippedAndNoted) {
  const size_t NotesBefore = Notes();
  Issue(0x03, 3, 70, {0x00, 0x10, 0x00});
  ASSERT_EQ(M.Log().Spi.size(), 1u);
  EXPECT_EQ(M.Log().Spi[0].TxCount, 3);
  EXPECT_EQ(M.Log().Spi[0].RxCount, SpiController::FifoSize - 3);
  EXPECT_EQ(M.Log().Spi[0].Rx.size(), SpiController::FifoSize - 3);
  EXPECT_EQ(Notes(), NotesBefore + 1);
}

TEST_F(SpiControllerTest, RegisterFileReadsBackAtEveryWidth) {
  Spi.SetRegister32(0x50, 0x12345678);
  Spi.SetRegister32(0x00, 0xCAFEF00D);
  struct Row {
    uint64_t Offset;
    unsigned Width;
    uint64_t Value;
  };
  const Row Rows[] = {
      {.Offset = 0x50, .Width = 4, .Value = 0x12345678}, {.Offset = 0x51, .Width = 1, .Value = 0x56},
      {.Offset = 0x52, .Width = 2, .Value = 0x1234},     {.Offset = 0x53, .Width = 1, .Value = 0x12},
      {.Offset = 0x00, .Width = 4, .Value = 0xCAFEF00D}, {.Offset = 0x02, .Width = 2, .Value = 0xCAFE},
  };
  for (const Row &R : Rows) {
    EXPECT_EQ(M.MmioRead(Ctl + R.Offset, R.Width), R.Value) << std::hex << R.Offset << " w" << R.Width;
  }
  // Command registers are bytes of the same file: a snapshot read sees them.
  Issue(0x9F, 0, 3, {});
  M.Advance(Spi.WireTimePs(4) + SpiController::CommandOverheadPs);
  EXPECT_EQ(M.MmioRead(Ctl + 0x44, 4) >> 8 & 0xFF, 0x9Fu);
  EXPECT_EQ(M.MmioRead(Ctl + 0x48, 4), 0x03000000u | (Spi.Register32(0x48) & 0x00FFFF00));
  EXPECT_TRUE(M.Faults().empty());
}

TEST_F(SpiControllerTest, UnmodelledAccessesFault) {
  struct Row {
    const char *Name;
    bool Write;
    uint64_t Offset;
    unsigned Width;
  };
  const Row Rows[] = {
      {.Name = "read beyond the register file", .Write = false, .Offset = 0x70, .Width = 4},
      {.Name = "FIFO read of 16 bits", .Write = false, .Offset = 0x80, .Width = 2},
      {.Name = "read past the FIFO", .Write = false, .Offset = 0xC7, .Width = 1},
      {.Name = "write of a window register", .Write = true, .Offset = 0x50, .Width = 4},
      {.Name = "opcode written as 32 bits", .Write = true, .Offset = 0x44, .Width = 4},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    const size_t Before = M.Faults().size();
    if (R.Write) {
      M.MmioWrite(Ctl + R.Offset, R.Width, 0);
    } else {
      M.MmioRead(Ctl + R.Offset, R.Width);
    }
    EXPECT_EQ(M.Faults().size(), Before + 1);
  }
  EXPECT_EQ(Spi.Register32(0x50), 0u);
}

TEST_F(SpiControllerTest, BusyStuckHoldsBusyButCommandsStillRun) {
  Spi.Knob().BusyStuck = true;
  const uint64_t Start = Issue(0x9F, 0, 3, {});
  EXPECT_EQ(M.Log().Spi.size(), 1u);
  EXPECT_FALSE(ExecuteBitAt(Start + 1'000'000'000));
  EXPECT_TRUE(BusyBitAt(Start + 2'000'000'000));
  Spi.Knob().BusyStuck = false;
  EXPECT_FALSE(BusyBitAt(Start + 3'000'000'000));
}

TEST_F(SpiControllerTest, ExecuteStuckNeverCompletesNorReachesTheChip) {
  Spi.Knob().ExecuteStuck = true;
  const size_t NotesBefore = Notes();
  const uint64_t Start = Issue(0x9F, 0, 3, {});
  EXPECT_TRUE(M.Log().Spi.empty());
  EXPECT_TRUE(ExecuteBitAt(Start + 1'000'000'000'000));
  EXPECT_GT(Notes(), NotesBefore);
  // Released, the engine takes the next command.
  Spi.Knob().ExecuteStuck = false;
  const uint64_t Next = Issue(0x9F, 0, 3, {});
  EXPECT_EQ(M.Log().Spi.size(), 1u);
  EXPECT_FALSE(ExecuteBitAt(Next + Spi.WireTimePs(4) + SpiController::CommandOverheadPs));
}

TEST_F(SpiControllerTest, DroppedCommandTakesItsTimeButNeverReachesTheChip) {
  Spi.Knob().DropCommands = 1;
  const size_t NotesBefore = Notes();
  const uint64_t Duration = Spi.WireTimePs(1 + 3) + SpiController::CommandOverheadPs;
  const uint64_t Start = Issue(0x9F, 0, 3, {});
  EXPECT_TRUE(ExecuteBitAt(Start + Duration - 1));
  EXPECT_FALSE(ExecuteBitAt(Start + Duration));
  EXPECT_TRUE(M.Log().Spi.empty());
  EXPECT_EQ(Notes(), NotesBefore + 1);
  EXPECT_EQ(Spi.Fifo(0), 0u);

  Issue(0x9F, 0, 3, {});
  ASSERT_EQ(M.Log().Spi.size(), 1u);
  EXPECT_EQ(M.Log().Spi[0].Rx, TestChipId());
}

// The mailbox, driven the way the platform's clients fill its buffer.
class SpiMailboxTest : public ::testing::Test {
protected:
  SpiMailboxTest() : M(CpuPreset("zen3")), Chip(MakeTestChip()) { Box.AttachChip(Chip.get()); }

  SPI_MAILBOX_COMMAND &Command() { return Box.Protocol()->Command; }
  void Fill(uint8_t Opcode, std::vector<uint8_t> Tx, uint8_t Rx) {
    Command() = {};
    Command().One = 1;
    Command().Version = 1;
    Command().Opcode = Opcode;
    Command().TxCount = static_cast<uint8_t>(Tx.size());
    Command().RxCount = Rx;
    for (size_t I = 0; I < Tx.size(); I++) {
      Command().Data[I] = Tx[I];
    }
    Command().StartFlag = 1;
  }

  Machine M;
  SpiMailbox Box{true};
  std::unique_ptr<FlashChip> Chip;
};

TEST_F(SpiMailboxTest, CarriesTheCommandAndStoresRxAfterTx) {
  EXPECT_EQ(Box.Protocol()->Enable, 1);
  const std::vector<uint8_t> Address = {0x00, 0x10, 0x08};
  Fill(0x03, Address, 8);
  const uint64_t Before = M.NowPs();
  EXPECT_EQ(Box.Protocol()->Execute(), EFI_SUCCESS);

  EXPECT_EQ(Command().CompletionCode, 0x01);
  ASSERT_EQ(M.Log().Spi.size(), 1u);
  const SpiCommand &Sent = M.Log().Spi[0];
  EXPECT_EQ(Sent.Path, SpiPath::Mailbox);
  EXPECT_EQ(Sent.Opcode, 0x03);
  EXPECT_EQ(Sent.Tx, Address);
  const std::vector<uint8_t> P = Pattern();
  EXPECT_EQ(Sent.Rx, std::vector<uint8_t>(P.begin() + 8, P.begin() + 16));
  ASSERT_EQ(Sent.Rx.size(), 8u);
  for (unsigned I = 0; I < 8; I++) {
    EXPECT_EQ(Command().Data[3 + I], Sent.Rx[I]) << "data " << 3 + I;
  }
  EXPECT_EQ(std::vector<uint8_t>(Command().Data, Command().Data + 3), Address);
  // 12 bytes = 96 bits at 33 MHz: 2 909 090.9 ps, plus the 20 us round trip.
  EXPECT_EQ(Sent.EndPs - Sent.StartPs, 22'909'090u);
  EXPECT_EQ(M.NowPs() - Before, 22'909'090u);

  ASSERT_EQ(Box.Calls().size(), 1u);
  EXPECT_TRUE(Box.Calls()[0].Ran);
  EXPECT_EQ(Box.StartFlagViolations(), 0u);
  EXPECT_EQ(M.Log().Count(EventKind::Call), 1u);
}

TEST_F(SpiMailboxTest, ReadIdentificationReturnsTheChipId) {
  Fill(0x9F, {}, 3);
  EXPECT_EQ(Box.Protocol()->Execute(), EFI_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(Command().Data, Command().Data + 3), TestChipId());
}

TEST_F(SpiMailboxTest, KnobsFailTheCommandWithoutReachingTheChip) {
  struct Row {
    const char *Name;
    EFI_STATUS ExecuteStatus;
    std::optional<uint8_t> Completion;
    EFI_STATUS Returned;
    uint8_t CodeAfter;
    bool Ran;
  };
  const Row Rows[] = {
      {.Name = "execute error", .ExecuteStatus = EFI_DEVICE_ERROR, .Completion = {}, .Returned = EFI_DEVICE_ERROR,
       .CodeAfter = 0x00, .Ran = false},
      {.Name = "completion 0x02", .ExecuteStatus = EFI_SUCCESS, .Completion = 0x02, .Returned = EFI_SUCCESS,
       .CodeAfter = 0x02, .Ran = false},
      {.Name = "completion 0x00", .ExecuteStatus = EFI_SUCCESS, .Completion = 0x00, .Returned = EFI_SUCCESS,
       .CodeAfter = 0x00, .Ran = false},
      {.Name = "completion 0x21 is carried out", .ExecuteStatus = EFI_SUCCESS, .Completion = 0x21,
       .Returned = EFI_SUCCESS, .CodeAfter = 0x21, .Ran = true},
  };
  for (const Row &R : Rows) {
    SCOPED_TRACE(R.Name);
    M.Log().Clear();
    Box.Knob().ExecuteStatus = R.ExecuteStatus;
    Box.Knob().CompletionCode = R.Completion;
    Fill(0x9F, {}, 3);
    EXPECT_EQ(Box.Protocol()->Execute(), R.Returned);
    EXPECT_EQ(Command().CompletionCode, R.CodeAfter);
    EXPECT_EQ(M.Log().Spi.size(), R.Ran ? 1u : 0u);
    EXPECT_EQ(Box.Calls().back().Ran, R.Ran);
    if (!R.Ran) {
      EXPECT_EQ(Command().Data[0], 0u);
    }
  }
}

TEST_F(SpiMailboxTest, CountsCallsWithoutTheStartFlag) {
  Fill(0x05, {}, 1);
  Command().StartFlag = 0;
  Box.Protocol()->Execute();
  Fill(0x05, {}, 1);
  Box.Protocol()->Execute();
  EXPECT_EQ(Box.StartFlagViolations(), 1u);
  ASSERT_EQ(Box.Calls().size(), 2u);
  EXPECT_EQ(Box.Calls()[0].StartFlag, 0);
  EXPECT_EQ(Box.Calls()[1].StartFlag, 1);
}

TEST(SpiMailboxEnable, ConstructorSetsTheEnableByte) {
  Machine M(CpuPreset("zen2"));
  SpiMailbox Box(false);
  EXPECT_EQ(Box.Protocol()->Enable, 0);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(Box.Protocol()) + 0x164, &Box.Protocol()->Enable);
}

} // namespace
} // namespace sim
