#include "MemoryGuard.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace sim {

namespace {

// x86-64: EFLAGS.TF (bit 8) raises a debug trap after the next instruction;
// bit 1 of the page-fault error code is set when the access was a write.
constexpr greg_t kTrapFlag = 0x100;
constexpr greg_t kPageFaultWrite = 0x2;

// Fixed storage, since the signal handlers may not allocate.
constexpr size_t kMaxRegions = 64;
constexpr size_t kMaxRecords = 1 << 16;
// Pages one instruction may open before its single step closes them again: a
// string instruction or a straddling access touches a few, never more.
constexpr size_t kMaxOpenPages = 8;
constexpr int kNotWatched = -1;

struct ArmedRegion {
  uint64_t Base, End;
  int Protection;
};

ArmedRegion gRegions[kMaxRegions];
size_t gRegionCount = 0;
MemoryGuard::Access gRecords[kMaxRecords];
size_t gRecordCount = 0;
bool gOverflowed = false;
uint64_t gOpenPages[kMaxOpenPages];
size_t gOpenCount = 0;
bool gStepping = false;
uint64_t gStepInstruction = 0;
volatile sig_atomic_t gArmed = 0;
struct sigaction gPreviousSegv, gPreviousTrap;
uint64_t gPageSize = 0;

[[noreturn]] void GuardError(const char *What) {
  std::fprintf(stderr, "sim: memory guard: %s\n", What);
  std::abort();
}

// What runs while armed, for the report of a fault that is handed on.
char gLabel[256];

void Say(const char *Text) {
  ssize_t Ignored = write(STDERR_FILENO, Text, std::strlen(Text));
  (void)Ignored;
}

// Async-signal-safe report: no formatting library, no allocation.
void SayFault(const char *What, uint64_t Address) {
  char Digits[19] = "0x";
  for (int Index = 0; Index < 16; Index++) {
    Digits[2 + Index] = "0123456789ABCDEF"[(Address >> (60 - 4 * Index)) & 0xF];
  }
  Digits[18] = 0;
  Say("sim: memory guard: ");
  Say(What);
  Say(" at ");
  Say(Digits);
  if (gLabel[0] != 0) {
    Say(" while running ");
    Say(gLabel);
  }
  Say("\n");
}

// The protection a watched page keeps while armed: no access when any
// Accesses watch covers it, read-only when only Writes watches do.
int ProtectionOf(uint64_t Page) {
  int Protection = kNotWatched;
  for (size_t Index = 0; Index < gRegionCount; Index++) {
    const ArmedRegion &R = gRegions[Index];
    if (Page >= R.Base && Page < R.End) {
      if (R.Protection == PROT_NONE) {
        return PROT_NONE;
      }
      Protection = R.Protection;
    }
  }
  return Protection;
}

// A signal that is not the guard's: the handler that was there before gets
// it, as if the guard did not exist.
void PassOn(int Signal, const struct sigaction *Previous) {
  sigaction(Signal, Previous, nullptr);
}

void OnSegv(int, siginfo_t *Info, void *Context) {
  auto *Registers = static_cast<ucontext_t *>(Context)->uc_mcontext.gregs;
  const uint64_t Address = reinterpret_cast<uint64_t>(Info->si_addr);
  const uint64_t Page = Address & ~(gPageSize - 1);
  const int Protection = gArmed != 0 && Info->si_code == SEGV_ACCERR ? ProtectionOf(Page) : kNotWatched;
  if (Protection == kNotWatched || gOpenCount == kMaxOpenPages) {
    SayFault(Protection == kNotWatched ? "fault outside the watched memory" : "too many watched pages in one instruction",
             Address);
    // Returning repeats the access, which now reaches the previous handler.
    PassOn(SIGSEGV, &gPreviousSegv);
    return;
  }
  const uint64_t Instruction = static_cast<uint64_t>(Registers[REG_RIP]);
  if (gRecordCount < kMaxRecords) {
    gRecords[gRecordCount++] = {.Address = Address,
                                .Instruction = Instruction,
                                .Write = (Registers[REG_ERR] & kPageFaultWrite) != 0,
                                .Continued = gStepping && Instruction == gStepInstruction};
  } else {
    gOverflowed = true;
  }
  mprotect(reinterpret_cast<void *>(Page), gPageSize, PROT_READ | PROT_WRITE);
  gOpenPages[gOpenCount++] = Page;
  gStepping = true;
  gStepInstruction = Instruction;
  Registers[REG_EFL] |= kTrapFlag;
}

void OnTrap(int, siginfo_t *, void *Context) {
  if (!gStepping) {
    PassOn(SIGTRAP, &gPreviousTrap);
    raise(SIGTRAP);
    return;
  }
  for (size_t Index = 0; Index < gOpenCount; Index++) {
    mprotect(reinterpret_cast<void *>(gOpenPages[Index]), gPageSize, ProtectionOf(gOpenPages[Index]));
  }
  gOpenCount = 0;
  gStepping = false;
  static_cast<ucontext_t *>(Context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
}

void Protect(uint64_t Base, uint64_t Size, int Protection) {
  if (mprotect(reinterpret_cast<void *>(Base), Size, Protection) != 0) {
    GuardError("cannot change the protection of a watched range");
  }
}

} // namespace

uint64_t MemoryGuard::PageSize() {
  if (gPageSize == 0) {
    gPageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  }
  return gPageSize;
}

MemoryGuard::MemoryGuard() { PageSize(); }

MemoryGuard::~MemoryGuard() {
  if (Armed_) {
    Disarm();
  }
}

void MemoryGuard::Watch(uint64_t Base, uint64_t Size, Mode M) {
  if (Armed_) {
    GuardError("a watch is added while the guard is armed");
  }
  if (Size == 0) {
    return;
  }
  if (Regions_.size() == kMaxRegions) {
    GuardError("too many watched ranges");
  }
  const uint64_t First = Base & ~(gPageSize - 1);
  const uint64_t End = (Base + Size + gPageSize - 1) & ~(gPageSize - 1);
  Regions_.push_back({First, End - First, M});
}

void MemoryGuard::Arm(const std::string &Label) {
  if (gArmed != 0) {
    GuardError("a second guard is armed");
  }
  const size_t Length = std::min(Label.size(), sizeof gLabel - 1);
  std::memcpy(gLabel, Label.data(), Length);
  gLabel[Length] = 0;
  gRegionCount = 0;
  for (const Region &R : Regions_) {
    gRegions[gRegionCount++] = {R.Base, R.Base + R.Size, R.M == Mode::Accesses ? PROT_NONE : PROT_READ};
  }
  gRecordCount = 0;
  gOverflowed = false;
  gOpenCount = 0;
  gStepping = false;

  struct sigaction Action = {};
  Action.sa_flags = SA_SIGINFO;
  sigemptyset(&Action.sa_mask);
  Action.sa_sigaction = OnSegv;
  sigaction(SIGSEGV, &Action, &gPreviousSegv);
  Action.sa_sigaction = OnTrap;
  sigaction(SIGTRAP, &Action, &gPreviousTrap);

  // Read-only watches first, so that a page under both ends up closed.
  for (Mode Pass : {Mode::Writes, Mode::Accesses}) {
    for (const Region &R : Regions_) {
      if (R.M == Pass) {
        Protect(R.Base, R.Size, Pass == Mode::Accesses ? PROT_NONE : PROT_READ);
      }
    }
  }
  Armed_ = true;
  gArmed = 1;
}

void MemoryGuard::Disarm() {
  if (!Armed_) {
    return;
  }
  gArmed = 0;
  for (const Region &R : Regions_) {
    Protect(R.Base, R.Size, PROT_READ | PROT_WRITE);
  }
  sigaction(SIGSEGV, &gPreviousSegv, nullptr);
  sigaction(SIGTRAP, &gPreviousTrap, nullptr);
  Accesses_.assign(gRecords, gRecords + gRecordCount);
  Overflowed_ = gOverflowed;
  gRegionCount = 0;
  Armed_ = false;
}

bool MemoryGuard::Works() {
  static const bool Result = [] {
    const uint64_t Page = PageSize();
    void *Scratch = mmap(nullptr, Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Scratch == MAP_FAILED) {
      return false;
    }
    auto *Bytes = static_cast<volatile uint8_t *>(Scratch);
    constexpr size_t ReadOffset = 8, WriteOffset = 16;
    bool Good = false;
    {
      MemoryGuard Guard;
      Guard.Watch(reinterpret_cast<uint64_t>(Scratch), Page, Mode::Accesses);
      Guard.Arm();
      const uint8_t Value = Bytes[ReadOffset];
      Bytes[WriteOffset] = static_cast<uint8_t>(Value + 1);
      Guard.Disarm();
      const auto &A = Guard.Accesses();
      const uint64_t Base = reinterpret_cast<uint64_t>(Scratch);
      Good = A.size() == 2 && A[0].Address == Base + ReadOffset && !A[0].Write &&
             A[1].Address == Base + WriteOffset && A[1].Write && Bytes[WriteOffset] == 1;
    }
    munmap(Scratch, Page);
    return Good;
  }();
  return Result;
}

} // namespace sim
