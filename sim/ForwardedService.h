// The platform's forwarded service that "$GB1" requests reach: three slots,
// each taking one 64-bit data address. Every call is recorded and answered
// with the status the test sets.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Protocols.h"

namespace sim {

class ForwardedService {
public:
  ForwardedService();
  ~ForwardedService();
  static ForwardedService &Current();

  struct Call {
    unsigned Slot;
    uint64_t Argument;
  };
  FORWARDED_SERVICE_PROTOCOL *Protocol() { return &Protocol_; }
  const std::vector<Call> &Calls() const { return Calls_; }
  EFI_STATUS Result = EFI_SUCCESS;

private:
  template <unsigned Slot> static EFI_STATUS EFIAPI Entry(UINT64 Argument);
  FORWARDED_SERVICE_PROTOCOL Protocol_;
  std::vector<Call> Calls_;
};

} // namespace sim
