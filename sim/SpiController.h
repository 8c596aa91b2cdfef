// The FCH SPI controller as the processor sees it at 0xFEC10000: the register
// file that firmware programs and the driver snapshots, the command engine
// (opcode, counts, execute and busy bits) and its 71-byte FIFO. A command takes
// its bus time in virtual time: the execute and busy bits read 1 until the
// last bit has been clocked.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Machine.h"

namespace sim {

class FlashChip;

class SpiController : public MmioDevice {
public:
  static constexpr uint64_t Base = 0xFEC10000;
  static constexpr uint64_t Size = 0x100;

  // Command engine registers (offsets from Base).
  static constexpr uint64_t OpcodeReg = 0x45;      // 8 bits
  static constexpr uint64_t ExecuteReg = 0x47;     // 8 bits
  static constexpr uint8_t ExecuteBit = 0x80;      // write 1: start; reads 1 while the command runs
  static constexpr uint64_t TxCountReg = 0x48;     // 8 bits: bytes sent after the opcode
  static constexpr uint64_t RxCountReg = 0x4B;     // 8 bits: bytes received after them
  static constexpr uint64_t StatusReg = 0x4C;      // 32 bits
  static constexpr uint32_t BusyBit = 0x80000000U; // set while a command runs
  static constexpr uint64_t FifoOffset = 0x80;
  static constexpr unsigned FifoSize = 71; // the FIFO of these controllers carries 71 bytes in all

  // The register file 0x00..0x67: 26 registers of 32 bits.
  static constexpr uint64_t RegisterFileSize = 0x68;
  // Window registers the FCH's flash decode uses.
  static constexpr uint64_t RomSegmentForceReg = 0x30; // bits 1:0 forced segment bits, bits 3:2 force enables
  static constexpr uint64_t Rom3ControlReg = 0x50;     // bit 0: ROM3 window on
  static constexpr uint64_t SegmentRemapReg = 0x5C;    // bits 7:0 XORed into segment numbers
  static constexpr uint64_t Rom3BaseLowReg = 0x60;
  static constexpr uint64_t Rom3BaseHighReg = 0x64;

  // Normal-read rating of the controller; 66, 22, 16.5, 100 MHz and 800 kHz are
  // the other settings of its clock divider.
  static constexpr uint64_t DefaultClockHz = 33'000'000;
  // Fixed cost of one command beyond its bits on the wire: arbitration, chip
  // select set-up and hold, FIFO hand-over. A model parameter, not a datasheet
  // figure.
  static constexpr uint64_t CommandOverheadPs = 400'000;

  struct Knobs {
    bool BusyStuck = false;    // 0x4C bit 31 reads 1 whatever runs
    bool ExecuteStuck = false; // a started command never completes: 0x47 bit 7 reads 1 while set
    unsigned DropCommands = 0; // this many next commands run their bus time but never reach the chip
  };

  SpiController();

  // Maps the registers at Base.
  void Map(Machine &M);
  void AttachChip(FlashChip *Chip) { Chip_ = Chip; }
  FlashChip *Chip() const { return Chip_; }
  void SetClockHz(uint64_t Hz) { ClockHz_ = Hz; }
  uint64_t ClockHz() const { return ClockHz_; }
  Knobs &Knob() { return Knobs_; }

  // Platform presets of the register file; Offset is a multiple of 4 below 0x68.
  void SetRegister32(uint64_t Offset, uint32_t Value);
  // The stored value, without the live execute and busy bits.
  uint32_t Register32(uint64_t Offset) const;
  uint8_t Fifo(unsigned Index) const { return Fifo_[Index]; }

  // Bus time of a transfer of Bytes bytes (opcode included) at the current clock.
  uint64_t WireTimePs(uint64_t Bytes) const;
  // True while the last started command is on the wire.
  bool Running(uint64_t NowPs) const { return NowPs < EndPs_; }
  uint64_t CommandsStarted() const { return CommandsStarted_; }

  uint64_t Read(uint64_t Offset, unsigned Width) override;
  void Write(uint64_t Offset, unsigned Width, uint64_t Value) override;

private:
  uint8_t RegisterByte(uint64_t Offset, uint64_t NowPs) const;
  void Start(Machine &M);
  void Note(Machine &M, std::string What);

  std::array<uint8_t, RegisterFileSize> Registers_{};
  std::array<uint8_t, FifoSize> Fifo_{};
  FlashChip *Chip_ = nullptr;
  uint64_t ClockHz_ = DefaultClockHz;
  uint64_t EndPs_ = 0;
  bool Hung_ = false;
  uint64_t CommandsStarted_ = 0;
  Knobs Knobs_;
};

} // namespace sim
