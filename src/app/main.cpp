#include "settings.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));

    const ZarnoSettings settings = ZarnoSettings::load();
    QTextStream out(stdout);
    out << "zarno " << QCoreApplication::applicationVersion() << '\n'
        << "server: " << settings.serverURL << (settings.baseURL() ? "" : " (not a usable address)") << '\n'
        << "languages: " << settings.languageA << " -> " << settings.languageB
        << (settings.transcriptOnly ? " (transcript only)" : "") << '\n';
    return 0;
}
