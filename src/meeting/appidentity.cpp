#include "appidentity.h"

#include <QHash>
#include <QSet>

namespace {

using namespace Qt::StringLiterals;

const QHash<QString, QString> &meetingApps()
{
    static const QHash<QString, QString> table{
        {u"us.zoom.xos"_s, u"Zoom"_s},
        {u"com.microsoft.teams2"_s, u"Microsoft Teams"_s},
        {u"com.microsoft.teams"_s, u"Microsoft Teams"_s},
        {u"com.webex.meetinmanager"_s, u"Webex"_s},
        {u"Cisco-Systems.Spark"_s, u"Webex"_s},
    };
    return table;
}

const QSet<QString> &browsers()
{
    static const QSet<QString> set{
        u"company.thebrowser.Browser"_s,
        u"com.google.Chrome"_s,
        u"com.apple.Safari"_s,
        u"com.microsoft.edgemac"_s,
        u"com.brave.Browser"_s,
        u"org.mozilla.firefox"_s,
        u"com.vivaldi.Vivaldi"_s,
        // Chromium has no macOS bundle of its own in the list, but on Linux
        // it is the browser many distributions ship.
        u"org.chromium.Chromium"_s,
    };
    return set;
}


// Executable names of the Linux builds, the names their launch scripts and
// window classes use, and their Flatpak application ids. Keys are lower case.
const QHash<QString, AppIdentity> &linuxPrograms()
{
    static const QHash<QString, AppIdentity> table = [] {
        const AppIdentity zoom{u"us.zoom.xos"_s, u"Zoom"_s};
        const AppIdentity teamsClassic{u"com.microsoft.teams"_s, u"Microsoft Teams"_s};
        const AppIdentity teams{u"com.microsoft.teams2"_s, u"Microsoft Teams"_s};
        const AppIdentity webex{u"Cisco-Systems.Spark"_s, u"Webex"_s};
        const AppIdentity chromium{u"org.chromium.Chromium"_s, u"Chromium"_s};
        const AppIdentity chrome{u"com.google.Chrome"_s, u"Google Chrome"_s};
        const AppIdentity firefox{u"org.mozilla.firefox"_s, u"Firefox"_s};
        const AppIdentity brave{u"com.brave.Browser"_s, u"Brave Browser"_s};
        const AppIdentity edge{u"com.microsoft.edgemac"_s, u"Microsoft Edge"_s};
        const AppIdentity vivaldi{u"com.vivaldi.Vivaldi"_s, u"Vivaldi"_s};
        QHash<QString, AppIdentity> t{
            {u"zoom"_s, zoom},
            {u"zoom.real"_s, zoom},
            {u"zoomlauncher"_s, zoom},
            {u"us.zoom.zoom"_s, zoom},
            {u"teams"_s, teamsClassic},
            {u"teams-insiders"_s, teamsClassic},
            {u"com.microsoft.teams"_s, teamsClassic},
            {u"teams-for-linux"_s, teams},
            {u"com.github.ismaelmartinez.teams_for_linux"_s, teams},
            {u"webex"_s, webex},
            {u"ciscocollabhost"_s, webex},
            {u"chromium"_s, chromium},
            {u"chromium-browser"_s, chromium},
            {u"org.chromium.chromium"_s, chromium},
            {u"chrome"_s, chrome},
            {u"google-chrome"_s, chrome},
            {u"google-chrome-stable"_s, chrome},
            {u"google-chrome-beta"_s, chrome},
            {u"com.google.chrome"_s, chrome},
            {u"firefox"_s, firefox},
            {u"firefox-esr"_s, firefox},
            {u"firefox-bin"_s, firefox},
            {u"org.mozilla.firefox"_s, firefox},
            {u"brave"_s, brave},
            {u"brave-browser"_s, brave},
            {u"brave-browser-stable"_s, brave},
            {u"com.brave.browser"_s, brave},
            {u"msedge"_s, edge},
            {u"microsoft-edge"_s, edge},
            {u"microsoft-edge-stable"_s, edge},
            {u"com.microsoft.edge"_s, edge},
            {u"vivaldi"_s, vivaldi},
            {u"vivaldi-bin"_s, vivaldi},
            {u"vivaldi-stable"_s, vivaldi},
            {u"com.vivaldi.vivaldi"_s, vivaldi},
        };
        return t;
    }();
    return table;
}

} // namespace

namespace MeetingApps {

std::optional<QString> meetingAppName(const QString &bundleIdentifier)
{
    const auto it = meetingApps().constFind(bundleIdentifier);
    if (it == meetingApps().cend())
        return std::nullopt;
    return *it;
}

bool isBrowser(const QString &bundleIdentifier)
{
    return browsers().contains(bundleIdentifier);
}

std::optional<AppIdentity> identifyLinuxProgram(const QString &identifier)
{
    if (identifier.isEmpty())
        return std::nullopt;
    const auto it = linuxPrograms().constFind(identifier.toLower());
    if (it == linuxPrograms().cend())
        return std::nullopt;
    return *it;
}

} // namespace MeetingApps
