#include "flash/FlashOps.h"

#include "flash/Identify.h"
#include "lib/BaseLib.h"

namespace {

constexpr SPI_OPCODE_SET SST25VF_TEMPLATE = {
    .ProgramOp = {0x02, 3},
    .ReadOp = {0x03, 2},
    .SectorEraseOp = {0x20, 3},
    .BlockEraseOp = {0xD8, 3},
    .ReadStatusOp = {0x05, 0},
    .ReadIdOp = {0x9F, 2},
    .WriteStatusOp = {0x01, 1},
    .EnableWriteStatusOp = {0x50, 0},
    .WriteEnableOp = {0x06, 1},
    .PageSize = 1,
    .SectorSize = 0x1000,
};

constexpr SPI_OPCODE_SET JEDEC_TEMPLATE = {
    .ProgramOp = {0x02, 3},
    .ReadOp = {0x03, 2},
    .SectorEraseOp = {0x20, 3},
    .BlockEraseOp = {0xD8, 3},
    .ReadStatusOp = {0x05, 0},
    .ReadIdOp = {0x9F, 0},
    .WriteStatusOp = {0x01, 1},
    .EnableWriteStatusOp = {0x00, 0},
    .WriteEnableOp = {0x06, 0},
    .PageSize = 0x100,
    .SectorSize = 0x1000,
};

constexpr SPI_OPCODE_SET SST25LF_TEMPLATE = {
    .ProgramOp = {0x02, 3},
    .ReadOp = {0x03, 2},
    .SectorEraseOp = {0x20, 3},
    .BlockEraseOp = {0xD8, 3},
    .ReadStatusOp = {0x05, 0},
    .ReadIdOp = {0x90, 2},
    .WriteStatusOp = {0x01, 1},
    .EnableWriteStatusOp = {0x50, 1},
    .WriteEnableOp = {0x06, 0},
    .PageSize = 1,
    .SectorSize = 0x1000,
};

// The byte image of a set in field order, 32-bit values little-endian.
constexpr bool HasByteImage(const SPI_OPCODE_SET &Set, const UINT8 (&Image)[26]) {
  const SPI_OPCODE_ENTRY Entries[] = {Set.ProgramOp,    Set.ReadOp,  Set.SectorEraseOp,
                                      Set.BlockEraseOp, Set.ReadStatusOp, Set.ReadIdOp,
                                      Set.WriteStatusOp, Set.EnableWriteStatusOp, Set.WriteEnableOp};
  UINT32 At = 0;
  for (const SPI_OPCODE_ENTRY &Entry : Entries) {
    if (Image[At++] != Entry.Opcode || Image[At++] != Entry.Type) {
      return false;
    }
  }
  const UINT32 Sizes[] = {Set.PageSize, Set.SectorSize};
  for (UINT32 Value : Sizes) {
    for (UINT32 Shift = 0; Shift < 32; Shift += 8) {
      if (Image[At++] != static_cast<UINT8>(Value >> Shift)) {
        return false;
      }
    }
  }
  return true;
}

constexpr UINT8 SST25VF_IMAGE[26] = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x9F, 0x02, 0x01,
                                     0x01, 0x50, 0x00, 0x06, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
constexpr UINT8 JEDEC_IMAGE[26] = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x9F, 0x00, 0x01,
                                   0x01, 0x00, 0x00, 0x06, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
constexpr UINT8 SST25LF_IMAGE[26] = {0x02, 0x03, 0x03, 0x02, 0x20, 0x03, 0xD8, 0x03, 0x05, 0x00, 0x90, 0x02, 0x01,
                                     0x01, 0x50, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
static_assert(HasByteImage(SST25VF_TEMPLATE, SST25VF_IMAGE));
static_assert(HasByteImage(JEDEC_TEMPLATE, JEDEC_IMAGE));
static_assert(HasByteImage(SST25LF_TEMPLATE, SST25LF_IMAGE));

} // namespace

SPI_OPCODE_SET mSst25VfOpcodeTemplate = SST25VF_TEMPLATE;
SPI_OPCODE_SET mJedecOpcodeTemplate = JEDEC_TEMPLATE;
SPI_OPCODE_SET mSst25LfOpcodeTemplate = SST25LF_TEMPLATE;

FLASH_DEVICE_OPS mFlashOps = {
    .Read = FlashRead,
    .EraseBlock = FlashEraseBlock,
    .Erase = FlashErase,
    .Program = FlashProgram,
    .ClearProtection = FlashClearProtection,
    .NoOperation = FlashNoOperation,
    .EnableDeviceWrite = FlashEnableDeviceWrite,
    .DisableDeviceWrite = FlashDisableDeviceWrite,
    .GetBlockInfo = FlashGetBlockInfo,
    .ConvertPointers = FlashConvertPointers,
    .PageSize = 1,
    .BlockSize = 0x1000,
    .Name = nullptr,
    .ReadId = FlashReadId,
    .BlockEraseAllowed = 1,
};
SPI_OPCODE_SET mOpcodes = {};
UINT32 mFlashSize = FLASH_SIZE_AT_LOAD;
UINT32 mFlashId = 0;
UINT16 mFlashId16 = 0;
CHAR8 mFlashPartName[FLASH_PART_NAME_LENGTH] = {};
FLASH_DEVICE_OPS *mFlashDevice = nullptr;

UINT8 CompleteFlashIdentification(const SPI_OPCODE_SET *Template, UINT32 Id, FLASH_PART_NAME Name,
                                  FLASH_DEVICE_OPS **Device, UINT32 Steps) {
  if ((Steps & FlashStepCopyName) != 0) {
    // The buffer is cleared first, so a shorter name never shows the tail of
    // the one before it.
    ZeroMem(mFlashPartName, sizeof(mFlashPartName));
    CopyMem(mFlashPartName, Name.Text, Name.Length < FLASH_PART_NAME_LENGTH ? Name.Length : FLASH_PART_NAME_LENGTH);
  }
  if ((Steps & FlashStepStoreDevice) != 0) {
    *Device = &mFlashOps;
  }
  if ((Steps & FlashStepCopyOpcodes) != 0) {
    mOpcodes = *Template;
  }
  if ((Steps & FlashStepSetId) != 0) {
    mFlashId = Id;
  }
  if ((Steps & FlashStepSetId16) != 0) {
    mFlashId16 = static_cast<UINT16>(Id);
  }
  if ((Steps & FlashStepSetPageSize) != 0) {
    mFlashOps.PageSize = Template->PageSize;
  }
  if ((Steps & FlashStepSetBlockSize) != 0) {
    mFlashOps.BlockSize = Template->SectorSize;
  }
  if ((Steps & FlashStepSetNamePointer) != 0) {
    mFlashOps.Name = mFlashPartName;
  }
  if ((Steps & FlashStepAddressMode) != 0) {
    SetFlashAddressMode();
  } else {
    // This identification sent no addressing-mode command.
    mFlashAddressModeOpcode = 0;
  }
  return 1;
}

VOID FlashRead(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress) {
  (VOID) Address;
  (VOID) Buffer;
  (VOID) Length;
  (VOID) IsMemoryAddress;
}
UINT8 FlashEraseBlock(UINT64 Address) {
  (VOID) Address;
  return 0;
}
EFI_STATUS FlashErase(UINT64 Address, UINT32 ByteCount, UINT8 IsMemoryAddress) {
  (VOID) Address;
  (VOID) ByteCount;
  (VOID) IsMemoryAddress;
  return EFI_UNSUPPORTED;
}
UINT8 FlashProgram(UINT64 Address, UINT8 *Buffer, UINT32 *Length, UINT8 IsMemoryAddress) {
  (VOID) Address;
  (VOID) Buffer;
  (VOID) Length;
  (VOID) IsMemoryAddress;
  return 0;
}
VOID FlashClearProtection(UINT64 Unused0, UINT64 Unused1, UINT64 InitialStatus) {
  (VOID) Unused0;
  (VOID) Unused1;
  (VOID) InitialStatus;
}
VOID FlashNoOperation() {}
VOID FlashEnableDeviceWrite() {}
VOID FlashDisableDeviceWrite() {}
UINT8 FlashGetBlockInfo(UINT32 **BlockSizes, UINT32 *Count) {
  (VOID) BlockSizes;
  (VOID) Count;
  return 0;
}
EFI_STATUS FlashConvertPointers(EFI_RUNTIME_SERVICES *RuntimeServices) {
  (VOID) RuntimeServices;
  return EFI_UNSUPPORTED;
}
