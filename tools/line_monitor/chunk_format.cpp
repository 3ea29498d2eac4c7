#include "chunk_format.h"

#include <array>
#include <cstdio>

namespace kestavo::line_monitor {
namespace {

// Code points for 0x80..0x9F; 0 where Windows-1252 assigns nothing.
constexpr std::array<char32_t, 32> kHighControlRange = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::string toUtf8(char32_t codePoint)
{
    std::string out;
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

} // namespace

std::string displayCharacter(unsigned char byte)
{
    if (byte < 0x20 || byte == 0x7F)
        return ".";
    if (byte < 0x80)
        return std::string(1, static_cast<char>(byte));
    if (byte < 0xA0) {
        const char32_t codePoint = kHighControlRange[byte - 0x80];
        return codePoint == 0 ? std::string(".") : toUtf8(codePoint);
    }
    // A no-break space or soft hyphen would vanish on a terminal.
    if (byte == 0xA0 || byte == 0xAD)
        return ".";
    return toUtf8(byte);
}

std::string formatChunk(int portNumber, std::span<const unsigned char> bytes)
{
    const std::string header = "COM " + std::to_string(portNumber) + " → " + std::to_string(bytes.size())
        + (bytes.size() == 1 ? " Byte: " : " Bytes: ");
    // The arrow is three bytes of UTF-8 but one column.
    const std::string indent(header.size() - 2, ' ');
    const bool severalRows = bytes.size() > kBytesPerRow;

    std::string out;
    for (std::size_t start = 0; start < bytes.size(); start += kBytesPerRow) {
        const auto row = bytes.subspan(start, std::min(kBytesPerRow, bytes.size() - start));
        out += start == 0 ? header : indent;
        std::string hex;
        std::string text;
        for (const unsigned char byte : row) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%02X", byte);
            if (!hex.empty())
                hex += ' ';
            hex += pair;
            text += displayCharacter(byte);
        }
        if (severalRows)
            hex.resize(kBytesPerRow * 3 - 1, ' ');
        out += hex + "  |" + text + "|\n";
    }
    return out;
}

} // namespace kestavo::line_monitor
