#include "FlashWindows.h"

#include <cstdio>

#include "FlashChip.h"
#include "PciConfig.h"
#include "SpiController.h"

namespace sim {

namespace {
constexpr uint64_t OpcodeBytes = 1;
constexpr unsigned ThreeByteAddress = 3;
constexpr unsigned FourByteAddress = 4;
constexpr uint8_t FloatingBusByte = 0xFF;
constexpr unsigned SegmentShift = 24;
constexpr uint64_t SegmentNumberMask = 0xFF; // A[31:24]

// Pieces of Want not covered by Holes.
std::vector<FlashWindows::Range> Subtract(FlashWindows::Range Want, const std::vector<FlashWindows::Range> &Holes) {
  std::vector<FlashWindows::Range> Pieces{Want};
  for (const auto &H : Holes) {
    std::vector<FlashWindows::Range> Next;
    for (const auto &P : Pieces) {
      const uint64_t PEnd = P.Base + P.Size;
      const uint64_t HEnd = H.Base + H.Size;
      if (HEnd <= P.Base || PEnd <= H.Base) {
        Next.push_back(P);
        continue;
      }
      if (P.Base < H.Base) {
        Next.push_back({P.Base, H.Base - P.Base});
      }
      if (HEnd < PEnd) {
        Next.push_back({HEnd, PEnd - HEnd});
      }
    }
    Pieces = std::move(Next);
  }
  return Pieces;
}
} // namespace

// One mapped piece of a window; reads are decoded from the absolute address.
class FlashWindows::Mapping : public MmioDevice {
public:
  Mapping(FlashWindows &Owner, Range Where) : Owner_(Owner), Where_(Where) {}
  const Range &Where() const { return Where_; }
  uint64_t Read(uint64_t Offset, unsigned Width) override { return Owner_.ReadWindow(Where_.Base + Offset, Width); }
  void Write(uint64_t Offset, unsigned Width, uint64_t Value) override {
    char B[96];
    std::snprintf(B, sizeof B, "write%u of 0x%llX into the flash window at 0x%llX", Width * 8,
                  static_cast<unsigned long long>(Value), static_cast<unsigned long long>(Where_.Base + Offset));
    Machine::Current().Fault(B);
  }

private:
  FlashWindows &Owner_;
  Range Where_;
};

FlashWindows::FlashWindows(SpiController &Spi, PciConfig &Pci) : Spi_(Spi), Pci_(Pci) {
  Excluded_.push_back({SpiController::Base, SpiController::Size});
  Excluded_.push_back({PciConfig::Base, PciConfig::Size});
}

FlashWindows::~FlashWindows() = default;

void FlashWindows::Exclude(uint64_t Base, uint64_t Size) { Excluded_.push_back({Base, Size}); }

uint32_t FlashWindows::Register(uint64_t Offset) const { return Spi_.Register32(Offset); }

std::optional<FlashWindows::Range> FlashWindows::Rom2Window() const {
  const uint64_t Start = Pci_.Rom2Start() * Rom2UnitSize;
  const uint64_t End = Pci_.Rom2End() * Rom2UnitSize + Rom2UnitSize;
  if (End <= Start) {
    return std::nullopt;
  }
  return Range{Start, End - Start};
}

bool FlashWindows::Rom3On() const {
  return Machine::Current().Cpu().FchHasRom3 && (Register(SpiController::Rom3ControlReg) & Rom3EnableBit) != 0;
}

std::optional<FlashWindows::Range> FlashWindows::Rom3Window() const {
  if (!Rom3On()) {
    return std::nullopt;
  }
  const uint64_t Base =
      (static_cast<uint64_t>(Register(SpiController::Rom3BaseHighReg)) << 32 | Register(SpiController::Rom3BaseLowReg)) &
      ~(Rom3WindowSize - 1);
  return Range{Base, Rom3WindowSize};
}

std::optional<uint64_t> FlashWindows::SpiAddress(uint64_t Address) const {
  const bool Rom3Feature = Rom3On();
  const uint64_t Remap = Register(SpiController::SegmentRemapReg) & SegmentNumberMask;
  const uint64_t InSegment = Address & SegmentOffsetMask;

  if (auto Rom2 = Rom2Window(); Rom2 && Address - Rom2->Base < Rom2->Size) {
    if (!Rom3Feature) {
      return InSegment;
    }
    uint64_t Segment = ((Address >> SegmentShift) + Rom2SegmentBias) & SegmentNumberMask;
    const uint32_t Force = Register(SpiController::RomSegmentForceReg);
    const uint64_t Forced = (Force >> ForceEnableShift) & ForcedSegmentBits;
    Segment = (Segment & ~Forced) | (Force & Forced);
    Segment ^= Remap;
    return (Segment & Rom3SegmentMask) << SegmentShift | InSegment;
  }
  if (auto Rom3 = Rom3Window(); Rom3 && Address - Rom3->Base < Rom3->Size) {
    const uint64_t Segment = ((Address - Rom3->Base) >> SegmentShift) ^ Remap;
    return (Segment & Rom3SegmentMask) << SegmentShift | InSegment;
  }
  return std::nullopt;
}

std::optional<uint64_t> FlashWindows::Decode(uint64_t Address) const {
  const FlashChip *Chip = Spi_.Chip();
  auto Spi = SpiAddress(Address);
  if (!Spi || Chip == nullptr) {
    return std::nullopt;
  }
  return *Spi % Chip->Spec().Size;
}

void FlashWindows::Refresh() {
  Machine &M = Machine::Current();
  std::vector<Range> Holes = Excluded_;
  for (const auto &Map : Mapped_) {
    Holes.push_back(Map->Where());
  }
  struct Named {
    std::optional<Range> Window;
    const char *Name;
  };
  for (const Named &W : {Named{Rom2Window(), "flash window (ROM2)"}, Named{Rom3Window(), "flash window (ROM3)"}}) {
    if (!W.Window) {
      continue;
    }
    for (const Range &Piece : Subtract(*W.Window, Holes)) {
      Mapped_.push_back(std::make_unique<Mapping>(*this, Piece));
      M.MapMmio(Piece.Base, Piece.Size, Mapped_.back().get(), W.Name);
      Holes.push_back(Piece);
    }
  }
}

uint64_t FlashWindows::ReadWindow(uint64_t Address, unsigned Width) {
  Machine &M = Machine::Current();
  FlashChip *Chip = Spi_.Chip();
  const unsigned AddressBytes = Chip != nullptr && Chip->FourByteAddressing() ? FourByteAddress : ThreeByteAddress;
  M.Advance(Spi_.WireTimePs(OpcodeBytes + AddressBytes + Width));
  uint64_t Value = 0;
  for (unsigned I = 0; I < Width; I++) {
    if (!SpiAddress(Address + I)) {
      char B[80];
      std::snprintf(B, sizeof B, "read%u at 0x%llX, which no flash window decodes now", Width * 8,
                    static_cast<unsigned long long>(Address));
      M.Fault(B);
      return ~0ULL >> (64 - 8 * Width);
    }
    auto Offset = Decode(Address + I);
    const uint8_t Byte = Offset ? Chip->ReadForWindow(*Offset, M.NowPs()) : FloatingBusByte;
    Value |= static_cast<uint64_t>(Byte) << (8 * I);
  }
  return Value;
}

} // namespace sim
