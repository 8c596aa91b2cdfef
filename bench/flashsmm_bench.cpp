// Figures of the driver on the simulated platform: simulated durations and
// SPI command counts of single commands, waits and requests, and how fast the
// simulator runs compared with the time it simulates.
//
// Each scenario runs in a child process of its own, since the driver's
// module globals exist once per process, as in a loaded image.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Platform.h"
#include "flash/FlashOps.h"
#include "spi/SpiEngine.h"

namespace {

double Us(uint64_t Ps) { return Ps / 1e6; }

struct Scenario {
  const char *Name;
  std::function<void()> Run;
};

sim::PlatformConfig WithChip(const char *Chip, sim::PlatformConfig Config = {}) {
  Config.Chip = *sim::FindChip(Chip);
  return Config;
}

// One read-identification command on a booted platform, on the path the
// platform selects.
void ReadIdCost(sim::PlatformConfig Config, const char *Label) {
  sim::Platform P(std::move(Config));
  P.Boot();
  const uint64_t Start = P.M().NowPs();
  UINT8 Id[3] = {};
  SpiExecuteCommand(0x9F, 0, 3, 0, 0, Id, 0);
  std::printf("%-44s %10.3f us simulated\n", Label, Us(P.M().NowPs() - Start));
}

struct TimedWait {
  double SimulatedSeconds;
  double HostSeconds;
  size_t Polls;
};

// Write enable, then a status write that waits for the chip with read-status
// commands; the simulated and the host time of the wait.
TimedWait StatusWriteWait(sim::Platform &P) {
  P.M().Log().RecordAccesses = false;
  SpiExecuteCommand(0x06, 0, 0, 0, 0, nullptr, 0);
  const size_t Commands = P.M().Log().Spi.size();
  const uint64_t Start = P.M().NowPs();
  const auto HostStart = std::chrono::steady_clock::now();
  UINT8 Status = 0;
  SpiExecuteCommand(0x01, 1, 0, 0, 0, &Status, 1);
  const double Host = std::chrono::duration<double>(std::chrono::steady_clock::now() - HostStart).count();
  return {(P.M().NowPs() - Start) / 1e12, Host, P.M().Log().Spi.size() - Commands - 1};
}

// The datasheet's tW in virtual time.
void WriteStatusWait(const char *Chip, bool MaxTimes) {
  sim::Platform P(WithChip(Chip));
  P.Boot();
  P.Chip().Knob().UseMaxTimes = MaxTimes;
  const TimedWait W = StatusWriteWait(P);
  std::printf("write-status wait, %-25s %10.3f ms simulated, %zu polls, %.3f ms host\n",
              (std::string(Chip) + (MaxTimes ? " (max tW)" : " (typ tW)")).c_str(), W.SimulatedSeconds * 1e3,
              W.Polls, W.HostSeconds * 1e3);
}

// A chip that never becomes ready: the wait runs to its bound of 65 535
// polls. Host seconds per simulated second of polling.
void PollingSpeed() {
  sim::Platform P;
  P.Boot();
  P.Chip().Knob().StuckBusy = true;
  const TimedWait W = StatusWriteWait(P);
  std::printf("bounded status wait (%zu polls)           %10.3f ms simulated, %.3f ms host: "
              "%.3f host s per simulated s (%.1fx real time)\n",
              W.Polls, W.SimulatedSeconds * 1e3, W.HostSeconds * 1e3, W.HostSeconds / W.SimulatedSeconds,
              W.SimulatedSeconds / W.HostSeconds);
}

// Boot and one "$BDR" request.
void BdrRequest(sim::PlatformConfig Config, const char *Label) {
  sim::Platform P(std::move(Config));
  const uint64_t BootStart = P.M().NowPs();
  P.Boot();
  const uint64_t BootPs = P.M().NowPs() - BootStart;
  const size_t BootCommands = P.M().Log().Spi.size();
  const uint64_t Address = P.Fw().AllocateLow(88);
  uint8_t *Bytes = P.Fw().Place(Address, 88);
  std::memset(Bytes, 0, 88);
  const uint32_t Signature = sim::RequestSignature("$BDR");
  std::memcpy(Bytes, &Signature, 4);
  const uint64_t Start = P.M().NowPs();
  P.RaiseRequest(Address);
  std::printf("%-44s boot %8.3f us (%zu SPI commands); \"$BDR\" %7.3f us, %zu SPI commands\n", Label,
              Us(BootPs), BootCommands, Us(P.M().NowPs() - Start), P.M().Log().Spi.size() - BootCommands);
}

const std::vector<Scenario> &Scenarios() {
  static const std::vector<Scenario> List = {
      {"readid-controller", [] { ReadIdCost({}, "read identification, controller path"); }},
      {"readid-mailbox",
       [] {
         sim::PlatformConfig C;
         C.Mailbox = sim::Presence::AtBoot;
         ReadIdCost(C, "read identification, mailbox path");
       }},
      {"wrsr-winbond", [] { WriteStatusWait("Winbond W25Q128JV", false); }},
      {"wrsr-winbond-max", [] { WriteStatusWait("Winbond W25Q128JV", true); }},
      {"polling-speed", PollingSpeed},
      {"bdr-default", [] { BdrRequest({}, "default platform (W25Q128JV, 16 MiB)"); }},
      {"bdr-32m", [] { BdrRequest(WithChip("Winbond W25Q256JV"), "32 MiB part (W25Q256JV), no ROM3"); }},
      {"bdr-32m-rom3",
       [] { BdrRequest(WithChip("Winbond W25Q256JV", sim::PlatformPreset("rom3")), "32 MiB part, ROM3 window"); }},
      {"bdr-mailbox",
       [] {
         sim::PlatformConfig C;
         C.Mailbox = sim::Presence::AtBoot;
         BdrRequest(C, "default platform with the SPI mailbox");
       }},
  };
  return List;
}

} // namespace

int main(int Argc, char **Argv) {
  for (const Scenario &S : Scenarios()) {
    if (Argc > 1 && std::strcmp(Argv[1], S.Name) != 0) {
      continue;
    }
    std::fflush(stdout);
    const pid_t Child = fork();
    if (Child == 0) {
      S.Run();
      std::fflush(stdout);
      _exit(0);
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) {
      std::printf("%s: failed\n", S.Name);
      return 1;
    }
  }
  return 0;
}
