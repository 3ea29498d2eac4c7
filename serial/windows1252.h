#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kestavo {

struct EncodeResult {
    QByteArray bytes;
    std::optional<char32_t> unencodable; // the first character with no byte
};

// The window's own single-byte set: "ü" is 0xFC, "€" is 0x80.
EncodeResult toWindows1252(const QString &text);

// Names a character the line cannot carry, in the words the user sees both
// before sending and when a send is refused.
QString unencodableCharacterText(char32_t c);

} // namespace kestavo
