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

QString adapterDetails(const QString &ttyDir)
{
    QString dir = QFileInfo(ttyDir + QStringLiteral("/device")).canonicalFilePath();
    QStringList parts;
    for (int depth = 0; !dir.isEmpty() && depth < 8 && parts.isEmpty(); ++depth) {
        for (const char *file : {"product", "manufacturer", "serial"}) {
            const QString value = readLine(dir + u'/' + QLatin1String(file));
            if (!value.isEmpty())
                parts << value;
        }
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            break;
        dir = parent;
    }
    return parts.join(QStringLiteral(", "));
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
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return sortKey(a) < sortKey(b); });

    std::map<int, PortEntry> entries;
    int number = 1;
    for (const QString &name : names) {
        const QString device = devRoot + u'/' + name;
        const QString details = adapterDetails(classDir + u'/' + name);
        entries[number++] = {device, details.isEmpty() ? device : device + QStringLiteral(" – ") + details};
    }
    return PortMap(std::move(entries));
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

std::optional<PortEntry> PortMap::find(int number) const
{
    const auto it = m_entries.find(number);
    if (it == m_entries.end())
        return std::nullopt;
    return it->second;
}

} // namespace kestavo
