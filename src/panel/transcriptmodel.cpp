#include "transcriptmodel.h"

TranscriptModel::TranscriptModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void TranscriptModel::setTranscript(Transcript *transcript)
{
    if (m_transcript == transcript)
        return;
    if (m_transcript)
        m_transcript->disconnect(this);
    m_transcript = transcript;
    if (transcript) {
        QObject::connect(transcript, &Transcript::linesReset, this, &TranscriptModel::reset);
        QObject::connect(transcript, &Transcript::lineAppended, this, &TranscriptModel::onLineAppended);
        QObject::connect(transcript, &Transcript::lastLineChanged, this, &TranscriptModel::onLastLineChanged);
        QObject::connect(transcript, &Transcript::partialChanged, this, &TranscriptModel::onPartialChanged);
        QObject::connect(transcript, &QObject::destroyed, this, &TranscriptModel::reset);
    }
    reset();
}

int TranscriptModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_lineRows + (m_partialRow ? 1 : 0);
}

TranscriptModel::Bubble TranscriptModel::bubble(int row) const
{
    Bubble b;
    if (!m_transcript || row < 0 || row >= rowCount())
        return b;
    const QList<TranscriptLine> &lines = m_transcript->lines();
    const QString &partial = m_transcript->partial();
    if (row < m_lineRows && row < lines.size()) {
        const TranscriptLine &line = lines.at(row);
        b.base = trimmedSpacesAndTabs(line.text);
        b.isTranslation = line.isTranslation;
        // Partial text continues the last line while it is open.
        const bool openLast = row == lines.size() - 1 && !line.complete;
        const QString tail = openLast ? partial : QString();
        b.tail = b.base.isEmpty() ? trimmedSpacesAndTabs(tail) : tail;
    } else {
        b.tail = trimmedSpacesAndTabs(partial);
    }
    return b;
}

QVariant TranscriptModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Bubble b = bubble(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return QString(b.base + b.tail);
    case BaseRole:
        return b.base;
    case TailRole:
        return b.tail;
    case IsTranslationRole:
        return b.isTranslation;
    case SpeakerRole:
        return m_transcript && index.row() < m_lineRows ? shownSpeakerLabel(m_transcript->lines(), index.row())
                                                        : QString();
    default:
        return {};
    }
}

void TranscriptModel::reset()
{
    beginResetModel();
    m_lineRows = m_transcript ? int(m_transcript->lines().size()) : 0;
    m_partialRow = false;
    if (m_transcript) {
        const QList<TranscriptLine> &lines = m_transcript->lines();
        m_partialRow = !m_transcript->partial().isEmpty() && (lines.isEmpty() || lines.last().complete);
    }
    endResetModel();
}

void TranscriptModel::touchLine(int row)
{
    if (row >= 0 && row < m_lineRows) {
        const QModelIndex changed = index(row);
        Q_EMIT dataChanged(changed, changed);
    }
}

void TranscriptModel::onLineAppended(qsizetype row)
{
    if (!m_transcript || row != m_lineRows || row >= m_transcript->lines().size()) {
        reset(); // out of step: start over rather than show a wrong row
        return;
    }
    // The new line goes before the partial row, if there is one.
    beginInsertRows({}, m_lineRows, m_lineRows);
    ++m_lineRows;
    endInsertRows();
    // The line before it no longer carries the partial text.
    touchLine(m_lineRows - 2);
    syncPartialRow();
}

void TranscriptModel::onLastLineChanged(qsizetype row)
{
    if (!m_transcript || row != m_lineRows - 1) {
        reset();
        return;
    }
    touchLine(int(row));
    syncPartialRow();
}

void TranscriptModel::onPartialChanged()
{
    if (!m_transcript)
        return;
    const QList<TranscriptLine> &lines = m_transcript->lines();
    if (!lines.isEmpty() && !lines.last().complete)
        touchLine(m_lineRows - 1);
    syncPartialRow();
}

void TranscriptModel::syncPartialRow()
{
    const QList<TranscriptLine> &lines = m_transcript->lines();
    const bool wanted = !m_transcript->partial().isEmpty() && (lines.isEmpty() || lines.last().complete);
    if (wanted == m_partialRow) {
        if (wanted) {
            const QModelIndex changed = index(m_lineRows);
            Q_EMIT dataChanged(changed, changed);
        }
        return;
    }
    if (wanted) {
        beginInsertRows({}, m_lineRows, m_lineRows);
        m_partialRow = true;
        endInsertRows();
    } else {
        beginRemoveRows({}, m_lineRows, m_lineRows);
        m_partialRow = false;
        endRemoveRows();
    }
}
