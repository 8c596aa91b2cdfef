// flashsmm-sim: boots the driver on a simulated platform and talks to it as a
// caller would, through software SMI 0x90.
//
//   flashsmm-sim [VERB] [OPTIONS]
//
// Verbs: (none) or "bdr" reports the flash part through a "$BDR" request;
// "smi" raises any request; "map VALUE" shows what the flash windows make of a
// value; "chips" lists the chip catalogue.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform.h"
#include "entry/DriverEntry.h"
#include "flash/FlashOps.h"
#include "spi/FlashWindows.h"

namespace {

struct Options {
  std::string Verb = "bdr";
  std::vector<std::string> Arguments;
  bool Json = false;
  bool Trace = false;
  sim::PlatformConfig Platform = sim::PlatformPreset("default");
  std::optional<uint32_t> ChipSize;
  std::string FlashImage; // file loaded into the chip from offset 0
  EFI_STATUS ForwardedStatus = EFI_SUCCESS;
  // "smi" verb.
  std::string Signature = "$BDR";
  uint32_t Function = 0;
  struct Field {
    uint64_t Offset, Value;
    unsigned Width;
  };
  std::vector<Field> Fields;
  std::string Buffer;
  uint64_t Cpu = 0;
};

[[noreturn]] void Fail(const std::string &Message) {
  std::fprintf(stderr, "flashsmm-sim: %s (try --help)\n", Message.c_str());
  std::exit(2);
}

uint64_t Number(const std::string &Text, const char *What) {
  if (Text.empty()) {
    Fail(std::string("missing number for ") + What);
  }
  char *End = nullptr;
  errno = 0;
  const uint64_t Value = std::strtoull(Text.c_str(), &End, 0);
  if (errno != 0 || *End != '\0') {
    Fail(std::string("not a number for ") + What + ": " + Text);
  }
  return Value;
}

std::pair<std::string, std::string> Split(const std::string &Text, char At, const char *What) {
  const size_t Pos = Text.find(At);
  if (Pos == std::string::npos) {
    Fail(std::string("expected ") + What + ": " + Text);
  }
  return {Text.substr(0, Pos), Text.substr(Pos + 1)};
}

std::string Hex(uint64_t Value) {
  char B[24];
  std::snprintf(B, sizeof B, "0x%" PRIX64, Value);
  return B;
}

struct OptionSpec {
  const char *Name;
  const char *Argument; // null: a flag
  const char *Help;
  std::function<void(Options &, const std::string &)> Apply;
};

const std::vector<OptionSpec> &OptionTable() {
  static const std::vector<OptionSpec> Table = {
      {"--json", nullptr, "print one JSON object", [](Options &O, const std::string &) { O.Json = true; }},
      {"--trace", nullptr, "print every SPI command the platform saw",
       [](Options &O, const std::string &) { O.Trace = true; }},
      {"--platform", "NAME", "platform preset: default, rom2-32m, rom3, remapped",
       [](Options &O, const std::string &V) {
         sim::ChipSpec Chip = O.Platform.Chip;
         O.Platform = sim::PlatformPreset(V);
         O.Platform.Chip = Chip;
       }},
      {"--chip", "NAME|ID", "catalogue part name, or six hex digits of identity bytes (e.g. EF4018)",
       [](Options &O, const std::string &V) { O.Platform.Chip = sim::ChipFromArgument(V); }},
      {"--flash-image", "FILE", "load FILE into the chip from offset 0 (a firmware image)",
       [](Options &O, const std::string &V) { O.FlashImage = V; }},
      {"--chip-size", "BYTES", "override the driver's chip size after identification (window exploration)",
       [](Options &O, const std::string &V) { O.ChipSize = static_cast<uint32_t>(Number(V, "--chip-size")); }},
      {"--rom2", "START:END", "ROM2 window bounds (LPC registers 0x6C/0x6E), as addresses",
       [](Options &O, const std::string &V) {
         auto [S, E] = Split(V, ':', "START:END");
         O.Platform.LpcRom2Start = static_cast<uint16_t>(Number(S, "--rom2") >> 16);
         O.Platform.LpcRom2End = static_cast<uint16_t>(Number(E, "--rom2") >> 16);
       }},
      {"--rom3", "BASE", "switch the ROM3 window on at BASE (SPI registers 0x50, 0x60, 0x64)",
       [](Options &O, const std::string &V) {
         const uint64_t Base = Number(V, "--rom3");
         O.Platform.SpiRegisters[sim::SpiController::Rom3ControlReg] = 1;
         O.Platform.SpiRegisters[sim::SpiController::Rom3BaseLowReg] = static_cast<uint32_t>(Base);
         O.Platform.SpiRegisters[sim::SpiController::Rom3BaseHighReg] = static_cast<uint32_t>(Base >> 32);
       }},
      {"--cpu-preset", "NAME", "processor preset (zen1, zen2, zen3, zen5, no-pstate)",
       [](Options &O, const std::string &V) {
         auto Cpu = sim::FindCpuPreset(V);
         if (!Cpu) {
           Fail("unknown processor preset " + V);
         }
         O.Platform.Cpu = *Cpu;
       }},
      {"--cpuid-1", "EAX|PRESET", "CPUID leaf 1 signature, or a processor preset name",
       [](Options &O, const std::string &V) {
         if (auto Cpu = sim::FindCpuPreset(V)) {
           O.Platform.Cpu = *Cpu;
           return;
         }
         const uint32_t Eax = static_cast<uint32_t>(Number(V, "--cpuid-1"));
         O.Platform.Cpu.Cpuid[1].Eax = Eax;
         O.Platform.Cpu.Cpuid[0x80000001].Eax = Eax;
       }},
      {"--spi-reg", "OFF=VALUE", "preset a 32-bit SPI controller register (0x00..0x64)",
       [](Options &O, const std::string &V) {
         auto [Off, Val] = Split(V, '=', "OFF=VALUE");
         const uint64_t Offset = Number(Off, "--spi-reg");
         if (Offset % 4 != 0 || Offset >= sim::SpiController::RegisterFileSize) {
           Fail("--spi-reg offset must be a multiple of 4 below 0x68");
         }
         O.Platform.SpiRegisters[Offset] = static_cast<uint32_t>(Number(Val, "--spi-reg"));
       }},
      {"--spi-clock", "HZ", "SPI clock of the controller (default 33 MHz)",
       [](Options &O, const std::string &V) { O.Platform.SpiClockHz = Number(V, "--spi-clock"); }},
      {"--mailbox", nullptr, "the platform provides an enabled SPI mailbox",
       [](Options &O, const std::string &) { O.Platform.Mailbox = sim::Presence::AtBoot; }},
      {"--forwarded-status", "VALUE", "what the forwarded service answers",
       [](Options &O, const std::string &V) { O.ForwardedStatus = Number(V, "--forwarded-status"); }},
      {"--signature", "TEXT", "smi: four-letter request signature (default $BDR)",
       [](Options &O, const std::string &V) {
         if (V.size() != 4) {
           Fail("a signature has four letters");
         }
         O.Signature = V;
       }},
      {"--function", "N", "smi: function number",
       [](Options &O, const std::string &V) { O.Function = static_cast<uint32_t>(Number(V, "--function")); }},
      {"--field", "OFF[:64]=VALUE", "smi: write a 32-bit (or :64) field into the request",
       [](Options &O, const std::string &V) {
         auto [Off, Val] = Split(V, '=', "OFF=VALUE");
         unsigned Width = 4;
         if (Off.size() > 3 && Off.substr(Off.size() - 3) == ":64") {
           Width = 8;
           Off.resize(Off.size() - 3);
         }
         const uint64_t Value = Number(Val, "--field");
         if (Width == 4 && Value > 0xFFFFFFFFULL) {
           Width = 8;
         }
         O.Fields.push_back({Number(Off, "--field"), Value, Width});
       }},
      {"--buffer", "ADDRESS|smram+OFF", "smi: where the request buffer lies",
       [](Options &O, const std::string &V) { O.Buffer = V; }},
      {"--cpu", "N", "smi: the processor that raises the SMI",
       [](Options &O, const std::string &V) { O.Cpu = Number(V, "--cpu"); }},
  };
  return Table;
}

void PrintHelp() {
  std::printf("usage: flashsmm-sim [bdr | smi | map VALUE | chips] [options]\n\n"
              "  (none), bdr   boot the driver and report the flash part through a \"$BDR\" request\n"
              "  smi           raise SMI 0x90 with any request and print the reply\n"
              "  map VALUE     what the flash windows make of a flash offset or memory address\n"
              "  chips         list the simulated chip catalogue\n\noptions:\n");
  for (const OptionSpec &O : OptionTable()) {
    std::string Left = std::string(O.Name) + (O.Argument ? std::string(" ") + O.Argument : "");
    std::printf("  %-28s %s\n", Left.c_str(), O.Help);
  }
}

Options Parse(int Argc, char **Argv) {
  Options O;
  int I = 1;
  if (I < Argc && Argv[I][0] != '-') {
    O.Verb = Argv[I++];
  }
  for (; I < Argc; I++) {
    const std::string Arg = Argv[I];
    if (Arg == "--help" || Arg == "-h") {
      PrintHelp();
      std::exit(0);
    }
    if (Arg[0] != '-') {
      O.Arguments.push_back(Arg);
      continue;
    }
    const OptionSpec *Spec = nullptr;
    for (const OptionSpec &S : OptionTable()) {
      Spec = Arg == S.Name ? &S : Spec;
    }
    if (Spec == nullptr) {
      Fail("unknown option " + Arg);
    }
    std::string Value;
    if (Spec->Argument != nullptr) {
      if (++I >= Argc) {
        Fail(Arg + " needs " + Spec->Argument);
      }
      Value = Argv[I];
    }
    Spec->Apply(O, Value);
  }
  return O;
}

std::string JsonString(const std::string &Text) {
  std::string S = "\"";
  for (unsigned char C : Text) {
    if (C == '"' || C == '\\') {
      S += '\\';
      S += static_cast<char>(C);
    } else if (C < 0x20 || C >= 0x7F) {
      char B[8];
      std::snprintf(B, sizeof B, "\\u%04x", C);
      S += B;
    } else {
      S += static_cast<char>(C);
    }
  }
  return S + "\"";
}

// The request buffer: below 4 GiB by default, or where the caller says.
uint64_t RequestAddress(sim::Platform &P, const std::string &Where, uint64_t Size) {
  if (Where.empty()) {
    return P.Fw().AllocateLow(Size);
  }
  if (Where.rfind("smram+", 0) == 0) {
    return P.Config().Firmware.Smram.at(0).Base + Number(Where.substr(6), "--buffer");
  }
  return Number(Where, "--buffer");
}

constexpr uint64_t kReplySize = 88;

// A platform built from the options, with the flash image loaded.
std::unique_ptr<sim::Platform> MakePlatform(const Options &O) {
  auto P = std::make_unique<sim::Platform>(O.Platform);
  if (!O.FlashImage.empty()) {
    std::FILE *File = std::fopen(O.FlashImage.c_str(), "rb");
    if (File == nullptr) {
      Fail("cannot open " + O.FlashImage);
    }
    std::vector<uint8_t> Bytes;
    uint8_t Chunk[65536];
    size_t Got = 0;
    while ((Got = std::fread(Chunk, 1, sizeof Chunk, File)) > 0) {
      Bytes.insert(Bytes.end(), Chunk, Chunk + Got);
    }
    std::fclose(File);
    if (Bytes.size() > P->Chip().Spec().Size) {
      Fail(O.FlashImage + " is larger than the chip");
    }
    P->Chip().Fill(0, Bytes);
  }
  return P;
}

int RunSmi(const Options &O, bool InfoRequest) {
  const auto Owned = MakePlatform(O);
  sim::Platform &P = *Owned;
  P.Forwarded().Result = O.ForwardedStatus;
  const EFI_STATUS Entry = P.Boot();
  if (O.ChipSize) {
    mFlashSize = *O.ChipSize;
  }
  const uint64_t Address = RequestAddress(P, InfoRequest ? "" : O.Buffer, kReplySize);
  uint8_t *Bytes = P.M().IsKnownMemory(Address, kReplySize) ? P.Fw().Place(Address, kReplySize) : nullptr;
  char Sig[5] = {};
  std::memcpy(Sig, O.Signature.data(), 4);
  const uint32_t Signature = sim::RequestSignature(Sig);
  if (Bytes != nullptr) {
    std::memset(Bytes, 0, kReplySize);
    std::memcpy(Bytes, &Signature, 4);
    std::memcpy(Bytes + 4, &O.Function, 4);
    for (const auto &F : O.Fields) {
      if (F.Offset + F.Width <= kReplySize) {
        std::memcpy(Bytes + F.Offset, &F.Value, F.Width);
      }
    }
  }
  const size_t SpiBefore = P.M().Log().Spi.size();
  const uint64_t TimeBefore = P.M().NowPs();
  const EFI_STATUS Return = P.RaiseRequest(Address, O.Cpu);
  const size_t SpiCommands = P.M().Log().Spi.size() - SpiBefore;
  const double SimUs = (P.M().NowPs() - TimeBefore) / 1e6;

  auto Read32 = [&](size_t Off) {
    uint32_t V = 0;
    if (Bytes != nullptr) {
      std::memcpy(&V, Bytes + Off, 4);
    }
    return V;
  };
  uint64_t Status = 0;
  if (Bytes != nullptr) {
    std::memcpy(&Status, Bytes + 8, 8);
  }
  std::string PartName;
  if (Bytes != nullptr) {
    PartName.assign(reinterpret_cast<const char *>(Bytes + 0x28), 48);
    while (!PartName.empty() && PartName.back() == '\0') {
      PartName.pop_back();
    }
  }
  const bool HasName = Read32(0x20) == sim::RequestSignature("$FPS");

  if (O.Json) {
    std::printf("{\"platform\": %s, \"chip\": %s, \"entry_status\": \"%s\", \"smi\": {\"signature\": \"%s\", "
                "\"function\": \"%s\", \"buffer\": \"%s\", \"return_status\": \"%s\", \"status\": \"%s\"",
                JsonString(O.Platform.Name).c_str(), JsonString(O.Platform.Chip.Name).c_str(), Hex(Entry).c_str(),
                Hex(Signature).c_str(), Hex(O.Function).c_str(), Hex(Address).c_str(), Hex(Return).c_str(),
                Hex(Status).c_str());
    if (InfoRequest || Signature == sim::RequestSignature("$BDR")) {
      std::printf(", \"default_flash_size\": %u, \"block_size\": %u, \"flash_size\": %u, \"name_signature\": \"%s\", "
                  "\"name_length\": %u, \"part_name\": %s",
                  Read32(0x10), Read32(0x14), Read32(0x18), Hex(Read32(0x20)).c_str(), Read32(0x24),
                  JsonString(HasName ? PartName : "").c_str());
    }
    std::printf(", \"reply\": \"");
    for (uint64_t I = 0; Bytes != nullptr && I < kReplySize; I++) {
      std::printf("%02X", Bytes[I]);
    }
    std::printf("\", \"spi_commands\": %zu, \"sim_time_us\": %.3f}", SpiCommands, SimUs);
    std::printf(", \"faults\": %zu}\n", P.M().Faults().size());
  } else {
    std::printf("platform       %s, chip %s\n", O.Platform.Name.c_str(), O.Platform.Chip.Name.c_str());
    std::printf("entry status   %s\n", Hex(Entry).c_str());
    std::printf("request        \"%s\" function %u at %s from processor %" PRIu64 "\n", O.Signature.c_str(),
                O.Function, Hex(Address).c_str(), O.Cpu);
    std::printf("return status  %s\n", Hex(Return).c_str());
    std::printf("reply status   %s\n", Hex(Status).c_str());
    if (InfoRequest || Signature == sim::RequestSignature("$BDR")) {
      std::printf("part name      %s\n", HasName ? ("\"" + PartName + "\"").c_str() : "(none)");
      std::printf("flash size     %s (%u KiB)\n", Hex(Read32(0x18)).c_str(), Read32(0x18) / 1024);
      std::printf("block size     %u\n", Read32(0x14));
    } else if (Bytes != nullptr) {
      std::printf("reply         ");
      for (uint64_t I = 0; I < 32; I++) {
        std::printf(" %02X", Bytes[I]);
      }
      std::printf("\n");
    }
    std::printf("cost           %zu SPI commands, %.3f us simulated\n", SpiCommands, SimUs);
    for (const auto &F : P.M().Faults()) {
      std::printf("FAULT          %s\n", F.c_str());
    }
  }
  if (O.Trace) {
    std::printf("%s", P.M().Log().FormatSpi().c_str());
  }
  return P.M().Faults().empty() ? 0 : 1;
}

int RunMap(const Options &O) {
  if (O.Arguments.size() != 1) {
    Fail("map takes one VALUE");
  }
  const uint64_t Value = Number(O.Arguments[0], "map");
  const auto Owned = MakePlatform(O);
  sim::Platform &P = *Owned;
  P.Boot();
  if (O.ChipSize) {
    mFlashSize = *O.ChipSize;
  }
  UINT64 Window = Value;
  const FLASH_WINDOW Kind = MapToFlashWindow(&Window);
  UINT64 Mapped = 0;
  const bool Readable = FlashMapForRead(Value, &Mapped) != 0;
  const uint32_t Offset = FlashAddressToOffset(Value);
  const char *WindowName = Kind == FlashWindowRom2 ? "ROM2" : Kind == FlashWindowRom3 ? "ROM3" : "none";
  std::optional<uint64_t> Decoded;
  int Byte = -1;
  if (Readable) {
    Decoded = P.Windows().Decode(Mapped);
    if (Decoded) {
      Byte = P.Chip().Read(*Decoded, 1).at(0);
    }
  }
  if (O.Json) {
    std::printf("{\"value\": \"%s\", \"flash_size\": \"%s\", \"window\": \"%s\", \"map_for_read\": %s, "
                "\"offset\": \"%s\", \"decoded_offset\": %s, \"byte\": %s}\n",
                Hex(Value).c_str(), Hex(mFlashSize).c_str(), WindowName,
                Readable ? ("\"" + Hex(Mapped) + "\"").c_str() : "null", Hex(Offset).c_str(),
                Decoded ? ("\"" + Hex(*Decoded) + "\"").c_str() : "null",
                Byte >= 0 ? std::to_string(Byte).c_str() : "null");
  } else {
    std::printf("value            %s (chip size %s, ROM2 %s + %s, ROM3 %s)\n", Hex(Value).c_str(),
                Hex(mFlashSize).c_str(), Hex(mRom2Base).c_str(), Hex(mRom2Size).c_str(),
                mRom3Enabled ? "on" : "off");
    std::printf("window           %s\n", WindowName);
    std::printf("map for read     %s\n", Readable ? Hex(Mapped).c_str() : "fails");
    std::printf("offset           %s\n", Hex(Offset).c_str());
    if (Readable) {
      std::printf("platform decode  %s -> chip offset %s, byte %s\n", Hex(Mapped).c_str(),
                  Decoded ? Hex(*Decoded).c_str() : "(no window)", Byte >= 0 ? Hex(Byte).c_str() : "-");
    }
  }
  return 0;
}

int RunChips(const Options &O) {
  const auto &Catalogue = sim::ChipCatalogue();
  if (O.Json) {
    std::printf("[");
    for (size_t I = 0; I < Catalogue.size(); I++) {
      const auto &C = Catalogue[I];
      std::printf("%s\n  {\"name\": %s, \"id\": \"%02X%02X%02X\", \"size\": %" PRIu64 "}", I ? "," : "",
                  JsonString(C.Name).c_str(), C.JedecId[0], C.JedecId[1], C.JedecId[2], C.Size);
    }
    std::printf("\n]\n");
    return 0;
  }
  for (const auto &C : Catalogue) {
    std::printf("%02X %02X %02X  %9" PRIu64 " KiB  %s\n", C.JedecId[0], C.JedecId[1], C.JedecId[2], C.Size / 1024,
                C.Name.c_str());
  }
  return 0;
}

} // namespace

int main(int Argc, char **Argv) {
  const Options O = Parse(Argc, Argv);
  if (O.Verb == "bdr") {
    return RunSmi(O, true);
  }
  if (O.Verb == "smi") {
    return RunSmi(O, false);
  }
  if (O.Verb == "map") {
    return RunMap(O);
  }
  if (O.Verb == "chips") {
    return RunChips(O);
  }
  Fail("unknown verb " + O.Verb);
}
