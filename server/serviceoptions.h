#pragma once

#include "modelsettings.h"
#include "passwordhash.h"
#include "requestlimits.h"
#include "sonioxsettings.h"

#include <QDateTime>
#include <QString>

#include <functional>

// How one zarno-server instance runs. Tests shorten the intervals and replace
// the clock; the binary fills this from its command line.
struct ServiceOptions
{
    QString dataDir;                 // holds zarno.sqlite; created 0700
    // postgresql://USER@HOST:PORT/DBNAME; empty: SQLite in dataDir.
    QString database;
    QString databasePassword; // from PGPASSWORD or a file, never the command line
    quint16 port = 8790;             // 0 picks a free port
    // Where clients reach the service when a proxy stands in front of it
    // ("https://notes.example.org"); empty: its own loopback address.
    QString publicUrl;
    qint64 tokenTtlSeconds = 3600;   // lifetime of an access token
    qint64 refreshReuseSeconds = 10; // a rotated refresh token still answers this long
    qint64 refreshTtlSeconds = 30 * 24 * 3600; // an unused refresh token expires after this
    PasswordCost passwordCost;       // Argon2id cost of new password hashes
    bool testControls = false;       // enables the loopback switch that fails note uploads
    int maxRecognizers = 3;          // concurrent transcription connections, about 105 MB each
    QString modelDir = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
    QString apertiumMode = QStringLiteral("/usr/share/apertium/modes/eng-spa.mode");
    // "local" (PocketSphinx and Apertium) or "soniox" (relayed to the provider).
    QString engine = QStringLiteral("local");
    SonioxSettings soniox;
    ModelSettings summaries; // no base address: summaries are off
    RequestLimits limits;
    // Milliseconds since 1970; empty means the system clock.
    std::function<qint64()> clock;

    [[nodiscard]] qint64 nowMs() const { return clock ? clock() : QDateTime::currentMSecsSinceEpoch(); }
};
