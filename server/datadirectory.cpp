#include "datadirectory.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <sys/stat.h>

Q_LOGGING_CATEGORY(lcDataDir, "zarno.server.data")

bool DataDirectory::prepare(const QString &path, QString *error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        *error = QStringLiteral("The data directory %1 is not a directory.").arg(path);
        return false;
    }
    if (info.exists()) {
        struct stat status {};
        if (::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)))
            qCWarning(lcDataDir, "The data directory %s can be read by other users (mode %03o); "
                                 "it holds password hashes and notes: chmod 700 it.",
                      qUtf8Printable(path), unsigned(status.st_mode & 0777));
        return true;
    }
    // Only the last level is ours to make private; missing parents follow
    // the umask like any other directory the user creates.
    const QString parent = info.absolutePath();
    if (!QDir().mkpath(parent) || ::mkdir(QFile::encodeName(info.absoluteFilePath()).constData(), 0700) != 0) {
        *error = QStringLiteral("The data directory %1 cannot be created.").arg(path);
        return false;
    }
    // mkdir's mode passes through the umask, which can only take bits away.
    return true;
}
