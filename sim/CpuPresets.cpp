#include "CpuPresets.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr uint32_t StandardSignatureLeaf = 0x00000001;
constexpr uint32_t ExtendedSignatureLeaf = 0x80000001;
constexpr uint32_t VendorLeaf = 0x00000000;
constexpr uint32_t ExtendedMaxLeaf = 0x80000000;
constexpr uint32_t MaxStandardLeaf = 0x00000010;
constexpr uint32_t MaxExtendedLeaf = 0x80000020;
// "AuthenticAMD" in EBX, EDX, ECX.
constexpr uint32_t VendorEbx = 0x68747541, VendorEdx = 0x69746E65, VendorEcx = 0x444D4163;

// CPUID 1 EBX: bits 15:8 CLFLUSH line size in quadwords (8: 64 bytes), bits
// 23:16 logical processors per package (16), bits 31:24 initial APIC ID (0).
constexpr uint32_t Leaf1Ebx = 0x00100800;
// CPUID 1 EDX as these parts report it: FPU, TSC, MSR, APIC, CMOV, CLFSH (bit
// 19), MMX, FXSR, SSE, SSE2, HTT among others.
constexpr uint32_t Leaf1Edx = 0x178BFBFF;
constexpr uint32_t ClflushBit = 1u << 19;

constexpr uint32_t ApicBaseMsr = 0x1B;
// Local APIC at 0xFEE00000, global enable (bit 11), bootstrap processor (bit 8).
constexpr uint64_t ApicBaseValue = 0xFEE00900;

constexpr uint32_t PStateMsrFirst = 0xC0010064; // P-state definitions 0..7
constexpr unsigned PStateCount = 8;
constexpr uint64_t PStateEnable = 1ULL << 63;

// Families 17h and 19h (PPR MSRC001_0064..6B): CpuFid[7:0], CpuDfsId[13:8],
// CpuVid[21:14]; core clock = 200 MHz * CpuFid / CpuDfsId.
constexpr uint64_t PState17h(uint64_t Fid, uint64_t DfsId, uint64_t Vid) {
  return PStateEnable | Vid << 14 | DfsId << 8 | Fid;
}
// Family 1Ah: CpuFid[11:0]; core clock = 5 MHz * CpuFid.
constexpr uint64_t PState1Ah(uint64_t Fid) { return PStateEnable | Fid; }

struct PresetRow {
  std::string_view Key;
  std::string_view Name;
  uint32_t Signature; // CPUID 1 EAX and 0x80000001 EAX
  std::array<uint64_t, PStateCount> PStates;
  uint64_t TscHz;     // P0 core clock
  bool FchHasRom3 = true; // the FCH paired with this part decodes the ROM3 window
};

constexpr PresetRow Presets[] = {
    {
        .Key = "zen1",
        .Name = "AMD family 17h model 01h",
        .Signature = 0x00800F12,
        // P0 3600 MHz (0x90 / 8), P1 3200 MHz (0x80 / 8), P2 2200 MHz (0x84 / 12).
        .PStates = {PState17h(0x90, 0x08, 0x20), PState17h(0x80, 0x08, 0x2C), PState17h(0x84, 0x0C, 0x48)},
        .TscHz = 3'600'000'000,
        // The first family 17h FCH predates the ROM3 window.
        .FchHasRom3 = false,
    },
    {
        .Key = "zen2",
        .Name = "AMD family 17h model 31h",
        .Signature = 0x00830F10,
        // P0 3700 MHz (0x94 / 8), P1 3200 MHz (0x80 / 8), P2 2200 MHz (0x84 / 12).
        .PStates = {PState17h(0x94, 0x08, 0x22), PState17h(0x80, 0x08, 0x2C), PState17h(0x84, 0x0C, 0x48)},
        .TscHz = 3'700'000'000,
    },
    {
        .Key = "zen3",
        .Name = "AMD family 19h model 21h",
        .Signature = 0x00A20F10,
        // P0 3800 MHz (0xBE / 10), P1 2800 MHz (0x8C / 10), P2 2200 MHz (0x84 / 12).
        .PStates = {PState17h(0xBE, 0x0A, 0x24), PState17h(0x8C, 0x0A, 0x38), PState17h(0x84, 0x0C, 0x48)},
        .TscHz = 3'800'000'000,
    },
    {
        .Key = "zen5",
        .Name = "AMD family 1Ah model 44h",
        .Signature = 0x00B40F40,
        // P0 4300 MHz (860 * 5), P1 3000 MHz (600 * 5), P2 2000 MHz (400 * 5).
        .PStates = {PState1Ah(860), PState1Ah(600), PState1Ah(400)},
        .TscHz = 4'300'000'000,
    },
    {
        .Key = "no-pstate",
        .Name = "AMD family 19h model 21h, no P-state enabled",
        .Signature = 0x00A20F10,
        // The zen3 definitions with every enable bit clear.
        .PStates = {PState17h(0xBE, 0x0A, 0x24) & ~PStateEnable, PState17h(0x8C, 0x0A, 0x38) & ~PStateEnable},
        .TscHz = 3'800'000'000,
    },
};

CpuConfig Build(const PresetRow &Row) {
  CpuConfig Cpu;
  Cpu.Name = std::string(Row.Name);
  Cpu.Cpuid[VendorLeaf] = {.Eax = MaxStandardLeaf, .Ebx = VendorEbx, .Ecx = VendorEcx, .Edx = VendorEdx};
  Cpu.Cpuid[StandardSignatureLeaf] = {.Eax = Row.Signature, .Ebx = Leaf1Ebx, .Ecx = 0, .Edx = Leaf1Edx};
  Cpu.Cpuid[ExtendedMaxLeaf] = {.Eax = MaxExtendedLeaf, .Ebx = VendorEbx, .Ecx = VendorEcx, .Edx = VendorEdx};
  Cpu.Cpuid[ExtendedSignatureLeaf] = {.Eax = Row.Signature};
  Cpu.Msrs[ApicBaseMsr] = ApicBaseValue;
  for (unsigned I = 0; I < PStateCount; I++) {
    Cpu.Msrs[PStateMsrFirst + I] = Row.PStates[I];
  }
  Cpu.TscHz = Row.TscHz;
  Cpu.FchHasRom3 = Row.FchHasRom3;
  return Cpu;
}

} // namespace

std::optional<CpuConfig> FindCpuPreset(std::string_view Name) {
  for (const PresetRow &Row : Presets) {
    if (Row.Key == Name) {
      return Build(Row);
    }
  }
  return std::nullopt;
}

CpuConfig CpuPreset(std::string_view Name) {
  auto Cpu = FindCpuPreset(Name);
  if (!Cpu) {
    std::fprintf(stderr, "sim: no processor preset named '%.*s'\n", static_cast<int>(Name.size()), Name.data());
    std::abort();
  }
  return *std::move(Cpu);
}

std::vector<std::string> CpuPresetNames() {
  std::vector<std::string> Names;
  for (const PresetRow &Row : Presets) {
    Names.emplace_back(Row.Key);
  }
  return Names;
}

CpuConfig WithoutClflush(CpuConfig Cpu) {
  Cpu.Cpuid[StandardSignatureLeaf].Edx &= ~ClflushBit;
  return Cpu;
}

} // namespace sim
