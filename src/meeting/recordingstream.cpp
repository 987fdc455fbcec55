#include "recordingstream.h"

#include "appidentity.h"

#include <QStringList>

using namespace Qt::StringLiterals;

bool isLevelMeter(const RecordingStream &stream)
{
    static const QStringList meters{u"org.PulseAudio.pavucontrol"_s, u"org.gnome.VolumeControl"_s,
                                    u"org.gnome.Settings"_s, u"org.kde.plasma-pa"_s, u"org.kde.kmix"_s};
    return stream.monitor || stream.resampleMethod == u"peaks"_s
        || meters.contains(stream.applicationId, Qt::CaseInsensitive);
}

QString recorderName(const RecordingStream &stream)
{
    for (const QString &identifier : {stream.applicationId, stream.binary}) {
        if (identifier.isEmpty())
            continue;
        if (const auto identity = MeetingApps::identifyLinuxProgram(identifier)) {
            if (const auto meeting = MeetingApps::meetingAppName(identity->bundleIdentifier))
                return *meeting;
            return identity->localizedName;
        }
    }
    // A raw process name ("parecord", "pacat") tells a user nothing.
    return {};
}
