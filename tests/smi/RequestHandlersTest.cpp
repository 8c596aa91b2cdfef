// The five request handlers as a caller outside SMM meets them: what each
// writes into the request buffer, what it validates first, which slot of the
// forwarded service it reaches, and what the flash saw.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MemoryGuard.h"
#include "TestPlatform.h"
#include "flash/FlashOps.h"
#include "flash/Identify.h"
#include "smi/RequestHandlers.h"

using sim::RequestSignature;

namespace {

constexpr size_t kFlashInfoSize = sizeof(FLASH_INFO_REQUEST);
// Request buffers are larger than any request, so that bytes behind the reply
// show whether the driver wrote past it.
constexpr size_t kRequestBufferSize = 128;
constexpr uint8_t kFill = 0xCC;
constexpr uint8_t kPartNameJunk = 0x5E;

// One SPI command as it went on the wire, without its time.
struct Wire {
  sim::SpiPath Path;
  uint8_t Opcode;
  std::vector<uint8_t> Tx, Rx;
  bool operator==(const Wire &) const = default;
};

std::vector<Wire> WireSince(sim::Platform &P, size_t First) {
  std::vector<Wire> Out;
  const auto &Spi = P.M().Log().Spi;
  for (size_t Index = First; Index < Spi.size(); Index++) {
    Out.push_back({Spi[Index].Path, Spi[Index].Opcode, Spi[Index].Tx, Spi[Index].Rx});
  }
  return Out;
}

// The wire traffic of one identification run, as the driver performs it now.
std::vector<Wire> OneProbeRun(sim::Platform &P) {
  const size_t Start = P.M().Log().Spi.size();
  IdentifyFlashDevice();
  return WireSince(P, Start);
}

bool AllBytesAre(const uint8_t *Bytes, size_t Count, uint8_t Value) {
  for (size_t Index = 0; Index < Count; Index++) {
    if (Bytes[Index] != Value) {
      return false;
    }
  }
  return true;
}

class RequestHandlers : public test::PlatformTest {
protected:
  sim::Platform &Booted(sim::PlatformConfig Config = {}) {
    sim::Platform &P = Make(std::move(Config));
    EXPECT_EQ(P.Boot(), EFI_SUCCESS);
    return P;
  }

  // A request of Signature and Function in the low arena, the rest kFill.
  test::Request NewRequest(const char (&Signature)[5], uint32_t Function) {
    test::Request R = test::LowRequest(P(), kRequestBufferSize, kFill);
    R.Header(RequestSignature(Signature), Function, 0x1111);
    return R;
  }

  // A "$GB1" request whose DataAddress names a fresh data block of DataSize.
  test::Request ForwardRequestWithData(uint32_t Function, size_t DataSize) {
    test::Request Data = test::LowRequest(P(), DataSize);
    test::Request R = NewRequest("$GB1", Function);
    R.Set<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress), static_cast<uint32_t>(Data.Address));
    return R;
  }

  const sim::Firmware::Validation *FindValidation(uint64_t Address, uint64_t Size, size_t From) {
    const auto &V = P().Fw().Validations();
    for (size_t Index = From; Index < V.size(); Index++) {
      if (V[Index].Address == Address && V[Index].Size == Size) {
        return &V[Index];
      }
    }
    return nullptr;
  }
};

// ---- "$BDR" 0 -----------------------------------------------------------------

// No routine recognises the chip, at start-up or in either run of the request:
// the sizes and the marker are reported, the name block is not, and the name
// buffer is cleared between the two runs of the probe sequence.
TEST_F(RequestHandlers, FlashInfoWithoutIdentifiedPart) {
  sim::PlatformConfig Config;
  Config.Chip = sim::AbsentChip();
  sim::Platform &P = Booted(Config);
  ASSERT_EQ(mFlashDevice, nullptr);
  const std::vector<Wire> Probe = OneProbeRun(P);
  ASSERT_FALSE(Probe.empty());
  ASSERT_EQ(mFlashDevice, nullptr);
  std::memset(mFlashPartName, kPartNameJunk, sizeof mFlashPartName);

  test::Request R = NewRequest("$BDR", 0);
  const size_t SpiStart = P.M().Log().Spi.size();
  const size_t ValidationStart = P.Fw().Validations().size();
  EXPECT_EQ(P.RaiseRequest(R.Address), EFI_SUCCESS);

  EXPECT_EQ(R.Get<uint64_t>(OFFSET_OF(FLASH_INFO_REQUEST, Header.Status)), FLASH_INFO_DONE_MARKER);
  EXPECT_EQ(R.Get<uint64_t>(OFFSET_OF(FLASH_INFO_REQUEST, Header.Status)), 0x5AA5AA55u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, DefaultFlashSize)), 0x02000000u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, BlockSize)), 4096u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, FlashSize)), mFlashSize);
  EXPECT_EQ(mFlashSize, 0x02000000u);
  const size_t Untouched = OFFSET_OF(FLASH_INFO_REQUEST, Reserved);
  EXPECT_TRUE(AllBytesAre(R.Bytes + Untouched, kRequestBufferSize - Untouched, kFill))
      << "bytes 0x1C onward were written";
  EXPECT_TRUE(AllBytesAre(reinterpret_cast<const uint8_t *>(mFlashPartName), sizeof mFlashPartName, 0));
  EXPECT_EQ(mFlashDevice, nullptr);

  std::vector<Wire> Twice = Probe;
  Twice.insert(Twice.end(), Probe.begin(), Probe.end());
  EXPECT_EQ(WireSince(P, SpiStart), Twice) << "the probe sequence runs exactly twice\n"
                                           << P.M().Log().FormatSpi();

  const auto *Header = FindValidation(R.Address, FLASH_SMI_VALIDATED_SIZE, ValidationStart);
  const auto *Reply = FindValidation(R.Address, kFlashInfoSize, ValidationStart);
  ASSERT_NE(Header, nullptr);
  ASSERT_NE(Reply, nullptr);
  EXPECT_EQ(Reply->Status, EFI_SUCCESS);
}

// The default platform's Winbond W25Q128JV: one probe run, the 16 MiB size and
// the whole 48-byte name buffer behind "$FPS".
TEST_F(RequestHandlers, FlashInfoWithIdentifiedPart) {
  sim::Platform &P = Booted();
  ASSERT_NE(mFlashDevice, nullptr);
  const std::vector<Wire> Probe = OneProbeRun(P);
  ASSERT_FALSE(Probe.empty());

  test::Request R = NewRequest("$BDR", 0);
  const size_t SpiStart = P.M().Log().Spi.size();
  EXPECT_EQ(P.RaiseRequest(R.Address), EFI_SUCCESS);

  EXPECT_EQ(R.Get<uint64_t>(OFFSET_OF(FLASH_INFO_REQUEST, Header.Status)), 0x5AA5AA55u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, DefaultFlashSize)), 0x02000000u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, BlockSize)), 4096u);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, FlashSize)), P.Chip().Spec().Size);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, FlashSize)), mFlashSize);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, Reserved)), 0xCCCCCCCCu);
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, NameSignature)), RequestSignature("$FPS"));
  EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FLASH_INFO_REQUEST, NameLength)), 48u);
  char Expected[FLASH_PART_NAME_SIZE] = {};
  const std::string Name = "Winbond 25X/Q Series";
  std::memcpy(Expected, Name.data(), Name.size());
  EXPECT_EQ(std::memcmp(R.Bytes + OFFSET_OF(FLASH_INFO_REQUEST, PartName), Expected, sizeof Expected), 0)
      << std::string(reinterpret_cast<const char *>(R.Bytes + OFFSET_OF(FLASH_INFO_REQUEST, PartName)),
                     FLASH_PART_NAME_SIZE);
  EXPECT_TRUE(AllBytesAre(R.Bytes + kFlashInfoSize, kRequestBufferSize - kFlashInfoSize, kFill))
      << "bytes past the 88-byte reply were written";
  EXPECT_EQ(WireSince(P, SpiStart), Probe) << P.M().Log().FormatSpi();
}

// The dispatcher vouches for 32 bytes; the reply needs 88. A buffer whose
// remaining bytes run into SMRAM or off mapped memory gets the validator's
// refusal with nothing written past the header, and no probe runs.
TEST_F(RequestHandlers, FlashInfoRefusedReplyRange) {
  sim::Platform &P = Booted();
  const sim::SmramRange Smram = P.Config().Firmware.Smram[0];
  struct Case {
    const char *Name;
    uint64_t Address;
  } const Cases[] = {
      {"bytes 32 to 87 in SMRAM", Smram.Base - FLASH_SMI_VALIDATED_SIZE},
      {"bytes 32 to 87 beyond the low arena", sim::kLowArenaBase + sim::kLowArenaSize - FLASH_SMI_VALIDATED_SIZE},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    test::Request R{C.Address, P.Fw().Place(C.Address, FLASH_SMI_VALIDATED_SIZE)};
    std::memset(R.Bytes, kFill, FLASH_SMI_VALIDATED_SIZE);
    R.Header(RequestSignature("$BDR"), 0, 0x1111);
    const std::vector<uint8_t> Before(R.Bytes, R.Bytes + FLASH_SMI_VALIDATED_SIZE);
    const size_t SpiStart = P.M().Log().Spi.size();
    const size_t ValidationStart = P.Fw().Validations().size();

    const EFI_STATUS Status = P.RaiseRequest(C.Address);

    const auto *Reply = FindValidation(C.Address, kFlashInfoSize, ValidationStart);
    ASSERT_NE(Reply, nullptr);
    EXPECT_TRUE(EfiError(Reply->Status));
    EXPECT_EQ(Status, Reply->Status);
    EXPECT_EQ(R.Get<uint64_t>(8), EFI_UNSUPPORTED);
    EXPECT_EQ(std::memcmp(R.Bytes + sizeof(FLASH_SMI_REQUEST), Before.data() + sizeof(FLASH_SMI_REQUEST),
                          FLASH_SMI_VALIDATED_SIZE - sizeof(FLASH_SMI_REQUEST)),
              0);
    EXPECT_EQ(P.M().Log().Spi.size(), SpiStart);
  }
}

// ---- "$GB1" 17, 18, 19 ----------------------------------------------------------

struct ForwardCase {
  uint32_t Function;
  unsigned Slot;
  uint64_t DataSize;
};
constexpr ForwardCase kForwardCases[] = {
    {.Function = 17, .Slot = 1, .DataSize = 259},
    {.Function = 18, .Slot = 2, .DataSize = 36},
    {.Function = 19, .Slot = 0, .DataSize = 24},
};

// Each function reaches its own slot with DataAddress widened with zeros (the
// bytes behind the 32-bit field are set), after validating its data size; the
// service's result, success or error, comes back in Status and as the result.
TEST_F(RequestHandlers, ForwardReachesItsSlot) {
  sim::Platform &P = Booted();
  const EFI_STATUS Results[] = {EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_ACCESS_DENIED, 0x1234};
  for (const ForwardCase &C : kForwardCases) {
    for (const EFI_STATUS Result : Results) {
      SCOPED_TRACE("function " + std::to_string(C.Function) + " result " + sim::Firmware::StatusName(Result));
      test::Request Data = test::LowRequest(P, C.DataSize, 0xA5);
      const std::vector<uint8_t> DataBefore(Data.Bytes, Data.Bytes + C.DataSize);
      test::Request R = NewRequest("$GB1", C.Function);
      R.Set<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress), static_cast<uint32_t>(Data.Address));
      R.Set<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress) + 4, 0xFFFFFFFF);
      P.Forwarded().Result = Result;
      const size_t CallsBefore = P.Forwarded().Calls().size();
      const size_t ValidationStart = P.Fw().Validations().size();

      EXPECT_EQ(P.RaiseRequest(R.Address), Result);

      ASSERT_EQ(P.Forwarded().Calls().size(), CallsBefore + 1);
      EXPECT_EQ(P.Forwarded().Calls().back().Slot, C.Slot);
      EXPECT_EQ(P.Forwarded().Calls().back().Argument, Data.Address);
      EXPECT_EQ(R.Get<uint64_t>(8), Result);
      const auto *V = FindValidation(Data.Address, C.DataSize, ValidationStart);
      ASSERT_NE(V, nullptr);
      EXPECT_EQ(V->Status, EFI_SUCCESS);
      EXPECT_EQ(std::memcmp(Data.Bytes, DataBefore.data(), C.DataSize), 0);
    }
  }
}

// A data block the validator refuses: the service is not called, Status keeps
// the dispatcher's unsupported, and the refusal is the result.
TEST_F(RequestHandlers, ForwardRefusedDataBlock) {
  sim::Platform &P = Booted();
  const sim::SmramRange Smram = P.Config().Firmware.Smram[0];
  struct Placement {
    const char *Name;
    uint64_t (*Address)(const sim::SmramRange &, uint64_t DataSize);
  } const Placements[] = {
      {"inside SMRAM", [](const sim::SmramRange &S, uint64_t) { return S.Base + 0x100; }},
      {"last byte in SMRAM", [](const sim::SmramRange &S, uint64_t Size) { return S.Base - Size + 1; }},
      {"first byte in SMRAM's last byte", [](const sim::SmramRange &S, uint64_t) { return S.Base + S.Size - 1; }},
      {"address 0", [](const sim::SmramRange &, uint64_t) { return uint64_t{0}; }},
      {"last bytes below 4 GiB", [](const sim::SmramRange &, uint64_t Size) { return 0x100000000 - Size; }},
  };
  for (const ForwardCase &C : kForwardCases) {
    for (const Placement &Where : Placements) {
      SCOPED_TRACE("function " + std::to_string(C.Function) + ", data " + Where.Name);
      const uint64_t DataAddress = Where.Address(Smram, C.DataSize);
      test::Request R = NewRequest("$GB1", C.Function);
      R.Set<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress), static_cast<uint32_t>(DataAddress));
      const size_t CallsBefore = P.Forwarded().Calls().size();
      const size_t ValidationStart = P.Fw().Validations().size();

      const EFI_STATUS Status = P.RaiseRequest(R.Address);

      const auto *V = FindValidation(DataAddress, C.DataSize, ValidationStart);
      ASSERT_NE(V, nullptr);
      EXPECT_TRUE(EfiError(V->Status));
      EXPECT_EQ(Status, V->Status);
      EXPECT_EQ(P.Forwarded().Calls().size(), CallsBefore);
      EXPECT_EQ(R.Get<uint64_t>(8), EFI_UNSUPPORTED);
      EXPECT_EQ(R.Get<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress)), static_cast<uint32_t>(DataAddress));
    }
  }
}

// Until the forwarded service is installed, every "$GB1" function answers
// EFI_NOT_READY in Status and as the result and calls nothing; the installation
// reaches the driver through its notification, and the next request is served.
TEST_F(RequestHandlers, ForwardBeforeServiceIsInstalled) {
  sim::PlatformConfig Config;
  Config.Forwarded = sim::Presence::Later;
  sim::Platform &P = Booted(Config);
  ASSERT_EQ(mForwardedService, nullptr);
  for (const ForwardCase &C : kForwardCases) {
    SCOPED_TRACE("function " + std::to_string(C.Function));
    test::Request R = ForwardRequestWithData(C.Function, C.DataSize);
    EXPECT_EQ(P.RaiseRequest(R.Address), EFI_NOT_READY);
    EXPECT_EQ(R.Get<uint64_t>(8), 0x8000000000000006u);
  }
  EXPECT_TRUE(P.Forwarded().Calls().empty());

  P.InstallLateForwardedService();
  P.Forwarded().Result = EFI_SUCCESS;
  for (const ForwardCase &C : kForwardCases) {
    SCOPED_TRACE("after installation, function " + std::to_string(C.Function));
    test::Request R = ForwardRequestWithData(C.Function, C.DataSize);
    EXPECT_EQ(P.RaiseRequest(R.Address), EFI_SUCCESS);
    EXPECT_EQ(R.Get<uint64_t>(8), EFI_SUCCESS);
    ASSERT_FALSE(P.Forwarded().Calls().empty());
    EXPECT_EQ(P.Forwarded().Calls().back().Slot, C.Slot);
    EXPECT_EQ(P.Forwarded().Calls().back().Argument, R.Get<uint32_t>(OFFSET_OF(FORWARD_REQUEST, DataAddress)));
  }
  EXPECT_EQ(P.Forwarded().Calls().size(), std::size(kForwardCases));
}

// ---- "$RCH" 1 -------------------------------------------------------------------

// The named byte becomes 1 whatever it held, by one write even when it already
// held 1; its neighbours stay; Status gets the validation status.
TEST_F(RequestHandlers, SetByteWritesOne) {
  sim::Platform &P = Booted();
  ASSERT_TRUE(sim::MemoryGuard::Works());
  const uint64_t Page = sim::MemoryGuard::PageSize();
  const uint8_t Initial[] = {0x00, 0x01, 0xFE};
  for (const uint8_t Value : Initial) {
    SCOPED_TRACE("byte held " + std::to_string(Value));
    // The byte in a page of its own, so that the guard sees its writes only.
    const uint64_t Area = P.Fw().AllocateLow(2 * Page);
    const uint64_t Target = ((Area + Page - 1) & ~(Page - 1)) + Page / 2;
    uint8_t *Bytes = P.Fw().Place(Target - 1, 3);
    const uint8_t Before[3] = {0x77, Value, 0x77};
    std::memcpy(Bytes, Before, sizeof Before);
    test::Request R = NewRequest("$RCH", 1);
    R.Set<uint32_t>(OFFSET_OF(SET_BYTE_REQUEST, ByteAddress), static_cast<uint32_t>(Target));
    R.Set<uint32_t>(OFFSET_OF(SET_BYTE_REQUEST, ByteAddress) + 4, 0xFFFFFFFF);
    const size_t ValidationStart = P.Fw().Validations().size();

    sim::MemoryGuard Guard;
    Guard.Watch(Target, 1, sim::MemoryGuard::Mode::Writes);
    Guard.Arm();
    const EFI_STATUS Status = P.RaiseRequest(R.Address);
    Guard.Disarm();

    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Bytes[0], 0x77);
    EXPECT_EQ(Bytes[1], 1);
    EXPECT_EQ(Bytes[2], 0x77);
    ASSERT_EQ(Guard.Accesses().size(), 1u);
    EXPECT_EQ(Guard.Accesses()[0].Address, Target);
    EXPECT_TRUE(Guard.Accesses()[0].Write);
    const auto *V = FindValidation(Target, 1, ValidationStart);
    ASSERT_NE(V, nullptr);
    EXPECT_EQ(R.Get<uint64_t>(8), V->Status);
    EXPECT_EQ(R.Get<uint64_t>(8), EFI_SUCCESS);
  }
}

// A byte the validator refuses is not written; Status keeps unsupported and the
// refusal is the result.
TEST_F(RequestHandlers, SetByteRefusedAddress) {
  sim::PlatformConfig Config;
  Config.Firmware.Smram = {{0x7B000000, 0x800000}, {0x7C000000, 0x100000}};
  sim::Platform &P = Booted(Config);
  struct Case {
    const char *Name;
    uint64_t Address;
  } const Cases[] = {
      {"first byte of the first SMRAM range", 0x7B000000}, {"inside the first SMRAM range", 0x7B400000},
      {"last byte of the first SMRAM range", 0x7B7FFFFF},  {"first byte of the second SMRAM range", 0x7C000000},
      {"last byte of the second SMRAM range", 0x7C0FFFFF}, {"address 0", 0},
      {"last byte below 4 GiB", 0xFFFFFFFF},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    const bool Mapped = P.M().IsKnownMemory(C.Address, 1);
    const uint8_t Held = Mapped ? *reinterpret_cast<const uint8_t *>(C.Address) : 0;
    test::Request R = NewRequest("$RCH", 1);
    R.Set<uint32_t>(OFFSET_OF(SET_BYTE_REQUEST, ByteAddress), static_cast<uint32_t>(C.Address));
    const size_t ValidationStart = P.Fw().Validations().size();

    const EFI_STATUS Status = P.RaiseRequest(R.Address);

    const auto *V = FindValidation(C.Address, 1, ValidationStart);
    ASSERT_NE(V, nullptr);
    EXPECT_TRUE(EfiError(V->Status));
    EXPECT_EQ(Status, V->Status);
    EXPECT_EQ(R.Get<uint64_t>(8), EFI_UNSUPPORTED);
    if (Mapped) {
      EXPECT_EQ(*reinterpret_cast<const uint8_t *>(C.Address), Held);
    }
  }
}

} // namespace
