#include "spi/SpiEngine.h"

#include "entry/DriverEntry.h"
#include "lib/BaseLib.h"
#include "platform/Access.h"
#include "spi/Timing.h"

SPI_MAILBOX_PROTOCOL *mSpiMailbox = nullptr;
VOID *mSpiMailboxRegistration = nullptr;

namespace {

constexpr UINT16 SPI_MAILBOX_HEADER = 0x0100; // start flag 0, byte 1 = 1
constexpr UINT16 SPI_MAILBOX_VERSION = 1;

// What a status poll assumes before the read: busy. A read that delivers
// nothing (controller stuck, mailbox failure) then never ends a wait early as
// if the chip were ready; the poll count still bounds the wait.
constexpr UINT8 SPI_STATUS_ASSUMED_BUSY = SPI_STATUS_WIP;

UINT64 SpiRegister(UINT64 Offset) { return FCH_SPI_BASE + Offset; }

UINT8 AddressByte(UINT64 Address, UINT8 AddressBytes, UINT8 Index) {
  return static_cast<UINT8>(Address >> (8 * (AddressBytes - 1 - Index)));
}

// Polls until Bit clears in the register read by Read, with a 1 us delay
// after every read that shows it set. False when all Limit reads showed it.
template <typename ReadFn> BOOLEAN WaitForClear(ReadFn Read, UINT32 Bit, UINT32 Limit) {
  for (UINT32 Poll = 0; Poll < Limit; Poll++) {
    if ((Read() & Bit) == 0) {
      return 1;
    }
    DelayMicroseconds(1);
  }
  return 0;
}

// Waits for the chip's write-in-progress bit with read-status commands on the
// same path as the command it follows, always with opcode 0x05.
template <typename CommandFn> BOOLEAN WaitForChipReady(CommandFn Command) {
  return WaitForClear(
      [&] {
        UINT8 Status = SPI_STATUS_ASSUMED_BUSY;
        Command(SPI_OPCODE_READ_STATUS, 0, 1, 0, 0, &Status, 0);
        return static_cast<UINT32>(Status);
      },
      SPI_STATUS_WIP, SPI_STATUS_POLL_LIMIT);
}

} // namespace

EFI_STATUS SpiExecuteCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                             UINT8 *Buffer, UINT8 WaitUntilReady) {
  if (mSpiMailbox != nullptr && mSpiMailbox->Enable != 0) {
    SpiMailboxCommand(Opcode, TxCount, RxCount, AddressBytes, Address, Buffer, WaitUntilReady);
  } else {
    SpiControllerCommand(Opcode, TxCount, RxCount, AddressBytes, Address, Buffer, WaitUntilReady);
  }
  return EFI_SUCCESS;
}

VOID SpiControllerCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                          UINT8 *Buffer, UINT8 WaitUntilReady) {
  MmioWrite8(SpiRegister(SPI_REG_OPCODE), Opcode);
  MmioWrite8(SpiRegister(SPI_REG_TX_COUNT), TxCount);
  MmioWrite8(SpiRegister(SPI_REG_RX_COUNT), RxCount);
  for (UINT8 Index = 0; Index < AddressBytes; Index++) {
    MmioWrite8(SpiRegister(SPI_REG_FIFO + Index), AddressByte(Address, AddressBytes, Index));
  }
  if (TxCount > AddressBytes && Buffer != nullptr) {
    for (UINT8 Index = 0; Index < TxCount - AddressBytes; Index++) {
      MmioWrite8(SpiRegister(SPI_REG_FIFO + AddressBytes + Index), Buffer[Index]);
    }
  }

  if (!WaitForClear([] { return MmioRead32(SpiRegister(SPI_REG_STATUS)); }, SPI_STATUS_BUSY,
                    SPI_CONTROLLER_POLL_LIMIT)) {
    return;
  }
  const UINT8 Control = MmioRead8(SpiRegister(SPI_REG_CONTROL));
  MmioWrite8(SpiRegister(SPI_REG_CONTROL), static_cast<UINT8>(Control | SPI_CONTROL_EXECUTE));
  if (!WaitForClear([] { return static_cast<UINT32>(MmioRead8(SpiRegister(SPI_REG_CONTROL))); },
                    SPI_CONTROL_EXECUTE, SPI_CONTROLLER_POLL_LIMIT)) {
    return;
  }

  if (WaitUntilReady == 1 && !WaitForChipReady(SpiControllerCommand)) {
    return;
  }
  if (RxCount != 0 && Buffer != nullptr) {
    for (UINT8 Index = 0; Index < RxCount; Index++) {
      Buffer[Index] = MmioRead8(SpiRegister(SPI_REG_FIFO + TxCount + Index));
    }
  }
}

VOID SpiMailboxCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                       UINT8 *Buffer, UINT8 WaitUntilReady) {
  SPI_MAILBOX_COMMAND *Command = &mSpiMailbox->Command;
  ZeroMem(Command, sizeof(*Command));
  *reinterpret_cast<volatile UINT16 *>(&Command->StartFlag) = SPI_MAILBOX_HEADER;
  Command->Opcode = Opcode;
  Command->TxCount = TxCount;
  Command->RxCount = RxCount;
  Command->Version = SPI_MAILBOX_VERSION;
  for (UINT8 Index = 0; Index < AddressBytes; Index++) {
    Command->Data[Index] = AddressByte(Address, AddressBytes, Index);
  }
  if (TxCount > AddressBytes && Buffer != nullptr) {
    CopyMem(&Command->Data[AddressBytes], Buffer, TxCount - AddressBytes);
  }
  *reinterpret_cast<volatile UINT8 *>(&Command->StartFlag) = 1;

  if (EfiError(mSpiMailbox->Execute())) {
    return;
  }
  if ((Command->CompletionCode & SPI_MAILBOX_DONE_MASK) != SPI_MAILBOX_DONE) {
    return;
  }
  if (WaitUntilReady == 1) {
    WaitForChipReady(SpiMailboxCommand);
  }
  if (RxCount != 0 && Buffer != nullptr) {
    CopyMem(Buffer, &Command->Data[TxCount], RxCount);
  }
  ZeroMem(Command, sizeof(*Command));
}

EFI_STATUS EFIAPI SpiMailboxNotify(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle) {
  (VOID) Protocol;
  (VOID) Handle;
  mSpiMailbox = static_cast<SPI_MAILBOX_PROTOCOL *>(Interface);
  mSmst->SmmRegisterProtocolNotify(&SPI_MAILBOX_PROTOCOL_GUID, nullptr, &mSpiMailboxRegistration);
  return EFI_SUCCESS;
}

VOID LocateSpiMailbox() {
  EFI_STATUS Status = mSmst->SmmLocateProtocol(const_cast<EFI_GUID *>(&SPI_MAILBOX_PROTOCOL_GUID), nullptr,
                                               reinterpret_cast<VOID **>(&mSpiMailbox));
  if (EfiError(Status)) {
    mSpiMailbox = nullptr;
    mSpiMailboxRegistration = nullptr;
    mSmst->SmmRegisterProtocolNotify(&SPI_MAILBOX_PROTOCOL_GUID, SpiMailboxNotify, &mSpiMailboxRegistration);
  }
}
