#include "transcribeconnection.h"

#include "serviceoptions.h"
#include "translator.h"
#include "wordrules.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QWebSocket>

#include <atomic>
#include <cmath>

namespace {

constexpr qint64 maxFrameBytes = 1 << 20;
const QString sourceLanguage = QStringLiteral("en");
const QString targetLanguage = QStringLiteral("es");

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
    connect(this, &TranscribeConnection::audioReceived, m_recognizer, &SpeechRecognizer::feed);
    connect(this, &TranscribeConnection::finalizeRequested, m_recognizer, &SpeechRecognizer::finalize);
    connect(m_recognizer, &SpeechRecognizer::hypothesis, this, &TranscribeConnection::onHypothesis);
    connect(m_recognizer, &SpeechRecognizer::utterance, this, &TranscribeConnection::onUtterance);
    connect(m_recognizer, &SpeechRecognizer::failed, this, &TranscribeConnection::onRecognizerFailed);

    if (m_translator) {
        connect(this, &TranscribeConnection::translationRequested, m_translator, &Translator::translate);
        connect(m_translator, &Translator::translated, this, &TranscribeConnection::onTranslated);
    }

    // Audio that arrives while the model loads waits in the worker's queue.
    connect(m_socket.get(), &QWebSocket::binaryMessageReceived, this, &TranscribeConnection::audioReceived);
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
    // Waiting here is short: at most one chunk or one model load.
    if (m_recognizerThread) {
        m_recognizerThread->quit();
        m_recognizerThread->wait();
    }
    delete m_recognizer;
    m_recognizer = nullptr;
}

void TranscribeConnection::onText(const QString &message)
{
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8());
    if (document.isObject() && document.object().value(QStringLiteral("type")).toString() == QLatin1StringView("finalize"))
        Q_EMIT finalizeRequested();
    // Anything else is not a request this service knows; it is ignored.
}

void TranscribeConnection::onHypothesis(const QStringList &words)
{
    QJsonArray tokens;
    for (const QString &text : WordRules::tokenTexts(words, false))
        tokens.append(token(text, false, sourceLanguage, false));
    sendTokens(tokens);
}

void TranscribeConnection::onUtterance(const QList<RecognizedWord> &words)
{
    QStringList plain;
    for (const RecognizedWord &word : words)
        plain.append(word.word);
    const QStringList texts = WordRules::tokenTexts(plain, true);
    QJsonArray tokens;
    for (qsizetype i = 0; i < words.size(); ++i) {
        QJsonObject object = token(texts.at(i), true, sourceLanguage, false);
        object.insert(QStringLiteral("start_ms"), words.at(i).startMs);
        object.insert(QStringLiteral("end_ms"), words.at(i).endMs);
        if (words.at(i).confidence >= 0)
            object.insert(QStringLiteral("confidence"), std::round(words.at(i).confidence * 1000) / 1000);
        tokens.append(object);
    }
    sendTokens(tokens);
    if (m_translator) {
        static std::atomic<quint64> nextTicket{1};
        const quint64 ticket = nextTicket++;
        m_waiting.insert(ticket, {words.first().startMs, words.last().endMs});
        Q_EMIT translationRequested(ticket, texts.join(QString()).trimmed());
    }
}

void TranscribeConnection::onTranslated(quint64 ticket, const QString &text)
{
    // Every connection hears the shared translator; only its own tickets are its.
    const auto waiting = m_waiting.find(ticket);
    if (waiting == m_waiting.end())
        return;
    const auto [startMs, endMs] = *waiting;
    m_waiting.erase(waiting);
    QJsonArray tokens;
    const QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        QJsonObject object = token(QLatin1Char(' ') + word, true, targetLanguage, true);
        object.insert(QStringLiteral("start_ms"), startMs);
        object.insert(QStringLiteral("end_ms"), endMs);
        tokens.append(object);
    }
    sendTokens(tokens);
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
