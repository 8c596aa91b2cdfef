// One SPI command through the FCH SPI controller or the SPI mailbox, checked
// on the register accesses and SPI commands the platform saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "TestPlatform.h"
#include "flash/FlashOps.h"
#include "spi/SpiEngine.h"

namespace {

constexpr uint64_t kSpi = 0xFEC10000;

struct Access {
  sim::EventKind Kind;
  uint64_t Offset;
  unsigned Width;
  uint64_t Value;
  bool operator==(const Access &) const = default;
};

std::ostream &operator<<(std::ostream &Out, const Access &A) {
  return Out << (A.Kind == sim::EventKind::MmioRead ? "rd" : "wr") << A.Width * 8 << " +0x" << std::hex << A.Offset
             << " = 0x" << A.Value << std::dec;
}

class SpiEngine : public test::PlatformTest {
protected:
  // A booted platform with an empty trace.
  sim::Platform &Ready(sim::PlatformConfig Config = {}) {
    sim::Platform &P = Make(std::move(Config));
    EXPECT_EQ(P.Boot(), EFI_SUCCESS);
    P.M().Log().Clear();
    return P;
  }

  // Accesses to the controller's registers, in order.
  std::vector<Access> ControllerAccesses() {
    std::vector<Access> A;
    for (const auto &E : P().M().Log().Events) {
      if ((E.Kind == sim::EventKind::MmioRead || E.Kind == sim::EventKind::MmioWrite) && E.Address >= kSpi &&
          E.Address < kSpi + 0x100) {
        A.push_back({E.Kind, E.Address - kSpi, E.Width, E.Value});
      }
    }
    return A;
  }
  size_t Count(const std::vector<Access> &A, sim::EventKind Kind, uint64_t Offset) {
    size_t N = 0;
    for (const Access &X : A) {
      N += X.Kind == Kind && X.Offset == Offset;
    }
    return N;
  }
};

constexpr auto Rd = sim::EventKind::MmioRead;
constexpr auto Wr = sim::EventKind::MmioWrite;

// A read-identification command, access by access: opcode, counts, busy
// check, start, completion poll, then the three bytes from FIFO offsets 0..2.
TEST_F(SpiEngine, ControllerSequenceOfReadId) {
  Ready();
  UINT8 Id[3] = {};
  EXPECT_EQ(SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0), EFI_SUCCESS);
  const std::vector<Access> A = ControllerAccesses();
  ASSERT_GE(A.size(), 9u);
  const std::vector<Access> Head(A.begin(), A.begin() + 6);
  const std::vector<Access> ExpectedHead = {{Wr, 0x45, 1, 0x9F}, {Wr, 0x48, 1, 0}, {Wr, 0x4B, 1, 3},
                                            {Rd, 0x4C, 4, 0},    {Rd, 0x47, 1, 0}, {Wr, 0x47, 1, 0x80}};
  EXPECT_EQ(Head, ExpectedHead);
  const std::vector<Access> Tail(A.end() - 3, A.end());
  const std::vector<Access> ExpectedTail = {{Rd, 0x80, 1, 0xEF}, {Rd, 0x81, 1, 0x40}, {Rd, 0x82, 1, 0x18}};
  EXPECT_EQ(Tail, ExpectedTail);
  // Between them only reads of the execute bit, the last one clear.
  for (size_t I = 6; I < A.size() - 3; I++) {
    EXPECT_EQ(A[I].Kind, Rd);
    EXPECT_EQ(A[I].Offset, 0x47u);
  }
  EXPECT_EQ(A[A.size() - 4].Value & 0x80, 0u);
  EXPECT_EQ(Id[0], 0xEF);
  EXPECT_EQ(Id[2], 0x18);
  ASSERT_EQ(P().M().Log().Spi.size(), 1u);
  EXPECT_EQ(P().M().Log().Spi[0].Path, sim::SpiPath::Controller);
}

// Address bytes go most significant first; data follows them in the FIFO;
// received bytes come from right after the transmitted ones.
TEST_F(SpiEngine, AddressBytesDataAndFifoOffsets) {
  struct Case {
    const char *Name;
    UINT8 Opcode, TxCount, RxCount, AddressBytes;
    UINT64 Address;
    std::vector<UINT8> Data;
    std::vector<UINT8> WireTx;
    uint64_t FirstRxFifo;
  } const Cases[] = {
      {"3 address bytes", 0x03, 3, 4, 3, 0x123456, {}, {0x12, 0x34, 0x56}, 3},
      {"4 address bytes", 0x13, 4, 4, 4, 0x123456, {}, {0x00, 0x12, 0x34, 0x56}, 4},
      {"upper address bits dropped", 0x03, 3, 1, 3, 0xAB123456, {}, {0x12, 0x34, 0x56}, 3},
      {"64 bytes after 4 address bytes", 0x13, 4, 64, 4, 0x1000, {}, {0x00, 0x00, 0x10, 0x00}, 4},
      {"address then data", 0x02, 5, 0, 3, 0x000100, {0xA5, 0x5A}, {0x00, 0x01, 0x00, 0xA5, 0x5A}, 0},
  };
  // A 32 MiB part that answers the four-byte read 0x13.
  sim::PlatformConfig Config;
  Config.Chip = *sim::FindChip("Winbond W25Q256JV");
  sim::Platform &P = Ready(Config);
  P.Chip().Fill(0x1000, std::vector<uint8_t>(0x100, 0x77));
  P.Chip().Fill(0x123456, std::vector<uint8_t>(0x10, 0x77));
  for (const Case &C : Cases) {
    P.M().Log().Clear();
    std::vector<UINT8> Buffer(68, 0xEE);
    std::copy(C.Data.begin(), C.Data.end(), Buffer.begin());
    // Write enable first, so that the program case is a legal command.
    if (C.Opcode == 0x02) {
      SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
    }
    SpiExecuteCommand(C.Opcode, C.TxCount, C.RxCount, C.AddressBytes, C.Address, Buffer.data(), 0);
    const sim::SpiCommand &Sent = P.M().Log().Spi.back();
    EXPECT_EQ(Sent.Tx, C.WireTx) << C.Name;
    EXPECT_EQ(Sent.RxCount, C.RxCount) << C.Name;
    const auto A = ControllerAccesses();
    std::vector<uint64_t> RxFifo;
    for (const Access &X : A) {
      if (X.Kind == Rd && X.Offset >= 0x80) {
        RxFifo.push_back(X.Offset - 0x80);
      }
    }
    ASSERT_EQ(RxFifo.size(), C.RxCount) << C.Name;
    if (C.RxCount > 0) {
      EXPECT_EQ(RxFifo.front(), C.FirstRxFifo) << C.Name;
      EXPECT_EQ(RxFifo.back(), C.FirstRxFifo + C.RxCount - 1) << C.Name;
      EXPECT_EQ(Buffer[0], 0x77) << C.Name;
    }
  }
}

// TxCount equal to AddressBytes takes nothing from the buffer; a null buffer
// still runs the command and stores nothing.
TEST_F(SpiEngine, NullAndUnusedBuffers) {
  sim::Platform &P = Ready();
  SpiExecuteCommand(0x03, 3, 0, 3, 0x10, nullptr, 0);
  EXPECT_EQ(P.M().Log().Spi.back().Tx, (std::vector<uint8_t>{0x00, 0x00, 0x10}));
  P.M().Log().Clear();
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, nullptr, 0);
  ASSERT_EQ(P.M().Log().Spi.size(), 1u);
  EXPECT_EQ(Count(ControllerAccesses(), Rd, 0x80), 0u);
}

// Hardware that never lets go: every wait ends at its bound, in virtual time.
TEST_F(SpiEngine, ControllerBusyThroughout) {
  sim::Platform &P = Ready();
  P.Spi().Knob().BusyStuck = true;
  const uint64_t Start = P.M().NowPs();
  UINT8 Id[3] = {1, 2, 3};
  EXPECT_EQ(SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0), EFI_SUCCESS);
  const auto A = ControllerAccesses();
  EXPECT_EQ(Count(A, Rd, 0x4C), 255u);
  EXPECT_EQ(Count(A, Wr, 0x47), 0u); // never started
  EXPECT_TRUE(P.M().Log().Spi.empty());
  EXPECT_EQ(Id[0], 1); // nothing delivered
  const uint64_t Elapsed = P.M().NowPs() - Start;
  EXPECT_GE(Elapsed, 255'000'000u);  // 255 delays of 1 us
  EXPECT_LT(Elapsed, 400'000'000u);
}

TEST_F(SpiEngine, ExecuteBitStuck) {
  sim::Platform &P = Ready();
  P.Spi().Knob().ExecuteStuck = true;
  UINT8 Status = 0x5A;
  const uint64_t Start = P.M().NowPs();
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &Status, 1);
  const auto A = ControllerAccesses();
  // One read before the start, then 255 polls; no status poll, nothing copied.
  EXPECT_EQ(Count(A, Rd, 0x47), 1u + 255u);
  EXPECT_EQ(Count(A, Wr, 0x45), 1u);
  EXPECT_EQ(P.M().Log().CountSpi(0x05), 0u);
  const uint64_t Elapsed = P.M().NowPs() - Start;
  EXPECT_GE(Elapsed, 255'000'000u);
  EXPECT_LT(Elapsed, 400'000'000u);
}

// A status write waits with read-status commands (0x05, whatever the active
// set says) until write-in-progress clears; the chip's datasheet tW decides
// how many.
TEST_F(SpiEngine, WaitUntilReadyPollsWithReadStatus) {
  sim::Platform &P = Ready();
  mOpcodes.ReadStatusOp.Opcode = 0xD7;
  SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
  UINT8 NewStatus = 0x00;
  const uint64_t Start = P.M().NowPs();
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &NewStatus, 1);
  const auto &Spi = P.M().Log().Spi;
  ASSERT_GE(Spi.size(), 3u);
  EXPECT_EQ(Spi[1].Opcode, 0x01);
  size_t Polls = 0;
  for (size_t I = 2; I < Spi.size(); I++) {
    EXPECT_EQ(Spi[I].Opcode, 0x05);
    EXPECT_EQ(Spi[I].Path, sim::SpiPath::Controller);
    Polls++;
  }
  EXPECT_EQ(Spi.back().Rx.at(0) & 1, 0);
  EXPECT_EQ(Spi[Spi.size() - 2].Rx.at(0) & 1, 1);
  EXPECT_FALSE(P.Chip().Busy(P.M().NowPs()));
  // The wait lasted the chip's status-write time, not much more.
  const uint64_t tW = P.Chip().Spec().Times.tWTypUs * 1'000'000;
  EXPECT_GE(P.M().NowPs() - Start, tW);
  EXPECT_LT(P.M().NowPs() - Start, tW + tW / 10 + 20'000'000);
  EXPECT_GT(Polls, 100u);
}

// A chip that never becomes ready: 65 535 polls, then the command gives up.
TEST_F(SpiEngine, StatusPollBound) {
  sim::Platform &P = Ready();
  P.Chip().Knob().StuckBusy = true;
  P.M().Log().RecordAccesses = false;
  SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
  UINT8 NewStatus = 0x00;
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &NewStatus, 1);
  EXPECT_EQ(P.M().Log().CountSpi(0x05), 65535u);
  EXPECT_TRUE(P.Chip().Busy(P.M().NowPs()));
}

class SpiMailboxPath : public SpiEngine {
protected:
  sim::Platform &WithMailbox(bool Enabled) {
    sim::PlatformConfig Config;
    Config.Mailbox = sim::Presence::AtBoot;
    Config.MailboxEnabled = Enabled;
    return Ready(Config);
  }
  const SPI_MAILBOX_COMMAND &Buffer() { return P().Mailbox()->Protocol()->Command; }
  bool BufferClear() {
    const auto *Bytes = reinterpret_cast<const uint8_t *>(&Buffer());
    return std::all_of(Bytes, Bytes + sizeof(SPI_MAILBOX_COMMAND), [](uint8_t B) { return B == 0; });
  }
};

// The path is chosen per command by the enable byte.
TEST_F(SpiMailboxPath, EnableByteSwitchesPerCommand) {
  sim::Platform &P = WithMailbox(false);
  UINT8 Id[3] = {};
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  P.Mailbox()->Protocol()->Enable = 1;
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  P.Mailbox()->Protocol()->Enable = 0;
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  const auto &Spi = P.M().Log().Spi;
  ASSERT_EQ(Spi.size(), 3u);
  EXPECT_EQ(Spi[0].Path, sim::SpiPath::Controller);
  EXPECT_EQ(Spi[1].Path, sim::SpiPath::Mailbox);
  EXPECT_EQ(Spi[2].Path, sim::SpiPath::Controller);
  EXPECT_EQ(Id[1], 0x40);
}

TEST_F(SpiMailboxPath, CommandLayoutAndClearing) {
  sim::Platform &P = WithMailbox(true);
  UINT8 Data[68] = {};
  const size_t Before = P.Mailbox()->Calls().size();
  SpiExecuteCommand(0x03, 4, 8, 4, 0x00ABCDEF, Data, 0);
  ASSERT_EQ(P.Mailbox()->Calls().size(), Before + 1);
  const auto &Call = P.Mailbox()->Calls().back();
  EXPECT_EQ(Call.StartFlag, 1);
  EXPECT_EQ(Call.Opcode, 0x03);
  EXPECT_EQ(Call.TxCount, 4);
  EXPECT_EQ(Call.RxCount, 8);
  EXPECT_EQ(P.Mailbox()->StartFlagViolations(), 0u);
  EXPECT_EQ(P.M().Log().Spi.back().Tx, (std::vector<uint8_t>{0x00, 0xAB, 0xCD, 0xEF}));
  EXPECT_TRUE(BufferClear());
}

// Completion codes: low nibble 1 means carried out.
TEST_F(SpiMailboxPath, CompletionCodes) {
  struct {
    uint8_t Code;
    bool Delivered;
  } const Cases[] = {{0x01, true}, {0x21, true}, {0x00, false}, {0x02, false}, {0x11, true}, {0x1F, false}};
  sim::Platform &P = WithMailbox(true);
  for (const auto &C : Cases) {
    P.Mailbox()->Knob().CompletionCode = C.Code;
    UINT8 Id[3] = {0xAA, 0xAA, 0xAA};
    SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
    EXPECT_EQ(Id[0] == 0xEF, C.Delivered) << int(C.Code);
    // A failed command stays in the buffer until the next one clears it.
    EXPECT_EQ(BufferClear(), C.Delivered) << int(C.Code);
  }
  P.Mailbox()->Knob().CompletionCode.reset();
  P.Mailbox()->Knob().ExecuteStatus = EFI_DEVICE_ERROR;
  UINT8 Id[3] = {0xAA, 0xAA, 0xAA};
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  EXPECT_EQ(Id[0], 0xAA);
  EXPECT_EQ(Buffer().Opcode, 0x9F);
}

TEST_F(SpiMailboxPath, StatusPollStaysOnTheMailbox) {
  sim::Platform &P = WithMailbox(true);
  SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
  UINT8 NewStatus = 0x00;
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &NewStatus, 1);
  const auto &Spi = P.M().Log().Spi;
  ASSERT_GE(Spi.size(), 3u);
  for (const auto &C : Spi) {
    EXPECT_EQ(C.Path, sim::SpiPath::Mailbox);
  }
  EXPECT_EQ(Spi.back().Opcode, 0x05);
  EXPECT_EQ(Spi.back().Rx.at(0) & 1, 0);
  EXPECT_TRUE(BufferClear());
}

// A status read that delivers nothing is taken as busy: a wait never ends
// early because the mailbox failed, and it still ends at its bound.
SPI_MAILBOX_PROTOCOL *gMailbox = nullptr;
SPI_MAILBOX_EXECUTE gRealExecute = nullptr;
EFI_STATUS EFIAPI FailReadStatus() {
  if (gMailbox->Command.Opcode == 0x05) {
    return EFI_DEVICE_ERROR;
  }
  return gRealExecute();
}

TEST_F(SpiMailboxPath, LostStatusReadsNeverEndTheWait) {
  sim::Platform &P = WithMailbox(true);
  P.M().Log().RecordAccesses = false;
  gMailbox = P.Mailbox()->Protocol();
  gRealExecute = gMailbox->Execute;
  gMailbox->Execute = FailReadStatus;
  SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
  UINT8 NewStatus = 0x00;
  const uint64_t Start = P.M().NowPs();
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &NewStatus, 1);
  // Every poll failed, so the wait ran to its bound of 65 535 polls of at
  // least 1 us each, although the chip finished long before.
  EXPECT_GE(P.M().NowPs() - Start, 65'535'000'000u);
  EXPECT_EQ(P.M().Log().CountSpi(0x05), 0u);
  gMailbox->Execute = gRealExecute;
}


// A mailbox that arrives after start-up is picked up by the notification,
// which then cancels itself; from then on commands take the mailbox.
TEST_F(SpiMailboxPath, InstalledLater) {
  sim::PlatformConfig Config;
  Config.Mailbox = sim::Presence::Later;
  sim::Platform &P = Ready(Config);
  EXPECT_EQ(mSpiMailbox, nullptr);
  EXPECT_EQ(P.Fw().PendingNotifications(SPI_MAILBOX_PROTOCOL_GUID), 1u);
  P.InstallLateMailbox();
  EXPECT_EQ(mSpiMailbox, P.Mailbox()->Protocol());
  EXPECT_EQ(P.Fw().PendingNotifications(SPI_MAILBOX_PROTOCOL_GUID), 0u);
  UINT8 Id[3] = {};
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  EXPECT_EQ(P.M().Log().Spi.back().Path, sim::SpiPath::Mailbox);
  EXPECT_EQ(Id[0], 0xEF);
}


// The mailbox is looked up before identification, so a mailbox present at
// load carries the probes already; "$BDR" takes the same path.
TEST_F(SpiMailboxPath, ProbesTakeTheMailboxFromTheStart) {
  sim::PlatformConfig Config;
  Config.Mailbox = sim::Presence::AtBoot;
  sim::Platform &P = Make(Config);
  ASSERT_EQ(P.Boot(), EFI_SUCCESS);
  test::Request R = test::LowRequest(P);
  R.Header(sim::RequestSignature("$BDR"), 0);
  EXPECT_EQ(P.RaiseRequest(R.Address), EFI_SUCCESS);
  EXPECT_EQ(R.Get<uint64_t>(8), 0x5AA5AA55u);
  const auto &Spi = P.M().Log().Spi;
  ASSERT_EQ(Spi.size(), 4u); // two 0x9F at boot, two for the request
  for (const auto &C : Spi) {
    EXPECT_EQ(C.Path, sim::SpiPath::Mailbox);
    EXPECT_EQ(C.Opcode, 0x9F);
  }
  EXPECT_EQ(P.Spi().CommandsStarted(), 0u);
}

} // namespace
