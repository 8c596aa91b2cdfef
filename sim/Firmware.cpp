#include "Firmware.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace sim {

namespace {

Firmware *gCurrent = nullptr;

[[noreturn]] void ConfigError(const std::string &What) {
  std::fprintf(stderr, "sim: firmware: %s\n", What.c_str());
  std::abort();
}

std::string Hex(uint64_t Value) {
  char B[24];
  std::snprintf(B, sizeof B, "0x%llX", static_cast<unsigned long long>(Value));
  return B;
}

// Table header signatures from the UEFI and PI specifications.
constexpr uint64_t kSystemTableSignature = 0x5453595320494249;     // "IBI SYST"
constexpr uint64_t kBootServicesSignature = 0x56524553544F4F42;    // "BOOTSERV"
constexpr uint64_t kRuntimeServicesSignature = 0x56524553544E5552; // "RUNTSERV"
constexpr uint64_t kSmstSignature = 0x54534D53;                    // "SMST"
// UEFI 2.70 and PI 1.70, the revisions whose table layouts Uefi.h declares.
constexpr uint32_t kUefiRevision = (2 << 16) | 70;
constexpr uint32_t kPiRevision = (1 << 16) | 70;
char16_t kFirmwareVendor[] = u"flashsmm simulator";

// Pool blocks are aligned like the PI SMM core's pool (16 bytes on x64). Fresh
// blocks hold a pattern rather than zeros, since pool memory is not cleared, and
// freed blocks another one, so that a use after free shows.
constexpr uint64_t kPoolAlignment = 16;
constexpr uint8_t kFreshPoolByte = 0xAF;
constexpr uint8_t kFreedPoolByte = 0xDF;

// Caller buffers from the arenas.
constexpr uint64_t kArenaAlignment = 16;
constexpr uint64_t kArenaGap = 64;

// SMRAM ends below the sanitizer's shadow memory, which starts at 0x7FFF8000.
constexpr uint64_t kSmramLimit = 0x7FFF0000;

// The checksum stays 0: nothing reads it.
EFI_TABLE_HEADER Header(uint64_t Signature, uint32_t Revision, uint32_t Size) {
  return {.Signature = Signature, .Revision = Revision, .HeaderSize = Size, .CRC32 = 0, .Reserved = 0};
}

uint64_t AlignUp(uint64_t Value, uint64_t Alignment) { return (Value + Alignment - 1) & ~(Alignment - 1); }

bool Overlaps(uint64_t ABase, uint64_t ASize, uint64_t BBase, uint64_t BSize) {
  return ABase < BBase + BSize && BBase < ABase + ASize;
}

struct NamedGuid {
  const EFI_GUID *Guid;
  const char *Name;
};
constexpr NamedGuid kGuidNames[] = {
    {&EFI_SMM_BASE2_PROTOCOL_GUID, "EFI_SMM_BASE2_PROTOCOL"},
    {&EFI_SMM_ACCESS2_PROTOCOL_GUID, "EFI_SMM_ACCESS2_PROTOCOL"},
    {&PCD_PROTOCOL_GUID, "PCD_PROTOCOL"},
    {&EFI_PCD_PROTOCOL_GUID, "EFI_PCD_PROTOCOL"},
    {&EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID, "EFI_SMM_SW_DISPATCH2_PROTOCOL"},
    {&EFI_SMM_CPU_PROTOCOL_GUID, "EFI_SMM_CPU_PROTOCOL"},
    {&SMM_BUFFER_VALIDATION_PROTOCOL_GUID, "SMM_BUFFER_VALIDATION_PROTOCOL"},
    {&FORWARDED_SERVICE_PROTOCOL_GUID, "FORWARDED_SERVICE_PROTOCOL"},
    {&SPI_MAILBOX_PROTOCOL_GUID, "SPI_MAILBOX_PROTOCOL"},
    {&ROM_ARMOR_FLASH_PROTOCOL_GUID, "ROM_ARMOR_FLASH_PROTOCOL"},
    {&HEAP_LIST_PROTOCOL_GUID, "HEAP_LIST_PROTOCOL"},
    {&EFI_HOB_LIST_GUID, "EFI_HOB_LIST"},
};

struct NamedStatus {
  EFI_STATUS Status;
  const char *Name;
};
constexpr NamedStatus kStatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_NOT_READY, "EFI_NOT_READY"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
};

// The slots of the firmware's tables that the driver never calls. Each gets a
// function of its own, so that a call names the slot it came through.
enum class Table { BootServices, RuntimeServices, Smst, SmmAccess2, SmmCpu };
constexpr const char *kTableNames[] = {"EFI_BOOT_SERVICES", "EFI_RUNTIME_SERVICES", "EFI_SMM_SYSTEM_TABLE2",
                                       "EFI_SMM_ACCESS2_PROTOCOL", "EFI_SMM_CPU_PROTOCOL"};
struct UnusedSlot {
  Table Owner;
  const char *Name;
  size_t Offset;
};
#define UNUSED_SLOT(Owner, Type, Field)                                                                                \
  UnusedSlot { Owner, #Field, OFFSET_OF(Type, Field) }
constexpr UnusedSlot kUnusedSlots[] = {
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, RaiseTPL),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, RestoreTPL),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, AllocatePages),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, FreePages),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, GetMemoryMap),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, AllocatePool),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CreateEvent),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, SetTimer),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, WaitForEvent),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, SignalEvent),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CloseEvent),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CheckEvent),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, ReinstallProtocolInterface),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, UninstallProtocolInterface),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, HandleProtocol),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, RegisterProtocolNotify),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, LocateHandle),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, LocateDevicePath),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, InstallConfigurationTable),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, LoadImage),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, StartImage),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, Exit),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, UnloadImage),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, ExitBootServices),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, GetNextMonotonicCount),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, Stall),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, SetWatchdogTimer),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, ConnectController),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, DisconnectController),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, OpenProtocol),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CloseProtocol),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, OpenProtocolInformation),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, ProtocolsPerHandle),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, LocateHandleBuffer),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, UninstallMultipleProtocolInterfaces),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CalculateCrc32),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CopyMem),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, SetMem),
    UNUSED_SLOT(Table::BootServices, EFI_BOOT_SERVICES, CreateEventEx),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, GetTime),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, SetTime),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, GetWakeupTime),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, SetWakeupTime),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, SetVirtualAddressMap),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, GetVariable),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, GetNextVariableName),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, SetVariable),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, GetNextHighMonotonicCount),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, ResetSystem),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, UpdateCapsule),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, QueryCapsuleCapabilities),
    UNUSED_SLOT(Table::RuntimeServices, EFI_RUNTIME_SERVICES, QueryVariableInfo),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmIo.MemRead),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmIo.MemWrite),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmIo.IoRead),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmIo.IoWrite),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmAllocatePages),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmFreePages),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmStartupThisAp),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmUninstallProtocolInterface),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmHandleProtocol),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmmLocateHandle),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmiManage),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmiHandlerRegister),
    UNUSED_SLOT(Table::Smst, EFI_SMM_SYSTEM_TABLE2, SmiHandlerUnRegister),
    UNUSED_SLOT(Table::SmmAccess2, EFI_SMM_ACCESS2_PROTOCOL, Open),
    UNUSED_SLOT(Table::SmmAccess2, EFI_SMM_ACCESS2_PROTOCOL, Close),
    UNUSED_SLOT(Table::SmmAccess2, EFI_SMM_ACCESS2_PROTOCOL, Lock),
    UNUSED_SLOT(Table::SmmCpu, EFI_SMM_CPU_PROTOCOL, WriteSaveState),
};
#undef UNUSED_SLOT

typedef EFI_STATUS(EFIAPI *UNEXPECTED_CALL)();

} // namespace

// The service functions the tables point to. Each finds the firmware through
// Firmware::Current(), as code reached through a table pointer must.
struct Firmware::Services {
  template <size_t Slot> static EFI_STATUS EFIAPI UnexpectedCall() {
    const UnusedSlot &S = kUnusedSlots[Slot];
    Current().Unexpected(kTableNames[static_cast<int>(S.Owner)], S.Name);
    return EFI_UNSUPPORTED;
  }
  template <size_t... Slot> static constexpr auto UnexpectedCalls(std::index_sequence<Slot...>) {
    return std::array<UNEXPECTED_CALL, sizeof...(Slot)>{&UnexpectedCall<Slot>...};
  }

  // Boot services.
  static EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
    Firmware &F = Current();
    F.FreeCalls_++;
    uint64_t Address = reinterpret_cast<uint64_t>(Buffer);
    EFI_STATUS Status = EFI_SUCCESS;
    if (F.InsideSmram(Address)) {
      F.Machine_.Fault("FreePool of SMRAM buffer " + Hex(Address));
      Status = EFI_INVALID_PARAMETER;
    }
    F.Log("FreePool " + Hex(Address) + " -> " + StatusName(Status));
    return Status;
  }
  static EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                    EFI_INTERFACE_TYPE InterfaceType, VOID *Interface) {
    Firmware &F = Current();
    return F.Install(F.Uefi_, Handle, Protocol, InterfaceType, Interface, "InstallProtocolInterface");
  }
  static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
    Firmware &F = Current();
    return F.Locate(F.Uefi_, Protocol, Interface, "LocateProtocol");
  }

  // Runtime services.
  static EFI_STATUS EFIAPI ConvertPointer(UINTN DebugDisposition, VOID **Address) {
    Firmware &F = Current();
    EFI_STATUS Status = Address == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    if (Address != nullptr) {
      F.Converted_.push_back(reinterpret_cast<uint64_t>(*Address));
    }
    F.Log("ConvertPointer " + Hex(DebugDisposition) + " " +
          (Address == nullptr ? std::string("null") : Hex(reinterpret_cast<uint64_t>(*Address))) + " -> " +
          StatusName(Status));
    return Status;
  }

  // SMM system table.
  static EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
    return Current().AllocatePool(PoolType, Size, Buffer);
  }
  static EFI_STATUS EFIAPI SmmFreePool(VOID *Buffer) { return Current().FreeSmmPool(Buffer); }
  static EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                       EFI_INTERFACE_TYPE InterfaceType, VOID *Interface) {
    Firmware &F = Current();
    return F.Install(F.Smm_, Handle, Protocol, InterfaceType, Interface, "SmmInstallProtocolInterface");
  }
  static EFI_STATUS EFIAPI SmmLocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
    Firmware &F = Current();
    return F.Locate(F.Smm_, Protocol, Interface, "SmmLocateProtocol");
  }
  static EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID *Protocol, EFI_SMM_NOTIFY_FN Function,
                                                     VOID **Registration) {
    Firmware &F = Current();
    EFI_STATUS Status = EFI_SUCCESS;
    std::string What = Protocol == nullptr ? "null" : GuidName(*Protocol);
    if (Registration == nullptr || Protocol == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else if (Function == nullptr) {
      NotifyRecord *R = F.FindRegistration(*Registration);
      if (R == nullptr || !GuidEqual(R->Guid, *Protocol)) {
        Status = EFI_NOT_FOUND;
      } else {
        R->Live = false;
      }
      What += " cancel";
    } else {
      F.Notifications_.push_back(std::make_unique<NotifyRecord>(NotifyRecord{*Protocol, Function, true}));
      *Registration = F.Notifications_.back().get();
    }
    F.Log("SmmRegisterProtocolNotify " + What + " -> " + StatusName(Status));
    return Status;
  }

  // EFI_SMM_BASE2_PROTOCOL.
  static EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL *, BOOLEAN *InSmram) {
    EFI_STATUS Status = InSmram == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    if (InSmram != nullptr) {
      *InSmram = 1;
    }
    Current().Log("InSmm -> " + StatusName(Status));
    return Status;
  }
  static EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL *, EFI_SMM_SYSTEM_TABLE2 **Smst) {
    Firmware &F = Current();
    EFI_STATUS Status = EFI_SUCCESS;
    if (Smst == nullptr || F.Config_.GetSmstFails) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      *Smst = &F.Smst_;
    }
    F.Log("GetSmstLocation -> " + StatusName(Status));
    return Status;
  }

  // EFI_SMM_ACCESS2_PROTOCOL: the PI size query, then the map.
  static EFI_STATUS EFIAPI GetCapabilities(const EFI_SMM_ACCESS2_PROTOCOL *, UINTN *SmramMapSize,
                                           EFI_SMRAM_DESCRIPTOR *SmramMap) {
    Firmware &F = Current();
    UINTN Needed = F.Config_.Smram.size() * sizeof(EFI_SMRAM_DESCRIPTOR);
    EFI_STATUS Status = EFI_SUCCESS;
    std::string Asked = SmramMapSize == nullptr ? "null" : Hex(*SmramMapSize);
    if (SmramMapSize == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else if (*SmramMapSize < Needed) {
      *SmramMapSize = Needed;
      Status = EFI_BUFFER_TOO_SMALL;
    } else if (SmramMap == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      for (size_t Index = 0; Index < F.Config_.Smram.size(); Index++) {
        const SmramRange &R = F.Config_.Smram[Index];
        SmramMap[Index] = {
            .PhysicalStart = R.Base, .CpuStart = R.Base, .PhysicalSize = R.Size, .RegionState = kSmramRegionState};
      }
      *SmramMapSize = Needed;
    }
    F.Log("GetCapabilities size " + Asked + " -> " + StatusName(Status));
    return Status;
  }

  // EFI_SMM_SW_DISPATCH2_PROTOCOL.
  static EFI_STATUS EFIAPI Register(const EFI_SMM_SW_DISPATCH2_PROTOCOL *, EFI_SMM_HANDLER_ENTRY_POINT2 Function,
                                    EFI_SMM_SW_REGISTER_CONTEXT *Context, EFI_HANDLE *DispatchHandle) {
    Firmware &F = Current();
    EFI_STATUS Status = EFI_SUCCESS;
    std::string Value = Context == nullptr ? "null" : Hex(Context->SwSmiInputValue);
    if (Function == nullptr || Context == nullptr || DispatchHandle == nullptr ||
        Context->SwSmiInputValue > F.SwDispatch_.MaximumSwiValue || F.SwHandlerCount(Context->SwSmiInputValue) != 0) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      F.SwHandlers_.push_back(std::make_unique<SwRecord>(SwRecord{Function, *Context, true}));
      *DispatchHandle = F.SwHandlers_.back().get();
    }
    F.Log("SwDispatch Register " + Value + " -> " + StatusName(Status));
    return Status;
  }
  static EFI_STATUS EFIAPI UnRegister(const EFI_SMM_SW_DISPATCH2_PROTOCOL *, EFI_HANDLE DispatchHandle) {
    Firmware &F = Current();
    F.UnRegisterCalls_++;
    SwRecord *R = F.FindSwHandler(DispatchHandle);
    EFI_STATUS Status = R == nullptr ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
    if (R != nullptr) {
      R->Live = false;
    }
    F.Log("SwDispatch UnRegister -> " + StatusName(Status));
    return Status;
  }

  // EFI_SMM_CPU_PROTOCOL: RBX and RCX of each processor's saved state.
  static EFI_STATUS EFIAPI ReadSaveState(const EFI_SMM_CPU_PROTOCOL *, UINTN Width,
                                         EFI_SMM_SAVE_STATE_REGISTER Register, UINTN CpuIndex, VOID *Buffer) {
    Firmware &F = Current();
    F.SaveStateReads_++;
    EFI_STATUS Status = EFI_SUCCESS;
    if (CpuIndex >= F.Config_.CpuCount || (Width != 4 && Width != 8) || Buffer == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else if (Register != EFI_SMM_SAVE_STATE_REGISTER_RBX && Register != EFI_SMM_SAVE_STATE_REGISTER_RCX) {
      Status = EFI_UNSUPPORTED;
    } else {
      const SaveState &S = F.SaveStates_[CpuIndex];
      uint64_t Value = Register == EFI_SMM_SAVE_STATE_REGISTER_RBX ? S.Rbx : S.Rcx;
      std::memcpy(Buffer, &Value, Width); // little-endian: the low half first
    }
    F.Log("ReadSaveState cpu " + std::to_string(CpuIndex) + " reg " + std::to_string(Register) + " width " +
          std::to_string(Width) + " -> " + StatusName(Status));
    return Status;
  }

  // SMM_BUFFER_VALIDATION_PROTOCOL.
  static EFI_STATUS EFIAPI ValidateBuffer(UINT64 Address, UINT64 Size) {
    return Current().ValidateBuffer(Address, Size);
  }
};

Firmware::Firmware(Machine &M, FirmwareConfig Config) : Machine_(M), Config_(std::move(Config)) {
  if (gCurrent != nullptr) {
    ConfigError("a second firmware in one process");
  }
  if (Config_.Smram.empty()) {
    ConfigError("no SMRAM range");
  }
  for (size_t Index = 0; Index < Config_.Smram.size(); Index++) {
    const SmramRange &R = Config_.Smram[Index];
    if (R.Size == 0 || R.Base + R.Size > kSmramLimit || R.Base + R.Size < R.Base) {
      ConfigError("SMRAM range " + Hex(R.Base) + " size " + Hex(R.Size) + " must end below " + Hex(kSmramLimit));
    }
    Machine_.MapMemory(R.Base, R.Size, "SMRAM " + std::to_string(Index));
  }
  // Neighbours go only where they meet neither SMRAM nor another neighbour.
  for (const SmramRange &R : Config_.Smram) {
    for (uint64_t Base : {R.Base - kSmramNeighbourSize, R.Base + R.Size}) {
      bool Free = true;
      for (const MemoryRegion &Mapped : Machine_.Memory()) {
        Free = Free && !Overlaps(Base, kSmramNeighbourSize, Mapped.Base, Mapped.Size);
      }
      if (Free) {
        Machine_.MapMemory(Base, kSmramNeighbourSize, "next to SMRAM");
      }
    }
  }
  Machine_.MapMemory(kLowArenaBase, kLowArenaSize, "low arena");
  Machine_.MapMemory(kHighArenaBase, kHighArenaSize, "high arena");
  if (Config_.Smram[0].Size <= kDispatcherAreaSize) {
    ConfigError("the first SMRAM range is too small for the dispatcher's records");
  }
  PoolBase_ = Config_.Smram[0].Base;
  PoolEnd_ = Config_.Smram[0].Base + Config_.Smram[0].Size - kDispatcherAreaSize;

  BootServices_.Hdr = Header(kBootServicesSignature, kUefiRevision, sizeof(EFI_BOOT_SERVICES));
  BootServices_.FreePool = &Services::FreePool;
  BootServices_.InstallProtocolInterface = &Services::InstallProtocolInterface;
  BootServices_.LocateProtocol = &Services::LocateProtocol;

  RuntimeServices_.Hdr = Header(kRuntimeServicesSignature, kUefiRevision, sizeof(EFI_RUNTIME_SERVICES));
  RuntimeServices_.ConvertPointer = &Services::ConvertPointer;

  SystemTable_.Hdr = Header(kSystemTableSignature, kUefiRevision, sizeof(EFI_SYSTEM_TABLE));
  SystemTable_.FirmwareVendor = kFirmwareVendor;
  SystemTable_.FirmwareRevision = kUefiRevision;
  SystemTable_.RuntimeServices = &RuntimeServices_;
  SystemTable_.BootServices = &BootServices_;

  Smst_.Hdr = Header(kSmstSignature, kPiRevision, sizeof(EFI_SMM_SYSTEM_TABLE2));
  Smst_.SmmFirmwareVendor = kFirmwareVendor;
  Smst_.SmmFirmwareRevision = kPiRevision;
  Smst_.SmmAllocatePool = &Services::SmmAllocatePool;
  Smst_.SmmFreePool = &Services::SmmFreePool;
  Smst_.CurrentlyExecutingCpu = 0; // the bootstrap processor runs entries, notifications and handlers
  Smst_.NumberOfCpus = Config_.CpuCount;
  Smst_.SmmInstallProtocolInterface = &Services::SmmInstallProtocolInterface;
  Smst_.SmmRegisterProtocolNotify = &Services::SmmRegisterProtocolNotify;
  Smst_.SmmLocateProtocol = &Services::SmmLocateProtocol;

  SmmBase2_ = {.InSmm = &Services::InSmm, .GetSmstLocation = &Services::GetSmstLocation};
  SmmAccess2_.GetCapabilities = &Services::GetCapabilities;
  SmmAccess2_.LockState = 0;
  SmmAccess2_.OpenState = 0;
  SwDispatch_ = {
      .Register = &Services::Register, .UnRegister = &Services::UnRegister, .MaximumSwiValue = kMaximumSwiValue};
  SmmCpu_.ReadSaveState = &Services::ReadSaveState;
  BufferValidation_.ValidateBuffer = &Services::ValidateBuffer;
  FillUnusedSlots();

  gCurrent = this;
  struct Published {
    bool Present;
    bool Smm;
    const EFI_GUID &Guid;
    void *Interface;
  };
  const Published Protocols[] = {
      {Config_.SmmBase2, false, EFI_SMM_BASE2_PROTOCOL_GUID, &SmmBase2_},
      {Config_.SmmAccess2, false, EFI_SMM_ACCESS2_PROTOCOL_GUID, &SmmAccess2_},
      {Config_.Pcd, false, PCD_PROTOCOL_GUID, PcdInterface_},
      {Config_.EfiPcd, false, EFI_PCD_PROTOCOL_GUID, EfiPcdInterface_},
      {Config_.SwDispatch, true, EFI_SMM_SW_DISPATCH2_PROTOCOL_GUID, &SwDispatch_},
      {Config_.SmmCpu, true, EFI_SMM_CPU_PROTOCOL_GUID, &SmmCpu_},
      {Config_.BufferValidation, true, SMM_BUFFER_VALIDATION_PROTOCOL_GUID, &BufferValidation_},
  };
  for (const Published &P : Protocols) {
    if (P.Present) {
      if (P.Smm) {
        SmmInstallProtocol(P.Guid, P.Interface);
      } else {
        InstallProtocol(P.Guid, P.Interface);
      }
    }
  }
}

Firmware::~Firmware() { gCurrent = nullptr; }

Firmware &Firmware::Current() {
  if (gCurrent == nullptr) {
    ConfigError("a firmware service was called with no simulated firmware");
  }
  return *gCurrent;
}

bool Firmware::Exists() { return gCurrent != nullptr; }

void Firmware::FillUnusedSlots() {
  static constexpr auto Stubs = Services::UnexpectedCalls(std::make_index_sequence<std::size(kUnusedSlots)>());
  void *const Owners[] = {&BootServices_, &RuntimeServices_, &Smst_, &SmmAccess2_, &SmmCpu_};
  for (size_t Index = 0; Index < std::size(kUnusedSlots); Index++) {
    uint8_t *Owner = static_cast<uint8_t *>(Owners[static_cast<int>(kUnusedSlots[Index].Owner)]);
    std::memcpy(Owner + kUnusedSlots[Index].Offset, &Stubs[Index], sizeof(UNEXPECTED_CALL));
  }
}

void Firmware::Log(const std::string &Line) { Machine_.Log().Text(EventKind::Call, Machine_.NowPs(), Line); }

void Firmware::Unexpected(const char *Table, const char *Slot) {
  Machine_.Fault(std::string("unexpected call of ") + Table + "." + Slot);
}

void Firmware::AddConfigurationTable(const EFI_GUID &Guid, void *Table) {
  ConfigurationTable_.push_back({Guid, Table});
  SystemTable_.NumberOfTableEntries = ConfigurationTable_.size();
  SystemTable_.ConfigurationTable = ConfigurationTable_.data();
}

std::string Firmware::GuidName(const EFI_GUID &Guid) {
  for (const NamedGuid &N : kGuidNames) {
    if (GuidEqual(*N.Guid, Guid)) {
      return N.Name;
    }
  }
  char B[40];
  std::snprintf(B, sizeof B, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2, Guid.Data3,
                Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6],
                Guid.Data4[7]);
  return B;
}

std::string Firmware::StatusName(EFI_STATUS Status) {
  for (const NamedStatus &N : kStatusNames) {
    if (N.Status == Status) {
      return N.Name;
    }
  }
  return Hex(Status);
}

// Protocol databases --------------------------------------------------------

EFI_STATUS Firmware::Install(Database &Db, EFI_HANDLE *Handle, const EFI_GUID *Guid, EFI_INTERFACE_TYPE Type,
                             void *Interface, const char *Service) {
  EFI_STATUS Status = EFI_SUCCESS;
  if (Handle == nullptr || Guid == nullptr || Type != EFI_NATIVE_INTERFACE) {
    Status = EFI_INVALID_PARAMETER;
  } else if (*Handle != nullptr) {
    bool Known = false;
    for (const auto &H : Db.Handles) {
      Known = Known || H.get() == *Handle;
    }
    for (const Entry &E : Db.Entries) {
      Known = Known && !(E.Handle == *Handle && GuidEqual(E.Guid, *Guid));
    }
    Status = Known ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
  }
  if (Status == EFI_SUCCESS && *Handle == nullptr) {
    Db.Handles.push_back(std::make_unique<HandleRecord>(HandleRecord{static_cast<unsigned>(Db.Handles.size())}));
    *Handle = Db.Handles.back().get();
  }
  if (Status == EFI_SUCCESS) {
    Db.Entries.push_back({*Guid, Interface, *Handle});
  }
  Log(std::string(Service) + " " + (Guid == nullptr ? "null" : GuidName(*Guid)) + " -> " + StatusName(Status));
  if (Status == EFI_SUCCESS && &Db == &Smm_) {
    RunNotifications(*Guid, Interface, *Handle);
  }
  return Status;
}

EFI_STATUS Firmware::Locate(const Database &Db, const EFI_GUID *Guid, void **Interface, const char *Service) {
  EFI_STATUS Status = EFI_NOT_FOUND;
  if (Guid == nullptr || Interface == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    *Interface = nullptr;
    for (const Entry &E : Db.Entries) {
      if (GuidEqual(E.Guid, *Guid)) {
        *Interface = E.Interface;
        Status = EFI_SUCCESS;
        break;
      }
    }
  }
  Log(std::string(Service) + " " + (Guid == nullptr ? "null" : GuidName(*Guid)) + " -> " + StatusName(Status));
  return Status;
}

void Firmware::RunNotifications(const EFI_GUID &Guid, void *Interface, EFI_HANDLE Handle) {
  // Only the registrations that exist now run; one cancelled by an earlier
  // notification of this same installation does not.
  std::vector<NotifyRecord *> Due;
  for (const auto &R : Notifications_) {
    if (R->Live && GuidEqual(R->Guid, Guid)) {
      Due.push_back(R.get());
    }
  }
  for (NotifyRecord *R : Due) {
    if (R->Live) {
      EFI_STATUS Status = R->Function(&R->Guid, Interface, Handle);
      Log("notify " + GuidName(Guid) + " -> " + StatusName(Status));
    }
  }
}

Firmware::NotifyRecord *Firmware::FindRegistration(const void *Registration) {
  for (const auto &R : Notifications_) {
    if (R.get() == Registration && R->Live) {
      return R.get();
    }
  }
  return nullptr;
}

EFI_STATUS Firmware::InstallProtocol(const EFI_GUID &Guid, void *Interface) {
  EFI_HANDLE Handle = nullptr;
  return Install(Uefi_, &Handle, &Guid, EFI_NATIVE_INTERFACE, Interface, "InstallProtocolInterface");
}

EFI_STATUS Firmware::SmmInstallProtocol(const EFI_GUID &Guid, void *Interface) {
  EFI_HANDLE Handle = nullptr;
  return Install(Smm_, &Handle, &Guid, EFI_NATIVE_INTERFACE, Interface, "SmmInstallProtocolInterface");
}

void Firmware::RemoveProtocol(const EFI_GUID &Guid) {
  std::erase_if(Uefi_.Entries, [&](const Entry &E) { return GuidEqual(E.Guid, Guid); });
}

void Firmware::SmmRemoveProtocol(const EFI_GUID &Guid) {
  std::erase_if(Smm_.Entries, [&](const Entry &E) { return GuidEqual(E.Guid, Guid); });
}

size_t Firmware::PendingNotifications(const EFI_GUID &Guid) const {
  size_t Count = 0;
  for (const auto &R : Notifications_) {
    Count += R->Live && GuidEqual(R->Guid, Guid);
  }
  return Count;
}

// Software SMIs ---------------------------------------------------------------

Firmware::SwRecord *Firmware::FindSwHandler(const void *Handle) {
  for (const auto &R : SwHandlers_) {
    if (R.get() == Handle && R->Live) {
      return R.get();
    }
  }
  return nullptr;
}

size_t Firmware::SwHandlerCount(uint64_t Command) const {
  size_t Count = 0;
  for (const auto &R : SwHandlers_) {
    Count += R->Live && R->Context.SwSmiInputValue == Command;
  }
  return Count;
}

std::vector<Firmware::SwRegistration> Firmware::SwHandlers() const {
  std::vector<SwRegistration> Live;
  for (const auto &R : SwHandlers_) {
    if (R->Live) {
      Live.push_back({R->Function, R->Context.SwSmiInputValue, R.get()});
    }
  }
  return Live;
}

void Firmware::SetSaveState(uint64_t Cpu, uint64_t Rbx, uint64_t Rcx) {
  if (Cpu >= Config_.CpuCount) {
    ConfigError("no processor " + std::to_string(Cpu) + " to hold a saved state");
  }
  SaveStates_[Cpu] = {Rbx, Rcx};
}

EFI_STATUS Firmware::RaiseSwSmi(uint8_t Command, uint64_t Cpu, uint64_t Rbx, uint64_t Rcx, uint8_t Data) {
  if (Cpu < Config_.CpuCount) {
    SetSaveState(Cpu, Rbx, Rcx);
  }
  char Line[96];
  std::snprintf(Line, sizeof Line, "SW SMI 0x%02X data 0x%02X cpu %llu", Command, Data,
                static_cast<unsigned long long>(Cpu));
  Machine_.Log().Text(EventKind::Smi, Machine_.NowPs(), Line);
  // The dispatcher's records sit in SMRAM, where the PI SMM core keeps them.
  struct Records {
    EFI_SMM_SW_CONTEXT Context;
    UINTN Size;
  };
  auto *R = reinterpret_cast<Records *>(PoolEnd_);
  R->Context = {.SwSmiCpuIndex = Cpu, .CommandPort = Command, .DataPort = Data};
  R->Size = sizeof(EFI_SMM_SW_CONTEXT);
  return DispatchSwSmi(Command, &R->Context, &R->Size);
}

EFI_STATUS Firmware::DispatchSwSmi(uint64_t Command, void *CommBuffer, UINTN *CommBufferSize) {
  std::vector<SwRecord *> Due;
  for (const auto &R : SwHandlers_) {
    if (R->Live && R->Context.SwSmiInputValue == Command) {
      Due.push_back(R.get());
    }
  }
  EFI_STATUS Status = EFI_NOT_FOUND;
  for (SwRecord *R : Due) {
    Status = R->Function(R, &R->Context, CommBuffer, CommBufferSize);
    Log("SW SMI handler " + Hex(Command) + " -> " + StatusName(Status));
  }
  return Status;
}

// Memory ----------------------------------------------------------------------

uint64_t Firmware::Allocate(Arena &A, uint64_t Size, const char *Name) {
  uint64_t Address = AlignUp(A.Next, kArenaAlignment);
  if (Size > A.Base + A.Size - Address) {
    ConfigError(std::string("the ") + Name + " arena is full");
  }
  A.Next = Address + Size + kArenaGap;
  return Address;
}

uint64_t Firmware::AllocateLow(uint64_t Size) { return Allocate(Low_, Size, "low"); }

uint64_t Firmware::AllocateHigh(uint64_t Size) { return Allocate(High_, Size, "high"); }

uint8_t *Firmware::Place(uint64_t Address, uint64_t Size) {
  // Mapped regions may adjoin (SMRAM and its neighbours): walk across them.
  uint64_t End = Address + Size;
  bool Covered = End >= Address;
  for (uint64_t Cursor = Address; Covered && (Cursor < End || Cursor == Address);) {
    Covered = false;
    for (const MemoryRegion &R : Machine_.Memory()) {
      if (Cursor >= R.Base && Cursor - R.Base < R.Size) {
        Cursor = R.Base + R.Size;
        Covered = true;
        break;
      }
    }
  }
  if (!Covered) {
    ConfigError("no mapped memory at " + Hex(Address) + " size " + Hex(Size));
  }
  return reinterpret_cast<uint8_t *>(Address);
}

bool Firmware::InsideSmram(uint64_t Address) const {
  for (const SmramRange &R : Config_.Smram) {
    if (Address >= R.Base && Address - R.Base < R.Size) {
      return true;
    }
  }
  return false;
}

EFI_STATUS Firmware::AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, void **Buffer) {
  AllocateCalls_++;
  PoolTypes_.push_back(Type);
  EFI_STATUS Status = EFI_SUCCESS;
  uint64_t Address = 0;
  uint64_t Need = Size > PoolEnd_ - PoolBase_ ? 0 : AlignUp(Size == 0 ? 1 : Size, kPoolAlignment);
  if (Buffer == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (AllocateCalls_ == Config_.FailPoolAllocation || Need == 0) {
    Status = EFI_OUT_OF_RESOURCES;
  } else {
    // First fit over the gaps between live blocks, in address order.
    uint64_t Cursor = PoolBase_;
    for (const auto &[Base, Block] : Pool_) {
      if (Base - Cursor >= Need) {
        break;
      }
      Cursor = Base + Block.Reserved;
    }
    if (PoolEnd_ - Cursor < Need) {
      Status = EFI_OUT_OF_RESOURCES;
    } else {
      Address = Cursor;
      Pool_[Address] = {Size, Need};
      std::memset(reinterpret_cast<void *>(Address), kFreshPoolByte, Need);
      *Buffer = reinterpret_cast<void *>(Address);
    }
  }
  Log("SmmAllocatePool type " + std::to_string(Type) + " size " + Hex(Size) + " -> " + StatusName(Status) +
      (Status == EFI_SUCCESS ? " " + Hex(Address) : std::string()));
  return Status;
}

EFI_STATUS Firmware::FreeSmmPool(void *Buffer) {
  SmmFreeCalls_++;
  uint64_t Address = reinterpret_cast<uint64_t>(Buffer);
  auto It = Pool_.find(Address);
  EFI_STATUS Status = It == Pool_.end() ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
  if (It != Pool_.end()) {
    std::memset(Buffer, kFreedPoolByte, It->second.Reserved);
    Pool_.erase(It);
  }
  Log("SmmFreePool " + Hex(Address) + " -> " + StatusName(Status));
  return Status;
}

// Buffer validation -------------------------------------------------------------

EFI_STATUS Firmware::ValidateBuffer(uint64_t Address, uint64_t Size) {
  bool Wraps = Size != 0 && Address + Size < Address;
  bool TouchesSmram = InsideSmram(Address);
  for (const SmramRange &R : Config_.Smram) {
    TouchesSmram = TouchesSmram || (!Wraps && Overlaps(Address, Size, R.Base, R.Size));
  }
  // A range of no bytes is still judged by where it points.
  bool Known = Machine_.IsKnownMemory(Address, Size == 0 ? 1 : Size);
  EFI_STATUS Status = RefuseAll_ || Wraps || TouchesSmram || !Known ? EFI_ACCESS_DENIED : EFI_SUCCESS;
  Validations_.push_back({Address, Size, Status});
  Log("ValidateBuffer " + Hex(Address) + " size " + Hex(Size) + " -> " + StatusName(Status));
  return Status;
}

} // namespace sim
