// TSC frequency from the P-state definitions, microsecond delays, and the
// cache flush of a flash range, checked against the simulated processor.
#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "spi/Timing.h"

namespace {

constexpr uint32_t kPState0 = 0xC0010064;
constexpr uint64_t kEnabled = 1ULL << 63;

class Timing : public test::PlatformTest {
protected:
  // A platform whose processor has only the given P-state definitions.
  sim::Platform &WithPStates(const char *Preset, std::vector<uint64_t> Definitions) {
    sim::PlatformConfig Config;
    Config.Cpu = sim::CpuPreset(Preset);
    for (uint32_t I = 0; I < 8; I++) {
      Config.Cpu.Msrs[kPState0 + I] = I < Definitions.size() ? Definitions[I] : 0;
    }
    return Make(Config);
  }
};

struct FrequencyCase {
  const char *Name;
  const char *Preset;
  std::vector<uint64_t> PStates;
  uint64_t Hz;
};

class TscFrequency : public Timing, public ::testing::WithParamInterface<FrequencyCase> {};

TEST_P(TscFrequency, FromFirstEnabledPState) {
  WithPStates(GetParam().Preset, GetParam().PStates);
  EXPECT_EQ(GetTscFrequency(), GetParam().Hz);
  EXPECT_EQ(mTscFrequency, GetParam().Hz);
}

// Older format: FID bits 7:0, DID bits 13:8; newer (family 1Ah): FID bits 11:0 x 5 MHz.
const FrequencyCase kFrequencies[] = {
    {"older_fid_over_did", "zen3", {kEnabled | 0x08 << 8 | 0x90}, 3'600'000'000},
    {"older_did_7_is_fid_x25", "zen3", {kEnabled | 0x07 << 8 | 0x90}, 0x90 * 25'000'000ULL},
    {"older_did_8", "zen3", {kEnabled | 0x08 << 8 | 0x64}, 0x64 * 25'000'000ULL},
    {"older_did_60_rounds_down", "zen3", {kEnabled | 0x3C << 8 | 0x99}, 0x99 * 200 / 60 * 1'000'000ULL},
    {"older_did_61_is_fid_x25", "zen3", {kEnabled | 0x3D << 8 | 0x99}, 0x99 * 25'000'000ULL},
    {"older_did_0_is_zero", "zen3", {kEnabled | 0x00 << 8 | 0x99}, 0},
    {"family_17h_uses_older", "zen2", {kEnabled | 0x0A << 8 | 0xBE}, 3'800'000'000},
    {"family_1ah_newer", "zen5", {kEnabled | 0x320}, 4'000'000'000},
    {"family_1ah_ignores_did_bits", "zen5", {kEnabled | 0x3F << 8 | 0x0C8}, 0xFC8 * 5'000'000ULL},
    {"first_enabled_wins", "zen3", {0x0A << 8 | 0xBE, kEnabled | 0x0A << 8 | 0x8C, kEnabled | 0x08 << 8 | 0x90},
     2'800'000'000},
};
INSTANTIATE_TEST_SUITE_P(Cases, TscFrequency, ::testing::ValuesIn(kFrequencies),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(Timing, FrequencyIsComputedOnce) {
  sim::Platform &P = WithPStates("zen3", {kEnabled | 0x0A << 8 | 0xBE});
  EXPECT_EQ(GetTscFrequency(), 3'800'000'000u);
  const uint64_t Cpuids = P.M().CpuidCount(), Msrs = P.M().MsrReadCount();
  EXPECT_EQ(GetTscFrequency(), 3'800'000'000u);
  EXPECT_EQ(P.M().CpuidCount(), Cpuids);
  EXPECT_EQ(P.M().MsrReadCount(), Msrs);
}

TEST_F(Timing, NoEnabledPStateFallsBackEveryTime) {
  sim::Platform &P = WithPStates("zen3", {});
  EXPECT_EQ(GetTscFrequency(), 256u);
  EXPECT_EQ(P.M().MsrReadCount(), 8u);
  EXPECT_EQ(GetTscFrequency(), 256u);
  EXPECT_EQ(P.M().MsrReadCount(), 16u);
  EXPECT_EQ(mTscFrequency, 0u);
}

// A zero frequency is stored, and being zero is computed again next time.
TEST_F(Timing, ZeroFrequencyIsRecomputed) {
  sim::Platform &P = WithPStates("zen3", {kEnabled | 0x00 << 8 | 0x99});
  EXPECT_EQ(GetTscFrequency(), 0u);
  const uint64_t Msrs = P.M().MsrReadCount();
  EXPECT_EQ(GetTscFrequency(), 0u);
  EXPECT_EQ(P.M().MsrReadCount(), Msrs + 1);
}

// The wait lasts at least U x F / 1e6 ticks of the TSC, measured on the
// simulated processor's own counter, and not much more.
TEST_F(Timing, DelayWaitsItsTicks) {
  struct Case {
    std::vector<uint64_t> PStates;
    uint64_t Microseconds;
    uint64_t Ticks;
  } const Cases[] = {
      {{kEnabled | 0x0A << 8 | 0xBE}, 1, 3800},
      {{kEnabled | 0x0A << 8 | 0xBE}, 250, 950'000},
      {{}, 1'000'000, 256},                      // no P-state: 256 "Hz"
      {{kEnabled | 0x00 << 8 | 0x99}, 1000, 0},  // DID 0: ends once the TSC moved
  };
  for (const Case &C : Cases) {
    sim::Platform &P = WithPStates("zen3", C.PStates);
    mTscFrequency = 0;
    GetTscFrequency();
    const uint64_t Start = P.M().Tsc();
    EXPECT_EQ(DelayMicroseconds(C.Microseconds), C.Microseconds);
    const uint64_t Elapsed = P.M().Tsc() - Start;
    EXPECT_GT(Elapsed, C.Ticks);
    // Overshoot: the frequency look-up (no P-state: CPUID and eight MSR reads
    // on every call) and the last read and pause, well under a microsecond.
    EXPECT_LT(Elapsed, C.Ticks + 3800) << C.Microseconds;
    EXPECT_TRUE(P.M().Faults().empty());
    Platform_.reset();
  }
}

struct FlushCase {
  const char *Name;
  uint64_t Address, Length;
  std::vector<uint64_t> Lines;
};

class Flush : public Timing, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(Flush, LineByLine) {
  sim::Platform &P = Make();
  const uint64_t Cpuids = P.M().CpuidCount();
  EXPECT_EQ(FlushFlashCacheRange(GetParam().Address, GetParam().Length), GetParam().Address);
  std::vector<uint64_t> Flushed;
  for (const auto &E : P.M().Log().Events) {
    if (E.Kind == sim::EventKind::Clflush) {
      Flushed.push_back(E.Address);
    }
  }
  EXPECT_EQ(Flushed, GetParam().Lines);
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::Wbinvd), 0u);
  EXPECT_EQ(P.M().CpuidCount() - Cpuids, GetParam().Length == 0 ? 0u : 1u);
}

std::vector<uint64_t> LinesFrom(uint64_t Start, size_t Count) {
  std::vector<uint64_t> L;
  for (size_t I = 0; I < Count; I++) {
    L.push_back(Start + 64 * I);
  }
  return L;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Flush,
    ::testing::Values(FlushCase{"nothing", 0xFF001000, 0, {}}, FlushCase{"one_byte", 0xFF001005, 1, {0xFF001000}},
                      FlushCase{"two_bytes_across_a_line", 0xFF00103F, 2, {0xFF001000, 0xFF001040}},
                      FlushCase{"exact_line", 0xFF001040, 64, {0xFF001040}},
                      FlushCase{"page", 0x1000, 0x1000, LinesFrom(0x1000, 64)}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST_F(Timing, FlushWithoutClflushWritesBackEverything) {
  sim::PlatformConfig Config;
  Config.Cpu = sim::WithoutClflush(sim::CpuPreset("zen3"));
  sim::Platform &P = Make(Config);
  FlushFlashCacheRange(0xFF000000, 0x10000);
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::Wbinvd), 1u);
  EXPECT_EQ(P.M().Log().Count(sim::EventKind::Clflush), 0u);
}

} // namespace
