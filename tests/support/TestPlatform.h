// Test helpers: a platform per test, with the checks every test wants at its
// end (no access the simulator could not back), and request buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"

namespace test {

// Owns the process's platform. The driver is loaded with Boot(); every test
// ends by checking that the driver touched nothing the platform does not back.
class PlatformTest : public ::testing::Test {
protected:
  void TearDown() override {
    if (Platform_) {
      EXPECT_TRUE(Platform_->M().Faults().empty()) << FaultList();
    }
  }
  sim::Platform &Make(sim::PlatformConfig Config = {}) {
    Platform_ = std::make_unique<sim::Platform>(std::move(Config));
    return *Platform_;
  }
  sim::Platform &P() { return *Platform_; }
  std::string FaultList() const {
    std::string S;
    for (const auto &F : Platform_->M().Faults()) {
      S += F + "\n";
    }
    return S;
  }

  std::unique_ptr<sim::Platform> Platform_;
};

// A request buffer placed in the platform's memory at Address.
struct Request {
  uint64_t Address;
  uint8_t *Bytes;

  template <typename T> T Get(size_t Offset) const {
    T Value;
    std::memcpy(&Value, Bytes + Offset, sizeof Value);
    return Value;
  }
  template <typename T> void Set(size_t Offset, T Value) { std::memcpy(Bytes + Offset, &Value, sizeof Value); }
  void Header(uint32_t Signature, uint32_t Function, uint64_t Status = 0) {
    Set<uint32_t>(0, Signature);
    Set<uint32_t>(4, Function);
    Set<uint64_t>(8, Status);
  }
};

// A buffer of Size bytes below 4 GiB, filled with Fill.
inline Request LowRequest(sim::Platform &P, size_t Size = 128, uint8_t Fill = 0xCC) {
  uint64_t Address = P.Fw().AllocateLow(Size);
  uint8_t *Bytes = P.Fw().Place(Address, Size);
  std::memset(Bytes, Fill, Size);
  return {Address, Bytes};
}

inline Request HighRequest(sim::Platform &P, size_t Size = 128, uint8_t Fill = 0xCC) {
  uint64_t Address = P.Fw().AllocateHigh(Size);
  uint8_t *Bytes = P.Fw().Place(Address, Size);
  std::memset(Bytes, Fill, Size);
  return {Address, Bytes};
}

} // namespace test

namespace test {

// Protocol and service calls the firmware saw whose trace line contains Text.
inline size_t CallsMatching(sim::Platform &P, const std::string &Text) {
  size_t N = 0;
  for (const auto &E : P.M().Log().Events) {
    N += E.Kind == sim::EventKind::Call && E.Text.find(Text) != std::string::npos;
  }
  return N;
}

} // namespace test
