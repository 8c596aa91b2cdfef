// A whole simulated platform: processor, firmware, FCH SPI controller with its
// flash chip, PCI configuration space, flash windows, and the optional SPI
// mailbox and forwarded service. Tests and flashsmm-sim build one per process,
// boot the driver on it and raise SMIs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChipCatalogue.h"
#include "CpuPresets.h"
#include "Firmware.h"
#include "FlashChip.h"
#include "FlashWindows.h"
#include "ForwardedService.h"
#include "Machine.h"
#include "PciConfig.h"
#include "SpiController.h"
#include "SpiMailbox.h"

namespace sim {

// When a platform protocol shows up: installed before the driver loads,
// installed later by the test (InstallLate...), or never.
enum class Presence { AtBoot, Later, Absent };

struct PlatformConfig {
  std::string Name = "default";
  CpuConfig Cpu = CpuPreset("zen3");
  FirmwareConfig Firmware;
  ChipSpec Chip = *FindChip("Winbond W25Q128JV");
  uint16_t LpcRom2Start = 0xFF00; // ROM2 window 0xFF000000..0xFFFFFFFF
  uint16_t LpcRom2End = 0xFFFF;
  std::map<uint64_t, uint32_t> SpiRegisters; // register file presets, offset -> value
  uint64_t SpiClockHz = SpiController::DefaultClockHz;
  Presence Mailbox = Presence::Absent;
  bool MailboxEnabled = true;
  Presence Forwarded = Presence::AtBoot;
};

// The presets users meet: "default" (no ROM3, 16 MiB ROM2 window at
// 0xFF000000), "rom2-32m" (32 MiB ROM2 window at 0xFE000000), "rom3" (family
// 17h model 31h, ROM3 switched on at 0xFD00000000), "remapped" (ROM3 with the
// segment remap register 0x5C = 1).
PlatformConfig PlatformPreset(std::string_view Name);
std::vector<std::string> PlatformPresetNames();

class Platform {
public:
  explicit Platform(PlatformConfig Config = {});
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  const PlatformConfig &Config() const { return Config_; }
  Machine &M() { return Machine_; }
  sim::Firmware &Fw() { return *Firmware_; }
  SpiController &Spi() { return Spi_; }
  FlashChip &Chip() { return *Chip_; }
  PciConfig &Pci() { return Pci_; }
  FlashWindows &Windows() { return *Windows_; }
  SpiMailbox *Mailbox() { return Mailbox_.get(); }
  ForwardedService &Forwarded() { return Forwarded_; }

  // Loads the driver: calls its entry point with the system table, once.
  EFI_STATUS Boot();
  std::optional<EFI_STATUS> EntryStatus() const { return EntryStatus_; }
  void InstallLateMailbox();
  void InstallLateForwardedService();

  // Raises SMI 0x90 from processor Cpu with the request at Address (RBX low
  // half, RCX high half).
  EFI_STATUS RaiseRequest(uint64_t Address, uint64_t Cpu = 0);

private:
  PlatformConfig Config_;
  Machine Machine_;
  PciConfig Pci_;
  SpiController Spi_;
  std::unique_ptr<FlashChip> Chip_;
  std::unique_ptr<FlashWindows> Windows_;
  std::unique_ptr<sim::Firmware> Firmware_;
  std::unique_ptr<SpiMailbox> Mailbox_;
  ForwardedService Forwarded_;
  std::optional<EFI_STATUS> EntryStatus_;
};

// Request layouts as a caller writes them.
constexpr uint32_t RequestSignature(const char (&Letters)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(Letters[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(Letters[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(Letters[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(Letters[3])) << 24;
}

} // namespace sim
