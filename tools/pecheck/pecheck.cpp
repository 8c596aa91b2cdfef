// pecheck: checks that a file is a loadable PE32+ UEFI boot service driver for
// x64, as the firmware's image loader expects it: MZ and PE signatures, the
// PE32+ optional header, machine x64, subsystem EFI boot service driver, an
// entry point, base relocations (the loader places the image anywhere) and no
// imports (nothing in firmware resolves them).
//
// Usage: pecheck IMAGE
// Exit status: 0 and a one-line summary when every check holds; 1 and the
// first failed check otherwise; 2 on a usage error. Every read is bounds-checked
// against the file, so a truncated or corrupt file is reported, never read past.
//
// Offsets and values are those of the Microsoft PE/COFF specification.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// MS-DOS stub header.
constexpr std::uint16_t DosSignature = 0x5A4D; // "MZ"
constexpr std::size_t DosHeaderSize = 64;
constexpr std::size_t DosNewHeaderOffsetField = 0x3C; // e_lfanew

// PE signature and COFF file header.
constexpr std::uint32_t PeSignature = 0x00004550; // "PE\0\0"
constexpr std::size_t PeSignatureSize = 4;
constexpr std::size_t CoffHeaderSize = 20;
constexpr std::size_t CoffMachineField = 0;
constexpr std::size_t CoffNumberOfSectionsField = 2;
constexpr std::size_t CoffSizeOfOptionalHeaderField = 16;
constexpr std::size_t CoffCharacteristicsField = 18;
constexpr std::uint16_t MachineAmd64 = 0x8664;
constexpr std::uint16_t FileRelocsStripped = 0x0001;
constexpr std::uint16_t FileExecutableImage = 0x0002;
constexpr std::uint16_t FileDll = 0x2000;

// PE32+ optional header.
constexpr std::uint16_t OptionalMagicPe32Plus = 0x20B;
constexpr std::size_t OptionalMagicField = 0;
constexpr std::size_t OptionalEntryPointField = 16;
constexpr std::size_t OptionalImageBaseField = 24;
constexpr std::size_t OptionalSizeOfImageField = 56;
constexpr std::size_t OptionalSizeOfHeadersField = 60;
constexpr std::size_t OptionalSubsystemField = 68;
constexpr std::size_t OptionalNumberOfRvaAndSizesField = 108;
constexpr std::size_t OptionalDataDirectoriesField = 112;
constexpr std::uint16_t SubsystemEfiBootServiceDriver = 11;

// Data directories: eight bytes each, RVA then size.
constexpr std::size_t DataDirectorySize = 8;
constexpr std::size_t DataDirectoryRvaField = 0;
constexpr std::size_t DataDirectorySizeField = 4;
constexpr std::uint32_t DirectoryImport = 1;
constexpr std::uint32_t DirectoryBaseRelocation = 5;

// Section table.
constexpr std::size_t SectionHeaderSize = 40;
constexpr std::size_t SectionNameSize = 8;
constexpr std::size_t SectionVirtualSizeField = 8;
constexpr std::size_t SectionVirtualAddressField = 12;
constexpr std::size_t SectionSizeOfRawDataField = 16;
constexpr std::size_t SectionPointerToRawDataField = 20;
constexpr std::size_t SectionCharacteristicsField = 36;
constexpr std::uint32_t SectionMemExecute = 0x20000000;

// Base relocation block: page RVA, block size, then two-byte entries.
constexpr std::size_t RelocationBlockSizeField = 4;
constexpr std::size_t RelocationBlockHeaderSize = 8;
constexpr std::size_t RelocationEntrySize = 2;

// Section names are printed as ASCII; other bytes as escapes.
constexpr std::uint8_t FirstPrintable = 0x20;
constexpr std::uint8_t LastPrintable = 0x7E;

// The first check that does not hold.
struct CheckFailure {
  std::string Message;
};

std::string Hex(std::uint64_t Value) {
  std::ostringstream Out;
  Out << "0x" << std::hex << std::uppercase << Value;
  return Out.str();
}

// Little-endian reads from the file image, each checked against its end.
class FileView {
public:
  explicit FileView(std::vector<std::uint8_t> Bytes) : bytes_(std::move(Bytes)) {}

  std::size_t Size() const { return bytes_.size(); }

  void Require(std::uint64_t Offset, std::uint64_t Length, const std::string &What) const {
    if (Offset > bytes_.size() || Length > bytes_.size() - Offset) {
      throw CheckFailure{"truncated: " + What + " needs bytes " + Hex(Offset) + ".." + Hex(Offset + Length) +
                         " but the file has " + Hex(bytes_.size())};
    }
  }

  std::uint64_t Read(std::uint64_t Offset, std::size_t Width, const std::string &What) const {
    Require(Offset, Width, What);
    std::uint64_t Value = 0;
    for (std::size_t I = Width; I-- > 0;) {
      Value = (Value << 8) | bytes_[Offset + I];
    }
    return Value;
  }
  std::uint16_t Read16(std::uint64_t Offset, const std::string &What) const {
    return static_cast<std::uint16_t>(Read(Offset, sizeof(std::uint16_t), What));
  }
  std::uint32_t Read32(std::uint64_t Offset, const std::string &What) const {
    return static_cast<std::uint32_t>(Read(Offset, sizeof(std::uint32_t), What));
  }
  std::uint64_t Read64(std::uint64_t Offset, const std::string &What) const { return Read(Offset, sizeof(std::uint64_t), What); }

  std::string ReadName(std::uint64_t Offset) const {
    Require(Offset, SectionNameSize, "section name");
    std::string Name;
    for (std::size_t I = 0; I < SectionNameSize && bytes_[Offset + I] != 0; ++I) {
      std::uint8_t Byte = bytes_[Offset + I];
      bool Printable = Byte >= FirstPrintable && Byte <= LastPrintable;
      Name += Printable ? std::string(1, static_cast<char>(Byte)) : "\\x" + Hex(Byte).substr(2);
    }
    return Name;
  }

private:
  std::vector<std::uint8_t> bytes_;
};

struct Section {
  std::string Name;
  std::uint32_t VirtualAddress;
  std::uint32_t VirtualSize;
  std::uint32_t PointerToRawData;
  std::uint32_t SizeOfRawData;
  std::uint32_t Characteristics;
};

struct Summary {
  std::uint64_t ImageBase;
  std::uint32_t EntryPoint;
  std::uint32_t SizeOfImage;
  std::size_t Sections;
  std::size_t RelocationBlocks;
  std::size_t RelocationEntries;
  bool Dll;
};

void Expect(bool Holds, const std::string &Message) {
  if (!Holds) {
    throw CheckFailure{Message};
  }
}

// The section whose virtual range holds [Rva, Rva + Length), or null.
const Section *FindSection(const std::vector<Section> &Sections, std::uint64_t Rva, std::uint64_t Length) {
  for (const Section &S : Sections) {
    std::uint64_t Extent = S.VirtualSize != 0 ? S.VirtualSize : S.SizeOfRawData;
    if (Rva >= S.VirtualAddress && Rva + Length <= S.VirtualAddress + Extent) {
      return &S;
    }
  }
  return nullptr;
}

// Walks the relocation blocks of [Rva, Rva + Size): every block lies in the
// file, its size covers at least its header, and the blocks fill the directory
// exactly.
void CheckRelocations(const FileView &File, const std::vector<Section> &Sections, std::uint32_t Rva,
                      std::uint32_t Size, Summary &Result) {
  const Section *Holder = FindSection(Sections, Rva, Size);
  Expect(Holder != nullptr, "base relocation directory " + Hex(Rva) + "+" + Hex(Size) + " lies in no section");
  std::uint64_t OffsetInSection = Rva - Holder->VirtualAddress;
  Expect(OffsetInSection + Size <= Holder->SizeOfRawData,
         "base relocation directory extends past the file data of section " + Holder->Name);
  std::uint64_t Start = Holder->PointerToRawData + OffsetInSection;
  File.Require(Start, Size, "base relocation directory");

  std::uint64_t Offset = Start;
  std::uint64_t End = Start + Size;
  while (Offset < End) {
    std::uint32_t BlockSize = File.Read32(Offset + RelocationBlockSizeField, "base relocation block header");
    Expect(BlockSize >= RelocationBlockHeaderSize && BlockSize <= End - Offset,
           "base relocation block at " + Hex(Offset) + " has size " + Hex(BlockSize) +
               ", outside the directory");
    Expect(BlockSize % RelocationEntrySize == 0,
           "base relocation block at " + Hex(Offset) + " has odd size " + Hex(BlockSize));
    ++Result.RelocationBlocks;
    Result.RelocationEntries += (BlockSize - RelocationBlockHeaderSize) / RelocationEntrySize;
    Offset += BlockSize;
  }
  Expect(Result.RelocationEntries > 0, "base relocation directory holds no relocations");
}

Summary Check(const FileView &File) {
  Summary Result{};

  File.Require(0, DosHeaderSize, "MS-DOS header");
  Expect(File.Read16(0, "MS-DOS signature") == DosSignature, "no MZ signature at offset 0");
  std::uint64_t PeOffset = File.Read32(DosNewHeaderOffsetField, "PE header offset");
  Expect(File.Read32(PeOffset, "PE signature") == PeSignature, "no PE\\0\\0 signature at " + Hex(PeOffset));

  std::uint64_t Coff = PeOffset + PeSignatureSize;
  File.Require(Coff, CoffHeaderSize, "COFF file header");
  std::uint16_t Machine = File.Read16(Coff + CoffMachineField, "machine");
  std::uint16_t NumberOfSections = File.Read16(Coff + CoffNumberOfSectionsField, "number of sections");
  std::uint16_t OptionalSize = File.Read16(Coff + CoffSizeOfOptionalHeaderField, "optional header size");
  std::uint16_t Characteristics = File.Read16(Coff + CoffCharacteristicsField, "characteristics");
  Expect(Machine == MachineAmd64, "machine " + Hex(Machine) + ", expected " + Hex(MachineAmd64) + " (x64)");
  Expect((Characteristics & FileExecutableImage) != 0, "not marked as an executable image");
  Expect((Characteristics & FileRelocsStripped) == 0, "relocations stripped: the image cannot be relocated");
  Result.Dll = (Characteristics & FileDll) != 0;

  std::uint64_t Optional = Coff + CoffHeaderSize;
  Expect(OptionalSize >= OptionalDataDirectoriesField,
         "optional header size " + Hex(OptionalSize) + " is too small for PE32+");
  File.Require(Optional, OptionalSize, "optional header");
  std::uint16_t Magic = File.Read16(Optional + OptionalMagicField, "optional header magic");
  Expect(Magic == OptionalMagicPe32Plus,
         "optional header magic " + Hex(Magic) + ", expected " + Hex(OptionalMagicPe32Plus) + " (PE32+)");
  Result.EntryPoint = File.Read32(Optional + OptionalEntryPointField, "entry point");
  Result.ImageBase = File.Read64(Optional + OptionalImageBaseField, "image base");
  Result.SizeOfImage = File.Read32(Optional + OptionalSizeOfImageField, "size of image");
  std::uint32_t SizeOfHeaders = File.Read32(Optional + OptionalSizeOfHeadersField, "size of headers");
  std::uint16_t Subsystem = File.Read16(Optional + OptionalSubsystemField, "subsystem");
  Expect(Subsystem == SubsystemEfiBootServiceDriver,
         "subsystem " + std::to_string(Subsystem) + ", expected " + std::to_string(SubsystemEfiBootServiceDriver) +
             " (EFI boot service driver)");
  Expect(Result.EntryPoint != 0, "entry point is zero");
  Expect(Result.EntryPoint < Result.SizeOfImage,
         "entry point " + Hex(Result.EntryPoint) + " lies outside the image (size " + Hex(Result.SizeOfImage) + ")");

  std::uint32_t DirectoryCount = File.Read32(Optional + OptionalNumberOfRvaAndSizesField, "directory count");
  std::uint64_t DirectoryRoom = (OptionalSize - OptionalDataDirectoriesField) / DataDirectorySize;
  Expect(DirectoryCount <= DirectoryRoom, "data directory count " + std::to_string(DirectoryCount) +
                                              " does not fit the optional header");
  auto Directory = [&](std::uint32_t Index, std::uint32_t &Rva, std::uint32_t &Size) {
    Rva = 0;
    Size = 0;
    if (Index < DirectoryCount) {
      std::uint64_t Entry = Optional + OptionalDataDirectoriesField + Index * DataDirectorySize;
      Rva = File.Read32(Entry + DataDirectoryRvaField, "data directory");
      Size = File.Read32(Entry + DataDirectorySizeField, "data directory");
    }
  };

  std::uint32_t ImportRva, ImportSize;
  Directory(DirectoryImport, ImportRva, ImportSize);
  Expect(ImportSize == 0, "import directory present (" + Hex(ImportRva) + "+" + Hex(ImportSize) +
                              "): firmware resolves no imports");

  std::uint64_t SectionTable = Optional + OptionalSize;
  Expect(NumberOfSections > 0, "no sections");
  File.Require(SectionTable, static_cast<std::uint64_t>(NumberOfSections) * SectionHeaderSize, "section table");
  Expect(SectionTable + NumberOfSections * SectionHeaderSize <= SizeOfHeaders,
         "section table extends past the headers (size of headers " + Hex(SizeOfHeaders) + ")");
  std::vector<Section> Sections;
  for (std::uint16_t I = 0; I < NumberOfSections; ++I) {
    std::uint64_t Header = SectionTable + I * SectionHeaderSize;
    Section S{
        .Name = File.ReadName(Header),
        .VirtualAddress = File.Read32(Header + SectionVirtualAddressField, "section address"),
        .VirtualSize = File.Read32(Header + SectionVirtualSizeField, "section size"),
        .PointerToRawData = File.Read32(Header + SectionPointerToRawDataField, "section file offset"),
        .SizeOfRawData = File.Read32(Header + SectionSizeOfRawDataField, "section file size"),
        .Characteristics = File.Read32(Header + SectionCharacteristicsField, "section flags"),
    };
    if (S.SizeOfRawData != 0) {
      File.Require(S.PointerToRawData, S.SizeOfRawData, "data of section " + S.Name);
    }
    Sections.push_back(S);
  }
  Result.Sections = Sections.size();

  const Section *EntrySection = FindSection(Sections, Result.EntryPoint, 1);
  Expect(EntrySection != nullptr && (EntrySection->Characteristics & SectionMemExecute) != 0,
         "entry point " + Hex(Result.EntryPoint) + " lies in no executable section");

  std::uint32_t RelocRva, RelocSize;
  Directory(DirectoryBaseRelocation, RelocRva, RelocSize);
  Expect(RelocRva != 0 && RelocSize != 0, "no base relocation directory: the image cannot be relocated");
  CheckRelocations(File, Sections, RelocRva, RelocSize, Result);
  return Result;
}

} // namespace

int main(int argc, char **argv) {
  constexpr int ExitFailed = 1;
  constexpr int ExitUsage = 2;
  if (argc != 2) {
    std::fprintf(stderr, "usage: pecheck IMAGE\n");
    return ExitUsage;
  }
  const std::string Path = argv[1];
  std::ifstream In(Path, std::ios::binary);
  if (!In) {
    std::fprintf(stderr, "pecheck: %s: cannot open\n", Path.c_str());
    return ExitFailed;
  }
  std::vector<std::uint8_t> Bytes{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  try {
    Summary S = Check(FileView(std::move(Bytes)));
    std::printf("%s: PE32+ x64 EFI boot service driver%s, entry %s, base %s, image %s bytes, %zu sections, "
                "%zu relocations in %zu blocks, no imports\n",
                Path.c_str(), S.Dll ? " (DLL)" : "", Hex(S.EntryPoint).c_str(), Hex(S.ImageBase).c_str(),
                Hex(S.SizeOfImage).c_str(), S.Sections, S.RelocationEntries, S.RelocationBlocks);
    return 0;
  } catch (const CheckFailure &Failure) {
    std::fprintf(stderr, "pecheck: %s: %s\n", Path.c_str(), Failure.Message.c_str());
    return ExitFailed;
  }
}
