#pragma once

#include <QString>

#include <optional>

// Which application a program belongs to, named the way the detector's
// tables name applications: by bundle identifier, with the name a user knows.
struct AppIdentity
{
    QString bundleIdentifier;
    QString localizedName;

    friend bool operator==(const AppIdentity &, const AppIdentity &) = default;
};

namespace MeetingApps {

// The display name of a meeting program, looked up by bundle identifier.
[[nodiscard]] std::optional<QString> meetingAppName(const QString &bundleIdentifier);

// Whether the bundle identifier is one of the known browsers.
[[nodiscard]] bool isBrowser(const QString &bundleIdentifier);

// Maps an identifier seen on Linux (an executable's name, a Flatpak
// application id or a window class) onto the application it belongs to.
// Case does not matter: window classes capitalise what executables do not.
[[nodiscard]] std::optional<AppIdentity> identifyLinuxProgram(const QString &identifier);

} // namespace MeetingApps
