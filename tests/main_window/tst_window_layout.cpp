#include "window_fixture.h"

#include <QStyleOptionComboBox>
#include <QtTest>

using namespace kestavo;
using namespace kestavo::testing;

class tst_WindowLayout : public QObject
{
    Q_OBJECT

private slots:
    void startStates();
    void controlsSitWhereTheDescriptionSays_data();
    void controlsSitWhereTheDescriptionSays();
    void tabOrder_data();
    void tabOrder();
    void fixedSizeWithOnlyACloseButton();
    void captionsFit_data();
    void captionsFit();
    void enterAndEscapePressNothing();
    void textToolTipShowsTheBytes_data();
    void textToolTipShowsTheBytes();
};

void tst_WindowLayout::startStates()
{
    WindowFixture f({1});
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Kestavo für zor by MERIDAX"));
    QCOMPARE(f.ui().cmbComPort->currentText(), QStringLiteral("Combo1"));
    f.window->Form_Load();
    QCOMPARE(f.ui().txtDaten->text(), QStringLiteral("A"));
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
    QCOMPARE(f.ui().cmdSenden->text(), QStringLiteral("Senden (TxD)"));
    QCOMPARE(f.ui().chkRTS->text(), QStringLiteral("RTS High setzen"));
    QCOMPARE(f.ui().chkDTR->text(), QStringLiteral("DTR High setzen"));
    QVERIFY(!f.ui().cmdSenden->isEnabled());
    QVERIFY(!f.ui().chkRTS->isEnabled());
    QVERIFY(!f.ui().chkDTR->isEnabled());
    QVERIFY(!f.ui().chkRTS->isChecked());
    QVERIFY(!f.ui().chkDTR->isChecked());
    QVERIFY(!f.ui().Label1->isEnabled());
    QVERIFY(f.ui().cmbComPort->isEditable());
    QCOMPARE(f.ui().cmbComPort->insertPolicy(), QComboBox::NoInsert);
    QVERIFY(f.ui().txtDaten->maxLength() > 1 << 30);
}

// Positions in twips (1/1440 inch); 15 twips make a pixel at 96 dpi.
void tst_WindowLayout::controlsSitWhereTheDescriptionSays_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");

    QTest::newRow("cmbComPort") << "cmbComPort" << QRect(360, 360, 1335, 315);
    QTest::newRow("cmdVerbindung") << "cmdVerbindung" << QRect(2040, 300, 1095, 435);
    QTest::newRow("txtDaten") << "txtDaten" << QRect(360, 1080, 3915, 285);
    QTest::newRow("cmdSenden") << "cmdSenden" << QRect(2940, 1560, 1335, 435);
    QTest::newRow("chkRTS") << "chkRTS" << QRect(360, 1560, 1695, 315);
    QTest::newRow("chkDTR") << "chkDTR" << QRect(360, 1980, 1695, 315);
    QTest::newRow("Label1") << "Label1" << QRect(300, 2760, 4155, 195);
}

void tst_WindowLayout::controlsSitWhereTheDescriptionSays()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);

    WindowFixture f;
    const auto *control = f.window->findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
}

void tst_WindowLayout::tabOrder_data()
{
    QTest::addColumn<QList<int>>("present");
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QStringList>("order");

    QTest::newRow("disconnected")
        << QList<int>{1} << false << QStringList{"cmdVerbindung", "txtDaten", "cmbComPort"};
    QTest::newRow("connected") << QList<int>{1} << true
                               << QStringList{"cmdVerbindung", "txtDaten", "cmdSenden", "chkRTS", "chkDTR",
                                              "cmbComPort"};
    QTest::newRow("no port found") << QList<int>{} << false << QStringList{"txtDaten", "cmbComPort"};
}

void tst_WindowLayout::tabOrder()
{
    QFETCH(QList<int>, present);
    QFETCH(bool, connect);
    QFETCH(QStringList, order);

    WindowFixture f(present);
    f.window->Form_Load();
    if (connect)
        f.ui().cmdVerbindung->click();
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    QCOMPARE(QApplication::focusWidget(), f.ui().cmbComPort);

    QStringList visited;
    for (int i = 0; i < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
}

void tst_WindowLayout::fixedSizeWithOnlyACloseButton()
{
    WindowFixture f({1});
    f.window->Form_Load();
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));

    QCOMPARE(f.window->size(), QSize(312, 206));
    QCOMPARE(f.window->minimumSize(), QSize(312, 206));
    QCOMPARE(f.window->maximumSize(), QSize(312, 206));
    const Qt::WindowFlags flags = f.window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(f.window->isWindow());
}

void tst_WindowLayout::captionsFit_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("cmdVerbindung") << "cmdVerbindung";
    QTest::newRow("cmdSenden") << "cmdSenden";
    QTest::newRow("chkRTS") << "chkRTS";
    QTest::newRow("chkDTR") << "chkDTR";
    QTest::newRow("Label1") << "Label1";
    QTest::newRow("cmbComPort") << "cmbComPort";
    QTest::newRow("txtDaten") << "txtDaten";
}

// Measured with the style's own metrics at the window's font, so a wider
// default font or another style shows up here rather than as clipped text.
void tst_WindowLayout::captionsFit()
{
    QFETCH(QString, name);

    WindowFixture f({1});
    f.window->Form_Load();
    auto *control = f.window->findChild<QWidget *>(name);
    QVERIFY(control);
    const QFontMetrics metrics = control->fontMetrics();
    QStyle *style = control->style();
    QSize needed;

    if (auto *button = qobject_cast<QPushButton *>(control)) {
        // The style's own minimum width is not clipping: count margins and frame only.
        const int chrome = 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button)
                                + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
        int textWidth = metrics.horizontalAdvance(button->text());
        if (button == f.ui().cmdVerbindung) // the caption changes while connected; both must fit
            textWidth = std::max(textWidth, metrics.horizontalAdvance(QStringLiteral("Trennen")));
        needed = QSize(textWidth + chrome, metrics.height() + chrome);
    } else if (auto *box = qobject_cast<QCheckBox *>(control)) {
        needed = box->sizeHint(); // indicator, spacing and caption
    } else if (auto *label = qobject_cast<QLabel *>(control)) {
        needed = QSize(metrics.horizontalAdvance(label->text()), metrics.height());
    } else if (auto *combo = qobject_cast<QComboBox *>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = true;
        const QRect field = style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
        QVERIFY2(field.width() >= metrics.horizontalAdvance(QStringLiteral("COM 10")), "COM 10 is clipped");
        needed = QSize(0, metrics.height());
        QVERIFY(field.height() >= needed.height());
        return;
    } else if (auto *edit = qobject_cast<QLineEdit *>(control)) {
        needed = QSize(0, edit->minimumSizeHint().height());
    }
    QVERIFY2(needed.width() <= control->width() && needed.height() <= control->height(),
             qPrintable(QStringLiteral("%1 needs %2×%3, has %4×%5")
                            .arg(name)
                            .arg(needed.width())
                            .arg(needed.height())
                            .arg(control->width())
                            .arg(control->height())));
}

void tst_WindowLayout::enterAndEscapePressNothing()
{
    WindowFixture f({1});
    f.window->Form_Load();
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    f.ui().cmdVerbindung->setFocus();
    QTest::keyClick(f.ui().cmdVerbindung, Qt::Key_Return);
    QTest::keyClick(f.ui().cmdVerbindung, Qt::Key_Escape);
    f.ui().txtDaten->setFocus();
    QTest::keyClick(f.ui().txtDaten, Qt::Key_Return);

    QVERIFY(f.line().openedDevices.size() == 1); // discovery's probe only
    QVERIFY(f.window->isVisible());
    QCOMPARE(f.ui().cmdVerbindung->text(), QStringLiteral("Verbinden"));
}

void tst_WindowLayout::textToolTipShowsTheBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("preview");

    QTest::newRow("A") << "A" << "1 Byte: 41";
    QTest::newRow("umlauts, sharp s, euro") << "Grüße €" << "7 Bytes: 47 72 FC DF 65 20 80";
    QTest::newRow("pasted CR LF") << "AT\r\n" << "4 Bytes: 41 54 0D 0A";
    QTest::newRow("outside Windows-1252, after a good one")
        << QStringLiteral("ü😀Ω") << "Das Zeichen „😀“ (U+1F600) gibt es im Zeichensatz Windows-1252 nicht.";
    QTest::newRow("1 MiB, cut after 32 bytes")
        << QString(1 << 20, u'A') << "1048576 Bytes: " + QStringList(32, QStringLiteral("41")).join(u' ') + " …";
}

void tst_WindowLayout::textToolTipShowsTheBytes()
{
    QFETCH(QString, text);
    QFETCH(QString, preview);

    WindowFixture f;
    f.ui().txtDaten->setText(text);
    QTRY_COMPARE(f.ui().txtDaten->toolTip(), preview);
}

QTEST_MAIN(tst_WindowLayout)
#include "tst_window_layout.moc"
