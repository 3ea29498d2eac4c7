// Times what the window does, on the real line class over pseudo-terminals:
//
//   bench_window discovery RUNS      Form_Load alone, ports from KESTAVO_COMn
//   bench_window send BYTES RUNS     "Senden (TxD)" with a BYTES-long text, until
//                                    the last byte is read at the far end; also
//                                    the longest event-loop stall meanwhile
//   bench_window cat BYTES RUNS      the same bytes written by cat(1) into the
//                                    same kind of pseudo-terminal, for comparison
//
// One line per run on stdout: key=value pairs.
#include "comm_control.h"
#include "frm_main.h"
#include "port_map.h"
#include "qt_serial_line.h"
#include "ui_frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QTemporaryFile>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kestavo;
using Clock = std::chrono::steady_clock;

extern char **environ;

namespace {

constexpr std::chrono::milliseconds kStallTick{1};
constexpr std::chrono::seconds kRunLimit{120};

// Printable Windows-1252 text without a short period, the same for both senders.
QByteArray payload(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<char>(0x20 + state % 0x5F);
    }
    return bytes;
}

struct Pty {
    int master = -1;
    QString slave;

    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            qFatal("no pseudo-terminal");
        slave = QString::fromLocal8Bit(ptsname(master));
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { ::close(master); }
};

// Reads the master on its own thread until `expected` bytes are in.
class FarEnd
{
public:
    FarEnd(int master, const QByteArray &expected) : m_expected(expected)
    {
        m_thread = std::thread([this, master] { run(master); });
    }
    ~FarEnd() { m_thread.join(); }

    bool done() const { return m_done.load(); }
    Clock::time_point lastByte() const { return m_lastByte; }
    bool intact() const { return m_received == m_expected; }

private:
    void run(int master)
    {
        char buffer[65536];
        const auto limit = Clock::now() + kRunLimit;
        while (m_received.size() < m_expected.size() && Clock::now() < limit) {
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                m_received.append(buffer, n);
                m_lastByte = Clock::now();
            } else if (n < 0 && errno != EAGAIN && errno != EIO) {
                break;
            }
        }
        m_done.store(true);
    }

    QByteArray m_expected;
    QByteArray m_received;
    Clock::time_point m_lastByte;
    std::atomic<bool> m_done = false;
    std::thread m_thread;
};

std::unique_ptr<frmMain> makeWindow(const QProcessEnvironment &environment)
{
    auto rs232 = std::make_unique<CommControl>(PortMap::fromSystem(environment), std::make_unique<QtSerialLine>());
    auto window = std::make_unique<frmMain>(std::move(rs232));
    window->setUserMessages({[](const Failure &f) { std::fprintf(stderr, "failure %d: %s\n", f.code, qPrintable(f.text)); },
                             [](const QString &text) { std::fprintf(stderr, "notice: %s\n", qPrintable(text)); }});
    return window;
}

int discovery(int runs)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!PortMap::fromOverrides(environment)) {
        std::fprintf(stderr, "set KESTAVO_COM1 … KESTAVO_COM10: nothing may be detected here\n");
        return 2;
    }
    for (int run = 0; run < runs; ++run) {
        auto window = makeWindow(environment);
        QElapsedTimer timer;
        timer.start();
        window->Form_Load();
        const qint64 ns = timer.nsecsElapsed();
        std::printf("run=%d form_load_us=%.1f listed=%d\n", run, ns / 1000.0, window->ui().cmbComPort->count());
        std::fflush(stdout);
    }
    return 0;
}

int send(qsizetype size, int runs)
{
    Pty pty;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("KESTAVO_COM1"), pty.slave);
    auto window = makeWindow(environment);
    window->Form_Load();
    window->show();
    window->ui().cmdVerbindung->click();
    if (window->ui().cmdVerbindung->text() != QStringLiteral("Trennen")) {
        std::fprintf(stderr, "could not connect to %s\n", qPrintable(pty.slave));
        return 1;
    }
    const QByteArray bytes = payload(size);
    window->ui().txtDaten->setText(QString::fromLatin1(bytes));

    for (int run = 0; run < runs; ++run) {
        // Let the text box settle (layout, first paint) before the clock starts.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

        FarEnd farEnd(pty.master, bytes);
        Clock::time_point start;
        Clock::time_point lastTick = Clock::now();
        Clock::duration longestStall{};
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(kStallTick);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            longestStall = std::max(longestStall, now - lastTick);
            lastTick = now;
        });
        ticker.start();
        QTimer::singleShot(5, window.get(), [&] {
            start = Clock::now();
            window->ui().cmdSenden->click();
        });
        QEventLoop loop;
        QTimer poller;
        QObject::connect(&poller, &QTimer::timeout, [&] {
            if (farEnd.done())
                loop.quit();
        });
        poller.start(1);
        loop.exec();
        ticker.stop();
        const auto now = Clock::now();
        longestStall = std::max(longestStall, now - lastTick);
        const double seconds = std::chrono::duration<double>(farEnd.lastByte() - start).count();
        std::printf("run=%d bytes=%lld seconds=%.6f mib_per_s=%.2f longest_stall_ms=%.2f intact=%d\n", run,
                    static_cast<long long>(size), seconds, size / seconds / (1024.0 * 1024.0),
                    std::chrono::duration<double, std::milli>(longestStall).count(), farEnd.intact() ? 1 : 0);
        std::fflush(stdout);
    }
    window->ui().cmdVerbindung->click();
    return 0;
}

int cat(qsizetype size, int runs)
{
    Pty pty;
    const int slave = ::open(qPrintable(pty.slave), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(slave, &settings);
    // The settings the window's line uses: raw, 9600 8N1.
    cfmakeraw(&settings);
    cfsetspeed(&settings, B9600);
    settings.c_cflag |= CLOCAL | CREAD;
    tcsetattr(slave, TCSANOW, &settings);

    const QByteArray bytes = payload(size);
    QTemporaryFile file;
    if (!file.open() || file.write(bytes) != size || !file.flush())
        qFatal("cannot write the payload file");
    const QByteArray path = file.fileName().toLocal8Bit();

    for (int run = 0; run < runs; ++run) {
        FarEnd farEnd(pty.master, bytes);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
        char catName[] = "cat";
        char *argv[] = {catName, const_cast<char *>(path.constData()), nullptr};
        const auto start = Clock::now();
        pid_t pid = 0;
        if (posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) != 0)
            qFatal("cannot start cat");
        posix_spawn_file_actions_destroy(&actions);
        while (!farEnd.done())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        waitpid(pid, nullptr, 0);
        const double seconds = std::chrono::duration<double>(farEnd.lastByte() - start).count();
        std::printf("run=%d bytes=%lld seconds=%.6f mib_per_s=%.2f intact=%d\n", run, static_cast<long long>(size),
                    seconds, size / seconds / (1024.0 * 1024.0), farEnd.intact() ? 1 : 0);
        std::fflush(stdout);
    }
    ::close(slave);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    if (mode == QLatin1String("discovery") && arguments.size() == 3)
        return discovery(arguments.at(2).toInt());
    if (mode == QLatin1String("send") && arguments.size() == 4)
        return send(arguments.at(2).toLongLong(), arguments.at(3).toInt());
    if (mode == QLatin1String("cat") && arguments.size() == 4)
        return cat(arguments.at(2).toLongLong(), arguments.at(3).toInt());
    std::fprintf(stderr, "usage: bench_window discovery RUNS | send BYTES RUNS | cat BYTES RUNS\n");
    return 2;
}
