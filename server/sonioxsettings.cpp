#include "sonioxsettings.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 maxKeyFileBytes = 4096;

} // namespace

SonioxKey loadSonioxKey(const QString &keyFile, const QByteArray &environmentValue)
{
    SonioxKey result;
    if (keyFile.isEmpty()) {
        result.key = QString::fromUtf8(environmentValue).trimmed();
        return result;
    }
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = QStringLiteral("The key file %1 cannot be read.").arg(keyFile);
        return result;
    }
    if (file.size() > maxKeyFileBytes) {
        result.error = QStringLiteral("The key file %1 is too large to hold a key.").arg(keyFile);
        return result;
    }
    // The first line is the key; editors often add a newline after it.
    const QByteArray content = file.read(maxKeyFileBytes);
    result.key = QString::fromUtf8(content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n')))
                     .trimmed();
    if (result.key.isEmpty())
        result.error = QStringLiteral("The key file %1 is empty.").arg(keyFile);
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (QFileInfo(keyFile).permissions() & others)
        result.warning = QStringLiteral("The key file %1 is readable by other users; chmod 600 it.").arg(keyFile);
    return result;
}
