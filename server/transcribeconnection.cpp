#include "transcribeconnection.h"

#include "serviceoptions.h"
#include "translator.h"
#include "wordrules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <utility>

namespace {

constexpr qint64 maxFrameBytes = 1 << 20;
// 30 s of 16 kHz mono s16 waiting for the recogniser: the client sends
// faster than real time or the machine cannot keep up.
constexpr qint64 maxBacklogBytes = 30 * 16000 * 2;
constexpr qsizetype feedPieceBytes = 200 * 16 * 2; // 200 ms
// A finalize request waits in the same queue; a flood of them counts like audio.
constexpr qint64 finalizeCost = 100 * 16 * 2;
const QString sourceLanguage = QStringLiteral("en");
const QString targetLanguage = QStringLiteral("es");
std::atomic<quint64> nextTicket{1}; // shared by every connection, as the translator is

QJsonObject token(const QString &text, bool final, const QString &language, bool translation)
{
    QJsonObject object{
        {QStringLiteral("text"), text},
        {QStringLiteral("is_final"), final},
        {QStringLiteral("language"), language},
        {QStringLiteral("translation_status"), translation ? QStringLiteral("translation") : QStringLiteral("original")},
    };
    if (translation)
        object.insert(QStringLiteral("source_language"), sourceLanguage);
    return object;
}

} // namespace

TranscribeConnection::TranscribeConnection(std::unique_ptr<QWebSocket> socket, qint64 accountId,
                                           Translator *translator, const ServiceOptions &options, QObject *parent)
    : ListeningConnection(parent)
    , m_socket(std::move(socket))
    , m_accountId(accountId)
    , m_translator(translator)
{
    qRegisterMetaType<RecognizedWord>();
    qRegisterMetaType<QList<RecognizedWord>>();

    m_socket->setMaxAllowedIncomingFrameSize(maxFrameBytes);
    m_socket->setMaxAllowedIncomingMessageSize(maxFrameBytes);

    m_recognizerThread = new QThread(this);
    m_recognizerThread->setObjectName(QStringLiteral("recognizer"));
    m_recognizer = new SpeechRecognizer(options.modelDir);
    m_recognizer->moveToThread(m_recognizerThread);
    connect(m_recognizerThread, &QThread::started, m_recognizer, &SpeechRecognizer::start);
    SpeechRecognizer *recognizer = m_recognizer;
    connect(this, &TranscribeConnection::audioReceived, m_recognizer,
            [recognizer, backlog = m_backlog](const QByteArray &pcm) {
                recognizer->feed(pcm);
                backlog->fetch_sub(pcm.size());
            });
    connect(this, &TranscribeConnection::finalizeRequested, m_recognizer, [recognizer, backlog = m_backlog] {
        recognizer->finalize();
        backlog->fetch_sub(finalizeCost);
    });
    connect(m_recognizer, &SpeechRecognizer::hypothesis, this, &TranscribeConnection::onHypothesis);
    connect(m_recognizer, &SpeechRecognizer::utterance, this, &TranscribeConnection::onUtterance);
    connect(m_recognizer, &SpeechRecognizer::failed, this, &TranscribeConnection::onRecognizerFailed);
    connect(m_recognizer, &SpeechRecognizer::finalized, this, &TranscribeConnection::onFinalized);

    if (m_translator) {
        connect(this, &TranscribeConnection::translationRequested, m_translator, &Translator::translate);
        connect(m_translator, &Translator::translated, this, &TranscribeConnection::onTranslated);
    }

    // Audio that arrives while the model loads waits in the worker's queue.
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &TranscribeConnection::onAudio);
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &TranscribeConnection::onText);
    connect(m_socket.get(), &QWebSocket::disconnected, this, &TranscribeConnection::finished);
    m_recognizerThread->start();
}

TranscribeConnection::~TranscribeConnection()
{
    if (m_socket)
        m_socket->disconnect(this);
    stopWorkers();
}

void TranscribeConnection::stopWorkers()
{
    // The recogniser finishes its current step (a model load or one piece of
    // audio) on its own time: the thread serving every client does not wait
    // for it. The owner waits for such threads when it shuts down.
    if (m_recognizerThread) {
        QThread *thread = m_recognizerThread;
        connect(thread, &QThread::finished, m_recognizer, &QObject::deleteLater);
        thread->quit();
        if (QObject *owner = parent()) {
            thread->setParent(owner);
            connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        } else {
            thread->wait();
        }
    }
    m_recognizerThread = nullptr;
    m_recognizer = nullptr;
}

void TranscribeConnection::onAudio(const QByteArray &pcm)
{
    if (!admit(pcm.size()))
        return;
    // In short pieces, so that a worker told to stop is never far from the end of one.
    for (qsizetype at = 0; at < pcm.size(); at += feedPieceBytes)
        Q_EMIT audioReceived(pcm.mid(at, feedPieceBytes));
}

bool TranscribeConnection::admit(qint64 cost)
{
    if (m_backlog->fetch_add(cost) + cost > maxBacklogBytes) {
        // Nothing more is taken from this client; its close handshake gets a moment.
        m_overloaded = true;
        m_socket->disconnect(this);
        connect(m_socket.get(), &QWebSocket::disconnected, this, &TranscribeConnection::finished);
        QTimer::singleShot(2000, m_socket.get(), &QWebSocket::abort);
        m_socket->close(QWebSocketProtocol::CloseCode(overloadedCode), overloadedReason());
        return false;
    }
    return true;
}

void TranscribeConnection::onText(const QString &message)
{
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (document.isObject() && document.object().value(QStringLiteral("type")).toString() == QLatin1StringView("finalize")
        && admit(finalizeCost))
        Q_EMIT finalizeRequested();
    // Anything else is not a request this service knows; it is ignored.
}

void TranscribeConnection::onHypothesis(const QStringList &words)
{
    QJsonArray tokens;
    for (const QString &text : WordRules::tokenTexts(words, false))
        tokens.append(token(text, false, sourceLanguage, false));
    if (m_outgoing.isEmpty())
        sendTokens(tokens);
    else
        m_heldHypothesis = tokens;
}

void TranscribeConnection::onUtterance(const QList<RecognizedWord> &words)
{
    if (words.isEmpty())
        return;
    m_heldHypothesis = {};
    QList<QPair<qint64, qint64>> spans;
    for (const RecognizedWord &word : words)
        spans.append({word.startMs, word.endMs});
    QList<qsizetype> starts = WordRules::sentenceStarts(spans);
    starts.append(words.size());
    for (qsizetype s = 0; s + 1 < starts.size(); ++s) {
        const QList<RecognizedWord> sentence = words.mid(starts.at(s), starts.at(s + 1) - starts.at(s));
        QStringList plain;
        for (const RecognizedWord &word : sentence)
            plain.append(word.word);
        const QStringList texts = WordRules::tokenTexts(plain, true);
        Outgoing outgoing;
        outgoing.startMs = sentence.first().startMs;
        outgoing.endMs = sentence.last().endMs;
        for (qsizetype i = 0; i < sentence.size(); ++i) {
            QJsonObject object = token(texts.at(i), true, sourceLanguage, false);
            object.insert(QStringLiteral("start_ms"), sentence.at(i).startMs);
            object.insert(QStringLiteral("end_ms"), sentence.at(i).endMs);
            if (sentence.at(i).confidence >= 0)
                object.insert(QStringLiteral("confidence"), std::round(sentence.at(i).confidence * 1000) / 1000);
            outgoing.source.append(object);
        }
        if (m_translator) {
            outgoing.ticket = nextTicket++;
            Q_EMIT translationRequested(outgoing.ticket, texts.join(QString()).trimmed());
        }
        m_outgoing.append(outgoing);
    }
    flush();
}

void TranscribeConnection::onTranslated(quint64 ticket, const QString &text)
{
    // Every connection hears the shared translator; only its own tickets are its.
    const auto waiting = std::find_if(m_outgoing.begin(), m_outgoing.end(),
                                      [ticket](const Outgoing &outgoing) { return outgoing.ticket == ticket; });
    if (waiting == m_outgoing.end())
        return;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QJsonObject object = token(QLatin1Char(' ') + word, true, targetLanguage, true);
        object.insert(QStringLiteral("start_ms"), waiting->startMs);
        object.insert(QStringLiteral("end_ms"), waiting->endMs);
        waiting->translation.append(object);
    }
    waiting->translated = true;
    flush();
}

void TranscribeConnection::onFinalized()
{
    // The provider's answer to a finalize: "<fin>" after the last final
    // words, translations included, so it waits its turn in the queue.
    Outgoing fin;
    fin.source.append(QJsonObject{{QStringLiteral("text"), QStringLiteral("<fin>")}, {QStringLiteral("is_final"), true}});
    m_outgoing.append(fin);
    flush();
}

void TranscribeConnection::flush()
{
    while (!m_outgoing.isEmpty()) {
        Outgoing &next = m_outgoing.first();
        if (!next.sourceSent) {
            sendTokens(next.source);
            next.sourceSent = true;
        }
        if (next.ticket && !next.translated)
            return;
        sendTokens(next.translation);
        m_outgoing.removeFirst();
    }
    if (!m_heldHypothesis.isEmpty())
        sendTokens(std::exchange(m_heldHypothesis, {}));
}

void TranscribeConnection::onRecognizerFailed(const QString &reason)
{
    // 1011: the server met a condition that keeps it from serving the request.
    m_socket->close(QWebSocketProtocol::CloseCode(1011), reason);
}

void TranscribeConnection::sendTokens(const QJsonArray &tokens)
{
    if (tokens.isEmpty() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QJsonObject message{{QStringLiteral("tokens"), tokens}};
    m_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}
