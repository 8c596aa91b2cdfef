// UEFI and PI base types, status codes, service tables and the PI SMM protocols
// the driver uses. Declared from the public UEFI 2.x and PI 1.x specifications
// with their real member order, so that the image works inside a real firmware.
#pragma once

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef UINT64 UINTN;
typedef INT64 INTN;
typedef UINT8 BOOLEAN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;
typedef UINT64 EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

#define IN
#define OUT
#define OPTIONAL
#define CONST const

// Microsoft x64 calling convention in every build: services, protocol slots and
// notifications are called the way the firmware calls them, on the host too.
#define EFIAPI __attribute__((ms_abi))

#define OFFSET_OF(Type, Field) __builtin_offsetof(Type, Field)

constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = EFI_ERROR_BIT | 1;
constexpr EFI_STATUS EFI_INVALID_PARAMETER = EFI_ERROR_BIT | 2;
constexpr EFI_STATUS EFI_UNSUPPORTED = EFI_ERROR_BIT | 3;
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EFI_ERROR_BIT | 5;
constexpr EFI_STATUS EFI_NOT_READY = EFI_ERROR_BIT | 6;
constexpr EFI_STATUS EFI_DEVICE_ERROR = EFI_ERROR_BIT | 7;
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EFI_ERROR_BIT | 9;
constexpr EFI_STATUS EFI_NOT_FOUND = EFI_ERROR_BIT | 14;
constexpr EFI_STATUS EFI_ACCESS_DENIED = EFI_ERROR_BIT | 15;

constexpr bool EfiError(EFI_STATUS Status) { return (Status & EFI_ERROR_BIT) != 0; }

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

constexpr bool GuidEqual(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) {
    return false;
  }
  for (int Index = 0; Index < 8; Index++) {
    if (A.Data4[Index] != B.Data4[Index]) {
      return false;
    }
  }
  return true;
}

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
};

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 };

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);

// A slot the driver never calls: kept as an opaque function pointer so that the
// members it does call sit at their real offsets.
typedef VOID(EFIAPI *EFI_UNUSED_SERVICE)();

typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle, IN EFI_GUID *Protocol,
                                                           IN EFI_INTERFACE_TYPE InterfaceType, IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(IN EFI_GUID *Protocol, IN VOID *Registration OPTIONAL,
                                                OUT VOID **Interface);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE RaiseTPL;
  EFI_UNUSED_SERVICE RestoreTPL;
  EFI_UNUSED_SERVICE AllocatePages;
  EFI_UNUSED_SERVICE FreePages;
  EFI_UNUSED_SERVICE GetMemoryMap;
  EFI_UNUSED_SERVICE AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_UNUSED_SERVICE CreateEvent;
  EFI_UNUSED_SERVICE SetTimer;
  EFI_UNUSED_SERVICE WaitForEvent;
  EFI_UNUSED_SERVICE SignalEvent;
  EFI_UNUSED_SERVICE CloseEvent;
  EFI_UNUSED_SERVICE CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_UNUSED_SERVICE ReinstallProtocolInterface;
  EFI_UNUSED_SERVICE UninstallProtocolInterface;
  EFI_UNUSED_SERVICE HandleProtocol;
  VOID *Reserved;
  EFI_UNUSED_SERVICE RegisterProtocolNotify;
  EFI_UNUSED_SERVICE LocateHandle;
  EFI_UNUSED_SERVICE LocateDevicePath;
  EFI_UNUSED_SERVICE InstallConfigurationTable;
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_UNUSED_SERVICE Stall;
  EFI_UNUSED_SERVICE SetWatchdogTimer;
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  EFI_UNUSED_SERVICE OpenProtocol;
  EFI_UNUSED_SERVICE CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_UNUSED_SERVICE LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_UNUSED_SERVICE InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE CalculateCrc32;
  EFI_UNUSED_SERVICE CopyMem;
  EFI_UNUSED_SERVICE SetMem;
  EFI_UNUSED_SERVICE CreateEventEx;
};
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, FreePool) == 0x48);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80);
static_assert(OFFSET_OF(EFI_BOOT_SERVICES, LocateProtocol) == 0x140);
static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178);

typedef EFI_STATUS(EFIAPI *EFI_CONVERT_POINTER)(IN UINTN DebugDisposition, IN OUT VOID **Address);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE GetTime;
  EFI_UNUSED_SERVICE SetTime;
  EFI_UNUSED_SERVICE GetWakeupTime;
  EFI_UNUSED_SERVICE SetWakeupTime;
  EFI_UNUSED_SERVICE SetVirtualAddressMap;
  EFI_CONVERT_POINTER ConvertPointer;
  EFI_UNUSED_SERVICE GetVariable;
  EFI_UNUSED_SERVICE GetNextVariableName;
  EFI_UNUSED_SERVICE SetVariable;
  EFI_UNUSED_SERVICE GetNextHighMonotonicCount;
  EFI_UNUSED_SERVICE ResetSystem;
  EFI_UNUSED_SERVICE UpdateCapsule;
  EFI_UNUSED_SERVICE QueryCapsuleCapabilities;
  EFI_UNUSED_SERVICE QueryVariableInfo;
};
static_assert(OFFSET_OF(EFI_RUNTIME_SERVICES, ConvertPointer) == 0x40);
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 0x88);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, RuntimeServices) == 0x58);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, BootServices) == 0x60);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 0x68);
static_assert(OFFSET_OF(EFI_SYSTEM_TABLE, ConfigurationTable) == 0x70);

// PI SMM -----------------------------------------------------------------------

struct EFI_SMRAM_DESCRIPTOR {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64 PhysicalSize;
  UINT64 RegionState;
};
static_assert(sizeof(EFI_SMRAM_DESCRIPTOR) == 32);

typedef EFI_STATUS(EFIAPI *EFI_SMM_NOTIFY_FN)(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle);
typedef EFI_STATUS(EFIAPI *EFI_SMM_HANDLER_ENTRY_POINT2)(IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                                         IN OUT VOID *CommBuffer OPTIONAL,
                                                         IN OUT UINTN *CommBufferSize OPTIONAL);

typedef EFI_STATUS(EFIAPI *EFI_SMM_ALLOCATE_POOL)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size, OUT VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_FREE_POOL)(IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle, IN EFI_GUID *Protocol,
                                                               IN EFI_INTERFACE_TYPE InterfaceType, IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_SMM_REGISTER_PROTOCOL_NOTIFY)(IN CONST EFI_GUID *Protocol, IN EFI_SMM_NOTIFY_FN Function,
                                                             OUT VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_SMM_LOCATE_PROTOCOL)(IN EFI_GUID *Protocol, IN VOID *Registration OPTIONAL,
                                                    OUT VOID **Interface);

struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_UNUSED_SERVICE MemRead;
  EFI_UNUSED_SERVICE MemWrite;
  EFI_UNUSED_SERVICE IoRead;
  EFI_UNUSED_SERVICE IoWrite;
};

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_UNUSED_SERVICE SmmInstallConfigurationTable;
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_SMM_ALLOCATE_POOL SmmAllocatePool;
  EFI_SMM_FREE_POOL SmmFreePool;
  EFI_UNUSED_SERVICE SmmAllocatePages;
  EFI_UNUSED_SERVICE SmmFreePages;
  EFI_UNUSED_SERVICE SmmStartupThisAp;
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN *CpuSaveStateSize;
  VOID **CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *SmmConfigurationTable;
  EFI_SMM_INSTALL_PROTOCOL_INTERFACE SmmInstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmUninstallProtocolInterface;
  EFI_UNUSED_SERVICE SmmHandleProtocol;
  EFI_SMM_REGISTER_PROTOCOL_NOTIFY SmmRegisterProtocolNotify;
  EFI_UNUSED_SERVICE SmmLocateHandle;
  EFI_SMM_LOCATE_PROTOCOL SmmLocateProtocol;
  EFI_UNUSED_SERVICE SmiManage;
  EFI_UNUSED_SERVICE SmiHandlerRegister;
  EFI_UNUSED_SERVICE SmiHandlerUnRegister;
};
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 0x50);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 0x58);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, CurrentlyExecutingCpu) == 0x78);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 0xA8);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 0xC0);
static_assert(OFFSET_OF(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 0xD0);
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 0xF0);

struct EFI_SMM_BASE2_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_INSIDE_OUT2)(IN const EFI_SMM_BASE2_PROTOCOL *This, OUT BOOLEAN *InSmram);
typedef EFI_STATUS(EFIAPI *EFI_SMM_GET_SMST_LOCATION2)(IN const EFI_SMM_BASE2_PROTOCOL *This,
                                                       IN OUT EFI_SMM_SYSTEM_TABLE2 **Smst);
struct EFI_SMM_BASE2_PROTOCOL {
  EFI_SMM_INSIDE_OUT2 InSmm;
  EFI_SMM_GET_SMST_LOCATION2 GetSmstLocation;
};

struct EFI_SMM_ACCESS2_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_CAPABILITIES2)(IN CONST EFI_SMM_ACCESS2_PROTOCOL *This, IN OUT UINTN *SmramMapSize,
                                                  IN OUT EFI_SMRAM_DESCRIPTOR *SmramMap);
struct EFI_SMM_ACCESS2_PROTOCOL {
  EFI_UNUSED_SERVICE Open;
  EFI_UNUSED_SERVICE Close;
  EFI_UNUSED_SERVICE Lock;
  EFI_SMM_CAPABILITIES2 GetCapabilities;
  BOOLEAN LockState;
  BOOLEAN OpenState;
};
static_assert(OFFSET_OF(EFI_SMM_ACCESS2_PROTOCOL, GetCapabilities) == 0x18);

struct EFI_SMM_SW_REGISTER_CONTEXT {
  UINTN SwSmiInputValue;
};

struct EFI_SMM_SW_CONTEXT {
  UINTN SwSmiCpuIndex;
  UINT8 CommandPort;
  UINT8 DataPort;
};
static_assert(OFFSET_OF(EFI_SMM_SW_CONTEXT, CommandPort) == 8);
static_assert(OFFSET_OF(EFI_SMM_SW_CONTEXT, DataPort) == 9);

struct EFI_SMM_SW_DISPATCH2_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_SW_REGISTER2)(IN CONST EFI_SMM_SW_DISPATCH2_PROTOCOL *This,
                                                 IN EFI_SMM_HANDLER_ENTRY_POINT2 DispatchFunction,
                                                 IN OUT EFI_SMM_SW_REGISTER_CONTEXT *RegisterContext,
                                                 OUT EFI_HANDLE *DispatchHandle);
typedef EFI_STATUS(EFIAPI *EFI_SMM_SW_UNREGISTER2)(IN CONST EFI_SMM_SW_DISPATCH2_PROTOCOL *This,
                                                   IN EFI_HANDLE DispatchHandle);
struct EFI_SMM_SW_DISPATCH2_PROTOCOL {
  EFI_SMM_SW_REGISTER2 Register;
  EFI_SMM_SW_UNREGISTER2 UnRegister;
  UINTN MaximumSwiValue;
};

enum EFI_SMM_SAVE_STATE_REGISTER : UINT32 {
  EFI_SMM_SAVE_STATE_REGISTER_RBX = 39,
  EFI_SMM_SAVE_STATE_REGISTER_RCX = 40,
};

struct EFI_SMM_CPU_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_READ_SAVE_STATE)(IN CONST EFI_SMM_CPU_PROTOCOL *This, IN UINTN Width,
                                                    IN EFI_SMM_SAVE_STATE_REGISTER Register, IN UINTN CpuIndex,
                                                    OUT VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_WRITE_SAVE_STATE)(IN CONST EFI_SMM_CPU_PROTOCOL *This, IN UINTN Width,
                                                     IN EFI_SMM_SAVE_STATE_REGISTER Register, IN UINTN CpuIndex,
                                                     IN CONST VOID *Buffer);
struct EFI_SMM_CPU_PROTOCOL {
  EFI_SMM_READ_SAVE_STATE ReadSaveState;
  EFI_SMM_WRITE_SAVE_STATE WriteSaveState;
};
