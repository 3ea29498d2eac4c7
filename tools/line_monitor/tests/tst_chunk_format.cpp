#include "chunk_format.h"

#include <QTest>

#include <string>
#include <vector>

using kestavo::line_monitor::displayCharacter;
using kestavo::line_monitor::formatChunk;

class TestChunkFormat : public QObject
{
    Q_OBJECT

private slots:
    void displayCharacter_data();
    void displayCharacter();
    void formatChunk_data();
    void formatChunk();
};

void TestChunkFormat::displayCharacter_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0x41 A") << 0x41 << QStringLiteral("A");
    QTest::newRow("0x20 space") << 0x20 << QStringLiteral(" ");
    QTest::newRow("0x7E tilde") << 0x7E << QStringLiteral("~");
    QTest::newRow("0x00 NUL") << 0x00 << QStringLiteral(".");
    QTest::newRow("0x0A LF") << 0x0A << QStringLiteral(".");
    QTest::newRow("0x0D CR") << 0x0D << QStringLiteral(".");
    QTest::newRow("0x1B ESC") << 0x1B << QStringLiteral(".");
    QTest::newRow("0x7F DEL") << 0x7F << QStringLiteral(".");
    QTest::newRow("0x80 euro") << 0x80 << QStringLiteral("€");
    QTest::newRow("0x81 unassigned") << 0x81 << QStringLiteral(".");
    QTest::newRow("0x8A S caron") << 0x8A << QStringLiteral("Š");
    QTest::newRow("0x8D unassigned") << 0x8D << QStringLiteral(".");
    QTest::newRow("0x8F unassigned") << 0x8F << QStringLiteral(".");
    QTest::newRow("0x90 unassigned") << 0x90 << QStringLiteral(".");
    QTest::newRow("0x93 left double quote") << 0x93 << QStringLiteral("“");
    QTest::newRow("0x99 trade mark") << 0x99 << QStringLiteral("™");
    QTest::newRow("0x9D unassigned") << 0x9D << QStringLiteral(".");
    QTest::newRow("0x9F Y diaeresis") << 0x9F << QStringLiteral("Ÿ");
    QTest::newRow("0xA0 no-break space") << 0xA0 << QStringLiteral(".");
    QTest::newRow("0xA7 section") << 0xA7 << QStringLiteral("§");
    QTest::newRow("0xAD soft hyphen") << 0xAD << QStringLiteral(".");
    QTest::newRow("0xDF sharp s") << 0xDF << QStringLiteral("ß");
    QTest::newRow("0xFC u diaeresis") << 0xFC << QStringLiteral("ü");
    QTest::newRow("0xFF y diaeresis") << 0xFF << QStringLiteral("ÿ");
}

void TestChunkFormat::displayCharacter()
{
    QFETCH(int, byte);
    QFETCH(QString, expected);

    QCOMPARE(QString::fromStdString(::displayCharacter(static_cast<unsigned char>(byte))), expected);
}

void TestChunkFormat::formatChunk_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Hal") << QByteArray("Hal") << QStringLiteral("COM 1 → 3 Bytes: 48 61 6C  |Hal|\n");
    QTest::newRow("single byte") << QByteArray("x") << QStringLiteral("COM 1 → 1 Byte: 78  |x|\n");
    QTest::newRow("Grüße in Windows-1252")
        << QByteArray("Gr\xFC\xDF" "e")
        << QStringLiteral("COM 1 → 5 Bytes: 47 72 FC DF 65  |Grüße|\n");
    QTest::newRow("CR LF") << QByteArray("ok\r\n")
                           << QStringLiteral("COM 1 → 4 Bytes: 6F 6B 0D 0A  |ok..|\n");
    QTest::newRow("NUL") << QByteArray(1, '\0') << QStringLiteral("COM 1 → 1 Byte: 00  |.|\n");
    QTest::newRow("16 bytes fill one row")
        << QByteArray("0123456789abcdef")
        << QStringLiteral("COM 1 → 16 Bytes: 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\n");
    QTest::newRow("18 bytes wrap aligned")
        << QByteArray("0123456789abcdefgh")
        << QStringLiteral("COM 1 → 18 Bytes: 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\n")
               + QString(18, u' ') + QStringLiteral("67 68") + QString(42 + 2, u' ') + QStringLiteral("|gh|\n");
}

void TestChunkFormat::formatChunk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    const std::vector<unsigned char> data(bytes.begin(), bytes.end());
    QCOMPARE(QString::fromStdString(::formatChunk(1, data)), expected);
}

QTEST_APPLESS_MAIN(TestChunkFormat)
#include "tst_chunk_format.moc"
