#include "port_map.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <tuple>

namespace kestavo {
namespace {

QString readLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine()).trimmed();
}

// ttyS by number, then ttyUSB, then ttyACM, then the rest by name.
auto sortKey(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^(.*?)(\\d*)$"));
    const auto match = pattern.match(name);
    const QString stem = match.captured(1);
    const int number = match.captured(2).isEmpty() ? -1 : match.captured(2).toInt();
    int group = 3;
    if (stem == QLatin1String("ttyS"))
        group = 0;
    else if (stem == QLatin1String("ttyUSB"))
        group = 1;
    else if (stem == QLatin1String("ttyACM"))
        group = 2;
    return std::make_tuple(group, stem, number);
}

// The device the tty hangs off. A usb-serial port carries the tty's own name,
// so its parent, the USB interface, is what keeps its path across a replug.
QString parentDevice(const QString &ttyDir, const QString &name)
{
    const QString device = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
    return QFileInfo(device).fileName() == name ? QFileInfo(device).path() : device;
}

// The nearest ancestor of the parent device that has any of the files.
QStringList adapterStrings(const QString &ttyDir, std::initializer_list<const char *> files)
{
    QString dir = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
    QStringList parts;
    for (int depth = 0; !dir.isEmpty() && depth < 8 && parts.isEmpty(); ++depth) {
        for (const char *file : files) {
            const QString value = readLine(dir + u'/' + QLatin1String(file));
            if (!value.isEmpty())
                parts << value;
        }
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            break;
        dir = parent;
    }
    return parts;
}

PortEntry entryFor(const QString &classDir, const QString &name, const QString &devRoot)
{
    const QString ttyDir = classDir + u'/' + name;
    const QString device = devRoot + u'/' + name;
    const QString details = adapterStrings(ttyDir, {"product", "manufacturer", "serial"}).join(QStringLiteral(", "));
    return {device, details.isEmpty() ? device : device + QStringLiteral(" – ") + details, parentDevice(ttyDir, name),
            adapterStrings(ttyDir, {"serial"}).value(0)};
}

// Serial devices under class/tty, unsorted.
QStringList serialTtys(const QString &classDir)
{
    const QStringList consoles =
        readLine(classDir + QStringLiteral("/console/active")).split(u' ', Qt::SkipEmptyParts);
    static const QRegularExpression virtualConsole(QStringLiteral("^tty\\d*$"));

    QStringList names;
    for (const QString &name : QDir(classDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        if (consoles.contains(name) || virtualConsole.match(name).hasMatch())
            continue;
        const QString dir = classDir + u'/' + name;
        if (!QFileInfo::exists(dir + QStringLiteral("/device")))
            continue; // pseudo-terminals and other virtual lines have no parent device
        if (name.startsWith(QLatin1String("ttyS")) && readLine(dir + QStringLiteral("/type")).toInt() == 0)
            continue; // a ttyS slot with no UART behind it
        names << name;
    }
    return names;
}

} // namespace

std::optional<PortMap> PortMap::fromOverrides(const QProcessEnvironment &environment)
{
    std::map<int, PortEntry> entries;
    for (int n = 1; n <= kOverrideCount; ++n) {
        const QString key = QStringLiteral("KESTAVO_COM%1").arg(n);
        if (!environment.contains(key))
            continue;
        const QString device = environment.value(key);
        entries[n] = {device, device};
    }
    if (entries.empty())
        return std::nullopt;
    return PortMap(std::move(entries));
}

PortMap PortMap::fromSysfs(const QString &sysfsRoot, const QString &devRoot)
{
    const QString classDir = sysfsRoot + QStringLiteral("/class/tty");
    QStringList names = serialTtys(classDir);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return sortKey(a) < sortKey(b); });

    std::map<int, PortEntry> entries;
    int number = 1;
    for (const QString &name : names)
        entries[number++] = entryFor(classDir, name, devRoot);
    PortMap map(std::move(entries));
    map.m_sysfsRoot = sysfsRoot;
    map.m_devRoot = devRoot;
    return map;
}

PortMap PortMap::fromSystem(const QProcessEnvironment &environment, const QString &sysfsRoot,
                            const QString &devRoot)
{
    if (auto overrides = fromOverrides(environment))
        return *overrides;
#ifdef Q_OS_WIN
    Q_UNUSED(sysfsRoot)
    Q_UNUSED(devRoot)
    std::map<int, PortEntry> entries;
    for (int n = 1; n <= kOverrideCount; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        entries[n] = {name, name};
    }
    return PortMap(std::move(entries));
#else
    return fromSysfs(sysfsRoot, devRoot);
#endif
}

std::optional<PortEntry> PortMap::resolve(int number)
{
    const auto it = m_entries.find(number);
    if (it == m_entries.end())
        return std::nullopt;
    PortEntry &entry = it->second;
    if (entry.location.isEmpty())
        return entry;
    const QString classDir = m_sysfsRoot + QStringLiteral("/class/tty");
    // Still under its name: the common case costs one link lookup, not a scan.
    const QString current = QFileInfo(entry.device).fileName();
    if (parentDevice(classDir + u'/' + current, current) == entry.location)
        return entry;
    for (const QString &name : serialTtys(classDir)) {
        PortEntry now = entryFor(classDir, name, m_devRoot);
        if (now.location == entry.location && now.serial == entry.serial) {
            entry = std::move(now);
            break;
        }
    }
    // Nothing there: the open names the device that was.
    return entry;
}

std::optional<PortEntry> PortMap::find(int number) const
{
    const auto it = m_entries.find(number);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second;
}

} // namespace kestavo
