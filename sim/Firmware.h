// The simulated UEFI/PI firmware the driver is loaded into: the system table
// with boot and runtime services, the SMM system table, a UEFI protocol
// database and a separate SMM one with protocol notifications, SMRAM with its
// descriptor map and pool, the software-SMI dispatcher with the processors'
// saved state, and the buffer-validation service. Every protocol call is
// traced; every table slot the driver has no business calling records a fault.
// One firmware per process, like the machine it runs on.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Machine.h"
#include "platform/Protocols.h"

namespace sim {

struct SmramRange {
  uint64_t Base;
  uint64_t Size;
};

struct FirmwareConfig {
  // SMRAM ranges: below 4 GiB and, so that sanitizer builds work, below
  // 0x7FFF0000, clear of the sanitizer's shadow memory at 0x7FFF8000. The first range
  // holds the SMM pool and the dispatcher's records.
  std::vector<SmramRange> Smram = {{0x7B000000, 0x00800000}};
  bool SmmBase2 = true;            // EFI_SMM_BASE2_PROTOCOL in the UEFI database
  bool GetSmstFails = false;       // its GetSmstLocation returns EFI_INVALID_PARAMETER
  bool SmmAccess2 = true;          // EFI_SMM_ACCESS2_PROTOCOL in the UEFI database
  bool Pcd = true, EfiPcd = true;  // PCD_PROTOCOL / EFI_PCD_PROTOCOL present (presence only)
  bool SwDispatch = true;          // EFI_SMM_SW_DISPATCH2_PROTOCOL in the SMM database
  bool SmmCpu = true;              // EFI_SMM_CPU_PROTOCOL in the SMM database
  bool BufferValidation = true;    // SMM_BUFFER_VALIDATION_PROTOCOL in the SMM database
  unsigned FailPoolAllocation = 0; // the n-th SmmAllocatePool call fails (1-based; 0: none)
  unsigned CpuCount = 4;
};

// PI SMRAM region state bits (EFI_SMRAM_DESCRIPTOR.RegionState).
constexpr uint64_t EFI_SMRAM_OPEN = 0x1;
constexpr uint64_t EFI_SMRAM_CLOSED = 0x2;
constexpr uint64_t EFI_SMRAM_LOCKED = 0x4;
constexpr uint64_t EFI_CACHEABLE = 0x8;
constexpr uint64_t EFI_ALLOCATED = 0x10;
// What GetCapabilities reports for every range: closed to code outside SMM and
// cacheable, as SMRAM is while SMM drivers are dispatched.
constexpr uint64_t kSmramRegionState = EFI_SMRAM_CLOSED | EFI_CACHEABLE;

// The PI limit for a software-SMI command value: one byte on the command port.
constexpr uint64_t kMaximumSwiValue = 0xFF;

// Caller memory. The low arena lies below 4 GiB for buffers addressed by
// 32-bit fields; the high arena above it for buffers that need RCX.
constexpr uint64_t kLowArenaBase = 0x10000000;
constexpr uint64_t kLowArenaSize = 0x10000000;
constexpr uint64_t kHighArenaBase = 0x200000000000;
constexpr uint64_t kHighArenaSize = 0x10000000;
// Ordinary memory mapped right below and above each SMRAM range, so that a
// buffer can straddle an SMRAM edge.
constexpr uint64_t kSmramNeighbourSize = 0x10000;
// The top page of the first SMRAM range holds the dispatcher's records (the
// EFI_SMM_SW_CONTEXT and its size); the pool covers the rest of that range.
constexpr uint64_t kDispatcherAreaSize = 0x1000;

class Firmware {
public:
  Firmware(Machine &M, FirmwareConfig Config);
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;

  static Firmware &Current();
  static bool Exists();

  EFI_SYSTEM_TABLE *SystemTable() { return &SystemTable_; }
  EFI_SMM_SYSTEM_TABLE2 *Smst() { return &Smst_; }
  FirmwareConfig &Config() { return Config_; }
  Machine &Platform() { return Machine_; }

  void AddConfigurationTable(const EFI_GUID &Guid, void *Table);

  // Protocol databases; each installation gets a new handle. SmmInstallProtocol
  // runs the live notifications for Guid in order of registration.
  EFI_STATUS InstallProtocol(const EFI_GUID &Guid, void *Interface);
  EFI_STATUS SmmInstallProtocol(const EFI_GUID &Guid, void *Interface);
  void RemoveProtocol(const EFI_GUID &Guid);
  void SmmRemoveProtocol(const EFI_GUID &Guid);
  size_t PendingNotifications(const EFI_GUID &Guid) const;

  // Software SMI: sets processor Cpu's saved RBX and RCX (when Cpu is a real
  // processor), writes EFI_SMM_SW_CONTEXT{Cpu, Command, Data} and its size into
  // SMRAM and dispatches them. Returns the status of the last handler called,
  // EFI_NOT_FOUND when none is registered for Command.
  EFI_STATUS RaiseSwSmi(uint8_t Command, uint64_t Cpu, uint64_t Rbx, uint64_t Rcx, uint8_t Data = 0);
  // Calls the handlers registered for Command with any CommBuffer and size.
  EFI_STATUS DispatchSwSmi(uint64_t Command, void *CommBuffer, UINTN *CommBufferSize);
  size_t SwHandlerCount(uint64_t Command) const;
  struct SwRegistration {
    EFI_SMM_HANDLER_ENTRY_POINT2 Handler;
    uint64_t SwSmiInputValue;
    EFI_HANDLE DispatchHandle;
  };
  std::vector<SwRegistration> SwHandlers() const; // live ones, in order of registration
  unsigned UnRegisterCalls() const { return UnRegisterCalls_; }

  void SetSaveState(uint64_t Cpu, uint64_t Rbx, uint64_t Rcx);
  uint64_t SaveStateReads() const { return SaveStateReads_; }

  // Caller memory: bump allocators, 16-byte aligned, a 64-byte gap between
  // buffers. Place returns the host pointer of any range inside mapped memory.
  uint64_t AllocateLow(uint64_t Size);
  uint64_t AllocateHigh(uint64_t Size);
  uint8_t *Place(uint64_t Address, uint64_t Size);
  bool InsideSmram(uint64_t Address) const;

  // Buffer validation.
  void RefuseAllValidation(bool Refuse) { RefuseAll_ = Refuse; }
  struct Validation {
    uint64_t Address, Size;
    EFI_STATUS Status;
  };
  const std::vector<Validation> &Validations() const { return Validations_; }

  // Pool.
  size_t LivePoolAllocations() const { return Pool_.size(); }
  unsigned SmmAllocatePoolCalls() const { return AllocateCalls_; }
  unsigned SmmFreePoolCalls() const { return SmmFreeCalls_; }
  unsigned FreePoolCalls() const { return FreeCalls_; }
  const std::vector<EFI_MEMORY_TYPE> &PoolTypes() const { return PoolTypes_; }

  // Runtime services.
  const std::vector<uint64_t> &ConvertedPointers() const { return Converted_; }

  // The protocol interfaces this firmware publishes.
  EFI_SMM_BASE2_PROTOCOL *SmmBase2() { return &SmmBase2_; }
  EFI_SMM_ACCESS2_PROTOCOL *SmmAccess2() { return &SmmAccess2_; }
  EFI_SMM_SW_DISPATCH2_PROTOCOL *SwDispatch() { return &SwDispatch_; }
  EFI_SMM_CPU_PROTOCOL *SmmCpu() { return &SmmCpu_; }
  SMM_BUFFER_VALIDATION_PROTOCOL *BufferValidation() { return &BufferValidation_; }

  static std::string GuidName(const EFI_GUID &Guid);
  static std::string StatusName(EFI_STATUS Status);

private:
  struct Services;
  friend struct Services;

  struct Entry {
    EFI_GUID Guid;
    void *Interface;
    EFI_HANDLE Handle;
  };
  struct HandleRecord {
    unsigned Id;
  };
  struct Database {
    const char *Name;
    std::vector<Entry> Entries;
    std::vector<std::unique_ptr<HandleRecord>> Handles;
  };
  struct NotifyRecord {
    EFI_GUID Guid;
    EFI_SMM_NOTIFY_FN Function;
    bool Live;
  };
  struct SwRecord {
    EFI_SMM_HANDLER_ENTRY_POINT2 Function;
    EFI_SMM_SW_REGISTER_CONTEXT Context;
    bool Live;
  };
  struct SaveState {
    uint64_t Rbx = 0, Rcx = 0;
  };
  struct PoolBlock {
    uint64_t Requested;
    uint64_t Reserved;
  };
  struct Arena {
    uint64_t Base, Size, Next;
  };

  void Log(const std::string &Line);
  void Unexpected(const char *Table, const char *Slot);
  EFI_STATUS Install(Database &Db, EFI_HANDLE *Handle, const EFI_GUID *Guid, EFI_INTERFACE_TYPE Type, void *Interface,
                     const char *Service);
  EFI_STATUS Locate(const Database &Db, const EFI_GUID *Guid, void **Interface, const char *Service);
  void RunNotifications(const EFI_GUID &Guid, void *Interface, EFI_HANDLE Handle);
  NotifyRecord *FindRegistration(const void *Registration);
  SwRecord *FindSwHandler(const void *Handle);
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, void **Buffer);
  EFI_STATUS FreeSmmPool(void *Buffer);
  EFI_STATUS ValidateBuffer(uint64_t Address, uint64_t Size);
  uint64_t Allocate(Arena &A, uint64_t Size, const char *Name);
  void FillUnusedSlots();

  Machine &Machine_;
  FirmwareConfig Config_;

  EFI_SYSTEM_TABLE SystemTable_{};
  EFI_BOOT_SERVICES BootServices_{};
  EFI_RUNTIME_SERVICES RuntimeServices_{};
  EFI_SMM_SYSTEM_TABLE2 Smst_{};
  EFI_SMM_BASE2_PROTOCOL SmmBase2_{};
  EFI_SMM_ACCESS2_PROTOCOL SmmAccess2_{};
  EFI_SMM_SW_DISPATCH2_PROTOCOL SwDispatch_{};
  EFI_SMM_CPU_PROTOCOL SmmCpu_{};
  SMM_BUFFER_VALIDATION_PROTOCOL BufferValidation_{};
  uint64_t PcdInterface_[2] = {};
  uint64_t EfiPcdInterface_[2] = {};
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTable_;

  Database Uefi_{"UEFI", {}, {}};
  Database Smm_{"SMM", {}, {}};
  std::vector<std::unique_ptr<NotifyRecord>> Notifications_;
  std::vector<std::unique_ptr<SwRecord>> SwHandlers_;
  unsigned UnRegisterCalls_ = 0;

  std::map<uint64_t, SaveState> SaveStates_;
  uint64_t SaveStateReads_ = 0;

  uint64_t PoolBase_ = 0, PoolEnd_ = 0;
  std::map<uint64_t, PoolBlock> Pool_; // host-side metadata, by address
  unsigned AllocateCalls_ = 0, SmmFreeCalls_ = 0, FreeCalls_ = 0;
  std::vector<EFI_MEMORY_TYPE> PoolTypes_;

  Arena Low_{kLowArenaBase, kLowArenaSize, kLowArenaBase};
  Arena High_{kHighArenaBase, kHighArenaSize, kHighArenaBase};

  bool RefuseAll_ = false;
  std::vector<Validation> Validations_;
  std::vector<uint64_t> Converted_;
};

} // namespace sim
