// SMM pointer safety. Every request buffer, and every address nested in one,
// is placed where a hostile caller would put it: inside SMRAM, across each edge
// of each SMRAM range, at address 0, at the last bytes below 4 GiB, and so
// that address plus size wraps. While the driver serves the SMI, all memory the
// simulation knows is closed by a page-protection guard that records every
// access. The suite fails on:
// - any access to SMRAM other than reading the EFI_SMM_SW_CONTEXT the
//   firmware placed there, or the driver's own pool blocks;
// - any access to memory outside SMRAM that no range accepted by the buffer
//   validator during this SMI covers, and any changed byte outside such ranges
//   (a snapshot before and after as a second witness);
// - any read of a request byte that is not one of the request's input fields,
//   and any input field read more than once (the driver must copy caller
//   fields into SMRAM once and decide on the copies).
// Each case also states what the caller gets back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "MemoryGuard.h"
#include "TestPlatform.h"
#include "smi/RequestHandlers.h"

using sim::RequestSignature;

namespace {

// Two SMRAM ranges, both below the sanitizer's shadow memory.
const std::vector<sim::SmramRange> kSmram = {{0x7B000000, 0x00800000}, {0x7C000000, 0x00100000}};
constexpr uint64_t kFourGiB = 0x100000000;
constexpr uint64_t kTopOfAddressSpace = 0; // 2^64, as a 64-bit sum wraps to it
constexpr EFI_STATUS kServiceResult = 0x0000000000001234;
constexpr uint8_t kFill = 0xCC;

// What the snapshot copies of an arena: the front, where the bump allocator
// hands out this suite's buffers, and the last page, where edge cases sit.
// Snapshots are compared in chunks; only a chunk that differs is compared
// byte by byte.
constexpr uint64_t kArenaFront = 0x40000;
constexpr uint64_t kCompareChunk = 0x1000;

// ---- The five requests ----------------------------------------------------------

struct Field {
  const char *Name;
  uint64_t Offset, Size;
};
constexpr Field kSignatureField{"Signature", OFFSET_OF(FLASH_SMI_REQUEST, Signature), 4};
constexpr Field kFunctionField{"Function", OFFSET_OF(FLASH_SMI_REQUEST, Function), 4};

struct RequestKind {
  const char *Name;
  uint32_t Signature, Function;
  // The one caller field besides the header that the driver reads: the 32-bit
  // address of a block it validates with NestedSize bytes (Size 0: none).
  Field Nested;
  uint64_t NestedSize;
  int Slot; // the forwarded service's slot the request reaches; -1: none
};

const RequestKind kKinds[] = {
    {.Name = "$BDR 0",
     .Signature = RequestSignature("$BDR"),
     .Function = 0,
     .Nested = {"", 0, 0},
     .NestedSize = 0,
     .Slot = -1},
    {.Name = "$GB1 17",
     .Signature = RequestSignature("$GB1"),
     .Function = 17,
     .Nested = {"DataAddress", OFFSET_OF(FORWARD_REQUEST, DataAddress), 4},
     .NestedSize = FORWARD_17_DATA_SIZE,
     .Slot = 1},
    {.Name = "$GB1 18",
     .Signature = RequestSignature("$GB1"),
     .Function = 18,
     .Nested = {"DataAddress", OFFSET_OF(FORWARD_REQUEST, DataAddress), 4},
     .NestedSize = FORWARD_18_DATA_SIZE,
     .Slot = 2},
    {.Name = "$GB1 19",
     .Signature = RequestSignature("$GB1"),
     .Function = 19,
     .Nested = {"DataAddress", OFFSET_OF(FORWARD_REQUEST, DataAddress), 4},
     .NestedSize = FORWARD_19_DATA_SIZE,
     .Slot = 0},
    {.Name = "$RCH 1",
     .Signature = RequestSignature("$RCH"),
     .Function = 1,
     .Nested = {"ByteAddress", OFFSET_OF(SET_BYTE_REQUEST, ByteAddress), 4},
     .NestedSize = 1,
     .Slot = -1},
};

bool IsFlashInfo(const RequestKind &K) { return K.Signature == RequestSignature("$BDR"); }
bool IsSetByte(const RequestKind &K) { return K.Signature == RequestSignature("$RCH"); }

bool Within(uint64_t Address, uint64_t Base, uint64_t Size) { return Address - Base < Size; }

std::string Hex(uint64_t Value) {
  char B[24];
  std::snprintf(B, sizeof B, "0x%" PRIX64, Value);
  return B;
}

// ---- Placements -----------------------------------------------------------------

// Where a request buffer goes and which of its ranges lie in ordinary mapped
// memory: the 32 bytes the dispatcher validates, and the 88 of a "$BDR" reply.
struct RequestPlacement {
  std::string Name;
  uint64_t Address;
  bool HeaderAccepted, ReplyAccepted;
};

std::vector<RequestPlacement> RequestPlacements(uint64_t LowBuffer, uint64_t HighBuffer) {
  constexpr uint64_t Header = FLASH_SMI_VALIDATED_SIZE;
  constexpr uint64_t Half = FLASH_SMI_VALIDATED_SIZE / 2;
  std::vector<RequestPlacement> Out = {
      {"in the low arena", LowBuffer, true, true},
      {"in the high arena, through RCX", HighBuffer, true, true},
  };
  for (size_t Index = 0; Index < kSmram.size(); Index++) {
    const sim::SmramRange &R = kSmram[Index];
    const uint64_t End = R.Base + R.Size;
    const std::string Range = " SMRAM range " + std::to_string(Index);
    Out.push_back({"right below" + Range, R.Base - Header, true, false});
    Out.push_back({"last byte in" + Range, R.Base - Header + 1, false, false});
    Out.push_back({"across the start of" + Range, R.Base - Half, false, false});
    Out.push_back({"at the start of" + Range, R.Base, false, false});
    Out.push_back({"at the end of" + Range, End - Header, false, false});
    Out.push_back({"across the end of" + Range, End - Half, false, false});
    Out.push_back({"from the last byte of" + Range, End - 1, false, false});
    Out.push_back({"right after" + Range, End, true, true});
  }
  // Where no memory is, or not enough of it, come last: a driver that touched
  // them would end the process, and the SMRAM cases before have been judged.
  const std::vector<RequestPlacement> Unmapped = {
      {"at the end of the low arena", sim::kLowArenaBase + sim::kLowArenaSize - Header, true, false},
      {"at address 0", 0, false, false},
      {"in the last 32 bytes below 4 GiB", kFourGiB - Header, false, false},
      {"across 4 GiB", kFourGiB - Half, false, false},
      {"wrapping past the top of the address space", kTopOfAddressSpace - Half, false, false},
      {"ending at the top of the address space", kTopOfAddressSpace - Header, false, false},
  };
  Out.insert(Out.end(), Unmapped.begin(), Unmapped.end());
  return Out;
}

// Where a nested block of Size bytes goes, and whether it lies in ordinary
// mapped memory. The field holds 32 bits, so the address is below 4 GiB.
struct NestedPlacement {
  std::string Name;
  uint32_t Address;
  bool Accepted;
};

std::vector<NestedPlacement> NestedPlacements(uint64_t Size) {
  std::vector<NestedPlacement> Out;
  for (size_t Index = 0; Index < kSmram.size(); Index++) {
    const sim::SmramRange &R = kSmram[Index];
    const uint64_t End = R.Base + R.Size;
    const std::string Range = " SMRAM range " + std::to_string(Index);
    Out.push_back({"ending right below" + Range, static_cast<uint32_t>(R.Base - Size), true});
    Out.push_back({"with its last byte in" + Range, static_cast<uint32_t>(R.Base - Size + 1), false});
    Out.push_back({"at the start of" + Range, static_cast<uint32_t>(R.Base), false});
    Out.push_back({"inside" + Range, static_cast<uint32_t>(R.Base + R.Size / 2), false});
    Out.push_back({"at the last byte of" + Range, static_cast<uint32_t>(End - 1), false});
    Out.push_back({"right after" + Range, static_cast<uint32_t>(End), true});
  }
  // Where no memory is come last: a driver that touched them would end the
  // process, and the SMRAM cases before have been judged by then.
  Out.push_back({"at address 0", 0, false});
  Out.push_back({"in the last bytes below 4 GiB", static_cast<uint32_t>(kFourGiB - Size), false});
  Out.push_back({"at the last byte below 4 GiB (a 32-bit sum wraps)", 0xFFFFFFFF, false});
  return Out;
}

// ---- One guarded SMI ----------------------------------------------------------

struct Block {
  uint64_t Base, Size;
};

// What a single SMI did.
struct Observation {
  EFI_STATUS Result = 0;
  bool Guarded = false;
  bool Overflowed = false;
  std::vector<sim::MemoryGuard::Access> Accesses;
  std::vector<sim::Firmware::Validation> Validations;
  std::vector<uint64_t> Changed; // bytes that differ after the SMI
  size_t ServiceCalls = 0;
  size_t SpiCommands = 0;
};

// The caller-supplied ranges of a case: the request and its nested block.
struct Shape {
  const RequestKind *Kind; // null: the request is not one of the five
  uint64_t Request;
  uint64_t Nested, NestedSize;
};

class PointerSafety : public test::PlatformTest {
protected:
  void Start() {
    sim::PlatformConfig Config;
    Config.Firmware.Smram = kSmram;
    sim::Platform &Platform = Make(std::move(Config));
    ASSERT_EQ(Platform.Boot(), EFI_SUCCESS);
    Guarded_ = sim::MemoryGuard::Works();
    for (const sim::MemoryRegion &R : Platform.M().Memory()) {
      Guard_.Watch(R.Base, R.Size, sim::MemoryGuard::Mode::Accesses);
      // The guard records every access to SMRAM; without it, the snapshot
      // covers SMRAM too.
      const bool Smram = Platform.Fw().InsideSmram(R.Base);
      if (Smram && Guarded_) {
        continue;
      }
      if (Smram || R.Size <= kArenaFront) {
        Windows_.push_back({R.Base, R.Size});
      } else {
        Windows_.push_back({R.Base, kArenaFront});
        Windows_.push_back({R.Base + R.Size - sim::MemoryGuard::PageSize(), sim::MemoryGuard::PageSize()});
      }
    }
    FindPoolBlocks();
    // The firmware keeps the SMI's records in the top page of the first range.
    Records_ = kSmram[0].Base + kSmram[0].Size - sim::kDispatcherAreaSize;
    Platform.Forwarded().Result = kServiceResult;
  }

  // The driver's pool blocks that are live now, from the firmware's trace.
  void FindPoolBlocks() {
    std::map<uint64_t, uint64_t> Live;
    for (const sim::TraceEvent &E : P().M().Log().Events) {
      unsigned Type = 0;
      uint64_t Size = 0, Address = 0;
      char Status[32] = {};
      if (std::sscanf(E.Text.c_str(), "SmmAllocatePool type %u size %" SCNx64 " -> %31s %" SCNx64, &Type, &Size,
                      Status, &Address) == 4 &&
          std::string(Status) == "EFI_SUCCESS") {
        Live[Address] = Size;
      } else if (std::sscanf(E.Text.c_str(), "SmmFreePool %" SCNx64 " -> %31s", &Address, Status) == 2 &&
                 std::string(Status) == "EFI_SUCCESS") {
        Live.erase(Address);
      }
    }
    ASSERT_EQ(Live.size(), P().Fw().LivePoolAllocations());
    for (const auto &[Base, Size] : Live) {
      Pool_.push_back({Base, Size});
    }
  }

  // Writes Bytes at Address wherever that is ordinary mapped memory: a caller
  // can fill nothing inside SMRAM or where no memory is.
  void Plant(uint64_t Address, const std::vector<uint8_t> &Bytes) {
    for (size_t Index = 0; Index < Bytes.size(); Index++) {
      const uint64_t At = Address + Index;
      if (P().M().IsKnownMemory(At, 1) && !P().Fw().InsideSmram(At)) {
        *P().Fw().Place(At, 1) = Bytes[Index];
      }
    }
  }

  std::vector<uint8_t> RequestBytes(uint32_t Signature, uint32_t Function, uint64_t NestedOffset, uint32_t Nested) {
    std::vector<uint8_t> Bytes(sizeof(FLASH_INFO_REQUEST), kFill);
    std::memcpy(&Bytes[OFFSET_OF(FLASH_SMI_REQUEST, Signature)], &Signature, sizeof Signature);
    std::memcpy(&Bytes[OFFSET_OF(FLASH_SMI_REQUEST, Function)], &Function, sizeof Function);
    if (NestedOffset != 0) {
      std::memcpy(&Bytes[NestedOffset], &Nested, sizeof Nested);
    }
    return Bytes;
  }

  uint64_t ReadStatus(uint64_t Request) {
    uint64_t Status = 0;
    std::memcpy(&Status, P().Fw().Place(Request + OFFSET_OF(FLASH_SMI_REQUEST, Status), sizeof Status),
                sizeof Status);
    return Status;
  }

  // Copies every snapshot window into Copy, which keeps its size from case to
  // case.
  void Snapshot(std::vector<uint8_t> &Copy) {
    size_t Total = 0;
    for (const Block &W : Windows_) {
      Total += W.Size;
    }
    Copy.resize(Total);
    size_t Offset = 0;
    for (const Block &W : Windows_) {
      std::memcpy(&Copy[Offset], reinterpret_cast<const void *>(W.Base), W.Size);
      Offset += W.Size;
    }
  }

  // Runs Action (an SMI, as a rule) with all known memory closed.
  Observation Observe(const std::function<EFI_STATUS()> &Action, const std::string &Case) {
    Observation O;
    const size_t ValidationStart = P().Fw().Validations().size();
    const size_t CallStart = P().Forwarded().Calls().size();
    const size_t SpiStart = P().M().Log().Spi.size();
    std::vector<uint8_t> &Before = Before_, &After = After_;
    Snapshot(Before);
    O.Guarded = Guarded_;
    if (Guarded_) {
      Guard_.Arm(Case);
    }
    O.Result = Action();
    if (Guarded_) {
      Guard_.Disarm();
      O.Accesses = Guard_.Accesses();
      O.Overflowed = Guard_.Overflowed();
    }
    Snapshot(After);
    size_t Offset = 0;
    for (const Block &W : Windows_) {
      for (uint64_t Chunk = 0; Chunk < W.Size; Chunk += kCompareChunk) {
        const uint64_t Length = std::min(kCompareChunk, W.Size - Chunk);
        if (std::memcmp(&Before[Offset + Chunk], &After[Offset + Chunk], Length) == 0) {
          continue;
        }
        for (uint64_t Index = Chunk; Index < Chunk + Length; Index++) {
          if (Before[Offset + Index] != After[Offset + Index]) {
            O.Changed.push_back(W.Base + Index);
          }
        }
      }
      Offset += W.Size;
    }
    const auto &V = P().Fw().Validations();
    O.Validations.assign(V.begin() + static_cast<ptrdiff_t>(ValidationStart), V.end());
    O.ServiceCalls = P().Forwarded().Calls().size() - CallStart;
    O.SpiCommands = P().M().Log().Spi.size() - SpiStart;
    return O;
  }

  // Raises SMI 0x90 for the request at Address as the firmware does, with the
  // SMI's records written before the guard closes SMRAM.
  Observation Raise(uint64_t Address, const std::string &Case) {
    P().Fw().SetSaveState(0, Address & 0xFFFFFFFF, Address >> 32);
    auto *Context = reinterpret_cast<EFI_SMM_SW_CONTEXT *>(Records_);
    *Context = {.SwSmiCpuIndex = 0, .CommandPort = FLASH_SW_SMI_VALUE, .DataPort = 0};
    auto *ContextSize = reinterpret_cast<UINTN *>(Records_ + sizeof(EFI_SMM_SW_CONTEXT));
    *ContextSize = sizeof(EFI_SMM_SW_CONTEXT);
    return Observe([&] { return P().Fw().DispatchSwSmi(FLASH_SW_SMI_VALUE, Context, ContextSize); }, Case);
  }

  bool Accepted(const Observation &O, uint64_t Address) const {
    for (const sim::Firmware::Validation &V : O.Validations) {
      if (V.Status == EFI_SUCCESS && Within(Address, V.Address, V.Size)) {
        return true;
      }
    }
    return false;
  }

  // Every breach of the rules in the file comment, one line each.
  std::vector<std::string> Violations(const Observation &O, const Shape &S) {
    std::vector<std::string> Out;
    if (O.Overflowed) {
      Out.push_back("more accesses than the guard can record");
    }
    const auto InCallerRange = [&](uint64_t Address) {
      return Within(Address, S.Request, sizeof(FLASH_INFO_REQUEST)) || Within(Address, S.Nested, S.NestedSize);
    };
    std::map<std::string, unsigned> FieldReads;
    for (const sim::MemoryGuard::Access &A : O.Accesses) {
      const std::string What = std::string(A.Write ? "write" : "read") + " at " + Hex(A.Address) +
                               " by the instruction at " + Hex(A.Instruction);
      if (P().Fw().InsideSmram(A.Address)) {
        const bool Context = !A.Write && Within(A.Address, Records_, sizeof(EFI_SMM_SW_CONTEXT));
        bool OwnPool = false;
        for (const Block &B : Pool_) {
          OwnPool = OwnPool || (Within(A.Address, B.Base, B.Size) && !InCallerRange(A.Address));
        }
        if (!Context && !OwnPool) {
          Out.push_back("SMRAM " + What);
        }
        continue;
      }
      if (!Accepted(O, A.Address)) {
        Out.push_back("unvalidated " + What);
      }
      if (A.Write || A.Continued || !Within(A.Address, S.Request, sizeof(FLASH_INFO_REQUEST))) {
        continue;
      }
      const uint64_t Offset = A.Address - S.Request;
      const Field *Read = nullptr;
      for (const Field *F : {&kSignatureField, &kFunctionField}) {
        Read = Within(Offset, F->Offset, F->Size) ? F : Read;
      }
      if (S.Kind != nullptr && S.Kind->NestedSize != 0 && Within(Offset, S.Kind->Nested.Offset, S.Kind->Nested.Size)) {
        Read = &S.Kind->Nested;
      }
      if (Read == nullptr) {
        Out.push_back("read of request byte " + Hex(Offset) + ", which is no input of the request");
      } else if (++FieldReads[Read->Name] == 2) {
        Out.push_back(std::string("request field ") + Read->Name + " read more than once");
      }
    }
    for (const uint64_t Address : O.Changed) {
      if (!Accepted(O, Address)) {
        Out.push_back("byte " + Hex(Address) + " changed outside every validated range");
      }
    }
    return Out;
  }

  static std::string Lines(const std::vector<std::string> &Items) {
    std::string S;
    for (const std::string &Item : Items) {
      S += "  " + Item + "\n";
    }
    return S;
  }

  void ExpectSafe(const Observation &O, const Shape &S) {
    const std::vector<std::string> V = Violations(O, S);
    EXPECT_TRUE(V.empty()) << Lines(V);
  }

  // Reads the guard recorded of the caller field at Address. A request the
  // dispatcher took has its signature read exactly once, and a served or
  // refused nested address likewise: the guard is seen to watch.
  size_t ReadsAt(const Observation &O, uint64_t Address) {
    size_t Count = 0;
    for (const sim::MemoryGuard::Access &A : O.Accesses) {
      Count += !A.Write && !A.Continued && A.Address == Address;
    }
    return Count;
  }

  void ExpectInputsReadOnce(const Observation &O, const RequestKind *K, uint64_t Request) {
    if (!O.Guarded) {
      return;
    }
    EXPECT_EQ(ReadsAt(O, Request + kSignatureField.Offset), 1u);
    EXPECT_EQ(ReadsAt(O, Request + kFunctionField.Offset), 1u);
    if (K != nullptr && K->NestedSize != 0) {
      EXPECT_EQ(ReadsAt(O, Request + K->Nested.Offset), 1u);
    }
  }

  // The caller's view of a request the dispatcher refused: its validator's
  // status, and nothing done.
  void ExpectRefusedByDispatcher(const Observation &O, uint64_t Request) {
    ASSERT_EQ(O.Validations.size(), 1u);
    EXPECT_EQ(O.Validations[0].Address, Request);
    EXPECT_EQ(O.Validations[0].Size, FLASH_SMI_VALIDATED_SIZE);
    EXPECT_TRUE(EfiError(O.Validations[0].Status));
    EXPECT_EQ(O.Result, O.Validations[0].Status);
    EXPECT_TRUE(O.Changed.empty());
    EXPECT_EQ(O.ServiceCalls, 0u);
    EXPECT_EQ(O.SpiCommands, 0u);
  }

  // A handler refused its own range: the validator's status, Status left at
  // the dispatcher's unsupported, and nothing done.
  void ExpectRefusedByHandler(const Observation &O, const RequestKind &K, uint64_t Request) {
    ExpectInputsReadOnce(O, &K, Request);
    ASSERT_GE(O.Validations.size(), 2u);
    EXPECT_EQ(O.Validations[0].Status, EFI_SUCCESS);
    EXPECT_TRUE(EfiError(O.Validations.back().Status));
    EXPECT_EQ(O.Result, O.Validations.back().Status);
    EXPECT_EQ(ReadStatus(Request), EFI_UNSUPPORTED);
    EXPECT_EQ(O.ServiceCalls, 0u);
    EXPECT_EQ(O.SpiCommands, 0u);
  }

  // A request that was served, with its nested block at Nested.
  void ExpectServed(const Observation &O, const RequestKind &K, uint64_t Request, uint64_t Nested) {
    ExpectInputsReadOnce(O, &K, Request);
    if (IsFlashInfo(K)) {
      EXPECT_EQ(O.Result, EFI_SUCCESS);
      EXPECT_EQ(ReadStatus(Request), FLASH_INFO_DONE_MARKER);
    } else if (IsSetByte(K)) {
      EXPECT_EQ(O.Result, EFI_SUCCESS);
      EXPECT_EQ(ReadStatus(Request), EFI_SUCCESS);
      EXPECT_EQ(*P().Fw().Place(Nested, 1), 1);
    } else {
      EXPECT_EQ(O.Result, kServiceResult);
      EXPECT_EQ(ReadStatus(Request), kServiceResult);
      ASSERT_EQ(O.ServiceCalls, 1u);
      EXPECT_EQ(P().Forwarded().Calls().back().Slot, static_cast<unsigned>(K.Slot));
      EXPECT_EQ(P().Forwarded().Calls().back().Argument, Nested);
    }
  }

  void SkipUnguarded() {
    if (!Guarded_) {
      GTEST_SKIP() << "page protection with single-stepping does not work in this process: SMRAM reads and "
                      "repeated reads of caller fields were not checked (the snapshots of all memory were)";
    }
  }

  // The suite's caller buffers all lie in the arena fronts that the snapshots
  // cover; the next allocation shows how far the bump allocators came.
  void TearDown() override {
    if (Platform_) {
      EXPECT_LT(P().Fw().AllocateLow(1), sim::kLowArenaBase + kArenaFront);
      EXPECT_LT(P().Fw().AllocateHigh(1), sim::kHighArenaBase + kArenaFront);
    }
    test::PlatformTest::TearDown();
  }

  sim::MemoryGuard Guard_;
  bool Guarded_ = false;
  std::vector<Block> Windows_;
  std::vector<Block> Pool_;
  std::vector<uint8_t> Before_, After_;
  uint64_t Records_ = 0;
};

// The guard and the rules see what they are meant to see: an SMRAM read, a
// second read of a field, a read of an output field and a write outside every
// validated range, made here by the test itself, are each reported.
TEST_F(PointerSafety, RulesCatchBreaches) {
  ASSERT_NO_FATAL_FAILURE(Start());
  if (!Guarded_) {
    GTEST_SKIP() << "page protection with single-stepping does not work in this process";
  }
  test::Request R = test::LowRequest(P(), sizeof(FLASH_INFO_REQUEST));
  test::Request Elsewhere = test::LowRequest(P(), 16);
  const Shape S{&kKinds[1], R.Address, 0, 0};
  const Observation O = Observe([&] {
    EXPECT_EQ(P().Fw().BufferValidation()->ValidateBuffer(R.Address, FLASH_SMI_VALIDATED_SIZE), EFI_SUCCESS);
    const auto Read = [](uint64_t Address) { return *reinterpret_cast<volatile const uint32_t *>(Address); };
    uint32_t Sum = Read(kSmram[1].Base + 0x40);
    Sum += Read(R.Address + kSignatureField.Offset);
    Sum += Read(R.Address + kSignatureField.Offset);
    Sum += Read(R.Address + OFFSET_OF(FLASH_SMI_REQUEST, Status));
    *reinterpret_cast<volatile uint8_t *>(Elsewhere.Address) = static_cast<uint8_t>(kFill + 1);
    return Sum == 0 ? EFI_SUCCESS : EFI_UNSUPPORTED;
  }, "planted breaches");
  const std::vector<std::string> V = Violations(O, S);
  const auto Reported = [&](const std::string &Text) {
    for (const std::string &Line : V) {
      if (Line.find(Text) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(Reported("SMRAM read at " + Hex(kSmram[1].Base + 0x40))) << Lines(V);
  EXPECT_TRUE(Reported("request field Signature read more than once")) << Lines(V);
  EXPECT_TRUE(Reported("read of request byte 0x8")) << Lines(V);
  EXPECT_TRUE(Reported("unvalidated write at " + Hex(Elsewhere.Address))) << Lines(V);
  EXPECT_TRUE(Reported("byte " + Hex(Elsewhere.Address))) << Lines(V);
  EXPECT_EQ(V.size(), 5u) << Lines(V);
}

// Each of the five requests with its buffer at every placement: inside,
// across and beside every SMRAM range, at 0, below 4 GiB, wrapping.
TEST_F(PointerSafety, RequestBufferPlacements) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const uint64_t LowBuffer = P().Fw().AllocateLow(sizeof(FLASH_INFO_REQUEST));
  const uint64_t HighBuffer = P().Fw().AllocateHigh(sizeof(FLASH_INFO_REQUEST));
  for (const RequestKind &K : kKinds) {
    for (const RequestPlacement &Where : RequestPlacements(LowBuffer, HighBuffer)) {
      const std::string Case = std::string(K.Name) + ", request " + Where.Name + " (" + Hex(Where.Address) + ")";
      SCOPED_TRACE(Case);
      // A nested block that is the caller's, so only the request's placement
      // decides.
      const uint64_t Nested = K.NestedSize == 0 ? 0 : P().Fw().AllocateLow(K.NestedSize);
      if (Nested != 0) {
        std::memset(P().Fw().Place(Nested, K.NestedSize), 0, K.NestedSize);
      }
      Plant(Where.Address, RequestBytes(K.Signature, K.Function, K.Nested.Offset, static_cast<uint32_t>(Nested)));

      const Observation O = Raise(Where.Address, Case);

      ExpectSafe(O, {&K, Where.Address, Nested, K.NestedSize});
      if (!Where.HeaderAccepted) {
        ExpectRefusedByDispatcher(O, Where.Address);
      } else if (IsFlashInfo(K) && !Where.ReplyAccepted) {
        ExpectRefusedByHandler(O, K, Where.Address);
        ASSERT_FALSE(O.Validations.empty());
        EXPECT_EQ(O.Validations.back().Size, sizeof(FLASH_INFO_REQUEST));
      } else {
        ExpectServed(O, K, Where.Address, Nested);
      }
    }
  }
  SkipUnguarded();
}

// The four requests that carry an address, with that address at every
// placement and the request itself in ordinary memory.
TEST_F(PointerSafety, NestedAddressPlacements) {
  ASSERT_NO_FATAL_FAILURE(Start());
  for (const RequestKind &K : kKinds) {
    if (K.NestedSize == 0) {
      continue;
    }
    for (const NestedPlacement &Where : NestedPlacements(K.NestedSize)) {
      const std::string Case =
          std::string(K.Name) + ", " + K.Nested.Name + " " + Where.Name + " (" + Hex(Where.Address) + ")";
      SCOPED_TRACE(Case);
      test::Request R = test::LowRequest(P(), sizeof(FLASH_INFO_REQUEST));
      Plant(R.Address, RequestBytes(K.Signature, K.Function, K.Nested.Offset, Where.Address));
      if (Where.Accepted) {
        std::memset(P().Fw().Place(Where.Address, K.NestedSize), 0, K.NestedSize);
      }

      const Observation O = Raise(R.Address, Case);

      ExpectSafe(O, {&K, R.Address, Where.Address, K.NestedSize});
      ASSERT_FALSE(O.Validations.empty());
      EXPECT_EQ(O.Validations.back().Address, Where.Address);
      EXPECT_EQ(O.Validations.back().Size, K.NestedSize);
      if (Where.Accepted) {
        ExpectServed(O, K, R.Address, Where.Address);
      } else {
        ExpectRefusedByHandler(O, K, R.Address);
      }
    }
  }
  SkipUnguarded();
}

// Signatures and functions the table does not list: the unsupported status is
// written, and nothing else is read or done.
TEST_F(PointerSafety, UnknownRequests) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const struct {
    uint32_t Signature, Function;
  } Cases[] = {
      {RequestSignature("$BDR"), 1}, {RequestSignature("$GB1"), 16}, {RequestSignature("$GB1"), 20},
      {RequestSignature("$RCH"), 0}, {RequestSignature("$RCH"), 2},  {RequestSignature("$FPS"), 0},
      {0, 0},                        {0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const auto &C : Cases) {
    const std::string Case = "signature " + Hex(C.Signature) + " function " + std::to_string(C.Function);
    SCOPED_TRACE(Case);
    test::Request R = test::LowRequest(P(), sizeof(FLASH_INFO_REQUEST));
    // A nested address into SMRAM, in case the driver took the request for one
    // that carries it.
    std::vector<uint8_t> Bytes = RequestBytes(C.Signature, C.Function, 0, 0);
    for (const uint64_t Offset : {OFFSET_OF(FORWARD_REQUEST, DataAddress), OFFSET_OF(SET_BYTE_REQUEST, ByteAddress)}) {
      const uint32_t IntoSmram = static_cast<uint32_t>(kSmram[0].Base);
      std::memcpy(&Bytes[Offset], &IntoSmram, sizeof IntoSmram);
    }
    Plant(R.Address, Bytes);

    const Observation O = Raise(R.Address, Case);

    ExpectSafe(O, {nullptr, R.Address, 0, 0});
    ExpectInputsReadOnce(O, nullptr, R.Address);
    EXPECT_EQ(O.Result, EFI_UNSUPPORTED);
    EXPECT_EQ(ReadStatus(R.Address), EFI_UNSUPPORTED);
    EXPECT_EQ(O.Validations.size(), 1u);
    EXPECT_EQ(O.ServiceCalls, 0u);
    EXPECT_EQ(O.SpiCommands, 0u);
  }
  SkipUnguarded();
}

// Ordinary request buffers that the validator refuses all the same: each of
// the five requests is left untouched and gets the refusal.
TEST_F(PointerSafety, BuffersTheValidatorRefuses) {
  ASSERT_NO_FATAL_FAILURE(Start());
  P().Fw().RefuseAllValidation(true);
  for (const RequestKind &K : kKinds) {
    SCOPED_TRACE(K.Name);
    test::Request R = test::LowRequest(P(), sizeof(FLASH_INFO_REQUEST));
    const uint64_t Nested = K.NestedSize == 0 ? 0 : P().Fw().AllocateLow(K.NestedSize);
    Plant(R.Address, RequestBytes(K.Signature, K.Function, K.Nested.Offset, static_cast<uint32_t>(Nested)));

    const Observation O = Raise(R.Address, K.Name);

    ExpectSafe(O, {&K, R.Address, Nested, K.NestedSize});
    ExpectRefusedByDispatcher(O, R.Address);
    for (const sim::MemoryGuard::Access &A : O.Accesses) {
      EXPECT_TRUE(P().Fw().InsideSmram(A.Address)) << "a refused buffer is not read: " << Hex(A.Address);
    }
  }
  P().Fw().RefuseAllValidation(false);
  SkipUnguarded();
}

} // namespace
