// The simulated firmware against the UEFI and PI behaviour the driver relies
// on, and its knobs to misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Firmware.h"

static std::vector<std::string> CallLines(sim::Machine &M) {
  std::vector<std::string> Lines;
  for (const sim::TraceEvent &E : M.Log().Events) {
    if (E.Kind == sim::EventKind::Call) {
      Lines.push_back(E.Text);
    }
  }
  return Lines;
}

static bool Traced(sim::Machine &M, const std::string &Line) {
  std::vector<std::string> Lines = CallLines(M);
  return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
}

template <class T> static T *Locate(sim::Firmware &F, EFI_GUID Guid) {
  void *Interface = nullptr;
  EXPECT_EQ(F.SystemTable()->BootServices->LocateProtocol(&Guid, nullptr, &Interface), EFI_SUCCESS);
  return static_cast<T *>(Interface);
}

template <class T> static T *SmmLocate(sim::Firmware &F, EFI_GUID Guid) {
  void *Interface = nullptr;
  EXPECT_EQ(F.Smst()->SmmLocateProtocol(&Guid, nullptr, &Interface), EFI_SUCCESS);
  return static_cast<T *>(Interface);
}

TEST(Firmware, KnobsLeaveProtocolsOutAndGetSmstLocationFails) {
  sim::Machine M(sim::CpuConfig{});
  sim::FirmwareConfig Config;
  Config.GetSmstFails = true;
  Config.Pcd = false;
  Config.SmmCpu = false;
  Config.BufferValidation = false;
  sim::Firmware F(M, Config);
  EFI_BOOT_SERVICES *Bs = F.SystemTable()->BootServices;

  EFI_GUID Pcd = PCD_PROTOCOL_GUID;
  void *Interface = &Config;
  EXPECT_EQ(Bs->LocateProtocol(&Pcd, nullptr, &Interface), EFI_NOT_FOUND);
  EXPECT_EQ(Interface, nullptr);
  EXPECT_NE(Locate<void>(F, EFI_PCD_PROTOCOL_GUID), nullptr);
  for (EFI_GUID Absent : {EFI_SMM_CPU_PROTOCOL_GUID, SMM_BUFFER_VALIDATION_PROTOCOL_GUID}) {
    EXPECT_EQ(F.Smst()->SmmLocateProtocol(&Absent, nullptr, &Interface), EFI_NOT_FOUND);
  }
  EXPECT_NE(SmmLocate<void>(F, EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID), nullptr);

  auto *Base2 = Locate<EFI_SMM_BASE2_PROTOCOL>(F, EFI_SMM_BASE2_PROTOCOL_GUID);
  ASSERT_EQ(Base2, F.SmmBase2());
  EFI_SMM_SYSTEM_TABLE2 *Smst = nullptr;
  EXPECT_EQ(Base2->GetSmstLocation(Base2, &Smst), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Smst, nullptr);
  F.Config().GetSmstFails = false;
  EXPECT_EQ(Base2->GetSmstLocation(Base2, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Base2->GetSmstLocation(Base2, &Smst), EFI_SUCCESS);
  EXPECT_EQ(Smst, F.Smst());
  EXPECT_EQ(Smst->NumberOfCpus, Config.CpuCount);

  EXPECT_EQ(F.SystemTable()->NumberOfTableEntries, 0u);
  int Hobs = 0;
  F.AddConfigurationTable(EFI_HOB_LIST_GUID, &Hobs);
  ASSERT_EQ(F.SystemTable()->NumberOfTableEntries, 1u);
  EXPECT_TRUE(GuidEqual(F.SystemTable()->ConfigurationTable[0].VendorGuid, EFI_HOB_LIST_GUID));
  EXPECT_EQ(F.SystemTable()->ConfigurationTable[0].VendorTable, &Hobs);

  EXPECT_TRUE(Traced(M, "LocateProtocol PCD_PROTOCOL -> EFI_NOT_FOUND"));
  EXPECT_TRUE(Traced(M, "SmmLocateProtocol EFI_SMM_CPU_PROTOCOL -> EFI_NOT_FOUND"));
  EXPECT_TRUE(Traced(M, "GetSmstLocation -> EFI_INVALID_PARAMETER"));
  EXPECT_TRUE(M.Faults().empty());
}

TEST(Firmware, SmramMapAnswersTheSizeQueryThenFillsTheDescriptors) {
  sim::Machine M(sim::CpuConfig{});
  sim::FirmwareConfig Config;
  Config.Smram = {{0x7B000000, 0x00800000}, {0x7C000000, 0x00100000}};
  sim::Firmware F(M, Config);
  auto *Access = Locate<EFI_SMM_ACCESS2_PROTOCOL>(F, EFI_SMM_ACCESS2_PROTOCOL_GUID);
  ASSERT_NE(Access, nullptr);
  constexpr UINTN Needed = 2 * sizeof(EFI_SMRAM_DESCRIPTOR);

  UINTN Size = 0;
  EXPECT_EQ(Access->GetCapabilities(Access, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, Needed);

  EFI_SMRAM_DESCRIPTOR Map[3];
  std::memset(Map, 0xCC, sizeof Map);
  Size = Needed - 1;
  EXPECT_EQ(Access->GetCapabilities(Access, &Size, Map), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, Needed);
  EXPECT_EQ(Map[0].CpuStart, 0xCCCCCCCCCCCCCCCCull);

  Size = sizeof Map;
  ASSERT_EQ(Access->GetCapabilities(Access, &Size, Map), EFI_SUCCESS);
  EXPECT_EQ(Size, Needed);
  for (size_t Index = 0; Index < Config.Smram.size(); Index++) {
    SCOPED_TRACE(Index);
    EXPECT_EQ(Map[Index].PhysicalStart, Config.Smram[Index].Base);
    EXPECT_EQ(Map[Index].CpuStart, Config.Smram[Index].Base);
    EXPECT_EQ(Map[Index].PhysicalSize, Config.Smram[Index].Size);
    EXPECT_EQ(Map[Index].RegionState, sim::EFI_SMRAM_CLOSED | sim::EFI_CACHEABLE);
  }
  EXPECT_EQ(Map[2].CpuStart, 0xCCCCCCCCCCCCCCCCull);
  EXPECT_TRUE(Traced(M, "GetCapabilities size 0x0 -> EFI_BUFFER_TOO_SMALL"));
  EXPECT_TRUE(Traced(M, "GetCapabilities size 0x60 -> EFI_SUCCESS"));
}

static std::vector<std::string> gNotified;
static void *gNotifiedInterface;
static EFI_HANDLE gNotifiedHandle;
static void *gSelfCancelling;

static EFI_STATUS EFIAPI NotifyFirst(const EFI_GUID *Protocol, VOID *Interface, EFI_HANDLE Handle) {
  gNotified.push_back(GuidEqual(*Protocol, EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID) ? "first" : "first, wrong GUID");
  gNotifiedInterface = Interface;
  gNotifiedHandle = Handle;
  return EFI_SUCCESS;
}

// Cancels itself once it has run, as a notification that has done its work does.
static EFI_STATUS EFIAPI NotifySecond(const EFI_GUID *Protocol, VOID *, EFI_HANDLE) {
  gNotified.push_back("second");
  return sim::Firmware::Current().Smst()->SmmRegisterProtocolNotify(Protocol, nullptr, &gSelfCancelling);
}

static EFI_STATUS EFIAPI NotifyOther(const EFI_GUID *, VOID *, EFI_HANDLE) {
  gNotified.push_back("other");
  return EFI_SUCCESS;
}

TEST(Firmware, NotificationsRunInRegistrationOrderUntilCancelled) {
  sim::Machine M(sim::CpuConfig{});
  sim::FirmwareConfig Config;
  Config.SwDispatch = false;
  sim::Firmware F(M, Config);
  EFI_SMM_SYSTEM_TABLE2 *Smst = F.Smst();
  const EFI_GUID Dispatch = EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID;
  EFI_GUID Lookup = Dispatch;
  void *Interface = nullptr;
  EXPECT_EQ(Smst->SmmLocateProtocol(&Lookup, nullptr, &Interface), EFI_NOT_FOUND);

  void *First = nullptr, *Other = nullptr;
  ASSERT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, NotifyFirst, &First), EFI_SUCCESS);
  ASSERT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, NotifySecond, &gSelfCancelling), EFI_SUCCESS);
  ASSERT_EQ(Smst->SmmRegisterProtocolNotify(&ROM_ARMOR_FLASH_PROTOCOL_GUID, NotifyOther, &Other), EFI_SUCCESS);
  EXPECT_NE(First, gSelfCancelling);
  EXPECT_EQ(F.PendingNotifications(Dispatch), 2u);
  EXPECT_TRUE(gNotified.empty());

  ASSERT_EQ(F.SmmInstallProtocol(Dispatch, F.SwDispatch()), EFI_SUCCESS);
  EXPECT_EQ(gNotified, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(gNotifiedInterface, F.SwDispatch());
  EXPECT_NE(gNotifiedHandle, nullptr);
  EXPECT_EQ(F.PendingNotifications(Dispatch), 1u);
  EXPECT_EQ(Smst->SmmLocateProtocol(&Lookup, nullptr, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, F.SwDispatch());

  EXPECT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, nullptr, &Other), EFI_NOT_FOUND);
  EXPECT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, nullptr, &First), EFI_SUCCESS);
  EXPECT_EQ(Smst->SmmRegisterProtocolNotify(&Dispatch, nullptr, &First), EFI_NOT_FOUND);
  EXPECT_EQ(F.PendingNotifications(Dispatch), 0u);
  EXPECT_EQ(F.PendingNotifications(ROM_ARMOR_FLASH_PROTOCOL_GUID), 1u);

  ASSERT_EQ(F.SmmInstallProtocol(Dispatch, F.SwDispatch()), EFI_SUCCESS);
  EXPECT_EQ(gNotified.size(), 2u);

  std::vector<std::string> Lines = CallLines(M);
  auto Install =
      std::find(Lines.begin(), Lines.end(), "SmmInstallProtocolInterface EFI_SMM_SW_DISPATCH2_PROTOCOL -> EFI_SUCCESS");
  ASSERT_GE(Lines.end() - Install, 4);
  EXPECT_EQ(Install[1], "notify EFI_SMM_SW_DISPATCH2_PROTOCOL -> EFI_SUCCESS");
  EXPECT_EQ(Install[2], "SmmRegisterProtocolNotify EFI_SMM_SW_DISPATCH2_PROTOCOL cancel -> EFI_SUCCESS");
  EXPECT_EQ(Install[3], "notify EFI_SMM_SW_DISPATCH2_PROTOCOL -> EFI_SUCCESS");
}

TEST(Firmware, TheNthPoolAllocationFailsAndFreedBlocksAreReused) {
  sim::Machine M(sim::CpuConfig{});
  sim::FirmwareConfig Config;
  Config.FailPoolAllocation = 3;
  sim::Firmware F(M, Config);
  EFI_SMM_SYSTEM_TABLE2 *Smst = F.Smst();

  void *A = nullptr, *B = nullptr, *C = &Config, *D = nullptr;
  ASSERT_EQ(Smst->SmmAllocatePool(EfiRuntimeServicesData, 0x20, &A), EFI_SUCCESS);
  ASSERT_EQ(Smst->SmmAllocatePool(EfiRuntimeServicesData, 0x100, &B), EFI_SUCCESS);
  EXPECT_EQ(Smst->SmmAllocatePool(EfiRuntimeServicesData, 0x20, &C), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(C, &Config);
  ASSERT_EQ(Smst->SmmAllocatePool(EfiBootServicesData, 0x40, &D), EFI_SUCCESS);
  const uint64_t Blocks[][2] = {{reinterpret_cast<uint64_t>(A), 0x20},
                                {reinterpret_cast<uint64_t>(B), 0x100},
                                {reinterpret_cast<uint64_t>(D), 0x40}};
  for (const auto &Block : Blocks) {
    EXPECT_TRUE(F.InsideSmram(Block[0]));
    EXPECT_TRUE(F.InsideSmram(Block[0] + Block[1] - 1));
    for (const auto &Another : Blocks) {
      EXPECT_TRUE(Block[0] == Another[0] || Block[0] + Block[1] <= Another[0] || Another[0] + Another[1] <= Block[0]);
    }
  }
  EXPECT_EQ(F.LivePoolAllocations(), 3u);
  EXPECT_EQ(F.SmmAllocatePoolCalls(), 4u);
  EXPECT_EQ(F.PoolTypes().back(), EfiBootServicesData);

  EXPECT_EQ(Smst->SmmFreePool(A), EFI_SUCCESS);
  EXPECT_EQ(Smst->SmmFreePool(static_cast<uint8_t *>(B) + 16), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Smst->SmmFreePool(A), EFI_INVALID_PARAMETER);
  void *Again = nullptr;
  ASSERT_EQ(Smst->SmmAllocatePool(EfiRuntimeServicesData, 0x18, &Again), EFI_SUCCESS);
  EXPECT_EQ(Again, A);
  EXPECT_EQ(F.LivePoolAllocations(), 3u);
  EXPECT_EQ(F.SmmFreePoolCalls(), 3u);

  EXPECT_EQ(F.SystemTable()->BootServices->FreePool(reinterpret_cast<void *>(F.AllocateLow(16))), EFI_SUCCESS);
  EXPECT_TRUE(M.Faults().empty());
  F.SystemTable()->BootServices->FreePool(B);
  EXPECT_EQ(F.FreePoolCalls(), 2u);
  ASSERT_EQ(M.Faults().size(), 1u);
  EXPECT_NE(M.Faults()[0].find("FreePool of SMRAM buffer"), std::string::npos);
  EXPECT_EQ(F.LivePoolAllocations(), 3u);
}

TEST(Firmware, ValidatorRefusesSmramWrapsAndUnknownMemory) {
  sim::Machine M(sim::CpuConfig{});
  sim::Firmware F(M, sim::FirmwareConfig{});
  auto *Validator = SmmLocate<SMM_BUFFER_VALIDATION_PROTOCOL>(F, SMM_BUFFER_VALIDATION_PROTOCOL_GUID);
  ASSERT_NE(Validator, nullptr);
  const uint64_t Base = F.Config().Smram[0].Base;
  const uint64_t End = Base + F.Config().Smram[0].Size;
  const uint64_t Low = F.AllocateLow(32);
  const uint64_t High = F.AllocateHigh(32);
  const uint64_t Unmapped = sim::kLowArenaBase + sim::kLowArenaSize + 0x100000;
  std::memset(F.Place(Base - 16, 32), 0x5A, 32);

  struct Case {
    const char *Name;
    uint64_t Address, Size;
    EFI_STATUS Expected;
  };
  const Case Cases[] = {
      {"low arena", Low, 32, EFI_SUCCESS},
      {"high arena", High, 32, EFI_SUCCESS},
      {"ends right at SMRAM", Base - 32, 32, EFI_SUCCESS},
      {"across the lower SMRAM edge", Base - 16, 32, EFI_ACCESS_DENIED},
      {"inside SMRAM", Base + 0x1000, 32, EFI_ACCESS_DENIED},
      {"across the upper SMRAM edge", End - 16, 32, EFI_ACCESS_DENIED},
      {"starts right after SMRAM", End, 32, EFI_SUCCESS},
      {"wraps past 2^64", 0xFFFFFFFFFFFFFFF0ull, 0x20, EFI_ACCESS_DENIED},
      {"size wraps from a known address", Low, ~0ull, EFI_ACCESS_DENIED},
      {"unmapped", Unmapped, 32, EFI_ACCESS_DENIED},
      {"past the end of the low arena", sim::kLowArenaBase + sim::kLowArenaSize - 16, 32, EFI_ACCESS_DENIED},
      {"the firmware's own system table", reinterpret_cast<uint64_t>(F.SystemTable()), sizeof(EFI_SYSTEM_TABLE),
       EFI_ACCESS_DENIED},
      {"empty at a known address", Low, 0, EFI_SUCCESS},
      {"empty at an unmapped address", Unmapped, 0, EFI_ACCESS_DENIED},
      {"empty at the SMRAM base", Base, 0, EFI_ACCESS_DENIED},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(Validator->ValidateBuffer(C.Address, C.Size), C.Expected) << C.Name;
  }
  F.RefuseAllValidation(true);
  for (const Case &C : Cases) {
    EXPECT_EQ(Validator->ValidateBuffer(C.Address, C.Size), EFI_ACCESS_DENIED) << "refusing all: " << C.Name;
  }

  const size_t Count = std::size(Cases);
  ASSERT_EQ(F.Validations().size(), 2 * Count);
  for (size_t Index = 0; Index < 2 * Count; Index++) {
    const Case &C = Cases[Index % Count];
    const sim::Firmware::Validation &V = F.Validations()[Index];
    EXPECT_EQ(V.Address, C.Address) << C.Name;
    EXPECT_EQ(V.Size, C.Size) << C.Name;
    EXPECT_EQ(V.Status, Index < Count ? C.Expected : EFI_ACCESS_DENIED) << C.Name;
  }
  EXPECT_TRUE(Traced(M, "ValidateBuffer 0x7AFFFFF0 size 0x20 -> EFI_ACCESS_DENIED"));
}

struct SeenSmi {
  unsigned Calls = 0;
  EFI_HANDLE DispatchHandle = nullptr;
  UINTN RegisteredValue = 0;
  EFI_SMM_SW_CONTEXT Context{};
  UINTN Size = 0;
  uint64_t ContextAddress = 0, SizeAddress = 0;
  uint64_t Rbx4 = 0, Rbx8 = 0, Rcx4 = 0, Rcx8 = 0;
  EFI_STATUS ReadStatus[4] = {};
};
static SeenSmi gSeen;
constexpr EFI_STATUS kHandlerStatus = EFI_NOT_READY;
constexpr uint64_t kUntouched = 0xEEEEEEEEEEEEEEEEull;

static EFI_STATUS EFIAPI RecordingHandler(EFI_HANDLE DispatchHandle, const VOID *Context, VOID *CommBuffer,
                                          UINTN *CommBufferSize) {
  gSeen.Calls++;
  gSeen.DispatchHandle = DispatchHandle;
  gSeen.RegisteredValue = static_cast<const EFI_SMM_SW_REGISTER_CONTEXT *>(Context)->SwSmiInputValue;
  gSeen.Context = *static_cast<EFI_SMM_SW_CONTEXT *>(CommBuffer);
  gSeen.Size = *CommBufferSize;
  gSeen.ContextAddress = reinterpret_cast<uint64_t>(CommBuffer);
  gSeen.SizeAddress = reinterpret_cast<uint64_t>(CommBufferSize);
  EFI_GUID Guid = EFI_SMM_CPU_PROTOCOL_GUID;
  void *Interface = nullptr;
  sim::Firmware::Current().Smst()->SmmLocateProtocol(&Guid, nullptr, &Interface);
  auto *Cpu = static_cast<EFI_SMM_CPU_PROTOCOL *>(Interface);
  struct Read {
    UINTN Width;
    EFI_SMM_SAVE_STATE_REGISTER Register;
    uint64_t *Into;
  };
  const Read Reads[] = {{4, EFI_SMM_SAVE_STATE_REGISTER_RBX, &gSeen.Rbx4},
                        {8, EFI_SMM_SAVE_STATE_REGISTER_RBX, &gSeen.Rbx8},
                        {4, EFI_SMM_SAVE_STATE_REGISTER_RCX, &gSeen.Rcx4},
                        {8, EFI_SMM_SAVE_STATE_REGISTER_RCX, &gSeen.Rcx8}};
  for (size_t Index = 0; Index < std::size(Reads); Index++) {
    *Reads[Index].Into = kUntouched;
    gSeen.ReadStatus[Index] = Cpu->ReadSaveState(Cpu, Reads[Index].Width, Reads[Index].Register,
                                                 gSeen.Context.SwSmiCpuIndex, Reads[Index].Into);
  }
  return kHandlerStatus;
}

TEST(Firmware, SwSmiDispatchPassesItsContextAndSavedRegisters) {
  sim::Machine M(sim::CpuConfig{});
  sim::Firmware F(M, sim::FirmwareConfig{});
  auto *Dispatch = SmmLocate<EFI_SMM_SW_DISPATCH2_PROTOCOL>(F, EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID);
  ASSERT_NE(Dispatch, nullptr);
  EXPECT_EQ(Dispatch->MaximumSwiValue, 0xFFu);

  EFI_SMM_SW_REGISTER_CONTEXT Register = {.SwSmiInputValue = 0x90};
  EFI_HANDLE Handle = nullptr, Refused = nullptr;
  ASSERT_EQ(Dispatch->Register(Dispatch, RecordingHandler, &Register, &Handle), EFI_SUCCESS);
  EXPECT_EQ(Dispatch->Register(Dispatch, RecordingHandler, &Register, &Refused), EFI_INVALID_PARAMETER);
  EFI_SMM_SW_REGISTER_CONTEXT TooBig = {.SwSmiInputValue = 0x100};
  EXPECT_EQ(Dispatch->Register(Dispatch, RecordingHandler, &TooBig, &Refused), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Refused, nullptr);
  ASSERT_EQ(F.SwHandlers().size(), 1u);
  EXPECT_EQ(F.SwHandlers()[0].Handler, &RecordingHandler);
  EXPECT_EQ(F.SwHandlers()[0].DispatchHandle, Handle);

  EXPECT_EQ(F.RaiseSwSmi(0x90, 2, 0xAAAABBBB12345678ull, 0xCCCCDDDD00000001ull, 0x5A), kHandlerStatus);
  ASSERT_EQ(gSeen.Calls, 1u);
  EXPECT_EQ(gSeen.DispatchHandle, Handle);
  EXPECT_EQ(gSeen.RegisteredValue, 0x90u);
  EXPECT_EQ(gSeen.Context.SwSmiCpuIndex, 2u);
  EXPECT_EQ(gSeen.Context.CommandPort, 0x90);
  EXPECT_EQ(gSeen.Context.DataPort, 0x5A);
  EXPECT_EQ(gSeen.Size, sizeof(EFI_SMM_SW_CONTEXT));
  EXPECT_TRUE(F.InsideSmram(gSeen.ContextAddress));
  EXPECT_TRUE(F.InsideSmram(gSeen.SizeAddress));
  for (EFI_STATUS Status : gSeen.ReadStatus) {
    EXPECT_EQ(Status, EFI_SUCCESS);
  }
  EXPECT_EQ(gSeen.Rbx4, 0xEEEEEEEE12345678ull);
  EXPECT_EQ(gSeen.Rbx8, 0xAAAABBBB12345678ull);
  EXPECT_EQ(gSeen.Rcx4, 0xEEEEEEEE00000001ull);
  EXPECT_EQ(gSeen.Rcx8, 0xCCCCDDDD00000001ull);
  EXPECT_EQ(F.SaveStateReads(), 4u);
  EXPECT_EQ(M.Log().Count(sim::EventKind::Smi), 1u);
  EXPECT_EQ(M.Log().Events.back().Text, "SW SMI handler 0x90 -> EFI_NOT_READY");

  struct BadRead {
    UINTN Width;
    UINT32 Register;
    UINTN Cpu;
    EFI_STATUS Expected;
  };
  const BadRead BadReads[] = {
      {4, EFI_SMM_SAVE_STATE_REGISTER_RBX, F.Config().CpuCount, EFI_INVALID_PARAMETER},
      {2, EFI_SMM_SAVE_STATE_REGISTER_RBX, 0, EFI_INVALID_PARAMETER},
      {8, EFI_SMM_SAVE_STATE_REGISTER_RBX - 1, 0, EFI_UNSUPPORTED},
  };
  EFI_SMM_CPU_PROTOCOL *Cpu = F.SmmCpu();
  for (const BadRead &R : BadReads) {
    uint64_t Value = kUntouched;
    EXPECT_EQ(Cpu->ReadSaveState(Cpu, R.Width, static_cast<EFI_SMM_SAVE_STATE_REGISTER>(R.Register), R.Cpu, &Value),
              R.Expected);
    EXPECT_EQ(Value, kUntouched);
  }
  EXPECT_EQ(F.SaveStateReads(), 7u);

  EXPECT_EQ(F.RaiseSwSmi(0x91, 0, 0, 0), EFI_NOT_FOUND);
  EXPECT_EQ(Dispatch->UnRegister(Dispatch, Handle), EFI_SUCCESS);
  EXPECT_EQ(Dispatch->UnRegister(Dispatch, Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(F.UnRegisterCalls(), 2u);
  EXPECT_EQ(F.SwHandlerCount(0x90), 0u);
  EXPECT_EQ(F.RaiseSwSmi(0x90, 0, 0, 0), EFI_NOT_FOUND);
  EXPECT_EQ(gSeen.Calls, 1u);
}

TEST(Firmware, EverySlotTheDriverDoesNotUseRecordsAFault) {
  sim::Machine M(sim::CpuConfig{});
  sim::Firmware F(M, sim::FirmwareConfig{});
  typedef EFI_STATUS(EFIAPI * SLOT)();
  auto SlotsFilled = [](const void *Table, size_t Size, size_t Skip) {
    for (size_t Offset = sizeof(EFI_TABLE_HEADER); Offset < Size; Offset += sizeof(SLOT)) {
      SLOT Slot;
      std::memcpy(&Slot, static_cast<const uint8_t *>(Table) + Offset, sizeof Slot);
      if (Offset != Skip && Slot == nullptr) {
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(
      SlotsFilled(F.SystemTable()->BootServices, sizeof(EFI_BOOT_SERVICES), OFFSET_OF(EFI_BOOT_SERVICES, Reserved)));
  EXPECT_TRUE(SlotsFilled(F.SystemTable()->RuntimeServices, sizeof(EFI_RUNTIME_SERVICES), 0));

  const EFI_UNUSED_SERVICE Unused[] = {F.SystemTable()->BootServices->AllocatePool, F.Smst()->SmmIo.IoRead,
                                       F.SmmAccess2()->Lock};
  for (EFI_UNUSED_SERVICE Service : Unused) {
    SLOT Slot;
    std::memcpy(&Slot, &Service, sizeof Slot);
    EXPECT_EQ(Slot(), EFI_UNSUPPORTED);
  }
  EXPECT_EQ(M.Faults(), (std::vector<std::string>{"unexpected call of EFI_BOOT_SERVICES.AllocatePool",
                                                  "unexpected call of EFI_SMM_SYSTEM_TABLE2.SmmIo.IoRead",
                                                  "unexpected call of EFI_SMM_ACCESS2_PROTOCOL.Lock"}));
}
