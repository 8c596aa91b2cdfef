// Processors the simulated platform can be built with: the CPUID signature,
// CLFLUSH support and line size, the P-state definition registers and the rate
// of the time-stamp counter, which on these processors counts at the P0 core
// frequency.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Machine.h"

namespace sim {

// "zen1", "zen2", "zen3", "zen5", "no-pstate". Aborts for an unknown name.
CpuConfig CpuPreset(std::string_view Name);
std::optional<CpuConfig> FindCpuPreset(std::string_view Name);
std::vector<std::string> CpuPresetNames();
// The same processor without CLFLUSH (CPUID 1 EDX bit 19 clear).
CpuConfig WithoutClflush(CpuConfig Cpu);

} // namespace sim
