#include "send_preview.h"

#include "windows1252.h"

#include <QObject>

#include <algorithm>

namespace kestavo {
namespace {

// A screen reader reads every byte shown; more than this helps no one.
constexpr qsizetype kShownBytes = 32;

} // namespace

QString sendPreview(const QString &text)
{
    const EncodeResult encoded = toWindows1252(text);
    if (encoded.unencodable)
        return unencodableCharacterText(*encoded.unencodable);

    const qsizetype count = encoded.bytes.size();
    if (count == 0)
        return QObject::tr("0 Bytes");
    QString shown = QString::fromLatin1(encoded.bytes.first(std::min(count, kShownBytes)).toHex(' ').toUpper());
    if (count > kShownBytes)
        shown += QStringLiteral(" …");
    return count == 1 ? QObject::tr("1 Byte: %1").arg(shown) : QObject::tr("%1 Bytes: %2").arg(count).arg(shown);
}

} // namespace kestavo
