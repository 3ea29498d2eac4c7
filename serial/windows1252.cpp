#include "windows1252.h"

#include <QObject>

#include <array>

namespace kestavo {
namespace {

// 0x80 … 0x9F; 0 marks the five bytes Windows leaves undefined, which it
// passes through as the C1 control of the same value.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

std::optional<char> byteFor(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        const char32_t mapped = kHighControls[i] ? kHighControls[i] : char32_t(0x80 + i);
        if (mapped == c)
            return static_cast<char>(0x80 + i);
    }
    return std::nullopt;
}

} // namespace

EncodeResult toWindows1252(const QString &text)
{
    EncodeResult result;
    result.bytes.reserve(text.size());
    for (const char32_t c : text.toStdU32String()) {
        const auto byte = byteFor(c);
        if (!byte) {
            result.bytes.clear();
            result.unencodable = c;
            return result;
        }
        result.bytes.append(*byte);
    }
    return result;
}

QString unencodableCharacterText(char32_t c)
{
    return QObject::tr("Das Zeichen „%1“ (U+%2) gibt es im Zeichensatz Windows-1252 nicht.")
        .arg(QString::fromUcs4(&c, 1), QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0'));
}

} // namespace kestavo
