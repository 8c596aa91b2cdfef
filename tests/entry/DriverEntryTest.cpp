// Driver entry, start-up sequence, teardown and the pool layer, seen from the
// firmware: statuses, registrations left behind, pool memory.
#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "entry/DriverEntry.h"
#include "smi/SmiDispatch.h"

using test::CallsMatching;

namespace {

class DriverEntry : public test::PlatformTest {};

TEST_F(DriverEntry, LoadsAndStaysResident) {
  sim::Platform &P = Make();
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  EXPECT_EQ(mEntryStatus, EFI_SUCCESS);
  EXPECT_EQ(mSmst, P.Fw().Smst());
  EXPECT_EQ(mDiagnosticsEnabled, 1);
  EXPECT_NE(mBufferValidation, nullptr);
  // The SMRAM map stays allocated, inside SMRAM, and describes its one range.
  EXPECT_EQ(P.Fw().LivePoolAllocations(), 1u);
  EXPECT_TRUE(P.Fw().InsideSmram(reinterpret_cast<uint64_t>(mSmramDescriptors)));
  ASSERT_EQ(mSmramDescriptorCount, 1u);
  EXPECT_EQ(mSmramDescriptors[0].CpuStart, P.Config().Firmware.Smram[0].Base);
  EXPECT_EQ(P.Fw().PoolTypes().at(0), EfiRuntimeServicesData);
  EXPECT_EQ(P.Fw().SwHandlerCount(0x90), 1u);
  EXPECT_EQ(P.Fw().SmmFreePoolCalls(), 0u);
  // Size query first, then the filled map.
  EXPECT_EQ(CallsMatching(P, "GetCapabilities"), 2u);
}

struct EntryFailure {
  const char *Name;
  void (*Break)(sim::FirmwareConfig &);
  EFI_STATUS Expected;
  bool MapAllocated; // the SMRAM map existed and must be freed by the teardown
};

const EntryFailure kEntryFailures[] = {
    {"no SW dispatch", [](sim::FirmwareConfig &C) { C.SwDispatch = false; }, EFI_NOT_FOUND, true},
    {"no SMM CPU", [](sim::FirmwareConfig &C) { C.SmmCpu = false; }, EFI_NOT_FOUND, true},
    {"no SMM base", [](sim::FirmwareConfig &C) { C.SmmBase2 = false; }, EFI_NOT_FOUND, false},
    {"GetSmstLocation fails", [](sim::FirmwareConfig &C) { C.GetSmstFails = true; }, EFI_INVALID_PARAMETER, false},
    {"no SMM access", [](sim::FirmwareConfig &C) { C.SmmAccess2 = false; }, EFI_NOT_FOUND, false},
    {"no pool for the SMRAM map", [](sim::FirmwareConfig &C) { C.FailPoolAllocation = 1; }, EFI_OUT_OF_RESOURCES,
     false},
};

class DriverEntryFailure : public test::PlatformTest, public ::testing::WithParamInterface<EntryFailure> {};

TEST_P(DriverEntryFailure, FailsCleanly) {
  sim::PlatformConfig Config;
  GetParam().Break(Config.Firmware);
  sim::Platform &P = Make(Config);
  EXPECT_EQ(P.Boot(), GetParam().Expected);
  EXPECT_EQ(mEntryStatus, GetParam().Expected);
  // Nothing is left that could run against the failed driver, and the map,
  // which lies in SMRAM, went back through SmmFreePool.
  EXPECT_EQ(P.Fw().SwHandlerCount(0x90), 0u);
  EXPECT_EQ(P.Fw().LivePoolAllocations(), 0u);
  EXPECT_EQ(P.Fw().SmmFreePoolCalls(), GetParam().MapAllocated ? 1u : 0u);
  EXPECT_EQ(P.Fw().FreePoolCalls(), 0u);
  if (!GetParam().MapAllocated) {
    // The sequence stopped before anything could register a notification.
    EXPECT_EQ(P.Fw().PendingNotifications(SPI_MAILBOX_PROTOCOL_GUID), 0u);
    EXPECT_EQ(P.Fw().PendingNotifications(FORWARDED_SERVICE_PROTOCOL_GUID), 0u);
    EXPECT_EQ(P.M().Log().Spi.size(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverEntryFailure, ::testing::ValuesIn(kEntryFailures),
                         [](const auto &Info) {
                           std::string S = Info.param.Name;
                           for (char &C : S) {
                             C = std::isalnum(static_cast<unsigned char>(C)) ? C : '_';
                           }
                           return S;
                         });

struct PcdCase {
  bool Pcd, EfiPcd;
  uint8_t Flag;
  size_t EfiPcdLookups;
};

class Diagnostics : public test::PlatformTest, public ::testing::WithParamInterface<PcdCase> {};

TEST_P(Diagnostics, FlagNeedsBothPcdProtocols) {
  sim::PlatformConfig Config;
  Config.Firmware.Pcd = GetParam().Pcd;
  Config.Firmware.EfiPcd = GetParam().EfiPcd;
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  EXPECT_EQ(mDiagnosticsEnabled, GetParam().Flag);
  EXPECT_EQ(CallsMatching(P, "LocateProtocol EFI_PCD_PROTOCOL"), GetParam().EfiPcdLookups);
}

INSTANTIATE_TEST_SUITE_P(Cases, Diagnostics,
                         ::testing::Values(PcdCase{true, true, 1, 1}, PcdCase{false, true, 0, 0},
                                           PcdCase{true, false, 0, 1}, PcdCase{false, false, 0, 0}));

// A lookup that succeeds with a null interface is treated as not found,
// never called through.
class NullInterface : public test::PlatformTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NullInterface, IsNotFound) {
  const bool CpuProtocol = GetParam();
  const EFI_GUID &Guid = CpuProtocol ? EFI_SMM_CPU_PROTOCOL_GUID : EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  sim::PlatformConfig Config;
  Config.Firmware.SwDispatch = CpuProtocol;
  Config.Firmware.SmmCpu = !CpuProtocol;
  sim::Platform &P = Make(Config);
  P.Fw().SmmInstallProtocol(Guid, nullptr);
  EXPECT_EQ(P.Boot(), EFI_NOT_FOUND);
  EXPECT_EQ(P.Fw().SwHandlerCount(0x90), 0u);
  EXPECT_EQ(P.Fw().LivePoolAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, NullInterface, ::testing::Values(false, true),
                         [](const auto &Info) { return std::string(Info.param ? "SmmCpu" : "SwDispatch"); });

TEST_F(DriverEntry, NoBufferValidationStillLoads) {
  sim::PlatformConfig Config;
  Config.Firmware.BufferValidation = false;
  sim::Platform &P = Make(Config);
  EXPECT_EQ(P.Boot(), EFI_SUCCESS);
  EXPECT_EQ(mBufferValidation, nullptr);
}

// The forwarded service's notification cannot be registered: the entry fails,
// and the SMI handler it had registered is taken back.
EFI_SMM_REGISTER_PROTOCOL_NOTIFY gRealRegisterNotify = nullptr;
EFI_STATUS EFIAPI RefuseForwardedNotify(IN CONST EFI_GUID *Protocol, IN EFI_SMM_NOTIFY_FN Function,
                                        OUT VOID **Registration) {
  if (Protocol != nullptr && GuidEqual(*Protocol, FORWARDED_SERVICE_PROTOCOL_GUID)) {
    return EFI_OUT_OF_RESOURCES;
  }
  return gRealRegisterNotify(Protocol, Function, Registration);
}

TEST_F(DriverEntry, ForwardedNotifyFailureUnregistersHandler) {
  sim::PlatformConfig Config;
  Config.Forwarded = sim::Presence::Absent;
  sim::Platform &P = Make(Config);
  gRealRegisterNotify = P.Fw().Smst()->SmmRegisterProtocolNotify;
  P.Fw().Smst()->SmmRegisterProtocolNotify = RefuseForwardedNotify;
  EXPECT_EQ(P.Boot(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(P.Fw().UnRegisterCalls(), 1u);
  EXPECT_EQ(P.Fw().SwHandlerCount(0x90), 0u);
  EXPECT_EQ(P.Fw().LivePoolAllocations(), 0u);
  P.Fw().Smst()->SmmRegisterProtocolNotify = gRealRegisterNotify;
}

TEST_F(DriverEntry, ForwardedServiceFoundLaterByNotification) {
  sim::PlatformConfig Config;
  Config.Forwarded = sim::Presence::Later;
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  EXPECT_EQ(mForwardedService, nullptr);
  EXPECT_EQ(P.Fw().PendingNotifications(FORWARDED_SERVICE_PROTOCOL_GUID), 1u);
  P.InstallLateForwardedService();
  EXPECT_EQ(mForwardedService, P.Forwarded().Protocol());
  // The notification stays: a later installation is picked up again.
  EXPECT_EQ(P.Fw().PendingNotifications(FORWARDED_SERVICE_PROTOCOL_GUID), 1u);
}

TEST_F(DriverEntry, IsInsideSmramAtTheEdges) {
  EFI_SMRAM_DESCRIPTOR Ranges[2] = {{0x1000, 0x7B000000, 0x100000, 0}, {0, 0x7C000000, 0x1000, 0}};
  mSmramDescriptors = Ranges;
  mSmramDescriptorCount = 2;
  struct {
    uint64_t Address;
    BOOLEAN Inside;
  } const Cases[] = {
      {0x7B000000, 1}, {0x7B0FFFFF, 1}, {0x7B100000, 0}, {0x7AFFFFFF, 0},
      {0x7C000FFF, 1}, {0x7C001000, 0}, {0, 0},          {~0ULL, 0},
  };
  for (const auto &C : Cases) {
    EXPECT_EQ(IsInsideSmram(C.Address), C.Inside) << std::hex << C.Address;
  }
  // Only the first mSmramDescriptorCount entries count; none with a count of 0.
  mSmramDescriptorCount = 1;
  EXPECT_EQ(IsInsideSmram(0x7C000000), 0);
  mSmramDescriptorCount = 0;
  EXPECT_EQ(IsInsideSmram(0x7B000000), 0);
  mSmramDescriptors = nullptr;
}

TEST_F(DriverEntry, PoolLayer) {
  sim::Platform &P = Make();
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  VOID *Buffer = AllocateDriverPool(64);
  ASSERT_NE(Buffer, nullptr);
  EXPECT_TRUE(P.Fw().InsideSmram(reinterpret_cast<uint64_t>(Buffer)));
  FreeDriverPool(Buffer);
  EXPECT_EQ(P.Fw().SmmFreePoolCalls(), 1u);
  EXPECT_EQ(P.Fw().FreePoolCalls(), 0u);
  // A failing SmmAllocatePool gives null.
  P.Fw().Config().FailPoolAllocation = P.Fw().SmmAllocatePoolCalls() + 1;
  EXPECT_EQ(AllocateDriverPool(64), nullptr);
}

} // namespace
