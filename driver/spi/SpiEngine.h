// One SPI command, through the FCH SPI controller's registers and FIFO or, when
// the platform provides an enabled SPI mailbox, through that protocol.
#pragma once

#include "platform/Protocols.h"
#include "platform/Uefi.h"

// The command engine always addresses the controller at its fixed base.
constexpr UINT64 FCH_SPI_BASE = 0xFEC10000;
constexpr UINT64 SPI_REG_OPCODE = 0x45;        // 8 bits
constexpr UINT64 SPI_REG_CONTROL = 0x47;       // 8 bits; bit 7 execute
constexpr UINT64 SPI_REG_TX_COUNT = 0x48;      // 8 bits
constexpr UINT64 SPI_REG_RX_COUNT = 0x4B;      // 8 bits
constexpr UINT64 SPI_REG_STATUS = 0x4C;        // 32 bits; bit 31 busy
constexpr UINT64 SPI_REG_FIFO = 0x80;          // 8 bits each
constexpr UINT8 SPI_CONTROL_EXECUTE = 1U << 7;
constexpr UINT32 SPI_STATUS_BUSY = 1U << 31;

constexpr UINT32 SPI_CONTROLLER_POLL_LIMIT = 255;  // reads of the busy or execute bit
constexpr UINT32 SPI_STATUS_POLL_LIMIT = 65535;    // read-status commands while waiting for the chip
constexpr UINT8 SPI_OPCODE_READ_STATUS = 0x05;
constexpr UINT8 SPI_STATUS_WIP = 1U << 0;

constexpr UINT8 SPI_MAILBOX_DONE_MASK = 0x0F;
constexpr UINT8 SPI_MAILBOX_DONE = 0x01;

extern SPI_MAILBOX_PROTOCOL *mSpiMailbox;
extern VOID *mSpiMailboxRegistration;

EFI_STATUS SpiExecuteCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                             UINT8 *Buffer, UINT8 WaitUntilReady);
VOID SpiControllerCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                          UINT8 *Buffer, UINT8 WaitUntilReady);
VOID SpiMailboxCommand(UINT8 Opcode, UINT8 TxCount, UINT8 RxCount, UINT8 AddressBytes, UINT64 Address,
                       UINT8 *Buffer, UINT8 WaitUntilReady);
EFI_STATUS EFIAPI SpiMailboxNotify(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle);

// Start-up: find the mailbox, or wait for it with a notification.
VOID LocateSpiMailbox();
