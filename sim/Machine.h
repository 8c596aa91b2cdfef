// The simulated machine: virtual time, the processor's CPUID/MSR/TSC state, the
// MMIO and port buses that route the driver's accesses to device models, the
// memory the simulation knows, and the trace. One machine per process, since
// the driver's module globals are one per process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Trace.h"

namespace sim {

// Virtual time is kept in picoseconds; every cost below is a fixed, documented
// charge so that the same run gives the same trace and durations anywhere.
struct Costs {
  uint64_t MmioReadPs = 150'000;   // uncached read across the fabric to the FCH
  uint64_t MmioWritePs = 40'000;   // posted write
  uint64_t PortAccessPs = 500'000; // legacy I/O cycle on the LPC/eSPI bus
  uint64_t CpuidPs = 60'000;
  uint64_t RdmsrPs = 50'000;
  uint64_t RdtscPs = 10'000;
  uint64_t PausePs = 15'000;
  uint64_t ClflushPs = 20'000;
  uint64_t MfencePs = 10'000;
  uint64_t WbinvdPs = 50'000'000; // whole-cache write-back
};

class MmioDevice {
public:
  virtual ~MmioDevice() = default;
  // Offset is relative to the base the device was mapped at; Width is 1, 2 or 4.
  virtual uint64_t Read(uint64_t Offset, unsigned Width) = 0;
  virtual void Write(uint64_t Offset, unsigned Width, uint64_t Value) = 0;
};

class PortDevice {
public:
  virtual ~PortDevice() = default;
  virtual uint32_t In(uint16_t Port, unsigned Width) = 0;
  virtual void Out(uint16_t Port, unsigned Width, uint32_t Value) = 0;
};

struct CpuidLeaf {
  uint32_t Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
};

// The processor as the driver sees it. Presets live in CpuPresets.h.
struct CpuConfig {
  std::string Name = "AMD family 19h";
  std::map<uint32_t, CpuidLeaf> Cpuid;
  std::map<uint32_t, uint64_t> Msrs;
  uint64_t TscHz = 3'400'000'000; // rate at which the TSC counts
  bool AnswersBackdoor = true;    // SI set by the 0xBACCD00B leaf
  // The FCH of this processor generation has the ROM3 window (64 MiB, 26-bit
  // SPI addresses); on older ones the window registers have no effect.
  bool FchHasRom3 = true;
};

// A host memory range the simulation has placed at a chosen address.
struct MemoryRegion {
  uint64_t Base = 0;
  uint64_t Size = 0;
  std::string Name;
};

class Machine {
public:
  explicit Machine(CpuConfig Cpu);
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The process's machine; a driver access with none is a fatal test error.
  static Machine &Current() {
    if (Current_ == nullptr) {
      NoMachine();
    }
    return *Current_;
  }
  static bool Exists() { return Current_ != nullptr; }

  // Time.
  uint64_t NowPs() const { return NowPs_; }
  // Moves virtual time on. The TSC follows exactly: floor(NowPs x TscHz / 1e12),
  // kept incrementally with its remainder so the hot path needs no wide division.
  void Advance(uint64_t Ps) {
    NowPs_ += Ps;
    const unsigned __int128 Sum = static_cast<unsigned __int128>(Ps) * Cpu_.TscHz + TscRemainder_;
    if ((Sum >> 64) == 0) {
      const uint64_t Narrow = static_cast<uint64_t>(Sum);
      Tsc_ += Narrow / PsPerSecond;
      TscRemainder_ = Narrow % PsPerSecond;
    } else {
      Tsc_ += static_cast<uint64_t>(Sum / PsPerSecond);
      TscRemainder_ = static_cast<uint64_t>(Sum % PsPerSecond);
    }
  }
  uint64_t Tsc() const { return Tsc_; }
  uint64_t TscHz() const { return Cpu_.TscHz; }
  Costs &Cost() { return Costs_; }

  // Processor.
  CpuConfig &Cpu() { return Cpu_; }
  CpuidLeaf ExecuteCpuid(uint32_t Leaf);
  uint64_t ReadMsr(uint32_t Index);
  // The delay loops spin on these two; they stay inline.
  uint64_t ReadTsc() {
    Advance(Costs_.RdtscPs);
    return Tsc_;
  }
  void Pause() { Advance(Costs_.PausePs); }
  void Wbinvd();
  void Clflush(uint64_t Address);
  void Mfence();
  uint16_t BackdoorQuery();
  uint64_t CpuidCount() const { return CpuidCount_; }
  uint64_t MsrReadCount() const { return MsrReadCount_; }

  // Buses. Overlapping ranges are a configuration error.
  void MapMmio(uint64_t Base, uint64_t Size, MmioDevice *Device, std::string Name);
  void MapPorts(uint16_t First, uint16_t Count, PortDevice *Device, std::string Name);
  uint64_t MmioRead(uint64_t Address, unsigned Width);
  void MmioWrite(uint64_t Address, unsigned Width, uint64_t Value);
  uint32_t PortIn(uint16_t Port, unsigned Width);
  void PortOut(uint16_t Port, unsigned Width, uint32_t Value);

  // Memory placed at chosen addresses (below 4 GiB for SMRAM and 32-bit
  // request fields). Returns the host pointer, equal to Base.
  uint8_t *MapMemory(uint64_t Base, uint64_t Size, std::string Name);
  const std::vector<MemoryRegion> &Memory() const { return Memory_; }
  // True when [Address, Address + Size) lies inside one mapped region.
  bool IsKnownMemory(uint64_t Address, uint64_t Size) const;

  // A driver access that no model backs. Recorded, traced, and reported by the
  // test fixtures as a failure.
  void Fault(std::string What);
  const std::vector<std::string> &Faults() const { return Faults_; }

  Trace &Log() { return Trace_; }

private:
  struct MmioRange {
    uint64_t Base, Size;
    MmioDevice *Device;
    std::string Name;
  };
  struct PortRange {
    uint16_t First, Count;
    PortDevice *Device;
    std::string Name;
  };
  [[noreturn]] static void NoMachine();
  static inline Machine *Current_ = nullptr;

  const MmioRange *FindMmio(uint64_t Address, unsigned Width) const;
  const PortRange *FindPort(uint16_t Port) const;

  CpuConfig Cpu_;
  Costs Costs_;
  static constexpr uint64_t PsPerSecond = 1'000'000'000'000ULL;
  uint64_t NowPs_ = 0;
  uint64_t Tsc_ = 0;
  uint64_t TscRemainder_ = 0;
  uint64_t CpuidCount_ = 0;
  uint64_t MsrReadCount_ = 0;
  std::vector<MmioRange> Mmio_;
  std::vector<PortRange> Ports_;
  std::vector<MemoryRegion> Memory_;
  std::vector<std::string> Faults_;
  Trace Trace_;
};

} // namespace sim
