#pragma once

#include <QObject>
#include <QString>

// English to Spanish with Apertium, one process per utterance. It lives on a
// worker thread of its own, so a slow translation never holds up the socket
// or the recogniser, and utterances are translated in the order they ended.
class Translator : public QObject
{
    Q_OBJECT
public:
    explicit Translator(const QString &program, QObject *parent = nullptr);

    // Target languages this service can translate English into.
    [[nodiscard]] static bool canTranslateInto(const QString &language);

public Q_SLOTS:
    void translate(const QString &text, qint64 startMs, qint64 endMs);

Q_SIGNALS:
    // Emitted only for a non-empty translation.
    void translated(const QString &text, qint64 startMs, qint64 endMs);

private:
    QString m_program;
};
