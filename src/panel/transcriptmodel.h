#pragma once

#include <QAbstractListModel>
#include <QPointer>

#include "transcript.h"

// The transcript as rows of bubbles: one per line, and one more for partial
// text that has no open line to continue. Rows are added, changed and
// removed one by one as the session's transcript grows, never rebuilt per
// message.
class TranscriptModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        BaseRole = Qt::UserRole + 1, // the line's text, spaces and tabs trimmed
        TailRole,                    // partial text drawn after it in italics
        IsTranslationRole,
        SpeakerRole, // "You", "Speaker 2", "Others" where the speaker changes; empty elsewhere
    };

    explicit TranscriptModel(QObject *parent = nullptr);

    void setTranscript(Transcript *transcript);
    [[nodiscard]] Transcript *transcript() const { return m_transcript; }

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The text of one bubble as drawn: base followed by tail.
    struct Bubble
    {
        QString base;
        QString tail;
        bool isTranslation = false;
    };
    [[nodiscard]] Bubble bubble(int row) const;

    // Whether the partial text needs a bubble of its own.
    [[nodiscard]] bool hasPartialRow() const { return m_partialRow; }

private:
    void reset();
    void onLineAppended(qsizetype row);
    void onLastLineChanged(qsizetype row);
    void onPartialChanged();
    void syncPartialRow();
    void touchLine(int row);

    QPointer<Transcript> m_transcript;
    int m_lineRows = 0;        // line rows the views know of
    bool m_partialRow = false; // whether the views know of a partial row
};
