#include "ForwardedService.h"

#include <cstdio>
#include <cstdlib>

#include "Machine.h"

namespace sim {

namespace {
ForwardedService *gCurrent = nullptr;
}

ForwardedService::ForwardedService() : Protocol_{{Entry<0>, Entry<1>, Entry<2>}} { gCurrent = this; }
ForwardedService::~ForwardedService() { gCurrent = nullptr; }

ForwardedService &ForwardedService::Current() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "sim: forwarded service called with none present\n");
    std::abort();
  }
  return *gCurrent;
}

template <unsigned Slot> EFI_STATUS EFIAPI ForwardedService::Entry(UINT64 Argument) {
  ForwardedService &Self = Current();
  Self.Calls_.push_back({Slot, Argument});
  char Line[96];
  std::snprintf(Line, sizeof Line, "ForwardedService slot %u (0x%llX) -> 0x%llX", Slot,
                static_cast<unsigned long long>(Argument), static_cast<unsigned long long>(Self.Result));
  Machine::Current().Log().Text(EventKind::Call, Machine::Current().NowPs(), Line);
  return Self.Result;
}

} // namespace sim
