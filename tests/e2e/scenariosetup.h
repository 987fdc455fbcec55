#pragma once

// What every scenario on the throw-away desktop starts with.

#include "throwawaydesktop.h"

#include <QDir>
#include <QTest>

inline const QString email = QStringLiteral("newcomer@example.org");
inline const QString password = QStringLiteral("correct horse battery");
inline const QString goForward = QStringLiteral("/usr/share/pocketsphinx/test/data/goforward.raw"); // "go forward ten meters"
inline const QString numbers = QStringLiteral("/usr/share/pocketsphinx/test/data/numbers.raw");

// Where scenarios leave their pictures.
inline QString outputDir()
{
    const QString dir = QStringLiteral(ZARNO_E2E_OUTPUT_DIR);
    QDir().mkpath(dir);
    return dir;
}

// A fresh desktop with the service, or a skip/failure saying why not.
inline bool bringUp(ThrowawayDesktop &desktop, bool testControls = false)
{
    QString why;
    bool machineLacks = false;
    if (desktop.setUp(testControls, &why, &machineLacks))
        return true;
    // Missing programs, or a run that could start no sound server at all,
    // skip with the reason; anything else is a failure.
    if (machineLacks || (!qEnvironmentVariableIsEmpty("ZARNO_PULSE_UNAVAILABLE") && why.startsWith(QStringLiteral("PulseAudio"))))
        QTest::qSkip(qPrintable(why), __FILE__, __LINE__);
    else
        QTest::qFail(qPrintable(why), __FILE__, __LINE__);
    return false;
}

// zarno already signed in (the sign-in form itself is the first story's).
inline bool launchSignedIn(ThrowawayDesktop &desktop)
{
    if (!desktop.signInOverHttp(email, password) || !desktop.writeSignInForZarno())
        return false;
    return desktop.launchZarno();
}

inline bool isTheLivePanel(const WindowInfo &window)
{
    return window.type == QStringLiteral("_NET_WM_WINDOW_TYPE_UTILITY") && window.frame.width() >= 300
        && window.frame.height() >= 200;
}
