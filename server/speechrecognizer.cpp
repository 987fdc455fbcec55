#include "speechrecognizer.h"

#include "wordrules.h"

#include <QFileInfo>

#include <algorithm>

#include <pocketsphinx.h>

namespace {
constexpr qint64 sampleRate = 16000;
constexpr qint64 framesPerSecond = 100; // the model's default frame rate
constexpr qsizetype gateBlock = 160;    // 10 ms, one frame of the model
// A capture that hears nothing still delivers its resampler's dither: a
// sample or two of ±1. PocketSphinx's noise removal takes that floor for the
// noise it subtracts, and garbles the next utterance; digital silence it
// handles. So 10 ms that never rise above ±2 (−84 dBFS) are made silent.
constexpr int ditherPeak = 2;

void silenceDither(int16 *samples, qsizetype count)
{
    for (qsizetype start = 0; start < count; start += gateBlock) {
        const qsizetype end = std::min(count, start + gateBlock);
        const bool quiet = std::all_of(samples + start, samples + end,
                                       [](int16 sample) { return sample >= -ditherPeak && sample <= ditherPeak; });
        if (quiet)
            std::fill(samples + start, samples + end, int16(0));
    }
}
} // namespace

SpeechRecognizer::SpeechRecognizer(const QString &modelDir, QObject *parent)
    : QObject(parent)
    , m_modelDir(modelDir)
{
}

SpeechRecognizer::~SpeechRecognizer()
{
    if (m_decoder)
        ps_free(m_decoder);
}

void SpeechRecognizer::start()
{
    if (m_decoder)
        return;
    const QByteArray hmm = QFileInfo(m_modelDir + QStringLiteral("/en-us")).absoluteFilePath().toLocal8Bit();
    const QByteArray lm = (m_modelDir + QStringLiteral("/en-us.lm.bin")).toLocal8Bit();
    const QByteArray dict = (m_modelDir + QStringLiteral("/cmudict-en-us.dict")).toLocal8Bit();
    if (!QFileInfo::exists(QString::fromLocal8Bit(hmm)) || !QFileInfo::exists(QString::fromLocal8Bit(lm))
        || !QFileInfo::exists(QString::fromLocal8Bit(dict))) {
        Q_EMIT failed(QStringLiteral("Speech recognition is not installed on this server."));
        return;
    }
    cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE,
                                   "-hmm", hmm.constData(),
                                   "-lm", lm.constData(),
                                   "-dict", dict.constData(),
                                   "-logfn", "/dev/null",
                                   nullptr);
    if (!config) {
        Q_EMIT failed(QStringLiteral("Speech recognition could not be configured."));
        return;
    }
    m_decoder = ps_init(config);
    cmd_ln_free_r(config); // the decoder keeps its own reference
    if (!m_decoder) {
        Q_EMIT failed(QStringLiteral("Speech recognition could not be started."));
        return;
    }
    Q_EMIT ready();
}

void SpeechRecognizer::startUtterance()
{
    ps_start_utt(m_decoder);
    m_inUtterance = true;
    m_heardSpeech = false;
    m_lastHyp.clear();
    m_uttStartSample = m_samples;
}

void SpeechRecognizer::feed(const QByteArray &pcm)
{
    if (!m_decoder)
        return;
    QByteArray bytes = m_carry + pcm;
    m_carry.clear();
    if (bytes.size() % 2) {
        m_carry = bytes.right(1);
        bytes.chop(1);
    }
    if (bytes.isEmpty())
        return;
    if (!m_inUtterance)
        startUtterance();
    auto *samples = reinterpret_cast<int16 *>(bytes.data());
    const size_t count = size_t(bytes.size() / 2);
    silenceDither(samples, qsizetype(count));
    ps_process_raw(m_decoder, samples, count, FALSE, FALSE);
    m_samples += qint64(count);

    const bool inSpeech = ps_get_in_speech(m_decoder) != 0;
    if (inSpeech) {
        m_heardSpeech = true;
        int32 score = 0;
        const char *hyp = ps_get_hyp(m_decoder, &score);
        const QString text = hyp ? QString::fromUtf8(hyp) : QString();
        if (text != m_lastHyp) {
            m_lastHyp = text;
            QStringList words;
            for (const QString &w : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                const QString clean = WordRules::cleanWord(w);
                if (!clean.isEmpty())
                    words.append(clean);
            }
            if (!words.isEmpty())
                Q_EMIT hypothesis(words);
        }
    } else if (m_heardSpeech) {
        endUtterance();
    }
}

void SpeechRecognizer::finalize()
{
    if (m_decoder && m_inUtterance && m_heardSpeech)
        endUtterance();
    Q_EMIT finalized();
}

void SpeechRecognizer::endUtterance()
{
    ps_end_utt(m_decoder);
    m_inUtterance = false;
    m_heardSpeech = false;
    m_lastHyp.clear();

    QList<RecognizedWord> words;
    logmath_t *logmath = ps_get_logmath(m_decoder);
    for (ps_seg_t *seg = ps_seg_iter(m_decoder); seg; seg = ps_seg_next(seg)) {
        const QString clean = WordRules::cleanWord(QString::fromUtf8(ps_seg_word(seg)));
        if (clean.isEmpty())
            continue;
        int startFrame = 0;
        int endFrame = 0;
        ps_seg_frames(seg, &startFrame, &endFrame);
        int32 ascr = 0, lscr = 0, lback = 0;
        const int32 posterior = ps_seg_prob(seg, &ascr, &lscr, &lback);
        RecognizedWord word;
        word.word = clean;
        word.startMs = startFrame * 1000 / framesPerSecond;
        word.endMs = (endFrame + 1) * 1000 / framesPerSecond;
        const double p = logmath ? logmath_exp(logmath, posterior) : -1;
        word.confidence = p >= 0 && p <= 1 ? p : -1;
        words.append(word);
    }
    if (!words.isEmpty())
        Q_EMIT utterance(words);
    Q_UNUSED(sampleRate);
}
