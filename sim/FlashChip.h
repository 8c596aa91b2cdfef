// An SPI NOR flash chip as its datasheet describes it: identification answers,
// the status register with its write-enable latch and block protection, page and
// byte programming that only clears bits, erases by the part's own opcodes,
// three- and four-byte addressing, and write-in-progress for the datasheet time
// in virtual time. Driver faults that a real chip would silently punish are
// counted and traced instead of crashing the simulation.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Trace.h"

namespace sim {

inline constexpr uint64_t KiB = 1024;
inline constexpr uint64_t MiB = 1024 * KiB;

// One erase command of a part. Size 0 is a whole-chip erase (0x60 / 0xC7), which
// takes no address. A region limit (RegionEnd != 0) restricts the opcode to
// [RegionBegin, RegionEnd), as the 4 KiB parameter-sector erase of the Spansion
// FL-S parts; an address outside the region leaves the command without effect.
struct EraseOp {
  uint8_t Opcode = 0;
  uint32_t Size = 0;
  uint64_t TypicalUs = 0, MaxUs = 0;
  bool FourByteAddress = false; // a native four-byte opcode (0x21, 0xDC, 0x5C)
  uint64_t RegionBegin = 0, RegionEnd = 0;
};

// How the status register's block-protection field maps to a protected range.
enum class ProtectionKind : uint8_t {
  None,     // no block protection in the status register
  Fraction, // bp in 1..FullFrom-1 protects the top Size >> (FullFrom - bp); bp >= FullFrom protects all
  Units,    // bp >= 1 protects the top Unit << (bp - 1), capped at the whole chip
  Locks,    // per-sector lock bits (Atmel sector protection, SST26 block-protection register)
};

struct Protection {
  ProtectionKind Kind = ProtectionKind::Fraction;
  uint8_t BpShift = 2;  // lowest BP bit of the status register
  uint8_t BpBits = 3;   // contiguous BP bits from BpShift
  int HighBpBit = -1;   // one more BP bit above the field, not contiguous (Micron BP3 at bit 6); -1: none
  int TbBit = -1;       // top/bottom select: set protects from the bottom instead; -1: none
  uint8_t FullFrom = 0; // Fraction: first bp value protecting everything; 0: the largest bp value
  uint64_t Unit = 0;    // Units: the range of bp 1; Locks: the lock granularity
  bool ProtectedAtPowerUp = false; // SST and Atmel parts power up with everything protected
  // Status bits outside the protection field that a status write stores as sent
  // (SRWD/SRP0, QE, SEC, BPL): a writer that does not send them back loses them.
  uint8_t KeptBits = 0x80;
  // Locks parts: Atmel Protect Sector / Unprotect Sector (0x36 / 0x39, one address),
  // SST26 Global Block-Protection Unlock (0x98); each needs the write-enable latch.
  uint8_t LockOp = 0, UnlockOp = 0, GlobalUnlockOp = 0;
  // Locks parts with a status-register view (Atmel): bits BpShift..BpShift+1 read
  // 00 none / 01 some / 11 all locked, and a status write with all of these bits
  // set locks every sector, with none of them set unlocks every sector.
  uint8_t GlobalProtectMask = 0;
};

// Datasheet times in microseconds. Erase times live in each EraseOp.
struct ChipTimes {
  uint64_t tPPTypUs = 0, tPPMaxUs = 0; // page program
  uint64_t tBPTypUs = 0, tBPMaxUs = 0; // byte program (BytePrograms parts)
  uint64_t tWTypUs = 0, tWMaxUs = 0;   // non-volatile status register write
};

// What drives the data line: a chip, nothing (pull-up: every byte 0xFF), or a
// line held low (every byte 0x00).
enum class BusAnswer : uint8_t { Chip, Floating, Zeros };

struct ChipSpec {
  std::string Name{};  // part name as the datasheet gives it
  std::string Notes{}; // source and confidence of the figures; family stand-ins say so
  std::array<uint8_t, 3> JedecId{};
  bool AnswersJedecId = true; // false: 0x9F is an unknown opcode (SST 25LF040A/080A)
  std::vector<uint8_t> JedecIdExtra{}; // bytes after the three (extended device information)
  std::optional<std::array<uint8_t, 2>> Id90{}; // 0x90: manufacturer, device after three address bytes
  uint64_t Size = 0;
  uint32_t PageSize = 256;   // page program wraps inside an aligned page of this size
  bool BytePrograms = false; // 0x02 programs one byte (SST 25VF/25LF); AAI not modelled
  std::vector<EraseOp> Erases{};
  bool FourByteMode = false;     // answers 0xB7 and ExitFourByteOp
  uint8_t ExitFourByteOp = 0xE9; // 0x29 on ISSI, 0xB8 on Spansion/Cypress FS-S and FL-L
  bool FourByteModeNeedsWel = false; // Micron: write enable before 0xB7 / 0xE9
  bool NativeFourByteOps = false;    // 0x13 read, 0x12 program (erases: FourByteAddress ops)
  bool NeedsEwsr = false;            // SST: 0x50 arms the next 0x01 (non-volatile)
  bool WrenArmsStatusWrite = true;   // NeedsEwsr parts: WREN arms 0x01 as well
  bool VolatileStatusEnable = false; // Winbond/GigaDevice: 0x50 arms a volatile 0x01 (no WEL, no tW)
  Protection Prot{};
  ChipTimes Times{};
  uint32_t MaxReadHz = 0; // rated clock of the plain read 0x03
  BusAnswer Bus = BusAnswer::Chip;
};

class FlashChip {
public:
  explicit FlashChip(ChipSpec Spec);

  const ChipSpec &Spec() const { return Spec_; }

  // One SPI transaction. The caller sets Opcode, Tx (bytes after the opcode),
  // RxCount, StartPs and EndPs (chip select released). The chip fills Rx
  // (RxCount bytes; 0xFF where it drives nothing), AddressBytes/Address as it
  // decoded them, and Ignored. Program, erase and status writes take effect at
  // EndPs and keep the chip busy for the datasheet time (typical, or maximum
  // with the UseMaxTimes knob).
  void Execute(SpiCommand &Command);

  bool Busy(uint64_t NowPs) const;
  // A byte fetched through a memory window: 0xFF while busy; offset wraps at Size.
  uint8_t ReadForWindow(uint64_t Offset, uint64_t NowPs);

  uint8_t Status(uint64_t NowPs) const;
  bool WriteEnabled() const; // at the machine's current time
  bool FourByteAddressing() const { return FourByte_; }
  void SetFourByteAddressing(bool On) { FourByte_ = On; }
  // The raw status byte and lock state, for tests that start from a given protection.
  void SetStatusRegister(uint8_t Value) { StatusReg_ = Value; }
  void SetAllLocks(bool Locked);
  // True when a program or erase at Offset would be refused by block protection.
  bool IsProtected(uint64_t Offset) const;

  std::vector<uint8_t> Read(uint64_t Offset, size_t Length) const;
  void Fill(uint64_t Offset, const std::vector<uint8_t> &Bytes);

  struct Misuse {
    unsigned ProgramWithoutWel = 0;
    unsigned EraseWithoutWel = 0;
    unsigned StatusWriteWithoutEnable = 0;
    unsigned CommandWhileBusy = 0;
    unsigned ProgramSetsBits = 0;   // a program that tried to turn a 0 into a 1
    unsigned PageWrap = 0;          // a page program that crossed its page boundary
    unsigned UnknownOpcode = 0;
    unsigned ProtectedWrite = 0;    // program or erase refused by block protection
    unsigned MalformedCommand = 0;  // wrong byte count for the opcode: the chip does not execute it
    unsigned KeptBitsChanged = 0;   // a status write that changed a KeptBits bit
    unsigned ModeChangeWithoutWel = 0; // 0xB7 / exit on a part that needs write enable first
  };
  const Misuse &Counters() const { return Counters_; }

  struct Knobs {
    bool StuckBusy = false;  // write-in-progress never clears once an operation starts
    unsigned FailErases = 0; // the next n erases take their time but change nothing
    unsigned FailPrograms = 0;
    bool UseMaxTimes = false;
    std::map<uint64_t, uint8_t> StuckBits; // offset -> bits that stay 1 whatever is programmed
  };
  Knobs &Knob() { return Knobs_; }

  // Operations that completed with effect (for tests of retry logic).
  unsigned ErasesDone() const { return ErasesDone_; }
  unsigned ProgramsDone() const { return ProgramsDone_; }

private:
  static constexpr uint64_t PageBytes = 4 * KiB; // sparse storage granule
  using Page = std::array<uint8_t, PageBytes>;

  void Settle(uint64_t NowPs);
  void StartOperation(uint64_t EndPs, uint64_t TypicalUs, uint64_t MaxUs);
  void Note(uint64_t NowPs, const std::string &What);
  uint8_t ByteAt(uint64_t Offset) const;
  void StoreByte(uint64_t Offset, uint8_t Value);
  void EraseRange(uint64_t Begin, uint64_t Length);
  bool RangeProtected(uint64_t Begin, uint64_t Length) const;
  uint8_t BpValue() const;
  std::pair<uint64_t, uint64_t> ProtectedRange() const; // [begin, end)
  uint8_t LockSummary() const;
  uint64_t AddressMask(int AddressBytes) const;

  void DoReadId(SpiCommand &C);
  void DoRead90(SpiCommand &C);
  void DoReadStatus(SpiCommand &C);
  void DoRead(SpiCommand &C, int AddressBytes, int DummyBytes);
  void DoWriteStatus(SpiCommand &C, bool Volatile);
  void DoProgram(SpiCommand &C, int AddressBytes);
  void DoErase(SpiCommand &C, const EraseOp &Op);
  void DoFourByteMode(SpiCommand &C, bool Enter);
  void DoLock(SpiCommand &C, bool Lock);

  ChipSpec Spec_;
  std::unordered_map<uint64_t, std::unique_ptr<Page>> Pages_;
  std::vector<bool> Locks_;
  uint8_t StatusReg_ = 0; // without WIP and WEL
  bool Wel_ = false;
  bool StatusWriteArmed_ = false; // 0x50 issued by the previous command
  bool FourByte_ = false;
  uint64_t BusyUntilPs_ = 0;
  bool WelClearsAtEnd_ = false;
  bool OperationStarted_ = false;
  Misuse Counters_;
  Knobs Knobs_;
  unsigned ErasesDone_ = 0, ProgramsDone_ = 0;
};

} // namespace sim
