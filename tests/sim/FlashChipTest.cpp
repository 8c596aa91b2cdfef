// Behaviour rules of the flash chip model, as a table of command sequences run
// against catalogue parts: each case states what the chip answered, what it
// holds afterwards and which misuse it counted.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "ChipCatalogue.h"
#include "FlashChip.h"
#include "Machine.h"

namespace sim {
namespace {

// One byte on the wire at 33 MHz, the controller's normal-read clock.
constexpr uint64_t BytePs = 8 * 30'303;
constexpr uint64_t PsPerUs = 1'000'000;

struct Step {
  uint8_t Op = 0;
  std::vector<uint8_t> Tx = {};
  uint8_t Rx = 0;
  std::optional<std::vector<uint8_t>> Expect = std::nullopt; // the answered bytes
  bool Ignored = false;
  uint64_t WaitUs = 0; // virtual time that passes after the command
};

struct Bytes {
  uint64_t Offset;
  std::vector<uint8_t> Value;
};

struct Case {
  const char *Name;
  const char *Chip;
  std::vector<Step> Steps;
  std::vector<Bytes> Memory = {};       // contents after the steps
  FlashChip::Misuse Misuse = {};        // counters after the steps, exactly
  std::optional<uint8_t> Status = std::nullopt; // status register after the steps
  std::function<void(FlashChip &)> Setup = nullptr;
  std::optional<bool> FourByte = std::nullopt;
};

void PrintTo(const Case &K, std::ostream *Os) { *Os << K.Name << " on " << K.Chip; }

std::vector<uint8_t> A3(uint32_t A, std::vector<uint8_t> Data = {}) {
  std::vector<uint8_t> V{static_cast<uint8_t>(A >> 16), static_cast<uint8_t>(A >> 8), static_cast<uint8_t>(A)};
  V.insert(V.end(), Data.begin(), Data.end());
  return V;
}

std::vector<uint8_t> A4(uint32_t A, std::vector<uint8_t> Data = {}) {
  std::vector<uint8_t> V{static_cast<uint8_t>(A >> 24)};
  const auto Rest = A3(A, std::move(Data));
  V.insert(V.end(), Rest.begin(), Rest.end());
  return V;
}

// Runs commands against one chip with a machine present, keeping the trace.
class Bench {
public:
  explicit Bench(const ChipSpec &Spec) : Chip(Spec) {}

  SpiCommand Send(uint8_t Op, std::vector<uint8_t> Tx = {}, uint8_t Rx = 0) {
    SpiCommand C;
    C.Opcode = Op;
    C.TxCount = static_cast<uint8_t>(Tx.size());
    C.Tx = std::move(Tx);
    C.RxCount = Rx;
    C.StartPs = M.NowPs();
    C.EndPs = C.StartPs + (1 + C.TxCount + Rx) * BytePs;
    Chip.Execute(C);
    M.Advance(C.EndPs - C.StartPs);
    M.Log().Spi.push_back(C);
    return C;
  }
  void WaitUs(uint64_t Us) { M.Advance(Us * PsPerUs); }

  Machine M{CpuConfig{}};
  FlashChip Chip;
};

const ChipSpec &Part(const char *Name) {
  const ChipSpec *S = FindChip(Name);
  EXPECT_NE(S, nullptr) << Name;
  return *S;
}

void ExpectMisuse(const FlashChip::Misuse &Got, const FlashChip::Misuse &Want) {
#define FLASHSMM_MISUSE(Field) EXPECT_EQ(Got.Field, Want.Field) << #Field
  FLASHSMM_MISUSE(ProgramWithoutWel);
  FLASHSMM_MISUSE(EraseWithoutWel);
  FLASHSMM_MISUSE(StatusWriteWithoutEnable);
  FLASHSMM_MISUSE(CommandWhileBusy);
  FLASHSMM_MISUSE(ProgramSetsBits);
  FLASHSMM_MISUSE(PageWrap);
  FLASHSMM_MISUSE(UnknownOpcode);
  FLASHSMM_MISUSE(ProtectedWrite);
  FLASHSMM_MISUSE(MalformedCommand);
  FLASHSMM_MISUSE(KeptBitsChanged);
  FLASHSMM_MISUSE(ModeChangeWithoutWel);
#undef FLASHSMM_MISUSE
}

constexpr uint8_t Wren = 0x06, Wrdi = 0x04, Rdsr = 0x05, Wrsr = 0x01, Ewsr = 0x50, Pp = 0x02, Rd = 0x03;
constexpr uint8_t Se = 0x20, Be64 = 0xD8, Ce = 0xC7, Rdid = 0x9F, Rems = 0x90, En4b = 0xB7, Ex4b = 0xE9;
constexpr uint64_t LongUs = 300'000'000; // beyond every maximum time of the catalogue
const std::vector<uint8_t> Jedec128{0xEF, 0x40, 0x18};

const std::vector<Case> &Cases() {
  static const std::vector<Case> Table{
      {.Name = "ProgramNeedsWriteEnable",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Pp, .Tx = A3(0, {0xAA}), .Ignored = true}, {.Op = Wren}, {.Op = Wrdi},
                 {.Op = Pp, .Tx = A3(0, {0xAA}), .Ignored = true}},
       .Memory = {{0, {0xFF}}},
       .Misuse = {.ProgramWithoutWel = 2},
       .Status = 0x00},
      {.Name = "ProgramSetsBusyAndWelUntilTpp",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0x10, {0xAA, 0x55})},
                 {.Op = Rdsr, .Rx = 2, .Expect = std::vector<uint8_t>{0x03, 0x03}, .WaitUs = 700},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x00}}},
       .Memory = {{0x10, {0xAA, 0x55, 0xFF}}},
       .Status = 0x00},
      {.Name = "EraseNeedsWriteEnableAndAlignsDown",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Se, .Tx = A3(0x1234), .Ignored = true}, {.Op = Wren}, {.Op = Se, .Tx = A3(0x1234)},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x03}, .WaitUs = 45'000},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x00}}},
       .Memory = {{0x0FFF, {0x00, 0xFF}}, {0x1FFF, {0xFF, 0x00}}},
       .Misuse = {.EraseWithoutWel = 1},
       .Setup = [](FlashChip &C) { C.Fill(0x0FFF, std::vector<uint8_t>(0x1002, 0x00)); }},
      {.Name = "ProgramIsAndOfOldAndNew",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0x20, {0x3C, 0x0F}), .WaitUs = 700}},
       .Memory = {{0x20, {0x30, 0x0F}}},
       .Misuse = {.ProgramSetsBits = 1},
       .Setup = [](FlashChip &C) { C.Fill(0x20, {0xF0, 0xFF}); }},
      {.Name = "PageProgramWrapsInsideItsPage",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0x1FE, {0x11, 0x22, 0x33, 0x44}), .WaitUs = 700}},
       .Memory = {{0x100, {0x33, 0x44, 0xFF}}, {0x1FE, {0x11, 0x22}}, {0x200, {0xFF}}},
       .Misuse = {.PageWrap = 1}},
      {.Name = "BusyIgnoresAllButReadStatus",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0)},
                 {.Op = Rdid, .Rx = 3, .Expect = std::vector<uint8_t>{0xFF, 0xFF, 0xFF}, .Ignored = true},
                 {.Op = Rd, .Tx = A3(0x4000), .Rx = 1, .Expect = std::vector<uint8_t>{0xFF}, .Ignored = true},
                 {.Op = Wren, .Ignored = true},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x03}, .WaitUs = 45'000},
                 {.Op = Rdid, .Rx = 3, .Expect = Jedec128},
                 {.Op = Rd, .Tx = A3(0x4000), .Rx = 1, .Expect = std::vector<uint8_t>{0x5A}}},
       .Misuse = {.CommandWhileBusy = 3},
       .Status = 0x00,
       .Setup = [](FlashChip &C) { C.Fill(0x4000, {0x5A}); }},
      {.Name = "ProtectionBlocksProgramAndEraseUntilCleared",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x00}), .Ignored = true},
                 {.Op = Wren}, {.Op = Se, .Tx = A3(0), .Ignored = true},
                 {.Op = Wren}, {.Op = Wrsr, .Tx = {0x80}, .WaitUs = 10'000},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x00}), .WaitUs = 700}},
       .Memory = {{0, {0x00}}},
       .Misuse = {.ProtectedWrite = 2},
       .Status = 0x80,
       .Setup = [](FlashChip &C) { C.SetStatusRegister(0x80 | 0x1C); }},
      {.Name = "StatusWriteThatDropsKeptBitsIsCounted",
       .Chip = "MX25L25645G",
       .Steps = {{.Op = Wren}, {.Op = Wrsr, .Tx = {0x00}, .WaitUs = 10'000}},
       .Misuse = {.KeptBitsChanged = 1},
       .Status = 0x00,
       .Setup = [](FlashChip &C) { C.SetStatusRegister(0xC0 | 0x3C); }},
      {.Name = "PartialProtectionCoversTopFractionOnly",
       // BP = 1 on the W25Q128JV: the top 1/64 (256 KiB) is protected.
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0xFC0000, {0x00}), .Ignored = true},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0xFBFFFF, {0x00}), .WaitUs = 700}},
       .Memory = {{0xFBFFFF, {0x00, 0xFF}}},
       .Misuse = {.ProtectedWrite = 1},
       .Setup = [](FlashChip &C) { C.SetStatusRegister(0x04); }},
      {.Name = "VolatileStatusWriteOnWinbond",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Ewsr}, {.Op = Wrsr, .Tx = {0x00}},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x00}}},
       .Setup = [](FlashChip &C) { C.SetStatusRegister(0x1C); }},
      {.Name = "FourByteModeEnterAndExit",
       .Chip = "W25Q256JV",
       .Steps = {{.Op = En4b}, {.Op = Rd, .Tx = A4(0x01000000), .Rx = 1, .Expect = std::vector<uint8_t>{0x42}},
                 {.Op = Ex4b}, {.Op = Rd, .Tx = A3(0x000000), .Rx = 1, .Expect = std::vector<uint8_t>{0x24}},
                 {.Op = 0x13, .Tx = A4(0x01000000), .Rx = 1, .Expect = std::vector<uint8_t>{0x42}}},
       .Setup = [](FlashChip &C) {
         C.Fill(0x01000000, {0x42});
         C.Fill(0, {0x24});
       },
       .FourByte = false},
      {.Name = "IssiLeavesFourByteModeWith29Only",
       .Chip = "IS25LP256D",
       .Steps = {{.Op = En4b}, {.Op = Ex4b, .Ignored = true},
                 {.Op = Rd, .Tx = A4(0x01000000), .Rx = 1, .Expect = std::vector<uint8_t>{0x42}}, {.Op = 0x29}},
       .Misuse = {.UnknownOpcode = 1},
       .Setup = [](FlashChip &C) { C.Fill(0x01000000, {0x42}); },
       .FourByte = false},
      {.Name = "MicronModeChangeNeedsWriteEnable",
       .Chip = "N25Q256A13",
       .Steps = {{.Op = En4b, .Ignored = true}, {.Op = Wren}, {.Op = En4b}},
       .Misuse = {.ModeChangeWithoutWel = 1},
       .FourByte = true},
      {.Name = "FourByteModeShiftsEraseAddress",
       .Chip = "MX25L25645G",
       .Steps = {{.Op = En4b}, {.Op = Wren}, {.Op = Se, .Tx = A3(0x010000), .Ignored = true},
                 {.Op = Se, .Tx = A4(0x01001000), .WaitUs = 420'000}},
       .Memory = {{0x01001000, {0xFF}}, {0x010000, {0x00}}},
       .Misuse = {.MalformedCommand = 1},
       .Setup = [](FlashChip &C) {
         C.Fill(0x01001000, {0x00});
         C.Fill(0x010000, {0x00});
       },
       .FourByte = true},
      {.Name = "SstPowersUpProtectedAndUnlocksThroughEwsr",
       .Chip = "SST25LF040A",
       .Steps = {{.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x0C}},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x12}), .Ignored = true},
                 {.Op = Wren}, {.Op = Wrsr, .Tx = {0x00}, .Ignored = true},
                 {.Op = Ewsr}, {.Op = Wrsr, .Tx = {0x00}, .WaitUs = 15'000},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x12, 0x34}), .WaitUs = 10}},
       .Memory = {{0, {0x12, 0xFF}}},
       .Misuse = {.StatusWriteWithoutEnable = 1, .ProtectedWrite = 1, .MalformedCommand = 1},
       .Status = 0x00},
      {.Name = "EwsrMustImmediatelyPrecedeTheStatusWrite",
       .Chip = "SST25LF080A",
       .Steps = {{.Op = Ewsr}, {.Op = Rdsr, .Rx = 1}, {.Op = Wrsr, .Tx = {0x00}, .Ignored = true}},
       .Misuse = {.StatusWriteWithoutEnable = 1},
       .Status = 0x0C},
      {.Name = "Read90AnswersPairsInAddressOrder",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Rems, .Tx = A3(0), .Rx = 4, .Expect = std::vector<uint8_t>{0xEF, 0x17, 0xEF, 0x17}},
                 {.Op = Rems, .Tx = A3(1), .Rx = 2, .Expect = std::vector<uint8_t>{0x17, 0xEF}}}},
      {.Name = "Sst25LfAnswersOnly90",
       // Without transmitted address bytes the first three clocks are the address phase.
       .Chip = "SST25LF040A",
       .Steps = {{.Op = Rdid, .Rx = 3, .Expect = std::vector<uint8_t>{0xFF, 0xFF, 0xFF}, .Ignored = true},
                 {.Op = Rems, .Rx = 5, .Expect = std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xBF, 0x44}}},
       .Misuse = {.UnknownOpcode = 1}},
      {.Name = "UnknownOpcodeIsIgnoredAndCounted",
       .Chip = "M25P128",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0), .Ignored = true}, {.Op = Rems, .Tx = A3(0), .Rx = 2,
                 .Expect = std::vector<uint8_t>{0xFF, 0xFF}, .Ignored = true}},
       .Misuse = {.UnknownOpcode = 2},
       .Status = 0x02},
      {.Name = "M25P128ErasesQuarterMegabyteSectors",
       .Chip = "M25P128",
       .Steps = {{.Op = Wren}, {.Op = Be64, .Tx = A3(0x7FFFF), .WaitUs = 2'000'000},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x00}}},
       .Memory = {{0x3FFFF, {0x00, 0xFF}}, {0x7FFFF, {0xFF, 0x00}}},
       .Setup = [](FlashChip &C) { C.Fill(0x3FFFF, std::vector<uint8_t>(0x40002, 0x00)); }},
      {.Name = "ParameterSectorEraseOnlyInsideItsRegion",
       .Chip = "S25FL256S",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0x40000), .Ignored = true},
                 {.Op = Wren}, {.Op = Se, .Tx = A3(0x1000), .WaitUs = 400'000}},
       .Memory = {{0x40000, {0x00}}, {0x1000, {0xFF}}},
       .Setup = [](FlashChip &C) {
         C.Fill(0x40000, {0x00});
         C.Fill(0x1000, {0x00});
       }},
      {.Name = "PageEraseOf256Bytes",
       .Chip = "M25PE80",
       .Steps = {{.Op = Wren}, {.Op = 0xDB, .Tx = A3(0x1280), .WaitUs = 20'000}},
       .Memory = {{0x11FF, {0x00, 0xFF}}, {0x12FF, {0xFF, 0x00}}},
       .Setup = [](FlashChip &C) { C.Fill(0x11FF, std::vector<uint8_t>(0x102, 0x00)); }},
      {.Name = "AtmelSectorUnprotectAndGlobalUnprotect",
       .Chip = "AT25DF041A",
       .Steps = {{.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x0C}},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x00}), .Ignored = true},
                 {.Op = Wren}, {.Op = 0x39, .Tx = A3(0x100)},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x04}},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x00}), .WaitUs = 5'000},
                 {.Op = Wren}, {.Op = Wrsr, .Tx = {0x00}, .WaitUs = 15'000},
                 {.Op = Wren}, {.Op = Pp, .Tx = A3(0x70000, {0x00}), .WaitUs = 5'000}},
       .Memory = {{0, {0x00}}, {0x70000, {0x00}}},
       .Misuse = {.ProtectedWrite = 1},
       .Status = 0x00},
      {.Name = "Sst26GlobalUnlock",
       .Chip = "SST26VF064B",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0), .Ignored = true}, {.Op = 0x98, .Ignored = true},
                 {.Op = Wren}, {.Op = 0x98}, {.Op = Wren}, {.Op = Se, .Tx = A3(0), .WaitUs = 25'000}},
       .Memory = {{0, {0xFF}}},
       .Misuse = {.StatusWriteWithoutEnable = 1, .ProtectedWrite = 1},
       .Setup = [](FlashChip &C) { C.Fill(0, {0x00}); }},
      {.Name = "ChipEraseClearsEverything",
       .Chip = "W25Q64JV",
       .Steps = {{.Op = Wren}, {.Op = Ce, .WaitUs = 40'000'000}},
       .Memory = {{0, {0xFF}}, {0x7FFFFF, {0xFF}}},
       .Setup = [](FlashChip &C) {
         C.Fill(0, {0x00});
         C.Fill(0x7FFFFF, {0x00});
       }},
      {.Name = "InjectedEraseFailureTakesTimeButNoEffect",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0)},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x03}, .WaitUs = 45'000},
                 {.Op = Rd, .Tx = A3(0), .Rx = 1, .Expect = std::vector<uint8_t>{0x00}},
                 {.Op = Wren}, {.Op = Se, .Tx = A3(0), .WaitUs = 45'000}},
       .Memory = {{0, {0xFF}}},
       .Status = 0x00,
       .Setup = [](FlashChip &C) {
         C.Fill(0, {0x00});
         C.Knob().FailErases = 1;
       }},
      {.Name = "InjectedProgramFailure",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(0, {0x00}), .WaitUs = 700}},
       .Memory = {{0, {0xFF}}},
       .Setup = [](FlashChip &C) { C.Knob().FailPrograms = 1; }},
      {.Name = "StuckBusyNeverClears",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0), .WaitUs = LongUs},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x03}},
                 {.Op = Wren, .Ignored = true}},
       .Misuse = {.CommandWhileBusy = 1},
       .Setup = [](FlashChip &C) { C.Knob().StuckBusy = true; }},
      {.Name = "StuckBitsSurviveProgramAndErase",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Pp, .Tx = A3(5, {0x00}), .WaitUs = 700}},
       .Memory = {{5, {0x81}}},
       .Setup = [](FlashChip &C) { C.Knob().StuckBits[5] = 0x81; }},
      {.Name = "MaxTimesKnobStretchesBusy",
       .Chip = "W25Q128JV",
       .Steps = {{.Op = Wren}, {.Op = Se, .Tx = A3(0), .WaitUs = 45'000},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x03}, .WaitUs = 355'000},
                 {.Op = Rdsr, .Rx = 1, .Expect = std::vector<uint8_t>{0x00}}},
       .Setup = [](FlashChip &C) { C.Knob().UseMaxTimes = true; }},
  };
  return Table;
}

class FlashChipRules : public testing::TestWithParam<Case> {};

TEST_P(FlashChipRules, Sequence) {
  const Case &K = GetParam();
  Bench B(Part(K.Chip));
  if (K.Setup) {
    K.Setup(B.Chip);
  }
  for (size_t I = 0; I < K.Steps.size(); I++) {
    const Step &S = K.Steps[I];
    const SpiCommand C = B.Send(S.Op, S.Tx, S.Rx);
    SCOPED_TRACE(testing::Message() << "step " << I << ": " << Trace::Format(C));
    ASSERT_EQ(C.Rx.size(), S.Rx);
    if (S.Expect) {
      EXPECT_EQ(C.Rx, *S.Expect);
    }
    EXPECT_EQ(C.Ignored, S.Ignored);
    B.WaitUs(S.WaitUs);
  }
  for (const Bytes &Want : K.Memory) {
    EXPECT_EQ(B.Chip.Read(Want.Offset, Want.Value.size()), Want.Value) << "at " << std::hex << Want.Offset;
  }
  ExpectMisuse(B.Chip.Counters(), K.Misuse);
  if (K.Status) {
    EXPECT_EQ(B.Chip.Status(B.M.NowPs()), *K.Status);
  }
  if (K.FourByte) {
    EXPECT_EQ(B.Chip.FourByteAddressing(), *K.FourByte);
  }
  // Every counted misuse left a note in the trace.
  const FlashChip::Misuse &M = B.Chip.Counters();
  const unsigned Counted = M.ProgramWithoutWel + M.EraseWithoutWel + M.StatusWriteWithoutEnable + M.CommandWhileBusy +
                           M.ProgramSetsBits + M.PageWrap + M.UnknownOpcode + M.ProtectedWrite + M.MalformedCommand +
                           M.KeptBitsChanged + M.ModeChangeWithoutWel;
  EXPECT_GE(B.M.Log().Count(EventKind::Note), Counted);
}

INSTANTIATE_TEST_SUITE_P(FlashChip, FlashChipRules, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case> &I) { return std::string(I.param.Name); });

TEST(FlashChip, WindowReadsFloatWhileBusyAndWrapAtSize) {
  Bench B(Part("W25Q128JV"));
  B.Chip.Fill(0x40, {0x77});
  EXPECT_EQ(B.Chip.ReadForWindow(0x40 + 16 * MiB, B.M.NowPs()), 0x77);
  B.Send(Wren);
  B.Send(Se, A3(0x8000));
  EXPECT_EQ(B.Chip.ReadForWindow(0x40, B.M.NowPs()), 0xFF);
  B.WaitUs(45'000);
  EXPECT_EQ(B.Chip.ReadForWindow(0x40, B.M.NowPs()), 0x77);
}

TEST(FlashChip, LongStatusReadSeesWriteInProgressClear) {
  Bench B(Part("SST25VF016B"));
  B.Send(Wren);
  B.Send(Wrsr, {0x00});
  B.WaitUs(10'000);
  B.Send(Wren);
  B.Send(Pp, A3(0, {0x00})); // tBP 7 us: about 29 bytes at 33 MHz
  const SpiCommand C = B.Send(Rdsr, {}, 40);
  EXPECT_EQ(C.Rx.front() & 0x01, 0x01);
  EXPECT_EQ(C.Rx.back(), 0x00);
  EXPECT_EQ(B.Chip.Read(0, 1), std::vector<uint8_t>{0x00});
}

TEST(FlashChip, BusAnswersOfAbsentAndDeadParts) {
  for (const ChipSpec &S : {AbsentChip(), DeadBus()}) {
    Bench B(S);
    const uint8_t Level = S.Bus == BusAnswer::Zeros ? 0x00 : 0xFF;
    const SpiCommand C = B.Send(Rdid, {}, 3);
    EXPECT_EQ(C.Rx, std::vector<uint8_t>(3, Level)) << S.Name;
    EXPECT_EQ(B.Chip.ReadForWindow(0, B.M.NowPs()), Level) << S.Name;
  }
}

} // namespace
} // namespace sim
