// The hardware instance of the access primitives: one instruction each, through
// volatile accesses so that the compiler neither merges nor drops them.
#include "../Access.h"

namespace {
template <typename T> T MmioRead(UINT64 Address) { return *reinterpret_cast<volatile T *>(Address); }
template <typename T> VOID MmioWrite(UINT64 Address, T Value) { *reinterpret_cast<volatile T *>(Address) = Value; }
} // namespace

UINT8 MmioRead8(UINT64 Address) { return MmioRead<UINT8>(Address); }
UINT16 MmioRead16(UINT64 Address) { return MmioRead<UINT16>(Address); }
UINT32 MmioRead32(UINT64 Address) { return MmioRead<UINT32>(Address); }
VOID MmioWrite8(UINT64 Address, UINT8 Value) { MmioWrite<UINT8>(Address, Value); }
VOID MmioWrite16(UINT64 Address, UINT16 Value) { MmioWrite<UINT16>(Address, Value); }
VOID MmioWrite32(UINT64 Address, UINT32 Value) { MmioWrite<UINT32>(Address, Value); }

UINT8 IoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
UINT16 IoRead16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
UINT32 IoRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}
VOID IoWrite8(UINT16 Port, UINT8 Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }
VOID IoWrite16(UINT16 Port, UINT16 Value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port)); }
VOID IoWrite32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

UINT32 AsmCpuid(UINT32 Leaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx, UINT32 *Edx) {
  UINT32 A, B, C, D;
  __asm__ __volatile__("cpuid" : "=a"(A), "=b"(B), "=c"(C), "=d"(D) : "a"(Leaf), "c"(0));
  if (Eax != nullptr) {
    *Eax = A;
  }
  if (Ebx != nullptr) {
    *Ebx = B;
  }
  if (Ecx != nullptr) {
    *Ecx = C;
  }
  if (Edx != nullptr) {
    *Edx = D;
  }
  return Leaf;
}

UINT64 AsmReadMsr64(UINT32 Index) {
  UINT32 Low, High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return (static_cast<UINT64>(High) << 32) | Low;
}

UINT64 AsmReadTsc() {
  UINT32 Low, High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID CpuPause() { __asm__ __volatile__("pause" ::: "memory"); }
VOID AsmWbinvd() { __asm__ __volatile__("wbinvd" ::: "memory"); }

UINT64 AsmFlushCacheLine(UINT64 Address) {
  __asm__ __volatile__("clflush (%0)" : : "r"(Address) : "memory");
  return Address;
}

VOID AsmMfence() { __asm__ __volatile__("mfence" ::: "memory"); }

UINT16 CpuidBackdoorQuery() {
  UINT64 Si;
  // RBX is saved by hand: it may be the frame or base register.
  __asm__ __volatile__("pushfq\n\t"
                       "pushq %%rbx\n\t"
                       "pushq %%rcx\n\t"
                       "pushq %%rdx\n\t"
                       "pushq %%rsi\n\t"
                       "movl $0xBACCD00B, %%eax\n\t"
                       "movl $2, %%ebx\n\t"
                       "xorl %%esi, %%esi\n\t"
                       "cpuid\n\t"
                       "movq %%rsi, %%rax\n\t"
                       "popq %%rsi\n\t"
                       "popq %%rdx\n\t"
                       "popq %%rcx\n\t"
                       "popq %%rbx\n\t"
                       "popfq"
                       : "=a"(Si)
                       :
                       : "memory");
  return static_cast<UINT16>(Si);
}
