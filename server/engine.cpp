#include "engine.h"

#include "serviceoptions.h"
#include "sonioxrelay.h"
#include "transcribeconnection.h"
#include "translator.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <QWebSocket>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace {

QJsonArray toArray(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array.append(code);
    return array;
}

// PocketSphinx (US English) and Apertium (English to Spanish), offline.
class LocalEngine final : public Engine
{
public:
    explicit LocalEngine(const ServiceOptions &options)
        : m_options(options)
        , m_translation(options.apertiumMode)
    {
    }

    EngineInfo info() const override
    {
        return {QStringLiteral("local"), {QStringLiteral("en")}, {QStringLiteral("es")}};
    }

    ListeningConnection *open(std::unique_ptr<QWebSocket> socket, const ListeningRequest &request,
                              QObject *parent) override
    {
        const bool translate = !request.onlyTranscript && Translator::canTranslateInto(request.target);
        qCInfo(lcService, "websocket opened for account %lld (translation %s)", request.accountId,
               translate ? "on" : "off");
        return new TranscribeConnection(std::move(socket), request.accountId,
                                        translate ? m_translation.englishToSpanish() : nullptr, m_options, parent);
    }

private:
    const ServiceOptions &m_options;
    TranslationHost m_translation;
};

// Each client relayed to the provider's real-time API.
class RelayEngine final : public Engine
{
public:
    explicit RelayEngine(const ServiceOptions &options)
        : m_settings(options.soniox)
    {
    }

    EngineInfo info() const override
    {
        // The languages of the provider's current model, as its documentation lists them.
        static const QStringList spoken = QStringLiteral(
            "af sq ar az eu be bn bs bg ca zh hr cs da nl en et fi fr gl de el gu he hi hu id it ja kn kk ko lv lt "
            "mk ms ml mr no fa pl pt pa ro ru sr sk sl es sw sv tl ta te th tr uk ur vi cy").split(QLatin1Char(' '));
        // The application's eight targets; the provider translates into all of them.
        static const QStringList targets = {QStringLiteral("en"), QStringLiteral("zh"), QStringLiteral("es"),
                                            QStringLiteral("ja"), QStringLiteral("ko"), QStringLiteral("fr"),
                                            QStringLiteral("de"), QStringLiteral("pt")};
        return {QStringLiteral("soniox"), spoken, targets};
    }

    std::optional<Refusal> refusal() const override
    {
        if (!m_settings.key.isEmpty())
            return std::nullopt;
        qCInfo(lcService, "websocket refused: no key for the recognition service");
        return Refusal{4411, QStringLiteral("This server has no key for its recognition service.")};
    }

    ListeningConnection *open(std::unique_ptr<QWebSocket> socket, const ListeningRequest &request,
                              QObject *parent) override
    {
        qCInfo(lcService, "websocket opened for account %lld (relayed)", request.accountId);
        return new SonioxRelay(std::move(socket), m_settings,
                               RelayRequest{request.spoken, request.target, request.onlyTranscript}, parent);
    }

private:
    SonioxSettings m_settings;
};

} // namespace

QJsonObject EngineInfo::toJson() const
{
    return {
        {QStringLiteral("name"), name},
        {QStringLiteral("sourceLanguages"), toArray(sourceLanguages)},
        {QStringLiteral("translationTargets"), toArray(translationTargets)},
    };
}

QString ListeningConnection::overloadedReason()
{
    return QStringLiteral("The server is overloaded — try again in a moment.");
}

std::unique_ptr<Engine> makeEngine(const ServiceOptions &options)
{
    if (options.engine == QLatin1StringView("soniox"))
        return std::make_unique<RelayEngine>(options);
    return std::make_unique<LocalEngine>(options);
}
