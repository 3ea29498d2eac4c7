#include "drill_row.h"
#include "window_fixture.h"
#include "windows1252.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <array>
#include <deque>
#include <random>

using namespace kestavo;
using namespace kestavo::testing;
using Op = FakeLine::Op;

namespace {

constexpr quint64 kFixedSeed = 20240611;
constexpr int kDefaultSteps = 6000;
constexpr int kShortestEpisode = 20;
constexpr int kLongestEpisode = 250;
constexpr int kStepsInReport = 30;
constexpr double kClickBeforeLoop = 0.1;

const QString kConnected = QStringLiteral("Trennen");
const QString kDisconnected = QStringLiteral("Verbinden");

// Characters a user can paste: plain, Latin-1, the Windows-1252 extras, the
// five C1 controls passed through, and some with no Windows-1252 byte at all.
const QStringList kPieces = {
    QStringLiteral("A"), QStringLiteral("AT"), QStringLiteral(" "), QStringLiteral("\t"),
    QStringLiteral("\r\n"), QString(QChar(0)), QStringLiteral("~"), QStringLiteral("Grüße"),
    QStringLiteral("é"), QStringLiteral("ÿ"), QStringLiteral("\u00A0"), QStringLiteral("€"),
    QStringLiteral("„"), QStringLiteral("…"), QStringLiteral("Ÿ"), QStringLiteral("™"),
    QStringLiteral("–"), QStringLiteral("\u0081"), QStringLiteral("\u009D"), QStringLiteral("日本"),
    QStringLiteral("😀"), QStringLiteral("\u0080"), QStringLiteral("\u0100"), QStringLiteral("\u2603"),
};

QString describe(const QString &text)
{
    QString shown = text.left(24);
    shown.replace(QChar(0), QStringLiteral("\\0"));
    shown.replace(u'\r', QStringLiteral("\\r"));
    shown.replace(u'\n', QStringLiteral("\\n"));
    shown.replace(u'\t', QStringLiteral("\\t"));
    return QStringLiteral("\"%1\"%2 (%3 UTF-16 units)")
        .arg(shown, text.size() > 24 ? QStringLiteral("…") : QString())
        .arg(text.size());
}

QString joined(const QSet<int> &ports)
{
    QList<int> sorted(ports.begin(), ports.end());
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (int n : sorted)
        parts << QString::number(n);
    return parts.join(u',');
}

const char *opName(Op op)
{
    switch (op) {
    case Op::Open: return "Open";
    case Op::Close: return "Close";
    case Op::Dtr: return "Dtr";
    case Op::Rts: return "Rts";
    case Op::Write: return "Write";
    }
    return "?";
}

// What a scripted failure of each line operation says; the codes tell them apart.
Failure armedFailure(Op op)
{
    switch (op) {
    case Op::Open: return Failure::make(FailureCode::OpenFailed, QStringLiteral("drill: open refused"));
    case Op::Close: return Failure::make(FailureCode::CloseFailed, QStringLiteral("drill: close refused"));
    case Op::Write: return Failure::make(FailureCode::WriteFailed, QStringLiteral("drill: write refused"));
    case Op::Dtr: return Failure::make(FailureCode::ModemLineFailed, QStringLiteral("drill: DTR refused"));
    case Op::Rts: return Failure::make(FailureCode::ModemLineFailed, QStringLiteral("drill: RTS refused"));
    }
    return {};
}

QString discardNotice(qint64 count)
{
    return count == 1 ? QStringLiteral("Beim Trennen wurde 1 Byte nicht mehr gesendet und verworfen.")
                      : QStringLiteral("Beim Trennen wurden %1 Bytes nicht mehr gesendet und verworfen.").arg(count);
}

// What the component and its line must be doing, kept apart from them: every
// click is predicted here first, then made, then compared.
struct Model {
    QList<int> listed;        // port number behind each combo entry
    bool open = false;        // the component's open state
    bool shownConnected = false; // caption "Trennen", and the line controls enabled
    bool commGone = false;    // the component knows the device went away
    bool lineGone = false;    // the device went away (known or not)
    int port = 1;
    bool dtr = false;
    bool rts = false;
    bool lineDtr = false;
    bool lineRts = false;
    bool dtrTicked = false;
    bool rtsTicked = false;
    QString text = QStringLiteral("A");
    int comboIndex = -1;
    std::map<Op, int> armed;
    QSet<int> present;
    QSet<int> busy;
    bool modemLines = true;
    bool deliverAtOnce = true;
    QSet<qint16> refusedPorts;
    bool refuseStateRead = false;
    QByteArray sent;
    QByteArray queued;
    qint64 accepted = 0;
    qint64 discarded = 0;
    int lostReports = 0;
    // Connections counted from 1; a loss belongs to the one it happened in.
    int session = 0;
    QList<int> lossesPosted; // reported by the component, not yet delivered by the event loop
    bool lossShown = false;  // the user was told of a loss in the current connection

    bool consume(Op op)
    {
        int &count = armed[op];
        if (count == 0)
            return false;
        --count;
        return true;
    }
};

// A predicted outcome: success, a failure with a known code, or one whose
// whole text is known because the drill scripted it.
struct Outcome {
    std::optional<Failure> failure;
    bool exactText = false;
    std::optional<qint64> discardedNotice;

    static Outcome ok() { return {}; }
    static Outcome fails(FailureCode code) { return {Failure::make(code, QString()), false, {}}; }
    static Outcome fails(const Failure &exact) { return {exact, true, {}}; }
};

class Drill
{
public:
    Drill(quint64 seed, int steps) : m_random(seed), m_seed(seed), m_steps(steps) {}

    // Empty when every step kept every invariant; otherwise what broke, where.
    QString run();
    int episodes() const { return m_episode; }
    int connects() const { return m_connects; }
    qint64 bytesSent() const { return m_bytesSent; }
    // How often each handler ended how: "send ok", "connect 105", …
    const std::map<QString, int> &outcomes() const { return m_outcomes; }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool chance(double p) { return std::bernoulli_distribution(p)(m_random); }

    bool runEpisode(int steps);
    bool load();
    bool step();
    bool finish();

    bool clickConnect();
    bool clickSend();
    bool clickLine(bool dtr);
    bool changeText();
    bool selectEntry();
    bool armFailure();
    bool vanish();
    bool deliverSome();
    void toggle(QSet<int> &set, int n, const char *what);

    Outcome predictConnect();
    Outcome predictSend();
    Outcome predictLine(bool dtr, bool high);
    void applyOpenLevels();

    bool compareClick(const char *what, qsizetype failuresBefore, qsizetype noticesBefore, const Outcome &expected,
                      const QString &captionBefore, bool sendEnabledBefore);
    bool settle();
    bool checkInvariants();
    bool checkList();
    bool fail(const QString &what);
    void note(const QString &what);

    QString randomText();

    std::mt19937_64 m_random;
    quint64 m_seed;
    int m_steps;
    int m_step = 0;
    int m_episode = 0;
    int m_connects = 0;
    qint64 m_bytesSent = 0;
    std::map<QString, int> m_outcomes;
    std::unique_ptr<WindowFixture> m_f;
    std::unique_ptr<QSignalSpy> m_lostSpy;
    std::unique_ptr<QSignalSpy> m_discardSpy;
    Model m_m;
    std::deque<QString> m_recent;
    QString m_error;
};

void Drill::note(const QString &what)
{
    m_recent.push_back(QStringLiteral("#%1 %2").arg(m_step).arg(what));
    if (m_recent.size() > kStepsInReport)
        m_recent.pop_front();
}

bool Drill::fail(const QString &what)
{
    QStringList lines{QStringLiteral("seed %1, episode %2, step %3: %4").arg(m_seed).arg(m_episode).arg(m_step).arg(what),
                      QStringLiteral("last steps (replay with KESTAVO_DRILL_SEED=%1 KESTAVO_DRILL_STEPS=%2):")
                          .arg(m_seed)
                          .arg(m_steps)};
    for (const QString &line : m_recent)
        lines << QStringLiteral("  ") + line;
    m_error = lines.join(u'\n');
    return false;
}

QString Drill::randomText()
{
    if (chance(0.08))
        return QString();
    QString text;
    const int pieces = chance(0.05) ? pick(100, 2000) : pick(1, 12);
    const bool encodableOnly = chance(0.7);
    for (int i = 0; i < pieces; ++i) {
        // The last five pieces have no Windows-1252 byte.
        const int index = pick(0, int(kPieces.size()) - 1 - (encodableOnly ? 5 : 0));
        text += kPieces[index];
    }
    return text;
}

QString Drill::run()
{
    while (m_step < m_steps) {
        const int length = std::min(pick(kShortestEpisode, kLongestEpisode), m_steps - m_step);
        if (!runEpisode(length))
            return m_error;
    }
    return {};
}

bool Drill::runEpisode(int steps)
{
    ++m_episode;
    m_m = Model();
    if (!load())
        return false;
    for (int i = 0; i < steps; ++i) {
        ++m_step;
        // Now and then the next click comes before the event loop has run,
        // as when it waits in the same batch of events as the line's signal.
        if (!step() || (!chance(kClickBeforeLoop) && !settle()) || !checkInvariants())
            return false;
    }
    return finish();
}

// A fresh window over random devices; some discoveries run into faults.
bool Drill::load()
{
    QList<int> present;
    for (int n = 1; n <= frmMain::kPortSlots; ++n) {
        if (chance(0.6))
            present << n;
    }
    m_f = std::make_unique<WindowFixture>(present);
    m_m.present = QSet<int>(present.begin(), present.end());
    for (int n = 1; n <= frmMain::kPortSlots; ++n) {
        if (chance(0.12)) {
            m_f->line().busyDevices << ScriptedComm::devicePath(n);
            m_m.busy << n;
        }
    }
    m_lostSpy = std::make_unique<QSignalSpy>(m_f->comm, &CommControl::deviceLost);
    m_discardSpy = std::make_unique<QSignalSpy>(m_f->comm, &CommControl::bytesDiscarded);

    const bool faulty = chance(0.3);
    QStringList faults;
    if (faulty) {
        for (Op op : {Op::Open, Op::Close, Op::Dtr, Op::Rts}) {
            for (int i = pick(0, 2); i > 0; --i) {
                m_f->line().failNext(op, armedFailure(op));
                faults << QString::fromLatin1(opName(op));
            }
        }
        for (qint16 n = 1; n <= frmMain::kPortSlots; ++n) {
            if (chance(0.1)) {
                m_f->comm->refuseCommPortWrite << n;
                faults << QStringLiteral("CommPort=%1 refused").arg(n);
            }
        }
        if (chance(0.1)) {
            m_f->comm->refusePortOpenRead = true;
            faults << QStringLiteral("PortOpen read refused");
        }
    }
    if (chance(0.2)) {
        m_f->line().modemLinesSupported = false;
        m_m.modemLines = false;
    }
    note(QStringLiteral("new window: present {%1}, busy {%2}, faults in discovery {%3}")
             .arg(joined(m_m.present), joined(m_m.busy), faults.join(u',')));

    m_f->window->show();
    m_f->window->Form_Load();
    if (!checkList())
        return false;

    // Discovery tells the user nothing, whatever it ran into.
    if (!m_f->failures.isEmpty() || !m_f->notices.isEmpty())
        return fail(QStringLiteral("discovery reported something to the user"));

    const bool leftOpen = m_f->comm->CommControl::PortOpen().value();
    for (int i = 0; i < m_f->ui().cmbComPort->count(); ++i)
        m_m.listed << m_f->window->ComPorts(i + 1);
    if (!faulty) {
        QList<int> usable;
        for (int n : present) {
            if (!m_m.busy.contains(n))
                usable << n;
        }
        if (m_m.listed != usable)
            return fail(QStringLiteral("discovery listed %1 ports, %2 are usable").arg(m_m.listed.size()).arg(usable.size()));
        if (leftOpen)
            return fail(QStringLiteral("fault-free discovery left a port open"));
        if (m_f->line().closeCount != usable.size())
            return fail(QStringLiteral("discovery closed %1 times for %2 ports").arg(m_f->line().closeCount).arg(usable.size()));
    }
    // Discovery shows a port it left open instead of selecting the first
    // entry, as far as it can read that state.
    const bool shownOpen = leftOpen && !m_f->comm->refusePortOpenRead;
    const int expectedIndex = shownOpen || m_m.listed.isEmpty() ? -1 : 0;
    if (m_f->ui().cmbComPort->currentIndex() != expectedIndex)
        return fail(QStringLiteral("after discovery entry %1 is selected").arg(m_f->ui().cmbComPort->currentIndex()));
    if (shownOpen && m_f->ui().cmbComPort->currentText() != QStringLiteral("COM %1").arg(m_f->comm->CommControl::CommPort().value()))
        return fail(QStringLiteral("a port left open by discovery is not named in the box"));
    if (m_f->ui().cmdVerbindung->isEnabled() != !m_m.listed.isEmpty())
        return fail(QStringLiteral("the connect button's enabled state does not follow the list"));

    // From here the model predicts every step, starting from what discovery left.
    m_f->line().clearFailures();
    m_f->comm->refusePortOpenRead = false;
    m_m.refusedPorts = m_f->comm->refuseCommPortWrite;
    m_m.open = leftOpen;
    m_m.port = m_f->comm->CommControl::CommPort().value();
    m_m.comboIndex = expectedIndex;
    m_m.text = m_f->ui().txtDaten->text();
    note(QStringLiteral("discovery listed %1 ports%2").arg(m_m.listed.size()).arg(leftOpen ? QStringLiteral(", left COM %1 open").arg(m_m.port) : QString()));
    return checkInvariants();
}

bool Drill::step()
{
    const int roll = pick(0, 99);
    if (roll < 14)
        return clickConnect();
    if (roll < 32)
        return clickSend();
    if (roll < 39)
        return clickLine(true);
    if (roll < 46)
        return clickLine(false);
    if (roll < 56)
        return changeText();
    if (roll < 63)
        return selectEntry();
    if (roll < 68)
        return armFailure();
    if (roll < 71)
        return vanish();
    if (roll < 80)
        return deliverSome();
    if (roll < 84) {
        m_m.deliverAtOnce = !m_m.deliverAtOnce;
        m_f->line().deliverAtOnce = m_m.deliverAtOnce;
        note(QStringLiteral("line delivers %1").arg(m_m.deliverAtOnce ? "at once" : "only when told"));
        return true;
    }
    if (roll < 88) {
        toggle(m_m.busy, pick(1, frmMain::kPortSlots), "busy");
        m_f->line().busyDevices.clear();
        for (int n : m_m.busy)
            m_f->line().busyDevices << ScriptedComm::devicePath(n);
        return true;
    }
    if (roll < 91) {
        toggle(m_m.present, pick(1, frmMain::kPortSlots), "present");
        m_f->line().presentDevices.clear();
        for (int n : m_m.present)
            m_f->line().presentDevices << ScriptedComm::devicePath(n);
        return true;
    }
    if (roll < 94) {
        m_m.modemLines = !m_m.modemLines;
        m_f->line().modemLinesSupported = m_m.modemLines;
        note(QStringLiteral("modem lines %1").arg(m_m.modemLines ? "present" : "missing"));
        return true;
    }
    if (roll < 97) {
        const qint16 n = static_cast<qint16>(pick(1, frmMain::kPortSlots));
        if (!m_m.refusedPorts.remove(n))
            m_m.refusedPorts << n;
        m_f->comm->refuseCommPortWrite = m_m.refusedPorts;
        note(QStringLiteral("CommPort=%1 %2").arg(n).arg(m_m.refusedPorts.contains(n) ? "refused" : "allowed"));
        return true;
    }
    // Refused until the next connect click has run into it.
    m_m.refuseStateRead = true;
    m_f->comm->refusePortOpenRead = true;
    note(QStringLiteral("PortOpen read refused"));
    return true;
}

void Drill::toggle(QSet<int> &set, int n, const char *what)
{
    if (!set.remove(n))
        set << n;
    note(QStringLiteral("COM %1 %2 %3").arg(n).arg(set.contains(n) ? "now" : "no longer").arg(QLatin1String(what)));
}

void Drill::applyOpenLevels()
{
    // The component sets both levels in one request after every open and
    // ignores what the line says; a refusal leaves both as they were.
    const bool dtrRefused = m_m.consume(Op::Dtr);
    const bool rtsRefused = m_m.consume(Op::Rts);
    if (!dtrRefused && !rtsRefused && m_m.modemLines) {
        m_m.lineDtr = m_m.dtr;
        m_m.lineRts = m_m.rts;
    }
}

Outcome Drill::predictConnect()
{
    if (m_m.refuseStateRead)
        return Outcome::fails(scriptedFailure("PortOpen read"));
    if (m_m.open) {
        if (m_m.consume(Op::Close))
            return Outcome::fails(armedFailure(Op::Close));
        Outcome outcome;
        const qint64 lost = m_m.queued.size();
        m_m.discarded += lost;
        // Once the loss is shown, its text already gave the count.
        if (lost > 0 && !m_m.lossShown)
            outcome.discardedNotice = lost;
        m_m.lossShown = false;
        m_m.queued.clear();
        m_m.open = m_m.commGone = m_m.lineGone = false;
        m_m.shownConnected = false;
        return outcome;
    }
    if (m_m.comboIndex < 0)
        return Outcome::fails(FailureCode::SubscriptOutOfRange);
    const int n = m_m.listed.at(m_m.comboIndex);
    if (m_m.refusedPorts.contains(static_cast<qint16>(n)))
        return Outcome::fails(scriptedFailure("CommPort write"));
    m_m.port = n;
    if (m_m.consume(Op::Open))
        return Outcome::fails(armedFailure(Op::Open));
    if (!m_m.present.contains(n))
        return Outcome::fails(FailureCode::DeviceNotFound);
    if (m_m.busy.contains(n))
        return Outcome::fails(FailureCode::DeviceBusy);
    m_m.open = true;
    m_m.commGone = m_m.lineGone = false;
    m_m.shownConnected = true;
    ++m_m.session;
    m_m.lossShown = false;
    applyOpenLevels();
    return Outcome::ok();
}

Outcome Drill::predictSend()
{
    if (!m_m.open)
        return Outcome::fails(FailureCode::PortNotOpen);
    if (m_m.commGone)
        return Outcome::fails(FailureCode::DeviceGone);
    // The encoder's own test holds it to the published table.
    const EncodeResult encoded = toWindows1252(m_m.text);
    if (encoded.unencodable)
        return Outcome::fails(FailureCode::CharacterNotEncodable);
    const QByteArray &bytes = encoded.bytes;
    if (bytes.isEmpty())
        return Outcome::ok();
    if (m_m.queued.size() + bytes.size() > CommControl::kMaxQueuedBytes)
        return Outcome::fails(FailureCode::TransmitQueueFull);
    if (m_m.consume(Op::Write))
        return Outcome::fails(armedFailure(Op::Write));
    if (m_m.lineGone)
        return Outcome::fails(FailureCode::DeviceGone);
    m_m.queued += bytes;
    m_m.accepted += bytes.size();
    if (m_m.deliverAtOnce) {
        m_m.sent += m_m.queued;
        m_m.queued.clear();
    }
    return Outcome::ok();
}

Outcome Drill::predictLine(bool dtr, bool high)
{
    (dtr ? m_m.dtr : m_m.rts) = high;
    if (!m_m.open)
        return Outcome::ok();
    if (m_m.commGone)
        return Outcome::fails(FailureCode::DeviceGone);
    if (m_m.consume(dtr ? Op::Dtr : Op::Rts))
        return Outcome::fails(armedFailure(dtr ? Op::Dtr : Op::Rts));
    if (m_m.lineGone)
        return Outcome::fails(FailureCode::DeviceGone);
    if (!m_m.modemLines)
        return Outcome::fails(FailureCode::ModemLinesUnsupported);
    (dtr ? m_m.lineDtr : m_m.lineRts) = high;
    return Outcome::ok();
}

bool Drill::clickConnect()
{
    Ui::frmMain &ui = m_f->ui();
    const QString captionBefore = ui.cmdVerbindung->text();
    const bool sendBefore = ui.cmdSenden->isEnabled();
    const qsizetype failuresBefore = m_f->failures.size();
    const qsizetype noticesBefore = m_f->notices.size();
    const bool enabled = !m_m.listed.isEmpty();
    const bool wasOpen = m_m.open;
    const Outcome expected = enabled ? predictConnect() : Outcome::ok();
    note(QStringLiteral("click %1 (entry %2)%3").arg(captionBefore).arg(m_m.comboIndex).arg(enabled ? "" : ", disabled"));
    ui.cmdVerbindung->click();
    if (!wasOpen && m_m.open)
        ++m_connects;
    if (enabled && m_m.refuseStateRead) {
        m_m.refuseStateRead = false;
        m_f->comm->refusePortOpenRead = false;
    }
    return compareClick("connect", failuresBefore, noticesBefore, expected, captionBefore, sendBefore);
}

bool Drill::clickSend()
{
    Ui::frmMain &ui = m_f->ui();
    const QString captionBefore = ui.cmdVerbindung->text();
    const bool enabled = ui.cmdSenden->isEnabled();
    const qsizetype failuresBefore = m_f->failures.size();
    const qsizetype noticesBefore = m_f->notices.size();
    const Outcome expected = m_m.shownConnected ? predictSend() : Outcome::ok();
    note(QStringLiteral("click Senden with %1%2").arg(describe(m_m.text)).arg(enabled ? "" : ", disabled"));
    ui.cmdSenden->click();
    return compareClick("send", failuresBefore, noticesBefore, expected, captionBefore, enabled);
}

bool Drill::clickLine(bool dtr)
{
    Ui::frmMain &ui = m_f->ui();
    QCheckBox *box = dtr ? ui.chkDTR : ui.chkRTS;
    const QString captionBefore = ui.cmdVerbindung->text();
    const bool sendBefore = ui.cmdSenden->isEnabled();
    const qsizetype failuresBefore = m_f->failures.size();
    const qsizetype noticesBefore = m_f->notices.size();
    bool &ticked = dtr ? m_m.dtrTicked : m_m.rtsTicked;
    Outcome expected;
    if (m_m.shownConnected) {
        ticked = !ticked;
        expected = predictLine(dtr, ticked);
    }
    note(QStringLiteral("click %1%2").arg(box->text()).arg(box->isEnabled() ? "" : ", disabled"));
    box->click();
    if (box->isChecked() != ticked)
        return fail(QStringLiteral("%1 is %2ticked").arg(box->text()).arg(box->isChecked() ? "" : "not "));
    return compareClick(dtr ? "DTR" : "RTS", failuresBefore, noticesBefore, expected, captionBefore, sendBefore);
}

bool Drill::compareClick(const char *what, qsizetype failuresBefore, qsizetype noticesBefore, const Outcome &expected,
                         const QString &captionBefore, bool sendEnabledBefore)
{
    const qsizetype reported = m_f->failures.size() - failuresBefore;
    ++m_outcomes[QStringLiteral("%1 %2").arg(QLatin1String(what), expected.failure ? QString::number(expected.failure->code) : QStringLiteral("ok"))];
    if (!expected.failure) {
        if (reported != 0) {
            return fail(QStringLiteral("%1 should succeed, the user was told: %2 %3")
                            .arg(QLatin1String(what))
                            .arg(m_f->failures.last().code)
                            .arg(m_f->failures.last().text));
        }
    } else {
        if (reported != 1)
            return fail(QStringLiteral("%1 should fail with %2, %3 failures were reported").arg(QLatin1String(what)).arg(expected.failure->code).arg(reported));
        const Failure &got = m_f->failures.last();
        if (got.code != expected.failure->code || got.text.isEmpty() || (expected.exactText && got != *expected.failure))
            return fail(QStringLiteral("%1 should fail with %2 %3, got %4 %5").arg(QLatin1String(what)).arg(expected.failure->code).arg(expected.failure->text).arg(got.code).arg(got.text));
        // A failing handler leaves the window as it was.
        if (m_f->ui().cmdVerbindung->text() != captionBefore || m_f->ui().cmdSenden->isEnabled() != sendEnabledBefore)
            return fail(QStringLiteral("failing %1 changed the window").arg(QLatin1String(what)));
    }
    QStringList notices = m_f->notices.mid(noticesBefore);
    const QStringList expectedNotices = expected.discardedNotice ? QStringList{discardNotice(*expected.discardedNotice)} : QStringList{};
    if (notices != expectedNotices)
        return fail(QStringLiteral("%1: notices %2, expected %3").arg(QLatin1String(what), notices.join(u'|'), expectedNotices.join(u'|')));
    return true;
}

bool Drill::changeText()
{
    const QString text = randomText();
    m_f->ui().txtDaten->setText(text);
    m_m.text = m_f->ui().txtDaten->text();
    note(QStringLiteral("text %1").arg(describe(m_m.text)));
    if (m_m.text != text)
        return fail(QStringLiteral("the text box holds %1, not what was put in").arg(describe(m_m.text)));
    return true;
}

bool Drill::selectEntry()
{
    const int count = m_f->ui().cmbComPort->count();
    const int index = pick(-1, count);
    m_f->ui().cmbComPort->setCurrentIndex(index);
    m_m.comboIndex = index < count ? index : -1;
    note(QStringLiteral("select entry %1 of %2").arg(index).arg(count));
    return true;
}

bool Drill::armFailure()
{
    const Op op = static_cast<Op>(pick(0, 4));
    m_f->line().failNext(op, armedFailure(op));
    ++m_m.armed[op];
    note(QStringLiteral("next %1 fails").arg(QLatin1String(opName(op))));
    return true;
}

bool Drill::vanish()
{
    static constexpr std::array<int, 5> kRepeats = {0, 1, 1, 2, 1000};
    const int repeats = kRepeats.at(static_cast<std::size_t>(pick(0, int(kRepeats.size()) - 1)));
    m_m.lineGone = true;
    if (repeats > 0 && m_m.open && !m_m.commGone) {
        m_m.commGone = true;
        m_m.lossesPosted << m_m.session;
    }
    note(QStringLiteral("device vanishes, signalled %1 times").arg(repeats));
    m_f->line().vanish(repeats);
    return true;
}

bool Drill::deliverSome()
{
    const int count = chance(0.2) ? -1 : pick(0, static_cast<int>(m_m.queued.size()) + 2);
    if (!m_m.lineGone) {
        const qint64 n = count < 0 ? m_m.queued.size() : std::min<qint64>(count, m_m.queued.size());
        m_m.sent += m_m.queued.left(n);
        m_m.queued.remove(0, n);
    }
    note(QStringLiteral("line delivers %1 bytes").arg(count));
    m_f->line().deliver(count);
    return true;
}

// Queued reports (a lost device) arrive here, and only here.
bool Drill::settle()
{
    const qsizetype failuresBefore = m_f->failures.size();
    QCoreApplication::processEvents();
    for (int session : std::as_const(m_m.lossesPosted)) {
        // A report that arrives after its connection was closed is news of
        // the past: dropped, so that it cannot hide what a later connection
        // throws away.
        if (m_m.open && session == m_m.session) {
            ++m_m.lostReports;
            m_m.lossShown = true;
        }
    }
    m_m.lossesPosted.clear();
    const QList<Failure> reported = m_f->failures.mid(failuresBefore);
    const int lostSoFar = m_lostSpy->size();
    if (lostSoFar != m_m.lostReports)
        return fail(QStringLiteral("deviceLost emitted %1 times, expected %2").arg(lostSoFar).arg(m_m.lostReports));
    for (const Failure &failure : reported) {
        if (!failure.is(FailureCode::DeviceGone) || failure.text.isEmpty())
            return fail(QStringLiteral("from the event loop the user was told %1 %2").arg(failure.code).arg(failure.text));
    }
    for (const QList<QVariant> &arguments : std::as_const(*m_lostSpy)) {
        if (!arguments.at(0).value<Failure>().is(FailureCode::DeviceGone))
            return fail(QStringLiteral("deviceLost carried another failure"));
    }
    return true;
}

bool Drill::checkList()
{
    QComboBox *combo = m_f->ui().cmbComPort;
    const int count = combo->count();
    if (count > frmMain::kPortSlots)
        return fail(QStringLiteral("%1 entries").arg(count));
    for (int slot = 1; slot <= frmMain::kPortSlots; ++slot) {
        const int n = m_f->window->ComPorts(slot);
        if (slot <= count) {
            if (n < 1 || combo->itemText(slot - 1) != QStringLiteral("COM %1").arg(n))
                return fail(QStringLiteral("entry %1 reads %2, ComPorts(%3) is %4").arg(slot - 1).arg(combo->itemText(slot - 1)).arg(slot).arg(n));
        } else if (n != 0) {
            return fail(QStringLiteral("ComPorts(%1) is %2 past the list of %3").arg(slot).arg(n).arg(count));
        }
    }
    return true;
}

bool Drill::checkInvariants()
{
    if (!checkList())
        return false;
    Ui::frmMain &ui = m_f->ui();
    FakeLine &line = m_f->line();
    const bool open = m_f->comm->CommControl::PortOpen().value();
    if (open != m_m.open || line.isOpen() != m_m.open)
        return fail(QStringLiteral("the port is %1, expected %2").arg(open ? "open" : "closed").arg(m_m.open ? "open" : "closed"));
    if (ui.cmdVerbindung->text() == kConnected && !open)
        return fail(QStringLiteral("the caption claims a connection while the port is closed"));
    const QString caption = m_m.shownConnected ? kConnected : kDisconnected;
    if (ui.cmdVerbindung->text() != caption)
        return fail(QStringLiteral("caption %1, expected %2").arg(ui.cmdVerbindung->text(), caption));
    for (QWidget *control : {static_cast<QWidget *>(ui.cmdSenden), static_cast<QWidget *>(ui.chkRTS), static_cast<QWidget *>(ui.chkDTR)}) {
        if (control->isEnabled() != m_m.shownConnected)
            return fail(QStringLiteral("%1 is %2").arg(control->objectName()).arg(control->isEnabled() ? "enabled" : "disabled"));
    }
    if (ui.cmdVerbindung->isEnabled() != !m_m.listed.isEmpty())
        return fail(QStringLiteral("the connect button's enabled state changed"));
    if (ui.cmbComPort->currentIndex() != m_m.comboIndex)
        return fail(QStringLiteral("entry %1 selected, expected %2").arg(ui.cmbComPort->currentIndex()).arg(m_m.comboIndex));
    if (m_f->comm->CommControl::CommPort().value() != m_m.port)
        return fail(QStringLiteral("CommPort is %1, expected %2").arg(m_f->comm->CommControl::CommPort().value()).arg(m_m.port));
    if (m_f->comm->DTREnable() != m_m.dtr || m_f->comm->RTSEnable() != m_m.rts)
        return fail(QStringLiteral("requested levels DTR %1 RTS %2, expected %3 %4").arg(m_f->comm->DTREnable()).arg(m_f->comm->RTSEnable()).arg(m_m.dtr).arg(m_m.rts));
    if (line.dtr() != m_m.lineDtr || line.rts() != m_m.lineRts)
        return fail(QStringLiteral("line levels DTR %1 RTS %2, expected %3 %4").arg(line.dtr()).arg(line.rts()).arg(m_m.lineDtr).arg(m_m.lineRts));

    // Every accepted byte is on the line, still queued, or was reported thrown away.
    qint64 reportedDiscarded = 0;
    for (const QList<QVariant> &arguments : std::as_const(*m_discardSpy))
        reportedDiscarded += arguments.at(0).toLongLong();
    if (line.sent != m_m.sent)
        return fail(QStringLiteral("the line carried %1 bytes, expected %2 (first difference at %3)")
                        .arg(line.sent.size())
                        .arg(m_m.sent.size())
                        .arg([&] {
                            qsizetype i = 0;
                            while (i < line.sent.size() && i < m_m.sent.size() && line.sent[i] == m_m.sent[i])
                                ++i;
                            return i;
                        }()));
    if (line.queued != m_m.queued)
        return fail(QStringLiteral("%1 bytes queued, expected %2").arg(line.queued.size()).arg(m_m.queued.size()));
    if (reportedDiscarded != m_m.discarded)
        return fail(QStringLiteral("%1 bytes reported discarded, expected %2").arg(reportedDiscarded).arg(m_m.discarded));
    if (line.sent.size() + line.queued.size() + reportedDiscarded != m_m.accepted)
        return fail(QStringLiteral("sent %1 + queued %2 + discarded %3 != accepted %4").arg(line.sent.size()).arg(line.queued.size()).arg(reportedDiscarded).arg(m_m.accepted));
    return true;
}

// The user closes the window: whatever is open is closed, and every accepted
// byte is accounted for.
bool Drill::finish()
{
    ++m_step;
    m_f->line().clearFailures();
    m_m.armed.clear();
    m_f->comm->refusePortOpenRead = false;
    m_m.refuseStateRead = false;
    note(QStringLiteral("close the window"));
    const bool wasOpen = m_m.open;
    const qint64 lost = m_m.queued.size();
    const qsizetype noticesBefore = m_f->notices.size();
    if (!m_f->window->close())
        return fail(QStringLiteral("the window refused to close"));
    if (m_f->line().isOpen() || m_f->comm->CommControl::PortOpen().value())
        return fail(QStringLiteral("the port is still open after the window closed"));
    if (wasOpen) {
        m_m.discarded += lost;
        m_m.queued.clear();
        m_m.open = false;
        const QStringList expected = lost > 0 && !m_m.lossShown ? QStringList{discardNotice(lost)} : QStringList{};
        m_m.lossShown = false;
        if (m_f->notices.mid(noticesBefore) != expected)
            return fail(QStringLiteral("closing the window told the user %1").arg(m_f->notices.mid(noticesBefore).join(u'|')));
    }
    if (!settle())
        return false;
    qint64 reportedDiscarded = 0;
    for (const QList<QVariant> &arguments : std::as_const(*m_discardSpy))
        reportedDiscarded += arguments.at(0).toLongLong();
    if (m_f->line().sent != m_m.sent || m_f->line().sent.size() + reportedDiscarded != m_m.accepted)
        return fail(QStringLiteral("at the end sent %1 + discarded %2 != accepted %3").arg(m_f->line().sent.size()).arg(reportedDiscarded).arg(m_m.accepted));
    m_bytesSent += m_f->line().sent.size();
    m_lostSpy.reset();
    m_discardSpy.reset();
    m_f.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    if (!QApplication::topLevelWidgets().isEmpty())
        return fail(QStringLiteral("%1 top-level widgets are left").arg(QApplication::topLevelWidgets().size()));
    return true;
}

} // namespace

class tst_ModelRandom : public QObject
{
    Q_OBJECT

private slots:
    void randomSequences_data();
    void randomSequences();
};

void tst_ModelRandom::randomSequences_data()
{
    addDrillRow("model drill", kFixedSeed, "steps", "KESTAVO_DRILL_STEPS", kDefaultSteps);
}

void tst_ModelRandom::randomSequences()
{
    QFETCH(quint64, seed);
    QFETCH(int, steps);

    Drill drill(seed, steps);
    const QString error = drill.run();
    // QtTest cuts long messages; the steps that led here go to the log whole.
    if (!error.isEmpty())
        qWarning().noquote() << error;
    QVERIFY2(error.isEmpty(), qPrintable(error.section(u'\n', 0, 0)));
    QStringList outcomes;
    for (const auto &[what, count] : drill.outcomes())
        outcomes << QStringLiteral("%1: %2").arg(what).arg(count);
    qInfo("%d windows, %d connections, %lld bytes on the line; outcomes %s", drill.episodes(), drill.connects(),
          static_cast<long long>(drill.bytesSent()), qPrintable(outcomes.join(QStringLiteral(", "))));
    // A drill that never connected or sent would have proved nothing.
    QVERIFY(drill.connects() > 0);
    QVERIFY(drill.bytesSent() > 0);
}

QTEST_MAIN(tst_ModelRandom)
#include "tst_model_random.moc"
