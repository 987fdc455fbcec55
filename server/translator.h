#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QProcess;
class QThread;

// English to Spanish with Apertium: one long-lived pipeline in null-flush
// mode, so a translation costs milliseconds instead of a process start. It
// lives on a worker thread of its own, so a slow translation never holds up
// a socket or a recogniser; requests are answered in the order they came.
class Translator : public QObject
{
    Q_OBJECT
public:
    // `modeFile`: the language pair's pipeline as Apertium installs it.
    explicit Translator(const QString &modeFile, QObject *parent = nullptr);
    ~Translator() override;

    // Target languages this service can translate English into.
    [[nodiscard]] static bool canTranslateInto(const QString &language);

    // Apertium's text with its stream's special characters escaped, as its
    // text deformatter would hand it on, and back.
    [[nodiscard]] static QByteArray escaped(const QString &text);
    [[nodiscard]] static QString unescaped(const QByteArray &stream);

public Q_SLOTS:
    // Starts the pipeline ahead of the first request.
    void warmUp();
    void translate(quint64 ticket, const QString &text);

Q_SIGNALS:
    // Emitted for every request; an empty text when it could not be translated.
    void translated(quint64 ticket, const QString &text);

private:
    bool ensureRunning();
    void stopPipeline();

    QString m_modeFile;
    std::unique_ptr<QProcess> m_process;
};

// The service's translators: one per language pair, each on its own thread,
// shared by every connection.
class TranslationHost
{
public:
    explicit TranslationHost(const QString &modeFile);
    ~TranslationHost();

    [[nodiscard]] Translator *englishToSpanish() const { return m_translator; }

private:
    QThread *m_thread = nullptr;
    Translator *m_translator = nullptr;
};
