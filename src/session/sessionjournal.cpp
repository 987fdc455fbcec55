#include "sessionjournal.h"

#include "clock.h"
#include "logging.h"
#include "notesupload.h"
#include "transcript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray recordBytes(const QJsonObject &record)
{
    return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject lineRecordJson(qsizetype row, const TranscriptLine &line)
{
    QJsonObject record{
        {"r"_L1, "line"_L1},
        {"row"_L1, row},
        {"t"_L1, line.t.toMSecsSinceEpoch()},
        {"text"_L1, line.text},
        {"translated"_L1, line.isTranslation},
        {"lang"_L1, line.lang ? QJsonValue(*line.lang) : QJsonValue()},
        {"complete"_L1, line.complete},
        {"source"_L1, sideName(line.source)},
    };
    if (line.speaker)
        record.insert("speaker"_L1, *line.speaker);
    return record;
}

bool writeAll(int fd, QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t wrote = ::write(fd, data, size_t(left));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        data += wrote;
        left -= wrote;
    }
    return true;
}

} // namespace

// --- Syncing off the GUI thread ---------------------------------------------------

class SessionJournal::Syncer
{
public:
    explicit Syncer(std::chrono::milliseconds interval)
        : m_interval(interval)
        , m_worker([this] { run(); })
    {
    }

    ~Syncer()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_worker.join();
        if (m_folder >= 0)
            ::close(m_folder);
    }

    // Hands over the file to keep on disk (-1 for none), and its folder when
    // the file is new (the syncer closes it); returns once no sync of the
    // previous file runs, so the caller may close that.
    void setFile(int fd, int newFolder = -1)
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return !m_busy; });
        if (m_folder >= 0)
            ::close(m_folder);
        m_folder = newFolder;
        m_fd = fd;
        m_dirty = false;
        m_urgent = false;
        m_failed = false;
    }

    void written(bool urgent)
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            wake = !m_dirty || (urgent && !m_urgent);
            m_dirty = true;
            m_urgent = m_urgent || urgent;
        }
        if (wake)
            m_wake.notify_all();
    }

    [[nodiscard]] bool failed()
    {
        std::lock_guard lock(m_mutex);
        return m_failed;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_quit) {
            if (!m_dirty || m_fd < 0) {
                m_wake.wait(lock);
                continue;
            }
            const auto due = m_lastSync + m_interval;
            if (!m_urgent && std::chrono::steady_clock::now() < due) {
                m_wake.wait_until(lock, due);
                continue;
            }
            m_dirty = false;
            m_urgent = false;
            m_busy = true;
            const int fd = m_fd;
            const int folder = std::exchange(m_folder, -1);
            lock.unlock();
            bool synced = ::fdatasync(fd) == 0;
            // A new file's name reaches the disk with its folder.
            if (folder >= 0) {
                synced = ::fsync(folder) == 0 && synced;
                ::close(folder);
            }
            lock.lock();
            m_busy = false;
            m_lastSync = std::chrono::steady_clock::now();
            m_failed = m_failed || !synced;
            m_idle.notify_all();
        }
    }

    const std::chrono::milliseconds m_interval;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    int m_fd = -1;
    int m_folder = -1;
    bool m_dirty = false;
    bool m_urgent = false;
    bool m_busy = false;
    bool m_failed = false;
    bool m_quit = false;
    std::chrono::steady_clock::time_point m_lastSync;
    std::thread m_worker; // last: starts once the rest is set up
};

// --- The journal ------------------------------------------------------------------

SessionJournal::SessionJournal(QString path, std::chrono::milliseconds syncInterval, QObject *parent)
    : QObject(parent)
    , m_path(std::move(path))
    , m_syncer(std::make_unique<Syncer>(syncInterval))
{
}

SessionJournal::~SessionJournal()
{
    // Whatever is written stays: a later launch recovers it.
    closeFile();
}

QString SessionJournal::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + "/.local/state"_L1;
    return state + "/zarno/session.journal"_L1;
}

SessionJournal::Recovery SessionJournal::recover()
{
    Recovery recovery;
    if (!QFileInfo::exists(m_path))
        return recovery;
    QFile file(m_path);
    JournalReading reading;
    if (file.open(QIODevice::ReadOnly))
        reading = readJournal(file.readAll(), Clock::now());
    else
        reading.kind = JournalReading::Kind::Unreadable;
    file.close();
    if (reading.damaged > 0)
        qCWarning(lcSession) << "Skipped" << reading.damaged << "damaged records of the session journal";

    if (reading.kind == JournalReading::Kind::Unreadable) {
        // Kept for the user rather than deleted: it may hold words.
        const std::optional<QString> aside = setAside();
        m_keepsUnreadable = !aside;
        recovery.kind = aside ? Recovery::Kind::SetAside : Recovery::Kind::Unreadable;
        recovery.asidePath = aside.value_or(QString());
        if (!aside)
            qCWarning(lcSession) << "Could not set the unreadable journal aside; it stays at" << m_path;
        return recovery;
    }
    if (savedLines(reading.session.lines).isEmpty()) {
        QFile::remove(m_path);
        return recovery;
    }
    recovery.kind = Recovery::Kind::Recovered;
    recovery.session = std::move(reading.session);
    // The journal goes on from what was found, written afresh without torn
    // or damaged records, and with the cut-off leg ended here so that the
    // time found now stays if zarno is interrupted again.
    m_session = recovery.session.session;
    m_seconds = recovery.session.seconds;
    m_legAt.reset();
    m_failed = false;
    // If that fails, the next record tries again and says so: a warning now
    // would be lost under the recovery's own sentence.
    writeAfresh(recovery.session.lines, false);
    return recovery;
}

std::optional<QString> SessionJournal::setAside()
{
    const QFileInfo info(m_path);
    const QDir dir = info.absoluteDir();
    const QString base = info.fileName() + ".corrupt"_L1;
    const auto name = [&](int number) { return number == 0 ? base : base + u'.' + QString::number(number); };
    // Numbers only grow, so no name ever stands for two journals.
    QList<int> taken;
    for (const QString &entry : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const int number = entry.startsWith(base + u'.') ? entry.sliced(base.size() + 1).toInt(&isNumber) : 0;
        if (entry == base || (isNumber && number > 0 && entry == name(number)))
            taken.append(number);
    }
    std::sort(taken.begin(), taken.end());
    const int next = taken.isEmpty() ? 0 : taken.last() + 1;
    // QFile::rename never replaces an existing file.
    if (!QFile::rename(m_path, dir.filePath(name(next))))
        return std::nullopt;
    taken.append(next);
    for (qsizetype i = 0; i + keptAside < taken.size(); ++i)
        QFile::remove(dir.filePath(name(taken.at(i))));
    return dir.filePath(name(next));
}

void SessionJournal::follow(const Transcript *transcript)
{
    m_transcript = transcript;
    QObject::connect(transcript, &Transcript::lineAppended, this, &SessionJournal::onLineAppended);
    QObject::connect(transcript, &Transcript::lastLineChanged, this, &SessionJournal::onLastLineChanged);
    QObject::connect(transcript, &Transcript::linesReset, this, &SessionJournal::onLinesReset);
}

void SessionJournal::beginSession(const JournalSession &session)
{
    m_session = session;
    m_seconds = 0;
    m_legAt.reset();
    m_lastAlive = QDateTime();
    m_failed = false;
    if (!writeAfresh({}, true))
        fail();
}

void SessionJournal::beginLeg(const QDateTime &at)
{
    m_legAt = at;
    m_lastAlive = at;
    append(QJsonObject{{"r"_L1, "leg"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}});
}

void SessionJournal::stillListening(const QDateTime &at)
{
    m_lastAlive = std::max(m_lastAlive, at);
    // Rides along with the next sync (a line, a pause, the system's own
    // write-back) rather than waking the disk every second of a silent
    // meeting: a killed zarno loses none of it, and a machine that loses
    // power loses at most the last seconds of the leg's length.
    append(QJsonObject{{"r"_L1, "time"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}}, false);
}

void SessionJournal::endLeg(const QDateTime &at, qint64 seconds)
{
    m_seconds = seconds;
    m_legAt.reset();
    append(QJsonObject{{"r"_L1, "pause"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}, {"seconds"_L1, seconds}});
    if (m_fd >= 0)
        m_syncer->written(true);
}

void SessionJournal::discard()
{
    closeFile();
    m_session.reset();
    m_failed = false;
    // An unreadable journal that could not be moved is not this session's.
    if (!m_keepsUnreadable)
        QFile::remove(m_path);
}

bool SessionJournal::writeAfresh(const QList<TranscriptLine> &lines, bool inPlace)
{
    closeFile();
    // An unreadable journal that could not be set aside may hold words:
    // nothing is written over it.
    if (m_keepsUnreadable) {
        const std::optional<QString> aside = setAside();
        if (!aside)
            return false;
        qCInfo(lcSession) << "Set the unreadable journal aside as" << *aside;
        m_keepsUnreadable = false;
    }
    const QString dir = QFileInfo(m_path).absolutePath();
    // Private to the user: it holds what was said.
    if (!QDir().mkpath(dir) || ::chmod(QFile::encodeName(dir).constData(), 0700) != 0)
        return false;
    // A journal the user linked elsewhere stays a link.
    inPlace = inPlace || QFileInfo(m_path).isSymLink();
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray fresh = inPlace ? path : QFile::encodeName(m_path + ".new"_L1);
    if (!inPlace)
        ::unlink(fresh.constData());
    const int fd = ::open(fresh.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (!writeSnapshot(fd, lines) || (!inPlace && ::rename(fresh.constData(), path.constData()) != 0)) {
        const int error = errno;
        ::close(fd);
        if (!inPlace)
            ::unlink(fresh.constData());
        errno = error;
        return false;
    }
    m_fd = fd;
    // The file's name reaches the disk with its folder.
    m_syncer->setFile(fd, ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    m_syncer->written(false);
    m_lastRow = lines.size() - 1;
    m_lastRowWritten = lines.isEmpty() ? 0 : lines.last().text.size();
    return true;
}

bool SessionJournal::writeSnapshot(int fd, const QList<TranscriptLine> &lines) const
{
    // In pieces, the first one small: on a full disk each record tries this
    // again, and it should fail before the whole meeting is encoded.
    constexpr qsizetype piece = 64 * 1024;
    QByteArray bytes = recordBytes(QJsonObject{
        {"r"_L1, "session"_L1},
        {"startedAt"_L1, m_session->startedAt.toMSecsSinceEpoch()},
        {"sourceClientId"_L1, m_session->sourceClientId},
        {"languageA"_L1, m_session->languageA},
        {"languageB"_L1, m_session->languageB},
        {"transcriptOnly"_L1, m_session->transcriptOnly},
    });
    for (qsizetype row = 0; row < lines.size(); ++row) {
        if (row % 16 == 0 && (row == 0 || bytes.size() >= piece)) {
            if (!writeAll(fd, bytes))
                return false;
            bytes.clear();
        }
        bytes += recordBytes(lineRecordJson(row, lines.at(row)));
    }
    if (m_seconds > 0)
        bytes += recordBytes(QJsonObject{{"r"_L1, "pause"_L1}, {"seconds"_L1, m_seconds}});
    if (m_legAt) {
        bytes += recordBytes(QJsonObject{{"r"_L1, "leg"_L1}, {"at"_L1, m_legAt->toMSecsSinceEpoch()}});
        bytes += recordBytes(QJsonObject{{"r"_L1, "time"_L1}, {"at"_L1, m_lastAlive.toMSecsSinceEpoch()}});
    }
    return writeAll(fd, bytes);
}

void SessionJournal::append(const QJsonObject &record, bool synced)
{
    if (!m_session)
        return;
    if (m_failed || m_fd < 0) {
        // Once more, with everything the failure missed.
        if (!writeAfresh(m_transcript ? m_transcript->lines() : QList<TranscriptLine>(), false)) {
            fail();
            return;
        }
        if (std::exchange(m_failed, false)) {
            qCInfo(lcSession) << "The session journal is written again:" << m_path;
            Q_EMIT writeResumed();
        }
        return;
    }
    if (m_syncer->failed() || !writeAll(m_fd, recordBytes(record))) {
        fail();
        return;
    }
    if (synced)
        m_syncer->written(false);
}

void SessionJournal::fail()
{
    const int error = errno;
    closeFile();
    if (m_failed)
        return;
    m_failed = true;
    qCWarning(lcSession) << "Could not write the session journal" << m_path << strerror(error);
    Q_EMIT writeFailed();
}

void SessionJournal::closeFile()
{
    if (m_fd < 0)
        return;
    m_syncer->setFile(-1);
    ::close(m_fd);
    m_fd = -1;
}

void SessionJournal::onLineAppended(qsizetype row)
{
    const TranscriptLine &line = m_transcript->lines().at(row);
    m_lastRow = row;
    m_lastRowWritten = line.text.size();
    if (m_legAt)
        m_lastAlive = std::max(m_lastAlive, line.t);
    append(lineRecordJson(row, line));
}

void SessionJournal::onLastLineChanged(qsizetype row)
{
    const TranscriptLine &line = m_transcript->lines().at(row);
    // A line only grows at its end.
    const qsizetype written = row == m_lastRow ? m_lastRowWritten : 0;
    m_lastRow = row;
    m_lastRowWritten = line.text.size();
    append(QJsonObject{
        {"r"_L1, "more"_L1},
        {"row"_L1, row},
        {"text"_L1, line.text.sliced(std::min(written, line.text.size()))},
        {"complete"_L1, line.complete},
    });
}

void SessionJournal::onLinesReset()
{
    m_lastRow = m_transcript->lines().size() - 1;
    m_lastRowWritten = m_lastRow >= 0 ? m_transcript->lines().last().text.size() : 0;
}
