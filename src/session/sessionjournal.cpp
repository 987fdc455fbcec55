#include "sessionjournal.h"

#include "logging.h"
#include "notesupload.h"
#include "transcript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>

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

QDateTime fromMs(const QJsonValue &value)
{
    return QDateTime::fromMSecsSinceEpoch(value.toInteger(), Qt::UTC);
}

} // namespace

// --- Reading ------------------------------------------------------------------

JournalReading readJournal(QByteArrayView bytes)
{
    JournalReading reading;
    if (bytes.isEmpty())
        return reading;
    // Bytes after the last line end are a record cut off mid-write.
    const qsizetype end = bytes.lastIndexOf('\n') + 1;
    reading.intactBytes = end;
    RecoveredSession &found = reading.session;
    bool haveSession = false;
    std::optional<QDateTime> legStart;
    QDateTime lastSeen;
    qsizetype from = 0;
    while (from < end) {
        const qsizetype to = bytes.indexOf('\n', from);
        const QJsonObject record = QJsonDocument::fromJson(bytes.sliced(from, to - from).toByteArray()).object();
        from = to + 1;
        const QString kind = record.value("r"_L1).toString();
        if (!haveSession) {
            // A journal starts with its session; anything else is not one.
            if (kind != "session"_L1)
                break;
            haveSession = true;
            found.session = JournalSession{fromMs(record.value("startedAt"_L1)),
                                           record.value("sourceClientId"_L1).toString(),
                                           record.value("languageA"_L1).toString(),
                                           record.value("languageB"_L1).toString(),
                                           record.value("transcriptOnly"_L1).toBool()};
            continue;
        }
        // Damaged records inside are skipped, so the rest still counts.
        const qsizetype row = record.value("row"_L1).toInteger(-1);
        if (kind == "line"_L1 && row == found.lines.size()) {
            const QJsonValue lang = record.value("lang"_L1);
            found.lines.append(TranscriptLine{
                .id = QUuid::createUuid(),
                .text = record.value("text"_L1).toString(),
                .isTranslation = record.value("translated"_L1).toBool(),
                .lang = lang.isString() ? std::optional<QString>(lang.toString()) : std::nullopt,
                .t = fromMs(record.value("t"_L1)),
                .complete = record.value("complete"_L1).toBool(),
            });
            lastSeen = std::max(lastSeen, found.lines.last().t);
        } else if (kind == "more"_L1 && row >= 0 && row == found.lines.size() - 1) {
            found.lines.last().text += record.value("text"_L1).toString();
            found.lines.last().complete = record.value("complete"_L1).toBool();
        } else if (kind == "leg"_L1) {
            legStart = fromMs(record.value("at"_L1));
            lastSeen = *legStart;
        } else if (kind == "time"_L1) {
            lastSeen = std::max(lastSeen, fromMs(record.value("at"_L1)));
        } else if (kind == "pause"_L1) {
            found.seconds = std::max<qint64>(record.value("seconds"_L1).toInteger(), 0);
            legStart.reset();
        }
    }
    if (!haveSession) {
        reading.kind = JournalReading::Kind::Unreadable;
        return reading;
    }
    // A leg still open when zarno died lasted until its last sign of life.
    if (legStart)
        found.seconds += std::max<qint64>(legStart->msecsTo(lastSeen) / 1000, 0);
    reading.kind = JournalReading::Kind::Session;
    return reading;
}

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
        reading = readJournal(file.readAll());
    else
        reading.kind = JournalReading::Kind::Unreadable;
    file.close();

    if (reading.kind == JournalReading::Kind::Unreadable) {
        // Kept for the user rather than deleted: it may hold words.
        recovery.kind = Recovery::Kind::SetAside;
        recovery.asidePath = m_path + ".corrupt"_L1;
        QFile::remove(recovery.asidePath);
        if (!QFile::rename(m_path, recovery.asidePath))
            qCWarning(lcSession) << "Could not set the unreadable journal aside";
        return recovery;
    }
    if (savedLines(reading.session.lines).isEmpty()) {
        QFile::remove(m_path);
        return recovery;
    }
    // A torn last record goes, so the next one starts on a line of its own.
    if (::truncate(QFile::encodeName(m_path).constData(), off_t(reading.intactBytes)) != 0)
        qCWarning(lcSession) << "Could not cut the journal's torn record:" << strerror(errno);
    recovery.kind = Recovery::Kind::Recovered;
    recovery.session = std::move(reading.session);
    m_failed = false;
    open(false);
    // The leg that was cut off ends here, so the time found now stays if
    // zarno is interrupted again.
    append(QJsonObject{{"r"_L1, "pause"_L1}, {"seconds"_L1, recovery.session.seconds}});
    m_lastRow = recovery.session.lines.size() - 1;
    m_lastRowWritten = recovery.session.lines.last().text.size();
    return recovery;
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
    m_failed = false;
    m_lastRow = -1;
    m_lastRowWritten = 0;
    open(true);
    append(QJsonObject{
        {"r"_L1, "session"_L1},
        {"startedAt"_L1, session.startedAt.toMSecsSinceEpoch()},
        {"sourceClientId"_L1, session.sourceClientId},
        {"languageA"_L1, session.languageA},
        {"languageB"_L1, session.languageB},
        {"transcriptOnly"_L1, session.transcriptOnly},
    });
}

void SessionJournal::beginLeg(const QDateTime &at)
{
    append(QJsonObject{{"r"_L1, "leg"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}});
}

void SessionJournal::stillListening(const QDateTime &at)
{
    // Rides along with the next sync (a line, a pause, the system's own
    // write-back) rather than waking the disk every second of a silent
    // meeting: a killed zarno loses none of it, and a machine that loses
    // power loses at most the last seconds of the leg's length.
    append(QJsonObject{{"r"_L1, "time"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}}, false);
}

void SessionJournal::endLeg(const QDateTime &at, qint64 seconds)
{
    append(QJsonObject{{"r"_L1, "pause"_L1}, {"at"_L1, at.toMSecsSinceEpoch()}, {"seconds"_L1, seconds}});
    if (m_fd >= 0)
        m_syncer->written(true);
}

void SessionJournal::discard()
{
    closeFile();
    m_failed = false;
    QFile::remove(m_path);
}

void SessionJournal::open(bool truncate)
{
    closeFile();
    const QFileInfo info(m_path);
    const QString dir = info.absolutePath();
    // Private to the user: it holds what was said.
    if (!QDir().mkpath(dir) || ::chmod(QFile::encodeName(dir).constData(), 0700) != 0) {
        fail();
        return;
    }
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    m_fd = ::open(QFile::encodeName(m_path).constData(), flags, 0600);
    if (m_fd < 0) {
        fail();
        return;
    }
    const int folder = truncate ? ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    m_syncer->setFile(m_fd, folder);
}

void SessionJournal::append(const QJsonObject &record, bool synced)
{
    if (m_fd < 0)
        return; // no session, or it failed and said so
    if (m_syncer->failed()) {
        fail();
        return;
    }
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact);
    line.append('\n');
    const char *data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t wrote = ::write(m_fd, data, size_t(left));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            fail();
            return;
        }
        data += wrote;
        left -= wrote;
    }
    if (synced)
        m_syncer->written(false);
}

void SessionJournal::fail()
{
    closeFile();
    if (m_failed)
        return;
    m_failed = true;
    qCWarning(lcSession) << "Could not write the session journal" << m_path << strerror(errno);
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
    append(QJsonObject{
        {"r"_L1, "line"_L1},
        {"row"_L1, row},
        {"t"_L1, line.t.toMSecsSinceEpoch()},
        {"text"_L1, line.text},
        {"translated"_L1, line.isTranslation},
        {"lang"_L1, line.lang ? QJsonValue(*line.lang) : QJsonValue()},
        {"complete"_L1, line.complete},
    });
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
