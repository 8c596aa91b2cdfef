#include "FlashChip.h"

#include <algorithm>
#include <cstdio>

#include "Machine.h"

namespace sim {

namespace {

// Commands every modelled part answers (JEDEC SFDP-era common set).
constexpr uint8_t WriteStatusOp = 0x01;
constexpr uint8_t PageProgramOp = 0x02;
constexpr uint8_t ReadOp = 0x03;
constexpr uint8_t WriteDisableOp = 0x04;
constexpr uint8_t ReadStatusOp = 0x05;
constexpr uint8_t WriteEnableOp = 0x06;
constexpr uint8_t FastReadOp = 0x0B;
constexpr uint8_t ReadFourByteOp = 0x13;
constexpr uint8_t ProgramFourByteOp = 0x12;
constexpr uint8_t EnableWriteStatusOp = 0x50;
constexpr uint8_t ReadManufacturerDeviceOp = 0x90;
constexpr uint8_t ReadJedecIdOp = 0x9F;
constexpr uint8_t EnterFourByteOp = 0xB7;

constexpr uint8_t StatusWip = 0x01; // write in progress
constexpr uint8_t StatusWel = 0x02; // write-enable latch

constexpr int ThreeAddressBytes = 3;
constexpr int FourAddressBytes = 4;
constexpr int FastReadDummyBytes = 1;
constexpr uint8_t ErasedByte = 0xFF;
constexpr uint8_t NotDriven = 0xFF; // data line pulled up while the chip drives nothing
constexpr uint64_t PsPerUs = 1'000'000;

// A byte the host put on the line at position P after the opcode. Positions
// past the transmit bytes belong to the receive phase, where the controller's
// output is taken as 0x00.
uint8_t WireByte(const SpiCommand &C, size_t P) { return P < C.Tx.size() ? C.Tx[P] : 0x00; }

void Drive(SpiCommand &C, size_t P, uint8_t Value) {
  if (P >= C.Tx.size() && P - C.Tx.size() < C.Rx.size()) {
    C.Rx[P - C.Tx.size()] = Value;
  }
}

size_t Positions(const SpiCommand &C) { return C.Tx.size() + C.Rx.size(); }

uint64_t DecodeAddress(const SpiCommand &C, int Bytes) {
  uint64_t A = 0;
  for (int I = 0; I < Bytes; I++) {
    A = (A << 8) | WireByte(C, static_cast<size_t>(I));
  }
  return A;
}

} // namespace

FlashChip::FlashChip(ChipSpec Spec) : Spec_(std::move(Spec)) {
  const Protection &P = Spec_.Prot;
  if (P.Kind == ProtectionKind::Locks && P.Unit != 0) {
    Locks_.assign(Spec_.Size / P.Unit, P.ProtectedAtPowerUp);
  } else if (P.ProtectedAtPowerUp) {
    StatusReg_ |= static_cast<uint8_t>(((1u << P.BpBits) - 1) << P.BpShift);
    if (P.HighBpBit >= 0) {
      StatusReg_ |= static_cast<uint8_t>(1u << P.HighBpBit);
    }
  }
}

void FlashChip::Note(uint64_t NowPs, const std::string &What) {
  if (Machine::Exists()) {
    Machine::Current().Log().Text(EventKind::Note, NowPs, "flash " + Spec_.Name + ": " + What);
  }
}

bool FlashChip::Busy(uint64_t NowPs) const {
  return OperationStarted_ && (Knobs_.StuckBusy || NowPs < BusyUntilPs_);
}

void FlashChip::Settle(uint64_t NowPs) {
  if (OperationStarted_ && !Busy(NowPs)) {
    OperationStarted_ = false;
    if (WelClearsAtEnd_) {
      Wel_ = false;
    }
  }
}

void FlashChip::StartOperation(uint64_t EndPs, uint64_t TypicalUs, uint64_t MaxUs) {
  const uint64_t Typ = TypicalUs != 0 ? TypicalUs : MaxUs;
  const uint64_t Max = MaxUs != 0 ? MaxUs : TypicalUs;
  OperationStarted_ = true;
  WelClearsAtEnd_ = true;
  BusyUntilPs_ = EndPs + (Knobs_.UseMaxTimes ? Max : Typ) * PsPerUs;
}

uint8_t FlashChip::LockSummary() const {
  const size_t Locked = static_cast<size_t>(std::count(Locks_.begin(), Locks_.end(), true));
  const uint8_t Field = Locked == 0 ? 0x0 : Locked == Locks_.size() ? 0x3 : 0x1;
  return static_cast<uint8_t>(Field << Spec_.Prot.BpShift);
}

uint8_t FlashChip::Status(uint64_t NowPs) const {
  uint8_t S = StatusReg_;
  if (Spec_.Prot.Kind == ProtectionKind::Locks && Spec_.Prot.GlobalProtectMask != 0) {
    S = static_cast<uint8_t>((S & ~(0x3 << Spec_.Prot.BpShift)) | LockSummary());
  }
  const bool IsBusy = Busy(NowPs);
  const bool Completed = OperationStarted_ && !IsBusy;
  if (IsBusy) {
    S |= StatusWip;
  }
  if (Wel_ && !(Completed && WelClearsAtEnd_)) {
    S |= StatusWel;
  }
  return S;
}

bool FlashChip::WriteEnabled() const {
  const uint64_t Now = Machine::Exists() ? Machine::Current().NowPs() : BusyUntilPs_;
  return (Status(Now) & StatusWel) != 0;
}

uint8_t FlashChip::BpValue() const {
  const Protection &P = Spec_.Prot;
  uint8_t Bp = static_cast<uint8_t>((StatusReg_ >> P.BpShift) & ((1u << P.BpBits) - 1));
  if (P.HighBpBit >= 0 && (StatusReg_ >> P.HighBpBit) & 1) {
    Bp |= static_cast<uint8_t>(1u << P.BpBits);
  }
  return Bp;
}

std::pair<uint64_t, uint64_t> FlashChip::ProtectedRange() const {
  const Protection &P = Spec_.Prot;
  const uint8_t Bp = BpValue();
  if (Bp == 0 || P.Kind == ProtectionKind::None || P.Kind == ProtectionKind::Locks) {
    return {0, 0};
  }
  const unsigned Bits = P.BpBits + (P.HighBpBit >= 0 ? 1 : 0);
  const uint8_t Largest = static_cast<uint8_t>((1u << Bits) - 1);
  uint64_t Length = Spec_.Size;
  if (P.Kind == ProtectionKind::Fraction) {
    const uint8_t Full = P.FullFrom != 0 ? P.FullFrom : Largest;
    Length = Bp >= Full ? Spec_.Size : Spec_.Size >> (Full - Bp);
  } else if (Bp - 1 < 40) {
    Length = std::min<uint64_t>(Spec_.Size, P.Unit << (Bp - 1));
  }
  const bool Bottom = P.TbBit >= 0 && ((StatusReg_ >> P.TbBit) & 1);
  return Bottom ? std::pair<uint64_t, uint64_t>{0, Length}
                : std::pair<uint64_t, uint64_t>{Spec_.Size - Length, Spec_.Size};
}

bool FlashChip::RangeProtected(uint64_t Begin, uint64_t Length) const {
  if (Spec_.Prot.Kind == ProtectionKind::Locks) {
    if (Locks_.empty()) {
      return false;
    }
    const uint64_t Unit = Spec_.Prot.Unit;
    for (uint64_t S = Begin / Unit; S <= (Begin + Length - 1) / Unit && S < Locks_.size(); S++) {
      if (Locks_[S]) {
        return true;
      }
    }
    return false;
  }
  const auto [PBegin, PEnd] = ProtectedRange();
  return Begin < PEnd && PBegin < Begin + Length;
}

bool FlashChip::IsProtected(uint64_t Offset) const { return RangeProtected(Offset % Spec_.Size, 1); }

void FlashChip::SetAllLocks(bool Locked) { std::fill(Locks_.begin(), Locks_.end(), Locked); }

uint8_t FlashChip::ByteAt(uint64_t Offset) const {
  uint8_t Stuck = 0;
  if (auto It = Knobs_.StuckBits.find(Offset); It != Knobs_.StuckBits.end()) {
    Stuck = It->second;
  }
  const auto It = Pages_.find(Offset / PageBytes);
  const uint8_t Stored = It == Pages_.end() ? ErasedByte : (*It->second)[Offset % PageBytes];
  return Stored | Stuck;
}

void FlashChip::StoreByte(uint64_t Offset, uint8_t Value) {
  auto &Slot = Pages_[Offset / PageBytes];
  if (!Slot) {
    Slot = std::make_unique<Page>();
    Slot->fill(ErasedByte);
  }
  (*Slot)[Offset % PageBytes] = Value;
}

void FlashChip::EraseRange(uint64_t Begin, uint64_t Length) {
  for (uint64_t A = Begin; A < Begin + Length;) {
    const uint64_t PageIndex = A / PageBytes;
    if (A % PageBytes == 0 && Begin + Length - A >= PageBytes) {
      Pages_.erase(PageIndex);
      A += PageBytes;
    } else {
      if (auto It = Pages_.find(PageIndex); It != Pages_.end()) {
        (*It->second)[A % PageBytes] = ErasedByte;
      }
      A++;
    }
  }
}

std::vector<uint8_t> FlashChip::Read(uint64_t Offset, size_t Length) const {
  std::vector<uint8_t> Bytes(Length);
  for (size_t I = 0; I < Length; I++) {
    Bytes[I] = ByteAt((Offset + I) % Spec_.Size);
  }
  return Bytes;
}

void FlashChip::Fill(uint64_t Offset, const std::vector<uint8_t> &Bytes) {
  for (size_t I = 0; I < Bytes.size(); I++) {
    StoreByte((Offset + I) % Spec_.Size, Bytes[I]);
  }
}

uint8_t FlashChip::ReadForWindow(uint64_t Offset, uint64_t NowPs) {
  if (Spec_.Bus != BusAnswer::Chip) {
    return Spec_.Bus == BusAnswer::Zeros ? 0x00 : NotDriven;
  }
  Settle(NowPs);
  if (Busy(NowPs)) {
    return NotDriven;
  }
  return ByteAt(Offset % Spec_.Size);
}

uint64_t FlashChip::AddressMask(int AddressBytes) const {
  return AddressBytes >= FourAddressBytes ? 0xFFFFFFFFull : 0xFFFFFFull;
}

void FlashChip::Execute(SpiCommand &C) {
  C.Rx.assign(C.RxCount, NotDriven);
  C.Ignored = false;
  C.AddressBytes = 0;
  C.Address = 0;
  if (Spec_.Bus != BusAnswer::Chip) {
    std::fill(C.Rx.begin(), C.Rx.end(), Spec_.Bus == BusAnswer::Zeros ? 0x00 : NotDriven);
    C.Ignored = true;
    return;
  }
  Settle(C.StartPs);
  const bool Armed = StatusWriteArmed_;
  StatusWriteArmed_ = false;

  if (Busy(C.StartPs)) {
    if (C.Opcode == ReadStatusOp) {
      DoReadStatus(C);
      return;
    }
    Counters_.CommandWhileBusy++;
    char B[64];
    std::snprintf(B, sizeof B, "opcode %02X while busy: ignored", C.Opcode);
    Note(C.StartPs, B);
    C.Ignored = true;
    return;
  }

  const Protection &P = Spec_.Prot;
  const int ModeBytes = FourByte_ ? FourAddressBytes : ThreeAddressBytes;
  switch (C.Opcode) {
  case ReadStatusOp:
    DoReadStatus(C);
    return;
  case WriteEnableOp:
    Wel_ = true;
    return;
  case WriteDisableOp:
    Wel_ = false;
    return;
  case WriteStatusOp: {
    const bool ByEwsr = Armed && (Spec_.NeedsEwsr || Spec_.VolatileStatusEnable);
    const bool ByWel = Wel_ && (!Spec_.NeedsEwsr || Spec_.WrenArmsStatusWrite);
    if (!ByEwsr && !ByWel) {
      Counters_.StatusWriteWithoutEnable++;
      Note(C.StartPs, "status write without write enable: ignored");
      C.Ignored = true;
      return;
    }
    // Winbond-style 0x50 without WEL writes the volatile copy: no write cycle.
    DoWriteStatus(C, ByEwsr && !ByWel && Spec_.VolatileStatusEnable);
    return;
  }
  case ReadJedecIdOp:
    if (Spec_.AnswersJedecId) {
      DoReadId(C);
      return;
    }
    break;
  case ReadManufacturerDeviceOp:
    if (Spec_.Id90) {
      DoRead90(C);
      return;
    }
    break;
  case EnableWriteStatusOp:
    if (Spec_.NeedsEwsr || Spec_.VolatileStatusEnable) {
      StatusWriteArmed_ = true;
      return;
    }
    break;
  case ReadOp:
    DoRead(C, ModeBytes, 0);
    return;
  case FastReadOp:
    DoRead(C, ModeBytes, FastReadDummyBytes);
    return;
  case PageProgramOp:
    DoProgram(C, ModeBytes);
    return;
  case ReadFourByteOp:
    if (Spec_.NativeFourByteOps) {
      DoRead(C, FourAddressBytes, 0);
      return;
    }
    break;
  case ProgramFourByteOp:
    if (Spec_.NativeFourByteOps) {
      DoProgram(C, FourAddressBytes);
      return;
    }
    break;
  default:
    break;
  }
  if (Spec_.FourByteMode && (C.Opcode == EnterFourByteOp || C.Opcode == Spec_.ExitFourByteOp)) {
    DoFourByteMode(C, C.Opcode == EnterFourByteOp);
    return;
  }
  if (P.Kind == ProtectionKind::Locks && C.Opcode != 0 &&
      (C.Opcode == P.LockOp || C.Opcode == P.UnlockOp || C.Opcode == P.GlobalUnlockOp)) {
    DoLock(C, C.Opcode == P.LockOp);
    return;
  }
  for (const EraseOp &Op : Spec_.Erases) {
    if (Op.Opcode == C.Opcode) {
      DoErase(C, Op);
      return;
    }
  }
  Counters_.UnknownOpcode++;
  char B[48];
  std::snprintf(B, sizeof B, "unknown opcode %02X: ignored", C.Opcode);
  Note(C.StartPs, B);
  C.Ignored = true;
}

void FlashChip::DoReadStatus(SpiCommand &C) {
  // The status register is shifted out continuously and reflects the state at
  // each byte; a long read can see write-in-progress clear.
  const size_t Total = 1 + Positions(C);
  const uint64_t BytePs = C.EndPs > C.StartPs ? (C.EndPs - C.StartPs) / Total : 0;
  for (size_t P = 0; P < Positions(C); P++) {
    Drive(C, P, Status(C.StartPs + (P + 1) * BytePs));
  }
}

void FlashChip::DoReadId(SpiCommand &C) {
  // Identification bytes follow the opcode and repeat while the clock runs.
  std::vector<uint8_t> Sequence(Spec_.JedecId.begin(), Spec_.JedecId.end());
  Sequence.insert(Sequence.end(), Spec_.JedecIdExtra.begin(), Spec_.JedecIdExtra.end());
  for (size_t P = 0; P < Positions(C); P++) {
    Drive(C, P, Sequence[P % Sequence.size()]);
  }
}

void FlashChip::DoRead90(SpiCommand &C) {
  // Three address bytes (00 00 00 or 00 00 01), then manufacturer and device
  // alternately; address bit 0 set starts with the device byte. During the
  // address bytes the chip drives nothing.
  C.AddressBytes = ThreeAddressBytes;
  C.Address = DecodeAddress(C, ThreeAddressBytes);
  const auto &Pair = *Spec_.Id90;
  for (size_t P = ThreeAddressBytes; P < Positions(C); P++) {
    Drive(C, P, Pair[((C.Address & 1) + P - ThreeAddressBytes) % 2]);
  }
}

void FlashChip::DoRead(SpiCommand &C, int AddressBytes, int DummyBytes) {
  C.AddressBytes = AddressBytes;
  C.Address = DecodeAddress(C, AddressBytes) & AddressMask(AddressBytes);
  const size_t First = static_cast<size_t>(AddressBytes + DummyBytes);
  for (size_t P = First; P < Positions(C); P++) {
    Drive(C, P, ByteAt((C.Address + (P - First)) % Spec_.Size));
  }
}

void FlashChip::DoWriteStatus(SpiCommand &C, bool Volatile) {
  if (C.Tx.empty() || C.RxCount != 0) {
    Counters_.MalformedCommand++;
    Note(C.StartPs, "status write without a data byte: not executed");
    C.Ignored = true;
    return;
  }
  const Protection &P = Spec_.Prot;
  const uint8_t Value = C.Tx[0];
  uint8_t Writable = P.KeptBits;
  if (P.Kind == ProtectionKind::Locks && P.GlobalProtectMask != 0) {
    const uint8_t Global = Value & P.GlobalProtectMask;
    if (Global == P.GlobalProtectMask || Global == 0) {
      SetAllLocks(Global != 0);
    }
  } else if (P.Kind != ProtectionKind::Locks) {
    Writable |= static_cast<uint8_t>(((1u << P.BpBits) - 1) << P.BpShift);
    if (P.HighBpBit >= 0) {
      Writable |= static_cast<uint8_t>(1u << P.HighBpBit);
    }
    if (P.TbBit >= 0) {
      Writable |= static_cast<uint8_t>(1u << P.TbBit);
    }
  }
  if ((StatusReg_ ^ Value) & P.KeptBits) {
    Counters_.KeptBitsChanged++;
    char B[96];
    std::snprintf(B, sizeof B, "status write %02X changes kept bits (was %02X, kept mask %02X)", Value, StatusReg_,
                  P.KeptBits);
    Note(C.StartPs, B);
  }
  StatusReg_ = static_cast<uint8_t>((StatusReg_ & ~Writable) | (Value & Writable));
  if (!Volatile) {
    StartOperation(C.EndPs, Spec_.Times.tWTypUs, Spec_.Times.tWMaxUs);
  }
}

void FlashChip::DoProgram(SpiCommand &C, int AddressBytes) {
  C.AddressBytes = AddressBytes;
  C.Address = DecodeAddress(C, AddressBytes) & AddressMask(AddressBytes);
  if (C.Tx.size() < static_cast<size_t>(AddressBytes) + 1 || C.RxCount != 0) {
    Counters_.MalformedCommand++;
    Note(C.StartPs, "program without data bytes, or with receive clocks: not executed");
    C.Ignored = true;
    return;
  }
  if (!Wel_) {
    Counters_.ProgramWithoutWel++;
    Note(C.StartPs, "program without write enable: ignored");
    C.Ignored = true;
    return;
  }
  std::vector<uint8_t> Data(C.Tx.begin() + AddressBytes, C.Tx.end());
  const uint64_t Start = C.Address % Spec_.Size;
  char B[96];
  if (Spec_.BytePrograms && Data.size() > 1) {
    Counters_.MalformedCommand++;
    std::snprintf(B, sizeof B, "byte program with %zu data bytes: only the first is programmed", Data.size());
    Note(C.StartPs, B);
    Data.resize(1);
  }
  const uint64_t Page = Spec_.BytePrograms ? 1 : Spec_.PageSize;
  const uint64_t PageBase = Start - Start % Page;
  if (Start % Page + Data.size() > Page) {
    Counters_.PageWrap++;
    std::snprintf(B, sizeof B, "page program of %zu bytes at %llX wraps inside its page", Data.size(),
                  static_cast<unsigned long long>(Start));
    Note(C.StartPs, B);
  }
  // Bytes beyond a page overwrite the page from its start: only the last
  // PageSize bytes sent are latched.
  const size_t Skip = Data.size() > Page ? Data.size() - Page : 0;
  if (RangeProtected(PageBase, Page)) {
    Counters_.ProtectedWrite++;
    Note(C.StartPs, "program into a protected area: not executed");
    Wel_ = false;
    C.Ignored = true;
    return;
  }
  const ChipTimes &T = Spec_.Times;
  const bool Byte = Spec_.BytePrograms;
  StartOperation(C.EndPs, Byte ? T.tBPTypUs : T.tPPTypUs, Byte ? T.tBPMaxUs : T.tPPMaxUs);
  if (Knobs_.FailPrograms > 0) {
    Knobs_.FailPrograms--;
    Note(C.StartPs, "program fails (injected): contents unchanged");
    return;
  }
  bool SetsBits = false;
  for (size_t I = Skip; I < Data.size(); I++) {
    const uint64_t Offset = PageBase + (Start - PageBase + I) % Page;
    const uint8_t Old = ByteAt(Offset);
    SetsBits |= (Data[I] & ~Old) != 0;
    StoreByte(Offset, Old & Data[I]);
  }
  if (SetsBits) {
    Counters_.ProgramSetsBits++;
    std::snprintf(B, sizeof B, "program at %llX tries to turn 0 bits into 1", static_cast<unsigned long long>(Start));
    Note(C.StartPs, B);
  }
  ProgramsDone_++;
}

void FlashChip::DoErase(SpiCommand &C, const EraseOp &Op) {
  const bool WholeChip = Op.Size == 0;
  const int AddressBytes =
      WholeChip ? 0 : (Op.FourByteAddress || FourByte_ ? FourAddressBytes : ThreeAddressBytes);
  C.AddressBytes = AddressBytes;
  C.Address = DecodeAddress(C, AddressBytes) & AddressMask(AddressBytes);
  // Chip select must rise right after the last address byte, else the erase is not executed.
  if (C.Tx.size() != static_cast<size_t>(AddressBytes) || C.RxCount != 0) {
    Counters_.MalformedCommand++;
    char B[80];
    std::snprintf(B, sizeof B, "erase %02X with %zu bytes after the opcode: not executed", C.Opcode, Positions(C));
    Note(C.StartPs, B);
    C.Ignored = true;
    return;
  }
  if (!Wel_) {
    Counters_.EraseWithoutWel++;
    Note(C.StartPs, "erase without write enable: ignored");
    C.Ignored = true;
    return;
  }
  const uint64_t Length = WholeChip ? Spec_.Size : Op.Size;
  const uint64_t Begin = WholeChip ? 0 : (C.Address % Spec_.Size) / Length * Length;
  if (Op.RegionEnd != 0 && (Begin < Op.RegionBegin || Begin >= Op.RegionEnd)) {
    Note(C.StartPs, "erase opcode outside the region it serves: not executed");
    Wel_ = false;
    C.Ignored = true;
    return;
  }
  if (RangeProtected(Begin, Length)) {
    Counters_.ProtectedWrite++;
    Note(C.StartPs, "erase of a protected area: not executed");
    Wel_ = false;
    C.Ignored = true;
    return;
  }
  StartOperation(C.EndPs, Op.TypicalUs, Op.MaxUs);
  if (Knobs_.FailErases > 0) {
    Knobs_.FailErases--;
    Note(C.StartPs, "erase fails (injected): contents unchanged");
    return;
  }
  EraseRange(Begin, Length);
  ErasesDone_++;
}

void FlashChip::DoFourByteMode(SpiCommand &C, bool Enter) {
  if (Spec_.FourByteModeNeedsWel && !Wel_) {
    Counters_.ModeChangeWithoutWel++;
    Note(C.StartPs, "address-mode change without write enable: ignored");
    C.Ignored = true;
    return;
  }
  FourByte_ = Enter;
}

void FlashChip::DoLock(SpiCommand &C, bool Lock) {
  const Protection &P = Spec_.Prot;
  const bool Global = C.Opcode == P.GlobalUnlockOp;
  const int AddressBytes = Global ? 0 : (FourByte_ ? FourAddressBytes : ThreeAddressBytes);
  C.AddressBytes = AddressBytes;
  C.Address = DecodeAddress(C, AddressBytes) & AddressMask(AddressBytes);
  if (C.Tx.size() != static_cast<size_t>(AddressBytes) || C.RxCount != 0) {
    Counters_.MalformedCommand++;
    Note(C.StartPs, "protection command with a wrong byte count: not executed");
    C.Ignored = true;
    return;
  }
  if (!Wel_) {
    Counters_.StatusWriteWithoutEnable++;
    Note(C.StartPs, "protection command without write enable: ignored");
    C.Ignored = true;
    return;
  }
  if (Global) {
    SetAllLocks(false);
  } else if (!Locks_.empty()) {
    Locks_[(C.Address % Spec_.Size) / P.Unit] = Lock;
  }
  Wel_ = false;
}

} // namespace sim
