// The simulator's instance of the driver's access primitives: every call is
// routed to the current machine, which charges its virtual-time cost, traces it
// and hands it to the device model that backs the address.
#include "../driver/platform/Access.h"
#include "Machine.h"

using sim::Machine;

UINT8 MmioRead8(UINT64 Address) { return static_cast<UINT8>(Machine::Current().MmioRead(Address, 1)); }
UINT16 MmioRead16(UINT64 Address) { return static_cast<UINT16>(Machine::Current().MmioRead(Address, 2)); }
UINT32 MmioRead32(UINT64 Address) { return static_cast<UINT32>(Machine::Current().MmioRead(Address, 4)); }
VOID MmioWrite8(UINT64 Address, UINT8 Value) { Machine::Current().MmioWrite(Address, 1, Value); }
VOID MmioWrite16(UINT64 Address, UINT16 Value) { Machine::Current().MmioWrite(Address, 2, Value); }
VOID MmioWrite32(UINT64 Address, UINT32 Value) { Machine::Current().MmioWrite(Address, 4, Value); }

UINT8 IoRead8(UINT16 Port) { return static_cast<UINT8>(Machine::Current().PortIn(Port, 1)); }
UINT16 IoRead16(UINT16 Port) { return static_cast<UINT16>(Machine::Current().PortIn(Port, 2)); }
UINT32 IoRead32(UINT16 Port) { return Machine::Current().PortIn(Port, 4); }
VOID IoWrite8(UINT16 Port, UINT8 Value) { Machine::Current().PortOut(Port, 1, Value); }
VOID IoWrite16(UINT16 Port, UINT16 Value) { Machine::Current().PortOut(Port, 2, Value); }
VOID IoWrite32(UINT16 Port, UINT32 Value) { Machine::Current().PortOut(Port, 4, Value); }

UINT32 AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  sim::CpuidLeaf R = Machine::Current().ExecuteCpuid(Leaf);
  if (Eax != nullptr) {
    *Eax = R.Eax;
  }
  if (Ebx != nullptr) {
    *Ebx = R.Ebx;
  }
  if (Ecx != nullptr) {
    *Ecx = R.Ecx;
  }
  if (Edx != nullptr) {
    *Edx = R.Edx;
  }
  return Leaf;
}

UINT64 AsmReadMsr64(UINT32 Index) { return Machine::Current().ReadMsr(Index); }
UINT64 AsmReadTsc() { return Machine::Current().ReadTsc(); }
VOID CpuPause() { Machine::Current().Pause(); }
VOID AsmWbinvd() { Machine::Current().Wbinvd(); }
UINT64 AsmFlushCacheLine(UINT64 Address) {
  Machine::Current().Clflush(Address);
  return Address;
}
VOID AsmMfence() { Machine::Current().Mfence(); }
UINT16 CpuidBackdoorQuery() { return Machine::Current().BackdoorQuery(); }
