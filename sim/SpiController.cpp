#include "SpiController.h"

#include <cstdio>
#include <cstdlib>

#include "FlashChip.h"

namespace sim {

namespace {
constexpr uint64_t PsPerSecond = 1'000'000'000'000ULL;
constexpr uint64_t BitsPerByte = 8;
constexpr uint64_t OpcodeBytes = 1;
// MISO is pulled up on the board: with no chip answering, every received bit is 1.
constexpr uint8_t FloatingBusByte = 0xFF;

[[noreturn]] void Misconfigured(const char *What, uint64_t Offset) {
  std::fprintf(stderr, "sim: SPI controller %s at offset 0x%llX\n", What, static_cast<unsigned long long>(Offset));
  std::abort();
}
} // namespace

SpiController::SpiController() = default;

void SpiController::Map(Machine &M) { M.MapMmio(Base, Size, this, "FCH SPI controller"); }

void SpiController::SetRegister32(uint64_t Offset, uint32_t Value) {
  if (Offset % 4 != 0 || Offset >= RegisterFileSize) {
    Misconfigured("preset of a register outside the register file", Offset);
  }
  for (unsigned I = 0; I < 4; I++) {
    Registers_[Offset + I] = static_cast<uint8_t>(Value >> (8 * I));
  }
}

uint32_t SpiController::Register32(uint64_t Offset) const {
  if (Offset % 4 != 0 || Offset >= RegisterFileSize) {
    Misconfigured("read of a register outside the register file", Offset);
  }
  uint32_t Value = 0;
  for (unsigned I = 0; I < 4; I++) {
    Value |= static_cast<uint32_t>(Registers_[Offset + I]) << (8 * I);
  }
  return Value;
}

uint64_t SpiController::WireTimePs(uint64_t Bytes) const { return Bytes * BitsPerByte * PsPerSecond / ClockHz_; }

uint8_t SpiController::RegisterByte(uint64_t Offset, uint64_t NowPs) const {
  uint8_t Byte = Registers_[Offset];
  if (Offset == ExecuteReg && (Running(NowPs) || (Hung_ && Knobs_.ExecuteStuck))) {
    Byte |= ExecuteBit;
  }
  if (Offset == StatusReg + 3 && (Running(NowPs) || Knobs_.BusyStuck)) {
    Byte |= static_cast<uint8_t>(BusyBit >> 24);
  }
  return Byte;
}

uint64_t SpiController::Read(uint64_t Offset, unsigned Width) {
  Machine &M = Machine::Current();
  if (Offset + Width <= RegisterFileSize) {
    uint64_t Value = 0;
    for (unsigned I = 0; I < Width; I++) {
      Value |= static_cast<uint64_t>(RegisterByte(Offset + I, M.NowPs())) << (8 * I);
    }
    return Value;
  }
  if (Width == 1 && Offset >= FifoOffset && Offset < FifoOffset + FifoSize) {
    return Fifo_[Offset - FifoOffset];
  }
  char B[80];
  std::snprintf(B, sizeof B, "SPI controller read%u of unmodelled offset 0x%llX", Width * 8,
                static_cast<unsigned long long>(Offset));
  M.Fault(B);
  return ~0ULL >> (64 - 8 * Width);
}

void SpiController::Write(uint64_t Offset, unsigned Width, uint64_t Value) {
  Machine &M = Machine::Current();
  const uint8_t Byte = static_cast<uint8_t>(Value);
  if (Width == 1 && (Offset == OpcodeReg || Offset == TxCountReg || Offset == RxCountReg ||
                     (Offset >= FifoOffset && Offset < FifoOffset + FifoSize))) {
    if (Running(M.NowPs())) {
      Note(M, "command register or FIFO written while a command runs");
    }
    if (Offset >= FifoOffset) {
      Fifo_[Offset - FifoOffset] = Byte;
    } else {
      Registers_[Offset] = Byte;
    }
    return;
  }
  if (Width == 1 && Offset == ExecuteReg) {
    Registers_[Offset] = Byte & static_cast<uint8_t>(~ExecuteBit);
    if ((Byte & ExecuteBit) != 0) {
      Start(M);
    }
    return;
  }
  char B[96];
  std::snprintf(B, sizeof B, "SPI controller write%u of 0x%llX to unmodelled offset 0x%llX", Width * 8,
                static_cast<unsigned long long>(Value), static_cast<unsigned long long>(Offset));
  M.Fault(B);
}

void SpiController::Note(Machine &M, std::string What) {
  M.Log().Text(EventKind::Note, M.NowPs(), "SPI controller: " + std::move(What));
}

void SpiController::Start(Machine &M) {
  const uint64_t Now = M.NowPs();
  if (Running(Now) || (Hung_ && Knobs_.ExecuteStuck)) {
    Note(M, "execute written while a command runs; ignored");
    return;
  }
  Hung_ = false;
  unsigned Tx = Registers_[TxCountReg];
  unsigned Rx = Registers_[RxCountReg];
  if (Tx + Rx > FifoSize) {
    char B[96];
    std::snprintf(B, sizeof B, "tx %u + rx %u exceeds the %u-byte FIFO; clipped", Tx, Rx, FifoSize);
    Note(M, B);
    Tx = Tx < FifoSize ? Tx : FifoSize;
    Rx = FifoSize - Tx < Rx ? FifoSize - Tx : Rx;
  }
  CommandsStarted_++;
  EndPs_ = Now + WireTimePs(OpcodeBytes + Tx + Rx) + CommandOverheadPs;

  if (Knobs_.ExecuteStuck) {
    Hung_ = true;
    EndPs_ = Now;
    Note(M, "command engine hung: execute bit stays set");
    return;
  }
  if (Knobs_.DropCommands > 0) {
    Knobs_.DropCommands--;
    Note(M, "command dropped before reaching the chip");
    return;
  }

  SpiCommand Command;
  Command.Path = SpiPath::Controller;
  Command.Opcode = Registers_[OpcodeReg];
  Command.TxCount = static_cast<uint8_t>(Tx);
  Command.RxCount = static_cast<uint8_t>(Rx);
  Command.Tx.assign(Fifo_.begin(), Fifo_.begin() + Tx);
  Command.StartPs = Now;
  Command.EndPs = EndPs_;
  if (Chip_ != nullptr) {
    Chip_->Execute(Command);
  } else {
    Command.Rx.assign(Rx, FloatingBusByte);
    Command.Ignored = true;
  }
  Command.Rx.resize(Rx, FloatingBusByte);
  for (unsigned I = 0; I < Rx; I++) {
    Fifo_[Tx + I] = Command.Rx[I];
  }
  M.Log().Spi.push_back(std::move(Command));
}

} // namespace sim
