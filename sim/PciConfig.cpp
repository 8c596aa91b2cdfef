#include "PciConfig.h"

#include <cstdio>

namespace sim {

namespace {
constexpr uint64_t AllOnes = ~0ULL;
}

void PciConfig::Map(Machine &M) { M.MapMmio(Base, Size, this, "PCI Express configuration space"); }

bool PciConfig::LpcByte(uint64_t Register, uint8_t &Byte) const {
  struct Field {
    uint64_t Register;
    uint16_t Value;
  };
  const Field Fields[] = {
      {.Register = VendorIdReg, .Value = AmdVendorId},
      {.Register = DeviceIdReg, .Value = LpcBridgeDeviceId},
      {.Register = Rom2StartReg, .Value = Rom2Start_},
      {.Register = Rom2EndReg, .Value = Rom2End_},
  };
  for (const Field &F : Fields) {
    if (Register - F.Register < sizeof F.Value) {
      Byte = static_cast<uint8_t>(F.Value >> (8 * (Register - F.Register)));
      return true;
    }
  }
  return false;
}

uint64_t PciConfig::Read(uint64_t Offset, unsigned Width) {
  const uint64_t Mask = AllOnes >> (64 - 8 * Width);
  if (Offset - LpcBridge >= FunctionSpaceSize) {
    return Mask;
  }
  uint64_t Value = 0;
  for (unsigned I = 0; I < Width; I++) {
    uint8_t Byte = 0;
    if (!LpcByte(Offset - LpcBridge + I, Byte)) {
      char B[80];
      std::snprintf(B, sizeof B, "LPC bridge config read%u of unmodelled register 0x%llX", Width * 8,
                    static_cast<unsigned long long>(Offset - LpcBridge));
      Machine::Current().Fault(B);
      return Mask;
    }
    Value |= static_cast<uint64_t>(Byte) << (8 * I);
  }
  return Value;
}

void PciConfig::Write(uint64_t Offset, unsigned Width, uint64_t Value) {
  char B[96];
  std::snprintf(B, sizeof B, "PCI config write%u of 0x%llX at ECAM offset 0x%llX", Width * 8,
                static_cast<unsigned long long>(Value), static_cast<unsigned long long>(Offset));
  Machine::Current().Fault(B);
}

} // namespace sim
