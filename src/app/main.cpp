#include "previewrender.h"
#include "settings.h"

#include <QApplication>
#include <QTextStream>

#include <cstring>

namespace {

// Previews draw off screen; without a display they need no windowing system.
void preferOffscreenForPreviews(int argc, char *argv[])
{
    bool previews = false;
    for (int i = 1; i + 1 < argc; ++i)
        previews = previews || std::strcmp(argv[i], "--render-hud") == 0;
    if (previews && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace

int main(int argc, char *argv[])
{
    preferOffscreenForPreviews(argc, argv);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationName(QStringLiteral("zarno"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARNO_VERSION));

    if (PreviewRender::runIfRequested(QCoreApplication::arguments()))
        return 0;

    const ZarnoSettings settings = ZarnoSettings::load();
    QTextStream out(stdout);
    out << "zarno " << QCoreApplication::applicationVersion() << '\n'
        << "server: " << settings.serverURL << (settings.baseURL() ? "" : " (not a usable address)") << '\n'
        << "languages: " << settings.languageA << " -> " << settings.languageB
        << (settings.transcriptOnly ? " (transcript only)" : "") << '\n';
    return 0;
}
