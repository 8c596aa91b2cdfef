#include "Platform.h"

#include <cstdio>
#include <cstdlib>

#include "entry/DriverEntry.h"

namespace sim {

namespace {
constexpr uint64_t Rom3BaseAbove4G = 0xFD00000000ULL;
// The image handle; the driver never uses it.
int ImageHandleObject;
const EFI_HANDLE ImageHandle = &ImageHandleObject;
} // namespace

PlatformConfig PlatformPreset(std::string_view Name) {
  PlatformConfig C;
  C.Name = std::string(Name);
  if (Name == "default") {
    return C;
  }
  if (Name == "rom2-32m") {
    C.LpcRom2Start = 0xFE00;
    return C;
  }
  if (Name == "rom3" || Name == "remapped") {
    C.Cpu = CpuPreset("zen2");
    C.SpiRegisters[SpiController::Rom3ControlReg] = 1;
    C.SpiRegisters[SpiController::Rom3BaseLowReg] = static_cast<uint32_t>(Rom3BaseAbove4G);
    C.SpiRegisters[SpiController::Rom3BaseHighReg] = static_cast<uint32_t>(Rom3BaseAbove4G >> 32);
    if (Name == "remapped") {
      C.SpiRegisters[SpiController::SegmentRemapReg] = 1;
    }
    return C;
  }
  std::fprintf(stderr, "sim: unknown platform preset '%.*s'\n", static_cast<int>(Name.size()), Name.data());
  std::exit(2);
}

std::vector<std::string> PlatformPresetNames() { return {"default", "rom2-32m", "rom3", "remapped"}; }

Platform::Platform(PlatformConfig Config) : Config_(std::move(Config)), Machine_(Config_.Cpu) {
  Pci_.SetLpcRom2(Config_.LpcRom2Start, Config_.LpcRom2End);
  Pci_.Map(Machine_);
  for (const auto &[Offset, Value] : Config_.SpiRegisters) {
    Spi_.SetRegister32(Offset, Value);
  }
  Spi_.SetClockHz(Config_.SpiClockHz);
  Spi_.Map(Machine_);
  Chip_ = std::make_unique<FlashChip>(Config_.Chip);
  Spi_.AttachChip(Chip_.get());
  Windows_ = std::make_unique<FlashWindows>(Spi_, Pci_);
  Windows_->Refresh();
  Firmware_ = std::make_unique<sim::Firmware>(Machine_, Config_.Firmware);
  if (Config_.Mailbox != Presence::Absent) {
    Mailbox_ = std::make_unique<SpiMailbox>(Config_.MailboxEnabled);
    Mailbox_->AttachChip(Chip_.get());
    Mailbox_->SetClockHz(Config_.SpiClockHz);
    if (Config_.Mailbox == Presence::AtBoot) {
      Firmware_->SmmInstallProtocol(SPI_MAILBOX_PROTOCOL_GUID, Mailbox_->Protocol());
    }
  }
  if (Config_.Forwarded == Presence::AtBoot) {
    Firmware_->SmmInstallProtocol(FORWARDED_SERVICE_PROTOCOL_GUID, Forwarded_.Protocol());
  }
}

Platform::~Platform() = default;

EFI_STATUS Platform::Boot() {
  if (EntryStatus_) {
    std::fprintf(stderr, "sim: the driver is loaded once per process\n");
    std::abort();
  }
  Machine_.Log().Text(EventKind::Note, Machine_.NowPs(), "driver entry");
  EntryStatus_ = FlashSmmDriverEntry(ImageHandle, Firmware_->SystemTable());
  return *EntryStatus_;
}

void Platform::InstallLateMailbox() {
  if (!Mailbox_) {
    Mailbox_ = std::make_unique<SpiMailbox>(Config_.MailboxEnabled);
    Mailbox_->AttachChip(Chip_.get());
    Mailbox_->SetClockHz(Config_.SpiClockHz);
  }
  Firmware_->SmmInstallProtocol(SPI_MAILBOX_PROTOCOL_GUID, Mailbox_->Protocol());
}

void Platform::InstallLateForwardedService() {
  Firmware_->SmmInstallProtocol(FORWARDED_SERVICE_PROTOCOL_GUID, Forwarded_.Protocol());
}

EFI_STATUS Platform::RaiseRequest(uint64_t Address, uint64_t Cpu) {
  return Firmware_->RaiseSwSmi(0x90, Cpu, Address & 0xFFFFFFFF, Address >> 32);
}

} // namespace sim
