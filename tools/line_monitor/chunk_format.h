#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace kestavo::line_monitor {

static constexpr std::size_t kBytesPerRow = 16;

// One byte as it shows in the text column, in UTF-8: Windows-1252 for the
// printable ones, "." for control bytes and the five unassigned codes.
std::string displayCharacter(unsigned char byte);

// "COM 1 → 3 Bytes: 48 61 6C  |Hal|\n"; longer chunks go on in rows of
// kBytesPerRow, aligned under the first.
std::string formatChunk(int portNumber, std::span<const unsigned char> bytes);

} // namespace kestavo::line_monitor
