#pragma once

#include "speechrecognizer.h"

#include <QJsonArray>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <memory>

class QThread;
class QWebSocket;
class Translator;
struct ServiceOptions;

// One listening client of "/ws/transcribe": its audio goes to a recogniser on
// a worker thread, its finished utterances to a translator on another, and
// the results come back here as token messages.
class TranscribeConnection : public QObject
{
    Q_OBJECT
public:
    TranscribeConnection(std::unique_ptr<QWebSocket> socket, qint64 accountId, bool translate,
                         const ServiceOptions &options, QObject *parent = nullptr);
    ~TranscribeConnection() override;

    [[nodiscard]] qint64 accountId() const { return m_accountId; }
    // "Try again later". Not 1013: Qt's WebSocket takes every code from 1012
    // to 2999 for a protocol error and drops its reason, so the app would show
    // "Invalid close code…". A code of the private range reaches it whole, and
    // the app shows the reason as it is.
    static constexpr int overloadedCode = 4013;
    [[nodiscard]] static QString overloadedReason();
    // The client was cut off for sending faster than recognition keeps up.
    [[nodiscard]] bool wasOverloaded() const { return m_overloaded; }

Q_SIGNALS:
    // The client has gone; the owner deletes this connection.
    void finished();

    // To the workers (queued).
    void audioReceived(const QByteArray &pcm);
    void finalizeRequested();
    void translationRequested(const QString &text, qint64 startMs, qint64 endMs);

private:
    void onAudio(const QByteArray &pcm);
    // Counts work handed to the recogniser; false after closing an overloaded client.
    bool admit(qint64 cost);
    void onText(const QString &message);
    void onHypothesis(const QStringList &words);
    void onUtterance(const QList<RecognizedWord> &words);
    void onTranslated(const QString &text, qint64 startMs, qint64 endMs);
    void onRecognizerFailed(const QString &reason);
    void sendTokens(const QJsonArray &tokens);
    void stopWorkers();

    std::unique_ptr<QWebSocket> m_socket;
    qint64 m_accountId = 0;
    bool m_translate = false;
    bool m_overloaded = false;
    // Audio bytes handed to the recogniser and not yet decoded.
    std::shared_ptr<std::atomic<qint64>> m_backlog = std::make_shared<std::atomic<qint64>>(0);
    QThread *m_recognizerThread = nullptr;
    SpeechRecognizer *m_recognizer = nullptr;
    QThread *m_translatorThread = nullptr;
    Translator *m_translator = nullptr;
};
