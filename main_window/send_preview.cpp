#include "send_preview.h"

#include "windows1252.h"

#include <QObject>

namespace kestavo {

QString sendPreview(const QString &text)
{
    const EncodeResult encoded = toWindows1252(text);
    if (encoded.unencodable)
        return unencodableCharacterText(*encoded.unencodable);

    const qsizetype count = encoded.bytes.size();
    if (count == 0)
        return QObject::tr("0 Bytes");
    QString preview = count == 1 ? QObject::tr("1 Byte: ") : QObject::tr("%1 Bytes: ").arg(count);
    preview += QString::fromLatin1(encoded.bytes.first(std::min(count, kPreviewBytes)).toHex(' ').toUpper());
    if (count > kPreviewBytes)
        preview += QStringLiteral(" …");
    return preview;
}

} // namespace kestavo
