// The platform's SPI mailbox: an SPI_MAILBOX_PROTOCOL whose execute slot hands
// the command in its buffer to the security processor, which runs it on the
// same flash chip the FCH controller drives and writes back the received bytes
// and a completion code. The call returns once the command has completed, so
// its bus time and the mailbox round trip pass inside the call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "../driver/platform/Protocols.h"

namespace sim {

class FlashChip;

class SpiMailbox {
public:
  // Completion code of a carried-out command: the low four bits equal to 1.
  static constexpr uint8_t CompletionDone = 0x01;
  // Security-processor round trip per command (doorbell, command fetch, reply);
  // a model parameter, not a published figure.
  static constexpr uint64_t MailboxOverheadPs = 20'000'000;
  static constexpr uint64_t DefaultClockHz = 33'000'000;

  struct Knobs {
    EFI_STATUS ExecuteStatus = EFI_SUCCESS;    // an error here is returned and the command not run
    std::optional<uint8_t> CompletionCode;     // written in place of 0x01; the command runs only if its low nibble is 1
  };

  // One call of the execute slot as the mailbox found it.
  struct ExecuteCall {
    uint64_t TimePs = 0;
    uint8_t StartFlag = 0; // as read at the call; the protocol requires 1
    uint8_t Opcode = 0;
    uint8_t TxCount = 0;
    uint8_t RxCount = 0;
    EFI_STATUS Status = EFI_SUCCESS;
    uint8_t CompletionCode = 0; // written at offset 0x02; 0 when the call failed before
    bool Ran = false;           // the command reached the chip
  };

  // One mailbox per process: the execute slot takes no arguments and finds it.
  explicit SpiMailbox(bool Enabled = true);
  ~SpiMailbox();
  SpiMailbox(const SpiMailbox &) = delete;
  SpiMailbox &operator=(const SpiMailbox &) = delete;

  SPI_MAILBOX_PROTOCOL *Protocol() { return Protocol_.get(); }
  void AttachChip(FlashChip *Chip) { Chip_ = Chip; }
  void SetClockHz(uint64_t Hz) { ClockHz_ = Hz; }
  Knobs &Knob() { return Knobs_; }

  const std::vector<ExecuteCall> &Calls() const { return Calls_; }
  uint64_t StartFlagViolations() const { return StartFlagViolations_; }
  // Bus time plus round trip of one command of Bytes bytes (opcode included).
  uint64_t CommandTimePs(uint64_t Bytes) const;

private:
  static EFI_STATUS EFIAPI ExecuteSlot();
  EFI_STATUS Execute();

  std::unique_ptr<SPI_MAILBOX_PROTOCOL> Protocol_;
  FlashChip *Chip_ = nullptr;
  uint64_t ClockHz_ = DefaultClockHz;
  Knobs Knobs_;
  std::vector<ExecuteCall> Calls_;
  uint64_t StartFlagViolations_ = 0;
};

} // namespace sim
