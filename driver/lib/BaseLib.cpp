#include "lib/BaseLib.h"

VOID CopyMem(VOID *Destination, const VOID *Source, UINTN Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  if (To == From || Length == 0) {
    return;
  }
  if (To < From || To >= From + Length) {
    for (UINTN Index = 0; Index < Length; Index++) {
      To[Index] = From[Index];
    }
  } else {
    for (UINTN Index = Length; Index > 0; Index--) {
      To[Index - 1] = From[Index - 1];
    }
  }
}

VOID SetMem(VOID *Buffer, UINTN Length, UINT8 Value) {
  UINT8 *To = static_cast<UINT8 *>(Buffer);
  for (UINTN Index = 0; Index < Length; Index++) {
    To[Index] = Value;
  }
}
