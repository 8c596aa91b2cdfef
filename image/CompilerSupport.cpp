// The four memory routines the compiler may call on its own in a freestanding
// image: for structure copies and zero-initialisation (memcpy, memset), for
// overlapping moves (memmove) and for comparisons it lowers to a call (memcmp).
// The image links no C library, so the image provides them.
//
// The image is built freestanding, which already stops the optimiser from
// recognising a loop as one of these routines; no_builtin keeps it so for the
// four loops below whatever the flags, since each would otherwise become a call
// to itself.
#include "platform/Uefi.h"

// The C library's size_t, spelled without a library header.
typedef decltype(sizeof(0)) SIZE_T;

extern "C" {

__attribute__((no_builtin)) VOID *memcpy(VOID *Destination, const VOID *Source, SIZE_T Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  for (SIZE_T Index = 0; Index < Length; ++Index) {
    To[Index] = From[Index];
  }
  return Destination;
}

__attribute__((no_builtin)) VOID *memset(VOID *Buffer, int Value, SIZE_T Length) {
  UINT8 *To = static_cast<UINT8 *>(Buffer);
  for (SIZE_T Index = 0; Index < Length; ++Index) {
    To[Index] = static_cast<UINT8>(Value);
  }
  return Buffer;
}

// Copies as if through a temporary buffer: forwards when the destination lies
// below the source, backwards otherwise, so that no byte is overwritten before
// it is read. The order is decided on the addresses as integers, since the two
// buffers need not belong to one object.
__attribute__((no_builtin)) VOID *memmove(VOID *Destination, const VOID *Source, SIZE_T Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  if (reinterpret_cast<UINTN>(To) < reinterpret_cast<UINTN>(From)) {
    for (SIZE_T Index = 0; Index < Length; ++Index) {
      To[Index] = From[Index];
    }
  } else {
    for (SIZE_T Index = Length; Index > 0; --Index) {
      To[Index - 1] = From[Index - 1];
    }
  }
  return Destination;
}

// Compares as unsigned bytes; the sign of the result is that of the first
// differing pair.
__attribute__((no_builtin)) int memcmp(const VOID *Left, const VOID *Right, SIZE_T Length) {
  const UINT8 *A = static_cast<const UINT8 *>(Left);
  const UINT8 *B = static_cast<const UINT8 *>(Right);
  for (SIZE_T Index = 0; Index < Length; ++Index) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

} // extern "C"
