// The FCH's decode of the flash windows, from the hardware side: which chip
// byte answers a processor read at a given address.
//
// ROM2 lies below 4 GiB between the LPC bridge's start and end registers (64
// KiB units, last unit included). With the ROM3 feature on (SPI register 0x50
// bit 0) the FCH sends 26-bit SPI addresses and places the 32 MiB below 4 GiB
// at flash 0..32 MiB of a 64 MiB space: the segment number A[31:24] + 2 taken
// mod 4, its bits 0 and 1 replaceable by SPI register 0x30 (bit 2 forces bit 0
// to register bit 0, bit 3 forces bit 1 to register bit 1), then XORed with
// SPI register 0x5C. Without it the FCH sends A[23:0], so every 16 MiB segment
// of the window shows the chip's first 16 MiB.
//
// ROM3 is 64 MiB at (register 0x64 << 32 | register 0x60) with the low 26 bits
// cleared, decoded only while register 0x50 bit 0 is set: segment ((A - base)
// >> 24) XOR register 0x5C, mod 4, then A[23:0].
//
// The chip answers the SPI address modulo its size. Registers are read live;
// the windows are mapped on the machine as they stand when Refresh runs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Machine.h"

namespace sim {

class SpiController;
class PciConfig;

class FlashWindows {
public:
  static constexpr uint64_t SegmentSize = 0x01000000;   // 16 MiB
  static constexpr uint64_t SegmentOffsetMask = SegmentSize - 1;
  static constexpr uint64_t Rom2UnitSize = 0x10000;     // LPC ROM range registers count 64 KiB
  static constexpr uint64_t Rom3WindowSize = 0x04000000; // 64 MiB, aligned to its size
  static constexpr unsigned Rom3SegmentMask = 3;        // four 16 MiB segments in a 26-bit space
  // ROM2 segment n of the 32 MiB below 4 GiB (A[31:24] = 0xFE, 0xFF) shows
  // flash segment n: the segment number plus 2 wraps to 0 and 1.
  static constexpr unsigned Rom2SegmentBias = 2;
  static constexpr uint32_t Rom3EnableBit = 1u << 0;
  static constexpr uint32_t ForcedSegmentBits = 0x3;    // register 0x30 bits 1:0
  static constexpr unsigned ForceEnableShift = 2;       // register 0x30 bits 3:2 enable them
  static constexpr uint8_t WindowReadOpcode = 0x03;     // the FCH fetches window bytes with normal reads

  struct Range {
    uint64_t Base = 0;
    uint64_t Size = 0;
  };

  FlashWindows(SpiController &Spi, PciConfig &Pci);
  ~FlashWindows();

  // Ranges whose devices take precedence over the windows (the SPI controller
  // and ECAM are excluded from the start).
  void Exclude(uint64_t Base, uint64_t Size);
  // Maps on the current machine every part of the windows, as the registers
  // now place them, that is not mapped yet. Call again after the LPC range or
  // the ROM3 registers change; parts no longer inside a window fault on access.
  void Refresh();

  std::optional<Range> Rom2Window() const;
  std::optional<Range> Rom3Window() const;
  // The address the FCH puts on the SPI bus for a read at Address, if a window decodes it.
  std::optional<uint64_t> SpiAddress(uint64_t Address) const;
  // The chip byte that answers a read at Address; none without a window or a chip.
  std::optional<uint64_t> Decode(uint64_t Address) const;

private:
  class Mapping;
  uint64_t ReadWindow(uint64_t Address, unsigned Width);
  uint32_t Register(uint64_t Offset) const;
  // The ROM3 window and the 26-bit ROM2 decode: an FCH that has the feature,
  // with register 0x50 bit 0 set. Older FCHs ignore the register.
  bool Rom3On() const;

  SpiController &Spi_;
  PciConfig &Pci_;
  std::vector<Range> Excluded_;
  std::vector<std::unique_ptr<Mapping>> Mapped_;
};

} // namespace sim
