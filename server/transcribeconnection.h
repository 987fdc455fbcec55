#pragma once

#include "engine.h"
#include "speechrecognizer.h"

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QPair>
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
class TranscribeConnection : public ListeningConnection
{
    Q_OBJECT
public:
    // `translator`: the service's shared English to Spanish translator, or
    // null for the transcript alone.
    TranscribeConnection(std::unique_ptr<QWebSocket> socket, qint64 accountId, Translator *translator,
                         const ServiceOptions &options, QObject *parent = nullptr);
    ~TranscribeConnection() override;

    [[nodiscard]] qint64 accountId() const { return m_accountId; }

Q_SIGNALS:
    // To the workers (queued).
    void audioReceived(const QByteArray &pcm);
    void finalizeRequested();
    void translationRequested(quint64 ticket, const QString &text);

private:
    void onAudio(const QByteArray &pcm);
    // Counts work handed to the recogniser; false after closing an overloaded client.
    bool admit(qint64 cost);
    void onText(const QString &message);
    void onHypothesis(const QStringList &words);
    void onUtterance(const QList<RecognizedWord> &words);
    void onTranslated(quint64 ticket, const QString &text);
    void onFinalized();
    void onRecognizerFailed(const QString &reason);
    void sendTokens(const QJsonArray &tokens);
    void stopWorkers();

    std::unique_ptr<QWebSocket> m_socket;
    qint64 m_accountId = 0;
    QPointer<Translator> m_translator;
    // A sentence's final words, and its translation once it comes: each
    // sentence's translation leaves right after its words, before the next sentence.
    struct Outgoing
    {
        QJsonArray source;
        quint64 ticket = 0; // 0: nothing to wait for
        qint64 startMs = 0;
        qint64 endMs = 0;
        bool sourceSent = false;
        bool translated = false;
        QJsonArray translation;
    };
    void flush();
    QList<Outgoing> m_outgoing;
    // The latest provisional words, held while finished sentences wait.
    QJsonArray m_heldHypothesis;
    // Audio bytes handed to the recogniser and not yet decoded.
    std::shared_ptr<std::atomic<qint64>> m_backlog = std::make_shared<std::atomic<qint64>>(0);
    QThread *m_recognizerThread = nullptr;
    SpeechRecognizer *m_recognizer = nullptr;
};
