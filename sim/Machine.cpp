#include "Machine.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace sim {

Machine::Machine(CpuConfig Cpu) : Cpu_(std::move(Cpu)) {
  if (Current_ != nullptr) {
    std::fprintf(stderr, "sim: a second machine in one process; the driver's globals exist once\n");
    std::abort();
  }
  Current_ = this;
}

Machine::~Machine() {
  for (const auto &R : Memory_) {
    munmap(reinterpret_cast<void *>(R.Base), R.Size);
  }
  Current_ = nullptr;
}

void Machine::NoMachine() {
  std::fprintf(stderr, "sim: the driver touched hardware with no simulated machine\n");
    std::abort();
}

CpuidLeaf Machine::ExecuteCpuid(uint32_t Leaf) {
  Advance(Costs_.CpuidPs);
  CpuidCount_++;
  Trace_.Access(EventKind::Cpuid, NowPs_, Leaf, 0, 0);
  auto It = Cpu_.Cpuid.find(Leaf);
  return It == Cpu_.Cpuid.end() ? CpuidLeaf{} : It->second;
}

uint64_t Machine::ReadMsr(uint32_t Index) {
  Advance(Costs_.RdmsrPs);
  MsrReadCount_++;
  auto It = Cpu_.Msrs.find(Index);
  if (It == Cpu_.Msrs.end()) {
    char B[64];
    std::snprintf(B, sizeof B, "RDMSR of unmodelled MSR 0x%X", Index);
    Fault(B);
    return 0;
  }
  Trace_.Access(EventKind::Msr, NowPs_, Index, 8, It->second);
  return It->second;
}

void Machine::Wbinvd() {
  Advance(Costs_.WbinvdPs);
  Trace_.Access(EventKind::Wbinvd, NowPs_, 0, 0, 0);
}

void Machine::Clflush(uint64_t Address) {
  Advance(Costs_.ClflushPs);
  Trace_.Access(EventKind::Clflush, NowPs_, Address, 0, 0);
}

void Machine::Mfence() { Advance(Costs_.MfencePs); }

uint16_t Machine::BackdoorQuery() {
  Advance(Costs_.CpuidPs);
  return Cpu_.AnswersBackdoor ? 1 : 0;
}

void Machine::MapMmio(uint64_t Base, uint64_t Size, MmioDevice *Device, std::string Name) {
  for (const auto &R : Mmio_) {
    if (Base < R.Base + R.Size && R.Base < Base + Size) {
      std::fprintf(stderr, "sim: MMIO range %s overlaps %s\n", Name.c_str(), R.Name.c_str());
      std::abort();
    }
  }
  Mmio_.push_back({Base, Size, Device, std::move(Name)});
}

void Machine::MapPorts(uint16_t First, uint16_t Count, PortDevice *Device, std::string Name) {
  Ports_.push_back({First, Count, Device, std::move(Name)});
}

const Machine::MmioRange *Machine::FindMmio(uint64_t Address, unsigned Width) const {
  for (const auto &R : Mmio_) {
    if (Address >= R.Base && Address - R.Base < R.Size && R.Size - (Address - R.Base) >= Width) {
      return &R;
    }
  }
  return nullptr;
}

const Machine::PortRange *Machine::FindPort(uint16_t Port) const {
  for (const auto &R : Ports_) {
    if (Port >= R.First && Port - R.First < R.Count) {
      return &R;
    }
  }
  return nullptr;
}

uint64_t Machine::MmioRead(uint64_t Address, unsigned Width) {
  Advance(Costs_.MmioReadPs);
  const MmioRange *R = FindMmio(Address, Width);
  if (R == nullptr) {
    char B[80];
    std::snprintf(B, sizeof B, "MMIO read%u of unbacked address 0x%llX", Width * 8,
                  static_cast<unsigned long long>(Address));
    Fault(B);
    return ~0ULL >> (64 - 8 * Width);
  }
  uint64_t Value = R->Device->Read(Address - R->Base, Width);
  Trace_.Access(EventKind::MmioRead, NowPs_, Address, Width, Value);
  return Value;
}

void Machine::MmioWrite(uint64_t Address, unsigned Width, uint64_t Value) {
  Advance(Costs_.MmioWritePs);
  const MmioRange *R = FindMmio(Address, Width);
  if (R == nullptr) {
    char B[96];
    std::snprintf(B, sizeof B, "MMIO write%u of 0x%llX to unbacked address 0x%llX", Width * 8,
                  static_cast<unsigned long long>(Value), static_cast<unsigned long long>(Address));
    Fault(B);
    return;
  }
  Trace_.Access(EventKind::MmioWrite, NowPs_, Address, Width, Value);
  R->Device->Write(Address - R->Base, Width, Value);
}

uint32_t Machine::PortIn(uint16_t Port, unsigned Width) {
  Advance(Costs_.PortAccessPs);
  const PortRange *R = FindPort(Port);
  if (R == nullptr) {
    char B[64];
    std::snprintf(B, sizeof B, "IN%u from unbacked port 0x%X", Width * 8, Port);
    Fault(B);
    return ~0U >> (32 - 8 * Width);
  }
  uint32_t Value = R->Device->In(Port, Width);
  Trace_.Access(EventKind::PortIn, NowPs_, Port, Width, Value);
  return Value;
}

void Machine::PortOut(uint16_t Port, unsigned Width, uint32_t Value) {
  Advance(Costs_.PortAccessPs);
  const PortRange *R = FindPort(Port);
  if (R == nullptr) {
    char B[80];
    std::snprintf(B, sizeof B, "OUT%u of 0x%X to unbacked port 0x%X", Width * 8, Value, Port);
    Fault(B);
    return;
  }
  Trace_.Access(EventKind::PortOut, NowPs_, Port, Width, Value);
  R->Device->Out(Port, Width, Value);
}

uint8_t *Machine::MapMemory(uint64_t Base, uint64_t Size, std::string Name) {
  void *P = mmap(reinterpret_cast<void *>(Base), Size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE | MAP_NORESERVE, -1, 0);
  if (P == MAP_FAILED || reinterpret_cast<uint64_t>(P) != Base) {
    std::fprintf(stderr, "sim: cannot place %s at 0x%llX (%llu bytes)\n", Name.c_str(),
                 static_cast<unsigned long long>(Base), static_cast<unsigned long long>(Size));
    std::abort();
  }
  Memory_.push_back({Base, Size, std::move(Name)});
  return static_cast<uint8_t *>(P);
}

bool Machine::IsKnownMemory(uint64_t Address, uint64_t Size) const {
  for (const auto &R : Memory_) {
    if (Address >= R.Base && Address - R.Base <= R.Size && Size <= R.Size - (Address - R.Base)) {
      return true;
    }
  }
  return false;
}

void Machine::Fault(std::string What) {
  Trace_.Text(EventKind::Note, NowPs_, "FAULT: " + What);
  Faults_.push_back(std::move(What));
}

} // namespace sim
