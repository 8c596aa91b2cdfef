// What the platform saw: every SPI command, register, port and MSR access,
// protocol call, SMI and notification, stamped with virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sim {

enum class SpiPath { Controller, Mailbox };

struct SpiCommand {
  SpiPath Path = SpiPath::Controller;
  uint8_t Opcode = 0;
  uint8_t TxCount = 0;          // bytes sent after the opcode
  uint8_t RxCount = 0;          // bytes clocked back
  std::vector<uint8_t> Tx;      // the TxCount bytes as they went on the wire
  std::vector<uint8_t> Rx;      // the RxCount bytes the chip answered
  int AddressBytes = 0;         // as the chip decoded the command (0: none)
  uint64_t Address = 0;         // as the chip decoded it
  uint64_t StartPs = 0, EndPs = 0;
  bool Ignored = false;         // the chip was busy, or did not answer the opcode
};

enum class EventKind { MmioRead, MmioWrite, PortIn, PortOut, Cpuid, Msr, Clflush, Wbinvd, Call, Smi, Note };

struct TraceEvent {
  EventKind Kind;
  uint64_t TimePs;
  uint64_t Address; // MMIO address, port, CPUID leaf, MSR index, flushed address
  unsigned Width;   // bytes, for accesses
  uint64_t Value;
  std::string Text; // protocol calls, SMIs, notes
};

class Trace {
public:
  std::deque<SpiCommand> Spi; // a deque: long polls append without moving earlier commands
  std::vector<TraceEvent> Events;
  bool RecordAccesses = true; // register/port/MSR events; SPI commands are always kept

  void Access(EventKind Kind, uint64_t TimePs, uint64_t Address, unsigned Width, uint64_t Value) {
    if (RecordAccesses) {
      Events.push_back({Kind, TimePs, Address, Width, Value, {}});
    }
  }
  void Text(EventKind Kind, uint64_t TimePs, std::string What) {
    Events.push_back({Kind, TimePs, 0, 0, 0, std::move(What)});
  }
  void Clear() {
    Spi.clear();
    Events.clear();
  }
  size_t Count(EventKind Kind) const;
  size_t CountSpi(uint8_t Opcode) const;
  std::vector<uint8_t> SpiOpcodes() const;

  static std::string Format(const SpiCommand &Command);
  std::string FormatSpi() const;
  std::string FormatAll() const;
};

} // namespace sim
