#pragma once

#include <QString>

namespace kestavo {

// What "Senden (TxD)" would put on the line for this text: the byte count and
// the first bytes in hex, or the first character that cannot go out.
QString sendPreview(const QString &text);

} // namespace kestavo
