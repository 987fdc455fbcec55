#include "logging.h"

Q_LOGGING_CATEGORY(lcAudio, "zarno.audio", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWs, "zarno.ws", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAuth, "zarno.auth", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWeb, "zarno.web", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMeeting, "zarno.meeting", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSession, "zarno.session", QtInfoMsg)
