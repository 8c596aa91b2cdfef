// PCI Express configuration space (ECAM) at 0xE0000000, 256 buses. Only the
// FCH's LPC bridge (bus 0, device 0x14, function 3) is modelled, with its
// identity and the ROM2 window range registers; every other function is absent
// and reads all ones, as a configuration read that no function claims does.
#pragma once

#include <cstdint>

#include "Machine.h"

namespace sim {

// ECAM offset of a function's configuration space: bus << 20 | device << 15 | function << 12.
constexpr uint64_t EcamFunctionOffset(uint64_t Bus, uint64_t Device, uint64_t Function) {
  return Bus << 20 | Device << 15 | Function << 12;
}

class PciConfig : public MmioDevice {
public:
  static constexpr uint64_t Base = 0xE0000000;
  static constexpr uint64_t Size = 0x10000000;

  static constexpr uint64_t FunctionSpaceSize = 0x1000;
  static constexpr uint64_t LpcBridge = EcamFunctionOffset(0, 0x14, 3);

  // LPC bridge registers.
  static constexpr uint64_t VendorIdReg = 0x00;
  static constexpr uint64_t DeviceIdReg = 0x02;
  static constexpr uint16_t AmdVendorId = 0x1022;
  static constexpr uint16_t LpcBridgeDeviceId = 0x790E; // FCH LPC bridge of family 17h and later
  static constexpr uint64_t Rom2StartReg = 0x6C;        // 16 bits, 64 KiB units
  static constexpr uint64_t Rom2EndReg = 0x6E;          // 16 bits, 64 KiB units, last unit included

  void Map(Machine &M);
  void SetLpcRom2(uint16_t Start, uint16_t End) {
    Rom2Start_ = Start;
    Rom2End_ = End;
  }
  uint16_t Rom2Start() const { return Rom2Start_; }
  uint16_t Rom2End() const { return Rom2End_; }

  uint64_t Read(uint64_t Offset, unsigned Width) override;
  void Write(uint64_t Offset, unsigned Width, uint64_t Value) override;

private:
  // A byte of the LPC bridge's configuration space, or false for a register
  // that is not modelled.
  bool LpcByte(uint64_t Register, uint8_t &Byte) const;

  // Until the platform sets them: the 16 MiB below 4 GiB.
  uint16_t Rom2Start_ = 0xFF00;
  uint16_t Rom2End_ = 0xFFFF;
};

} // namespace sim
