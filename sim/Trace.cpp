#include "Trace.h"

#include <cstdio>

namespace sim {

size_t Trace::Count(EventKind Kind) const {
  size_t N = 0;
  for (const auto &E : Events) {
    N += E.Kind == Kind;
  }
  return N;
}

size_t Trace::CountSpi(uint8_t Opcode) const {
  size_t N = 0;
  for (const auto &C : Spi) {
    N += C.Opcode == Opcode;
  }
  return N;
}

std::vector<uint8_t> Trace::SpiOpcodes() const {
  std::vector<uint8_t> Ops;
  for (const auto &C : Spi) {
    Ops.push_back(C.Opcode);
  }
  return Ops;
}

namespace {
std::string Hex(const std::vector<uint8_t> &Bytes, size_t From, size_t Limit = 16) {
  std::string S;
  char B[4];
  for (size_t I = From; I < Bytes.size() && I < From + Limit; I++) {
    std::snprintf(B, sizeof B, "%02X ", Bytes[I]);
    S += B;
  }
  if (Bytes.size() > From + Limit) {
    S += "...";
  } else if (!S.empty()) {
    S.pop_back();
  }
  return S;
}
} // namespace

std::string Trace::Format(const SpiCommand &C) {
  char Line[160];
  std::snprintf(Line, sizeof Line, "%12.3f us  %-10s op %02X  tx %2u rx %2u", C.StartPs / 1e6,
                C.Path == SpiPath::Controller ? "controller" : "mailbox", C.Opcode, C.TxCount, C.RxCount);
  std::string S = Line;
  if (C.AddressBytes > 0) {
    std::snprintf(Line, sizeof Line, "  addr[%d] %0*llX", C.AddressBytes, C.AddressBytes * 2,
                  static_cast<unsigned long long>(C.Address));
    S += Line;
  }
  if (C.Tx.size() > static_cast<size_t>(C.AddressBytes)) {
    S += "  data " + Hex(C.Tx, C.AddressBytes);
  }
  if (!C.Rx.empty()) {
    S += "  -> " + Hex(C.Rx, 0);
  }
  if (C.Ignored) {
    S += "  (ignored)";
  }
  std::snprintf(Line, sizeof Line, "  [%.3f us]", (C.EndPs - C.StartPs) / 1e6);
  return S + Line;
}

std::string Trace::FormatSpi() const {
  std::string S;
  for (const auto &C : Spi) {
    S += Format(C) + "\n";
  }
  return S;
}

std::string Trace::FormatAll() const {
  static const char *Names[] = {"mmio-rd", "mmio-wr", "port-in", "port-out", "cpuid", "rdmsr",
                                "clflush", "wbinvd",  "call",    "smi",      "note"};
  std::string S;
  char Line[200];
  for (const auto &E : Events) {
    if (E.Text.empty()) {
      std::snprintf(Line, sizeof Line, "%12.3f us  %-8s %llX w%u = %llX\n", E.TimePs / 1e6,
                    Names[static_cast<int>(E.Kind)], static_cast<unsigned long long>(E.Address), E.Width,
                    static_cast<unsigned long long>(E.Value));
    } else {
      std::snprintf(Line, sizeof Line, "%12.3f us  %-8s %s\n", E.TimePs / 1e6, Names[static_cast<int>(E.Kind)],
                    E.Text.c_str());
    }
    S += Line;
  }
  return S + FormatSpi();
}

} // namespace sim
