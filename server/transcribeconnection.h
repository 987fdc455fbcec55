#pragma once

#include "speechrecognizer.h"

#include <QJsonArray>
#include <QObject>
#include <QPointer>

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

Q_SIGNALS:
    // The client has gone; the owner deletes this connection.
    void finished();

    // To the workers (queued).
    void audioReceived(const QByteArray &pcm);
    void finalizeRequested();
    void translationRequested(const QString &text, qint64 startMs, qint64 endMs);

private:
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
    QThread *m_recognizerThread = nullptr;
    SpeechRecognizer *m_recognizer = nullptr;
    QThread *m_translatorThread = nullptr;
    Translator *m_translator = nullptr;
};
