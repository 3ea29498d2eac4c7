#pragma once

#include <QString>

namespace kestavo {

// At most this many bytes are spelled out; a screen reader reads them all.
inline constexpr qsizetype kPreviewBytes = 32;

// What "Senden (TxD)" would put on the line for this text: the byte count and
// the first bytes in hex, or the first character that cannot go out.
QString sendPreview(const QString &text);

} // namespace kestavo
