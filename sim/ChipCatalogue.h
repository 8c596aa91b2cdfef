// The catalogue of flash parts the simulated platform can carry: one row per
// part, written from datasheets and the JEDEC identification conventions.
// Where no public part is known for an identity, a row names itself a family
// stand-in and says so in its notes.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "FlashChip.h"

namespace sim {

const std::vector<ChipSpec> &ChipCatalogue();

// By catalogue name, case-insensitive; the part number alone ("W25Q128JV") also matches.
const ChipSpec *FindChip(std::string_view Name);

// The first catalogue part answering these three bytes to 0x9F.
const ChipSpec *FindChipById(std::array<uint8_t, 3> Id);

// A 16 MiB part with a common JEDEC command set answering any three identity bytes.
ChipSpec GenericChip(std::array<uint8_t, 3> Id);

ChipSpec AbsentChip(); // nothing on the bus: every byte reads 0xFF
ChipSpec DeadBus();    // data line held low: every byte reads 0x00

// A catalogue name or part number, six hex digits of identity ("EF4018": the
// catalogue part with those bytes, else GenericChip), "absent" or "dead".
// Nothing else parses.
std::optional<ChipSpec> ParseChipArgument(std::string_view Argument);
// As ParseChipArgument; an argument that does not parse gives AbsentChip().
ChipSpec ChipFromArgument(std::string_view NameOrSixHexDigits);

} // namespace sim
