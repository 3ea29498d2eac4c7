#include "file_state.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace kestavo::testing {

FileState stateOf(const QString &path)
{
    FileState state;
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return state;
    state.exists = true;
    state.type = st.st_mode & S_IFMT;
    state.mtimeNs = qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            state.content = file.readAll();
    } else if (S_ISDIR(st.st_mode)) {
        state.entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }
    return state;
}

} // namespace kestavo::testing
