#include "sonioxsettings.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 maxKeyFileBytes = 4096;

} // namespace

SonioxKey loadSonioxKey(const QString &keyFile, const QByteArray &environmentValue, const QString &what)
{
    SonioxKey result;
    if (keyFile.isEmpty()) {
        result.key = QString::fromUtf8(environmentValue).trimmed();
        return result;
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("The %1 file %2 cannot be read.").arg(what, keyFile);
        return result;
    }
    if (file.size() > maxKeyFileBytes) {
        result.error = QStringLiteral("The %1 file %2 is too large to hold a %1.").arg(what, keyFile);
        return result;
    }
    // The first line is the key; editors often add a newline after it.
    const QByteArray content = file.read(maxKeyFileBytes);
    result.key = QString::fromUtf8(content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n')))
                     .trimmed();
    if (result.key.isEmpty())
        result.error = QStringLiteral("The %1 file %2 is empty.").arg(what, keyFile);
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (QFileInfo(keyFile).permissions() & others)
        result.warning = QStringLiteral("The %1 file %2 is readable by other users; chmod 600 it.").arg(what, keyFile);
    return result;
}
