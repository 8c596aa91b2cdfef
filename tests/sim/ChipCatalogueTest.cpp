// Invariants of the chip catalogue, checked over every row through the chip
// model itself: identities answered on the wire, geometry, protection at power-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ChipCatalogue.h"
#include "FlashChip.h"
#include "Machine.h"

namespace sim {
namespace {

constexpr uint64_t BytePs = 8 * 30'303; // one byte at 33 MHz

SpiCommand Send(FlashChip &Chip, uint8_t Op, std::vector<uint8_t> Tx, uint8_t Rx) {
  SpiCommand C;
  C.Opcode = Op;
  C.TxCount = static_cast<uint8_t>(Tx.size());
  C.Tx = std::move(Tx);
  C.RxCount = Rx;
  C.StartPs = Machine::Current().NowPs();
  C.EndPs = C.StartPs + (1 + C.TxCount + Rx) * BytePs;
  Chip.Execute(C);
  Machine::Current().Advance(C.EndPs - C.StartPs);
  return C;
}

bool IsPowerOfTwo(uint64_t V) { return V != 0 && (V & (V - 1)) == 0; }

TEST(ChipCatalogue, NamesAreUniqueAndFindable) {
  std::set<std::string> Names;
  for (const ChipSpec &S : ChipCatalogue()) {
    EXPECT_TRUE(Names.insert(S.Name).second) << "duplicate " << S.Name;
    EXPECT_FALSE(S.Notes.empty()) << S.Name;
    EXPECT_EQ(FindChip(S.Name), &S) << S.Name;
    if (S.Name.find("Generic") == 0) {
      EXPECT_NE(S.Name.find("stand-in"), std::string::npos) << S.Name;
      EXPECT_NE(S.Notes.find("stand-in"), std::string::npos) << S.Name;
    }
  }
}

TEST(ChipCatalogue, GeometryFitsTheSize) {
  for (const ChipSpec &S : ChipCatalogue()) {
    SCOPED_TRACE(S.Name);
    EXPECT_TRUE(IsPowerOfTwo(S.Size));
    EXPECT_TRUE(IsPowerOfTwo(S.PageSize));
    EXPECT_FALSE(S.Erases.empty());
    std::set<uint8_t> Opcodes;
    for (const EraseOp &E : S.Erases) {
      EXPECT_TRUE(Opcodes.insert(E.Opcode).second) << "opcode " << int(E.Opcode) << " twice";
      EXPECT_GT(E.MaxUs, 0u);
      EXPECT_LE(E.TypicalUs, E.MaxUs);
      if (E.Size != 0) {
        EXPECT_TRUE(IsPowerOfTwo(E.Size));
        EXPECT_EQ(S.Size % E.Size, 0u) << "erase " << int(E.Opcode);
      }
      EXPECT_LE(E.RegionEnd, S.Size);
    }
    const bool Programs = S.BytePrograms ? S.Times.tBPMaxUs > 0 : S.Times.tPPMaxUs > 0;
    EXPECT_TRUE(Programs);
    EXPECT_LE(S.Times.tPPTypUs, S.Times.tPPMaxUs);
    EXPECT_LE(S.Times.tWTypUs, S.Times.tWMaxUs);
    EXPECT_GT(S.MaxReadHz, 0u);
    // A part above 16 MiB reaches its top half only with four-byte addresses.
    if (S.Size > 16 * MiB) {
      EXPECT_TRUE(S.FourByteMode || S.NativeFourByteOps);
    }
  }
}

// The identification bytes the model answers on the wire are the row's.
TEST(ChipCatalogue, IdentityAnsweredOnTheWire) {
  for (const ChipSpec &S : ChipCatalogue()) {
    SCOPED_TRACE(S.Name);
    Machine M(CpuConfig{});
    FlashChip Chip(S);
    const SpiCommand Id = Send(Chip, 0x9F, {}, 3);
    if (S.AnswersJedecId) {
      EXPECT_EQ(Id.Rx, std::vector<uint8_t>(S.JedecId.begin(), S.JedecId.end()));
      EXPECT_FALSE(Id.Ignored);
    } else {
      EXPECT_EQ(Id.Rx, std::vector<uint8_t>(3, 0xFF));
      EXPECT_TRUE(Id.Ignored);
      EXPECT_TRUE(S.Id90.has_value()) << "a part must answer one identification command";
    }
    const SpiCommand Id90 = Send(Chip, 0x90, {0, 0, 0}, 2);
    if (S.Id90) {
      EXPECT_EQ(Id90.Rx, std::vector<uint8_t>(S.Id90->begin(), S.Id90->end()));
      EXPECT_EQ(Id90.Rx[0], S.JedecId[0]) << "manufacturer differs between 0x9F and 0x90";
    } else {
      EXPECT_TRUE(Id90.Ignored);
    }
  }
}

// Parts that power up protected refuse a program anywhere; others accept one
// at the top, programmed by their own opcode and erased by every erase opcode.
TEST(ChipCatalogue, ProgramEraseRoundTripOnEveryPart) {
  for (const ChipSpec &S : ChipCatalogue()) {
    SCOPED_TRACE(S.Name);
    Machine M(CpuConfig{});
    FlashChip Chip(S);
    const bool Big = S.Size > 16 * MiB;
    const uint8_t ProgramOp = Big ? 0x12 : 0x02;
    const uint64_t Top = (Big && !S.NativeFourByteOps ? 16 * MiB : S.Size) - S.PageSize;
    auto Address = [&](uint64_t A, int Bytes) {
      std::vector<uint8_t> V;
      for (int I = Bytes - 1; I >= 0; I--) {
        V.push_back(static_cast<uint8_t>(A >> (8 * I)));
      }
      return V;
    };
    const int ProgramAddressBytes = Big && S.NativeFourByteOps ? 4 : 3;
    std::vector<uint8_t> Tx = Address(Top, ProgramAddressBytes);
    Tx.push_back(0x5A);
    Send(Chip, 0x06, {}, 0);
    const SpiCommand P = Send(Chip, Big && S.NativeFourByteOps ? ProgramOp : 0x02, Tx, 0);
    EXPECT_EQ(P.Ignored, S.Prot.ProtectedAtPowerUp);
    EXPECT_EQ(Chip.Counters().ProtectedWrite, S.Prot.ProtectedAtPowerUp ? 1u : 0u);
    if (S.Prot.ProtectedAtPowerUp) {
      continue;
    }
    M.Advance(S.Times.tPPMaxUs * 1'000'000 + S.Times.tBPMaxUs * 1'000'000);
    EXPECT_EQ(Chip.Read(Top, 1), std::vector<uint8_t>{0x5A});
    for (const EraseOp &E : S.Erases) {
      const uint64_t Target = E.RegionEnd != 0 ? E.RegionBegin : Top;
      if (E.FourByteAddress == false && E.Size != 0 && Big && Target >= 16 * MiB) {
        continue;
      }
      Chip.Fill(Target, {0x00});
      Send(Chip, 0x06, {}, 0);
      const SpiCommand Er =
          Send(Chip, E.Opcode, E.Size == 0 ? std::vector<uint8_t>{} : Address(Target, E.FourByteAddress ? 4 : 3), 0);
      EXPECT_FALSE(Er.Ignored) << "erase " << int(E.Opcode);
      EXPECT_TRUE(Chip.Busy(M.NowPs()));
      M.Advance(E.MaxUs * 1'000'000);
      EXPECT_FALSE(Chip.Busy(M.NowPs()));
      EXPECT_EQ(Chip.Read(Target, 1), std::vector<uint8_t>{0xFF}) << "erase " << int(E.Opcode);
      EXPECT_FALSE(Chip.WriteEnabled());
    }
    EXPECT_EQ(Chip.Counters().MalformedCommand, 0u);
  }
}

// Every identity key of the driver-facing JEDEC families has at least one
// part: manufacturer byte then memory-type byte.
TEST(ChipCatalogue, CoversEveryJedecFamilyKey) {
  const std::vector<std::array<uint8_t, 2>> Keys{
      {0x01, 0x02}, {0x01, 0x20}, {0x01, 0x40}, {0x01, 0x60}, {0x0B, 0x40}, {0x0B, 0x60}, {0x1C, 0x20},
      {0x1C, 0x30}, {0x1C, 0x31}, {0x1C, 0x38}, {0x1C, 0x70}, {0x1C, 0x78}, {0x1F, 0x32}, {0x1F, 0x42},
      {0x1F, 0x43}, {0x1F, 0x44}, {0x1F, 0x45}, {0x1F, 0x46}, {0x1F, 0x47}, {0x1F, 0x48}, {0x1F, 0x86},
      {0x20, 0x20}, {0x20, 0x38}, {0x20, 0x40}, {0x20, 0x41}, {0x20, 0x43}, {0x20, 0x44}, {0x20, 0x50},
      {0x20, 0x60}, {0x20, 0x70}, {0x20, 0x71}, {0x20, 0x80}, {0x20, 0xBA}, {0x20, 0xBB}, {0x37, 0x30},
      {0x37, 0x40}, {0x68, 0x60}, {0x7F, 0x37}, {0x7F, 0x9D}, {0x85, 0x20}, {0x85, 0x23}, {0x85, 0x63},
      {0x85, 0x65}, {0x89, 0x89}, {0x8C, 0x40}, {0x8C, 0x41}, {0x9D, 0x60}, {0x9D, 0x70}, {0xA1, 0x28},
      {0xA1, 0x40}, {0xBF, 0x26}, {0xC2, 0x20}, {0xC2, 0x24}, {0xC2, 0x25}, {0xC2, 0x28}, {0xC2, 0x5E},
      {0xC2, 0x75}, {0xC2, 0x76}, {0xC8, 0x40}, {0xC8, 0x47}, {0xC8, 0x60}, {0xC8, 0x65}, {0xC8, 0x67},
      {0xEF, 0x30}, {0xEF, 0x40}, {0xEF, 0x50}, {0xEF, 0x60}, {0xEF, 0x70}, {0xEF, 0x71}, {0xEF, 0x80},
      {0xEF, 0x8A}, {0xF8, 0x32}, {0xF8, 0x43},
      // SST 25VF, ESMT
      {0xBF, 0x25}, {0x8C, 0x20}, {0x8C, 0x21}};
  EXPECT_EQ(Keys.size(), 73u + 3u);
  for (const auto &K : Keys) {
    const bool Found = std::any_of(ChipCatalogue().begin(), ChipCatalogue().end(), [&](const ChipSpec &S) {
      return S.AnswersJedecId && S.JedecId[0] == K[0] && S.JedecId[1] == K[1];
    });
    EXPECT_TRUE(Found) << std::hex << int(K[0]) << " " << int(K[1]);
  }
}

struct Edge {
  std::array<uint8_t, 3> Id;
  uint64_t Size;
  const char *NameHas;
};

TEST(ChipCatalogue, EdgeIdentitiesArePresentWithDatasheetSizes) {
  const std::vector<Edge> Edges{
      {{0xEF, 0x40, 0x18}, 16 * MiB, "W25Q128JV"},   {{0xEF, 0x40, 0x19}, 32 * MiB, "W25Q256JV"},
      {{0xEF, 0x40, 0x20}, 64 * MiB, "W25Q512JV"},   {{0xC2, 0x20, 0x18}, 16 * MiB, "MX25L12835F"},
      {{0xC2, 0x20, 0x19}, 32 * MiB, "MX25L25645G"}, {{0xC2, 0x20, 0x1A}, 64 * MiB, "MX25L51245G"},
      {{0x20, 0x20, 0x18}, 16 * MiB, "M25P128"},     {{0x20, 0x20, 0x17}, 8 * MiB, "M25P64"},
      {{0x01, 0x02, 0x20}, 64 * MiB, "S25FS512S"},   {{0x01, 0x02, 0x19}, 32 * MiB, "S25FL256S"},
      {{0x1F, 0x44, 0x01}, 512 * KiB, "AT25DF041A"}, {{0x20, 0x80, 0x14}, 1 * MiB, "M25PE80"},
      {{0x89, 0x89, 0x16}, 4 * MiB, "25F320S33"},    {{0x89, 0x89, 0x14}, 1 * MiB, "stand-in"},
      {{0x7F, 0x9D, 0x46}, 4 * MiB, "Pm25LQ032C"},   {{0x20, 0x70, 0x19}, 32 * MiB, "stand-in"},
      {{0x9D, 0x60, 0x19}, 32 * MiB, "IS25LP256D"},  {{0xBF, 0x25, 0x4B}, 8 * MiB, "SST25VF064C"},
      {{0xBF, 0x25, 0x8E}, 1 * MiB, "SST25VF080B"},  {{0xBF, 0x25, 0x41}, 2 * MiB, "SST25VF016B"},
      {{0xBF, 0x25, 0x04}, 512 * KiB, "SST25WF040"}, {{0x8C, 0x21, 0x15}, 2 * MiB, "F25L16PA"},
      {{0x8C, 0x20, 0x14}, 1 * MiB, "F25L008A"}};
  for (const Edge &E : Edges) {
    const ChipSpec *S = FindChipById(E.Id);
    ASSERT_NE(S, nullptr) << E.NameHas;
    EXPECT_EQ(S->Size, E.Size) << S->Name;
    EXPECT_NE(S->Name.find(E.NameHas), std::string::npos) << S->Name;
  }
  // Sector geometry that differs by capacity inside one identity family.
  EXPECT_EQ(FindChipById({0x20, 0x20, 0x18})->Erases.front().Size, 256 * KiB);
  EXPECT_EQ(FindChipById({0x01, 0x02, 0x20})->Erases.front().Size, 256 * KiB);
  // Address-mode exits by maker.
  EXPECT_EQ(FindChipById({0x9D, 0x60, 0x19})->ExitFourByteOp, 0x29);
  EXPECT_EQ(FindChipById({0xEF, 0x40, 0x19})->ExitFourByteOp, 0xE9);
  EXPECT_EQ(FindChipById({0x01, 0x02, 0x20})->ExitFourByteOp, 0xB8);
  // The SST 25LF parts identify only through 0x90.
  for (const char *Name : {"SST25LF040A", "SST25LF080A"}) {
    const ChipSpec *S = FindChip(Name);
    ASSERT_NE(S, nullptr) << Name;
    EXPECT_FALSE(S->AnswersJedecId);
    EXPECT_TRUE(S->BytePrograms);
    EXPECT_TRUE(S->NeedsEwsr);
  }
}

struct Argument {
  const char *Text;
  std::optional<std::string> Name; // nullopt: does not parse
  std::array<uint8_t, 3> Id = {};
};

TEST(ChipCatalogue, ChipFromArgument) {
  const std::vector<Argument> Arguments{
      {"Winbond W25Q128JV", "Winbond W25Q128JV", {0xEF, 0x40, 0x18}},
      {"w25q128jv", "Winbond W25Q128JV", {0xEF, 0x40, 0x18}},
      {"EF4019", "Winbond W25Q256JV", {0xEF, 0x40, 0x19}},
      {"c2201a", "Macronix MX25L51245G", {0xC2, 0x20, 0x1A}},
      {"123456", "Generic JEDEC part 12 34 56", {0x12, 0x34, 0x56}},
      {"absent", "Absent (floating bus)", {0xFF, 0xFF, 0xFF}},
      {"dead", "Dead bus (data line low)", {0x00, 0x00, 0x00}},
      {"EF40", std::nullopt},
      {"W25Q999", std::nullopt},
  };
  for (const Argument &A : Arguments) {
    const std::optional<ChipSpec> S = ParseChipArgument(A.Text);
    ASSERT_EQ(S.has_value(), A.Name.has_value()) << A.Text;
    if (!S) {
      EXPECT_EQ(ChipFromArgument(A.Text).Bus, BusAnswer::Floating) << A.Text;
      continue;
    }
    EXPECT_EQ(S->Name, *A.Name) << A.Text;
    EXPECT_EQ(S->JedecId, A.Id) << A.Text;
    EXPECT_EQ(ChipFromArgument(A.Text).Name, *A.Name) << A.Text;
  }
  const ChipSpec G = GenericChip({0x12, 0x34, 0x56});
  EXPECT_EQ(G.Size, 16 * MiB);
}

} // namespace
} // namespace sim
