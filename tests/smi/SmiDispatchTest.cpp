// Software SMI 0x90: which SMIs the driver takes, where it finds the request,
// what it validates and which handler the request reaches.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestPlatform.h"
#include "smi/SmiDispatch.h"

using sim::RequestSignature;

namespace {

class SmiDispatch : public test::PlatformTest {
protected:
  sim::Platform &Booted(sim::PlatformConfig Config = {}) {
    sim::Platform &P = Make(std::move(Config));
    EXPECT_EQ(P.Boot(), EFI_SUCCESS);
    return P;
  }
};

// SMIs that are not the driver's: it returns 0, reads no saved state and
// touches no memory.
TEST_F(SmiDispatch, IgnoresSmisThatAreNotItsOwn) {
  sim::Platform &P = Booted();
  test::Request R = test::LowRequest(P);
  R.Header(RequestSignature("$BDR"), 0, 0x1111);
  const std::vector<uint8_t> Before(R.Bytes, R.Bytes + 128);
  P.Fw().SetSaveState(0, R.Address, 0);
  const size_t SpiBefore = P.M().Log().Spi.size();

  EFI_SMM_SW_CONTEXT Context = {0, 0x90, 0};
  UINTN Size = sizeof Context;
  struct Case {
    const char *Name;
    EFI_SMM_SW_CONTEXT Context;
    bool NullBuffer, NullSize;
  } const Cases[] = {
      {"null CommBuffer", Context, true, false},
      {"null CommBufferSize", Context, false, true},
      {"no processor", {~0ULL, 0x90, 0}, false, false},
      {"command port 0x91", {0, 0x91, 0}, false, false},
      {"command port 0x00", {0, 0x00, 0}, false, false},
  };
  for (const Case &C : Cases) {
    EFI_SMM_SW_CONTEXT Ctx = C.Context;
    EXPECT_EQ(FlashSmiHandler(nullptr, nullptr, C.NullBuffer ? nullptr : &Ctx, C.NullSize ? nullptr : &Size),
              EFI_SUCCESS)
        << C.Name;
  }
  EXPECT_EQ(P.Fw().SaveStateReads(), 0u);
  EXPECT_EQ(P.Fw().Validations().size(), 0u);
  EXPECT_EQ(std::memcmp(Before.data(), R.Bytes, Before.size()), 0);
  EXPECT_EQ(P.M().Log().Spi.size(), SpiBefore);
}

TEST_F(SmiDispatch, WithoutValidationProtocolEverythingIsRefused) {
  sim::PlatformConfig Config;
  Config.Firmware.BufferValidation = false;
  sim::Platform &P = Booted(Config);
  test::Request R = test::LowRequest(P);
  R.Header(RequestSignature("$BDR"), 0, 0x1111);
  const std::vector<uint8_t> Before(R.Bytes, R.Bytes + 128);
  EXPECT_EQ(P.RaiseRequest(R.Address), EFI_ACCESS_DENIED);
  EXPECT_EQ(std::memcmp(Before.data(), R.Bytes, Before.size()), 0);
}

TEST_F(SmiDispatch, RefusedBufferIsNotTouched) {
  sim::Platform &P = Booted();
  test::Request R = test::LowRequest(P);
  R.Header(RequestSignature("$BDR"), 0, 0x1111);
  const std::vector<uint8_t> Before(R.Bytes, R.Bytes + 128);
  P.Fw().RefuseAllValidation(true);
  const EFI_STATUS Status = P.RaiseRequest(R.Address);
  EXPECT_TRUE(EfiError(Status));
  ASSERT_EQ(P.Fw().Validations().size(), 1u);
  EXPECT_EQ(P.Fw().Validations()[0].Address, R.Address);
  EXPECT_EQ(P.Fw().Validations()[0].Size, 32u);
  EXPECT_EQ(Status, P.Fw().Validations()[0].Status);
  EXPECT_EQ(std::memcmp(Before.data(), R.Bytes, Before.size()), 0);
}

// The request address is RCX:RBX, low halves only; the upper halves of both
// registers play no part.
TEST_F(SmiDispatch, RequestAddressFromLowHalvesOfRbxAndRcx) {
  sim::Platform &P = Booted();
  test::Request Low = test::LowRequest(P);
  test::Request High = test::HighRequest(P);
  struct Case {
    const char *Name;
    test::Request *Target;
    uint64_t Rbx, Rcx;
  } const Cases[] = {
      {"below 4 GiB", &Low, Low.Address, 0},
      {"below 4 GiB, upper halves set", &Low, 0xDEADBEEF00000000ULL | Low.Address, 0xFFFFFFFF00000000ULL},
      {"above 4 GiB", &High, High.Address & 0xFFFFFFFF, High.Address >> 32},
      {"above 4 GiB, upper halves set", &High, 0x1234567800000000ULL | (High.Address & 0xFFFFFFFF),
       0xABCD000000000000ULL | (High.Address >> 32)},
  };
  for (const Case &C : Cases) {
    C.Target->Header(RequestSignature("$RCH"), 0, 0x1111);
    EXPECT_EQ(P.Fw().RaiseSwSmi(0x90, 1, C.Rbx, C.Rcx), EFI_UNSUPPORTED) << C.Name;
    EXPECT_EQ(C.Target->Get<uint64_t>(8), EFI_UNSUPPORTED) << C.Name;
    EXPECT_EQ(P.Fw().Validations().back().Address, C.Target->Address) << C.Name;
  }
}

// Unknown signatures and functions get the unsupported status in the buffer
// and as the result.
TEST_F(SmiDispatch, UnknownRequests) {
  sim::Platform &P = Booted();
  test::Request R = test::LowRequest(P);
  struct {
    uint32_t Signature, Function;
  } const Cases[] = {
      {RequestSignature("$BDR"), 1}, {RequestSignature("$GB1"), 16}, {RequestSignature("$GB1"), 20},
      {RequestSignature("$RCH"), 0}, {RequestSignature("$RCH"), 2},  {RequestSignature("$bdr"), 0},
      {0, 0},                        {0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const auto &C : Cases) {
    R.Header(C.Signature, C.Function, 0);
    R.Set<uint64_t>(0x10, 0x0123456789ABCDEFULL);
    EXPECT_EQ(P.RaiseRequest(R.Address), EFI_UNSUPPORTED);
    EXPECT_EQ(R.Get<uint64_t>(8), EFI_UNSUPPORTED);
    EXPECT_EQ(R.Get<uint64_t>(0x10), 0x0123456789ABCDEFULL);
  }
  EXPECT_TRUE(P.Forwarded().Calls().empty());
}

TEST_F(SmiDispatch, RequestTableOrder) {
  const struct {
    uint32_t Signature, Function;
  } Expected[] = {{RequestSignature("$BDR"), 0},
                  {RequestSignature("$GB1"), 17},
                  {RequestSignature("$GB1"), 18},
                  {RequestSignature("$GB1"), 19},
                  {RequestSignature("$RCH"), 1}};
  for (size_t I = 0; I < SMI_REQUEST_HANDLER_COUNT; I++) {
    EXPECT_EQ(mSmiRequestHandlers[I].Signature, Expected[I].Signature) << I;
    EXPECT_EQ(mSmiRequestHandlers[I].Function, Expected[I].Function) << I;
    EXPECT_NE(mSmiRequestHandlers[I].Handler, nullptr) << I;
  }
}

} // namespace
