#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

struct ps_decoder_s;

// One recognised word with its place in the stream.
struct RecognizedWord
{
    QString word;          // cleaned, lower case as the dictionary spells it
    qint64 startMs = -1;   // from the start of the connection's audio
    qint64 endMs = -1;
    double confidence = -1; // posterior in [0, 1], or -1 when unknown
};
Q_DECLARE_METATYPE(RecognizedWord)

// A PocketSphinx decoder for one stream of 16 kHz mono s16 audio. It lives on
// a worker thread: every slot may take tens of milliseconds.
class SpeechRecognizer : public QObject
{
    Q_OBJECT
public:
    explicit SpeechRecognizer(const QString &modelDir, QObject *parent = nullptr);
    ~SpeechRecognizer() override;

    [[nodiscard]] bool isReady() const { return m_decoder != nullptr; }

public Q_SLOTS:
    // Loads the model (about half a second); emits ready() or failed().
    void start();
    void feed(const QByteArray &pcm);
    // Ends the running utterance now, emits its words, then finalized().
    void finalize();

Q_SIGNALS:
    void ready();
    void failed(const QString &reason);
    // The running hypothesis of the current utterance, cleaned.
    void hypothesis(const QStringList &words);
    // A finished utterance; never empty.
    void utterance(const QList<RecognizedWord> &words);
    // A finalize is done: every word of the audio before it was emitted.
    void finalized();

private:
    void startUtterance();
    void endUtterance();

    QString m_modelDir;
    ps_decoder_s *m_decoder = nullptr;
    QByteArray m_carry;      // an odd trailing byte waits for its partner
    qint64 m_samples = 0;    // fed so far
    qint64 m_uttStartSample = 0;
    bool m_inUtterance = false;
    bool m_heardSpeech = false;
    QString m_lastHyp;
};
