#pragma once

#include <QLoggingCategory>

// One category per area, so QT_LOGGING_RULES can show why something failed
// ("zarno.audio.debug=true"). Never log a token or what was said.
Q_DECLARE_LOGGING_CATEGORY(lcAudio)
Q_DECLARE_LOGGING_CATEGORY(lcWs)
Q_DECLARE_LOGGING_CATEGORY(lcAuth)
Q_DECLARE_LOGGING_CATEGORY(lcWeb)
Q_DECLARE_LOGGING_CATEGORY(lcMeeting)
Q_DECLARE_LOGGING_CATEGORY(lcSession)
