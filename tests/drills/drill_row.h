#pragma once

#include <QtTest>

namespace kestavo::testing {

// A drill's single row: a seed and a count (of `count`, e.g. "steps"), taken
// from KESTAVO_DRILL_SEED and `countVariable` when they are set, and logged,
// so that a failed run can be replayed.
inline void addDrillRow(const char *drill, quint64 fixedSeed, const char *count, const char *countVariable,
                        int defaultCount)
{
    QTest::addColumn<quint64>("seed");
    QTest::addColumn<int>(count);

    bool given = false;
    quint64 seed = qgetenv("KESTAVO_DRILL_SEED").toULongLong(&given, 0);
    if (!given)
        seed = fixedSeed;
    bool countGiven = false;
    int n = qEnvironmentVariableIntValue(countVariable, &countGiven);
    if (!countGiven || n <= 0)
        n = defaultCount;
    qInfo("%s: seed %llu (%s), %d %s", drill, static_cast<unsigned long long>(seed),
          given ? "from KESTAVO_DRILL_SEED" : "fixed", n, count);
    QTest::addRow("seed %llu, %d %s", static_cast<unsigned long long>(seed), n, count) << seed << n;
}

} // namespace kestavo::testing
