#include "windows1252.h"

#include <QSet>
#include <QTest>

using kestavo::toWindows1252;

namespace {

// The published cp1252 table for 0x80..0x9F. The five holes (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) are what Windows itself does with them: the C1 control
// of the same value passes through.
constexpr struct {
    uint codePoint;
    int byte;
} kHighControls[] = {
    {0x20AC, 0x80}, {0x0081, 0x81}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
    {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A}, {0x2039, 0x8B},
    {0x0152, 0x8C}, {0x008D, 0x8D}, {0x017D, 0x8E}, {0x008F, 0x8F}, {0x0090, 0x90}, {0x2018, 0x91},
    {0x2019, 0x92}, {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
    {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C}, {0x009D, 0x9D},
    {0x017E, 0x9E}, {0x0178, 0x9F},
};

} // namespace

class TestWindows1252 : public QObject
{
    Q_OBJECT

private slots:
    void highControlRange_data();
    void highControlRange();
    void latin1Range();
    void unencodable_data();
    void unencodable();
    void nothingElseHasAByte();
};

void TestWindows1252::highControlRange_data()
{
    QTest::addColumn<uint>("codePoint");
    QTest::addColumn<int>("byte");

    for (const auto &row : kHighControls) {
        QTest::addRow("U+%04X", row.codePoint) << row.codePoint << row.byte;
    }
}

void TestWindows1252::highControlRange()
{
    QFETCH(uint, codePoint);
    QFETCH(int, byte);

    const char32_t c = codePoint;
    const auto result = toWindows1252(QStringLiteral("<") + QString::fromUcs4(&c, 1) + QStringLiteral(">"));

    QVERIFY(!result.unencodable);
    QCOMPARE(result.bytes, QByteArray("<") + char(byte) + QByteArray(">"));
}

void TestWindows1252::latin1Range()
{
    QString text;
    QByteArray expected;
    for (int c = 0x00; c <= 0xFF; ++c) {
        if (c >= 0x80 && c <= 0x9F)
            continue;
        text.append(QChar(c));
        expected.append(char(c));
    }

    const auto result = toWindows1252(text);

    QVERIFY(!result.unencodable);
    QCOMPARE(result.bytes, expected);
}

void TestWindows1252::unencodable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("reported");

    QTest::newRow("U+0080 (the euro's byte, not its character)") << QStringLiteral("a\u0080b") << 0x80u;
    QTest::newRow("U+009F") << QStringLiteral("\u009F") << 0x9Fu;
    QTest::newRow("U+0100") << QStringLiteral("Grüße \u0100") << 0x100u;
    QTest::newRow("日") << QStringLiteral("Grüße 日") << 0x65E5u;
    QTest::newRow("😀 (outside the BMP)") << QString::fromUtf8("x😀y") << 0x1F600u;
    QTest::newRow("first of 日 and 😀") << QString::fromUtf8("€日😀") << 0x65E5u;
    QTest::newRow("U+FFFD") << QStringLiteral("\uFFFD") << 0xFFFDu;
}

void TestWindows1252::unencodable()
{
    QFETCH(QString, text);
    QFETCH(uint, reported);

    const auto result = toWindows1252(text);

    QVERIFY(result.unencodable.has_value());
    QCOMPARE(uint(*result.unencodable), reported);
    QVERIFY(result.bytes.isEmpty());
}

// Every code point outside the 256 above, surrogates aside.
void TestWindows1252::nothingElseHasAByte()
{
    QSet<uint> mapped;
    for (const auto &row : kHighControls)
        mapped.insert(row.codePoint);
    QStringList encoded;
    for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
        if ((c >= 0xA0 && c <= 0xFF) || (c >= 0xD800 && c <= 0xDFFF) || mapped.contains(c))
            continue;
        // Not QString::fromUcs4: it drops a leading U+FEFF.
        const QChar units[2] = {QChar(QChar::highSurrogate(c)), QChar(QChar::lowSurrogate(c))};
        const auto result = toWindows1252(QChar::requiresSurrogates(c) ? QString(units, 2) : QString(QChar(char16_t(c))));
        if (!result.unencodable || *result.unencodable != c || !result.bytes.isEmpty())
            encoded << QStringLiteral("U+%1").arg(uint(c), 4, 16, QChar(u'0'));
    }
    QVERIFY2(encoded.isEmpty(), qPrintable(encoded.join(u' ')));
}

QTEST_GUILESS_MAIN(TestWindows1252)
#include "tst_windows1252.moc"
