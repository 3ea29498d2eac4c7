#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <map>
#include <optional>

namespace kestavo {

struct PortEntry {
    QString device;      // what the line opens: "/dev/ttyUSB0", "COM3", …
    QString description; // one line for a tooltip: the path, plus the adapter where known
    // Found through sysfs: where the adapter sits (its parent device's sysfs
    // path) and its serial number, which a replug keeps while the name changes.
    QString location;
    QString serial;

    friend bool operator==(const PortEntry &, const PortEntry &) = default;
};

// Which device stands behind COMn.
class PortMap
{
public:
    static constexpr int kOverrideCount = 10;

    PortMap() = default;
    explicit PortMap(std::map<int, PortEntry> entries) : m_entries(std::move(entries)) {}

    // KESTAVO_COM1 … KESTAVO_COM10 when any is set (exactly those map);
    // otherwise the system's own serial devices, found without opening any.
    static PortMap fromSystem(const QProcessEnvironment &environment,
                              const QString &sysfsRoot = QStringLiteral("/sys"),
                              const QString &devRoot = QStringLiteral("/dev"));

    // Only the overrides; empty when none is set.
    static std::optional<PortMap> fromOverrides(const QProcessEnvironment &environment);

    // Linux: serial devices listed under sysfsRoot/class/tty, numbered COM 1 upward.
    static PortMap fromSysfs(const QString &sysfsRoot, const QString &devRoot);

    std::optional<PortEntry> find(int number) const;
    // The entry with the device that sits at its place now, for each open.
    std::optional<PortEntry> resolve(int number);
    const std::map<int, PortEntry> &entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.empty(); }

private:
    std::map<int, PortEntry> m_entries;
    QString m_sysfsRoot;
    QString m_devRoot;
};

} // namespace kestavo
