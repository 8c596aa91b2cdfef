// Watches host memory by page protection and records every access the code
// under watch makes to it. While the guard is armed, each watched page is
// closed (no access, or read-only); an access faults, the fault is recorded
// (address, read or write, instruction), the page is opened for exactly that
// one instruction, which the processor's trap flag single-steps, and the page
// is closed again behind it. The code under watch runs unchanged, and every
// access it makes is counted, including a write of the value already there.
//
// Signal dispositions belong to the process, so one guard is armed at a time;
// the guard installs its SIGSEGV and SIGTRAP handlers when it is armed (after
// any sanitizer runtime has installed its own) and restores them when it is
// disarmed. A fault on memory the guard does not watch is handed to the
// handler that was there before, as if the guard did not exist.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class MemoryGuard {
public:
  enum class Mode {
    Accesses, // closed to reads and writes: both are recorded
    Writes,   // read-only: writes are recorded
  };

  struct Access {
    uint64_t Address;     // the faulting byte, as the processor reports it
    uint64_t Instruction; // address of the instruction that made the access
    bool Write;
    // The same instruction as the record before, which it continues into a
    // second watched page (an access straddling a page boundary).
    bool Continued;
  };

  MemoryGuard();
  ~MemoryGuard();
  MemoryGuard(const MemoryGuard &) = delete;
  MemoryGuard &operator=(const MemoryGuard &) = delete;

  // Watches the pages that cover [Base, Base + Size); they must be mapped and
  // readable and writable whenever the guard is not armed. Where two watches
  // share a page, Accesses wins over Writes.
  void Watch(uint64_t Base, uint64_t Size, Mode M);
  // Label names what runs while armed; a fault the guard hands on is reported
  // with it, since the process ends there.
  void Arm(const std::string &Label = {});
  // Reopens every watched page for reading and writing and makes the accesses
  // recorded since Arm available through Accesses().
  void Disarm();
  bool Armed() const { return Armed_; }

  const std::vector<Access> &Accesses() const { return Accesses_; }
  // True when more accesses happened while armed than the guard can hold;
  // the records then are incomplete.
  bool Overflowed() const { return Overflowed_; }

  // Whether faulting, opening and single-stepping works in this process (a
  // read and a write on a scratch page, both recorded with their addresses).
  // Checked on first use; must not be called while a guard is armed.
  static bool Works();

  static uint64_t PageSize();

private:
  struct Region {
    uint64_t Base, Size; // whole pages
    Mode M;
  };
  std::vector<Region> Regions_;
  bool Armed_ = false;
  bool Overflowed_ = false;
  std::vector<Access> Accesses_;
};

} // namespace sim
