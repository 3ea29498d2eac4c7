#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace kestavo::testing {

// What a path looks like from outside, to show that the code under test left
// it alone: a write, a truncation or a new entry changes it.
struct FileState {
    bool exists = false;
    mode_t type = 0;
    qint64 mtimeNs = 0;
    QByteArray content;
    QStringList entries;
    friend bool operator==(const FileState &, const FileState &) = default;
};

// The path itself, not what a symbolic link there points at.
FileState stateOf(const QString &path);

} // namespace kestavo::testing
