#include "SpiMailbox.h"

#include <cstdio>
#include <cstdlib>

#include "FlashChip.h"
#include "Machine.h"

namespace sim {

namespace {
SpiMailbox *gMailbox = nullptr;

constexpr uint64_t PsPerSecond = 1'000'000'000'000ULL;
constexpr uint64_t BitsPerByte = 8;
constexpr uint64_t OpcodeBytes = 1;
constexpr uint8_t StartFlagSet = 1;
constexpr uint8_t CompletionDoneMask = 0x0F;
constexpr uint8_t FloatingBusByte = 0xFF;
} // namespace

SpiMailbox::SpiMailbox(bool Enabled) : Protocol_(std::make_unique<SPI_MAILBOX_PROTOCOL>()) {
  if (gMailbox != nullptr) {
    std::fprintf(stderr, "sim: a second SPI mailbox in one process\n");
    std::abort();
  }
  gMailbox = this;
  Protocol_->Execute = &SpiMailbox::ExecuteSlot;
  Protocol_->Enable = Enabled ? 1 : 0;
}

SpiMailbox::~SpiMailbox() { gMailbox = nullptr; }

uint64_t SpiMailbox::CommandTimePs(uint64_t Bytes) const {
  return Bytes * BitsPerByte * PsPerSecond / ClockHz_ + MailboxOverheadPs;
}

EFI_STATUS EFIAPI SpiMailbox::ExecuteSlot() { return gMailbox->Execute(); }

EFI_STATUS SpiMailbox::Execute() {
  Machine &M = Machine::Current();
  SPI_MAILBOX_COMMAND &Buffer = Protocol_->Command;
  ExecuteCall Call;
  Call.TimePs = M.NowPs();
  Call.StartFlag = Buffer.StartFlag;
  Call.Opcode = Buffer.Opcode;
  Call.TxCount = Buffer.TxCount;
  Call.RxCount = Buffer.RxCount;

  char Text[120];
  std::snprintf(Text, sizeof Text, "SpiMailbox.Execute op %02X tx %u rx %u start %u", Call.Opcode, Call.TxCount,
                Call.RxCount, Call.StartFlag);
  M.Log().Text(EventKind::Call, M.NowPs(), Text);
  if (Call.StartFlag != StartFlagSet) {
    StartFlagViolations_++;
    M.Log().Text(EventKind::Note, M.NowPs(), "SPI mailbox: execute called without the start flag set");
  }

  if (EfiError(Knobs_.ExecuteStatus)) {
    Call.Status = Knobs_.ExecuteStatus;
    Calls_.push_back(Call);
    return Call.Status;
  }

  Call.CompletionCode = Knobs_.CompletionCode.value_or(CompletionDone);
  const bool Carried = (Call.CompletionCode & CompletionDoneMask) == CompletionDone;
  if (Carried) {
    unsigned Tx = Buffer.TxCount;
    unsigned Rx = Buffer.RxCount;
    if (Tx + Rx > SPI_MAILBOX_DATA_SIZE) {
      std::snprintf(Text, sizeof Text, "SPI mailbox: tx %u + rx %u exceeds the %u-byte data area; clipped", Tx, Rx,
                    SPI_MAILBOX_DATA_SIZE);
      M.Log().Text(EventKind::Note, M.NowPs(), Text);
      Tx = Tx < SPI_MAILBOX_DATA_SIZE ? Tx : SPI_MAILBOX_DATA_SIZE;
      Rx = SPI_MAILBOX_DATA_SIZE - Tx < Rx ? SPI_MAILBOX_DATA_SIZE - Tx : Rx;
    }
    SpiCommand Command;
    Command.Path = SpiPath::Mailbox;
    Command.Opcode = Buffer.Opcode;
    Command.TxCount = static_cast<uint8_t>(Tx);
    Command.RxCount = static_cast<uint8_t>(Rx);
    Command.Tx.assign(Buffer.Data, Buffer.Data + Tx);
    Command.StartPs = M.NowPs();
    Command.EndPs = Command.StartPs + CommandTimePs(OpcodeBytes + Tx + Rx);
    if (Chip_ != nullptr) {
      Chip_->Execute(Command);
    } else {
      Command.Ignored = true;
    }
    Command.Rx.resize(Rx, FloatingBusByte);
    for (unsigned I = 0; I < Rx; I++) {
      Buffer.Data[Tx + I] = Command.Rx[I];
    }
    M.Advance(Command.EndPs - Command.StartPs);
    M.Log().Spi.push_back(std::move(Command));
    Call.Ran = true;
  } else {
    M.Advance(MailboxOverheadPs);
  }
  Buffer.CompletionCode = Call.CompletionCode;
  Calls_.push_back(Call);
  return EFI_SUCCESS;
}

} // namespace sim
