#include "miccapture.h"

#include "resampler.h"
#include "strand.h"

#include <QAudioSource>
#include <QCoroFuture>
#include <QMediaDevices>
#include <QPointer>
#include <QPromise>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <mutex>

using namespace std::chrono_literals;

namespace {

using StartResult = std::optional<MicError>;

const QString errorDomain = QStringLiteral("zarno");

// Hands the caller the outcome of one start exactly once: whichever of the
// start on the worker and the deadline on the caller's thread comes first
// wins, and the later one is told it lost.
class ResumeOnce
{
public:
    ResumeOnce() { m_promise.start(); }

    [[nodiscard]] QFuture<StartResult> future() { return m_promise.future(); }

    bool resume(StartResult result)
    {
        std::lock_guard lock(m_mutex);
        if (m_settled)
            return false;
        m_settled = true;
        m_promise.addResult(std::move(result));
        m_promise.finish();
        return true;
    }

private:
    std::mutex m_mutex;
    bool m_settled = false;
    QPromise<StartResult> m_promise;
};

MicError sourceError(QAudio::Error error)
{
    switch (error) {
    case QAudio::IOError:
        return {QStringLiteral("QAudio"), int(error), QStringLiteral("The audio input could not be read.")};
    case QAudio::FatalError:
        return {QStringLiteral("QAudio"), int(error), QStringLiteral("The audio input stopped working.")};
    case QAudio::NoError:
    case QAudio::OpenError:
    case QAudio::UnderrunError:
        break;
    }
    return {QStringLiteral("QAudio"), int(QAudio::OpenError), QStringLiteral("The audio input could not be opened.")};
}

} // namespace

// Everything that touches the device; used only on the worker thread.
class MicWorker : public QObject
{
public:
    explicit MicWorker(MicCapture::DeviceFinder findDevice)
        : m_findDevice(std::move(findDevice))
    {
    }

    void setHandler(Microphone::ChunkHandler handler) { m_onChunk = std::move(handler); }

    StartResult open()
    {
        close();
        const QAudioDevice device = m_findDevice ? m_findDevice() : QMediaDevices::defaultAudioInput();
        if (device.isNull())
            return MicCapture::noInputDeviceError();
        const QAudioFormat format = device.preferredFormat();
        if (format.sampleRate() <= 0 || format.channelCount() <= 0 || format.bytesPerFrame() <= 0)
            return MicCapture::noInputDeviceError();

        auto source = std::make_unique<QAudioSource>(device, format);
        QIODevice *io = source->start();
        if (!io || source->error() != QAudio::NoError) {
            const QAudio::Error error = source->error();
            source->stop();
            return sourceError(error);
        }
        m_source = std::move(source);
        m_io = io;
        // A format that cannot be converted still runs; its buffers are dropped.
        m_resampler = std::make_unique<Resampler>(format);
        m_blockBytes = MicCapture::framesPerChunk * format.bytesPerFrame();
        m_pending.clear();
        QObject::connect(io, &QIODevice::readyRead, this, [this] { read(); });
        return std::nullopt;
    }

    void close()
    {
        // Forget the capture before tearing it down: Qt may run this thread's
        // events while it does.
        std::unique_ptr<QAudioSource> source = std::move(m_source);
        // Held by a guarded pointer: when the sound server goes away Qt frees
        // the device itself, and touching it then would crash.
        if (m_io)
            QObject::disconnect(m_io.data(), nullptr, this, nullptr);
        m_io = nullptr;
        m_resampler.reset();
        m_pending.clear();
        if (source)
            source->stop();
    }

    // The "zarno.mic" queue: set-up and tear-down in call order, never one
    // inside another although Qt's audio back end runs nested event loops.
    void post(std::function<void()> task) { m_strand.post(std::move(task)); }

private:
    // Qt hands over a few tens of milliseconds at a time (more at first);
    // the wire wants one chunk per 4096 device frames, so whole blocks are
    // cut from what has arrived and the rest waits for the next read.
    void read()
    {
        if (!m_io)
            return;
        const QByteArray data = m_io->readAll();
        if (data.isEmpty())
            return;
        m_pending.append(data);
        qsizetype offset = 0;
        while (m_pending.size() - offset >= m_blockBytes) {
            const QByteArray chunk = m_resampler->convert(m_pending.constData() + offset, MicCapture::framesPerChunk);
            offset += m_blockBytes;
            if (!chunk.isEmpty() && m_onChunk)
                m_onChunk(chunk);
        }
        m_pending.remove(0, offset);
    }

    MicCapture::DeviceFinder m_findDevice;
    Microphone::ChunkHandler m_onChunk;
    std::unique_ptr<QAudioSource> m_source;
    QPointer<QIODevice> m_io;
    std::unique_ptr<Resampler> m_resampler;
    QByteArray m_pending;
    qsizetype m_blockBytes = 0;
    Strand m_strand{this};
};

MicCapture::MicCapture(DeviceFinder findDevice)
    : m_thread(std::make_unique<QThread>())
    , m_worker(new MicWorker(std::move(findDevice)))
{
    // Qt's audio back end is made by its first user and belongs to that
    // thread; let that be the long-lived caller's thread, not the worker.
    (void)QMediaDevices::audioInputs();
    m_thread->setObjectName(QStringLiteral("zarno.mic"));
    m_worker->moveToThread(m_thread.get());
    m_thread->start();
}

MicCapture::~MicCapture()
{
    m_worker->post([worker = m_worker] {
        worker->close();
        QThread::currentThread()->quit();
    });
    // A device stuck in its start keeps the worker busy; rather than hang the
    // caller, leave the worker behind (it is only ever stopped at exit).
    if (!m_thread->wait(3s)) {
        (void)m_thread.release();
        return;
    }
    delete m_worker;
}

void MicCapture::setOnChunk(ChunkHandler handler)
{
    m_worker->post([worker = m_worker, handler = std::move(handler)]() mutable { worker->setHandler(std::move(handler)); });
}

QCoro::Task<std::optional<MicError>> MicCapture::start(std::chrono::milliseconds timeout)
{
    auto outcome = std::make_shared<ResumeOnce>();
    QFuture<StartResult> result = outcome->future();

    m_worker->post([worker = m_worker, outcome] {
        StartResult started = worker->open();
        // The caller has already been told it failed: nobody listens to this
        // capture, so it must not keep the microphone open.
        if (!outcome->resume(started) && !started)
            worker->close();
    });
    QTimer::singleShot(timeout, [outcome] { outcome->resume(noResponseError()); });

    co_return co_await result;
}

void MicCapture::stop()
{
    m_worker->post([worker = m_worker] { worker->close(); });
}

MicError MicCapture::noInputDeviceError()
{
    return {errorDomain, 1, QStringLiteral("No audio input device available")};
}

MicError MicCapture::noResponseError()
{
    return {errorDomain, 2, QStringLiteral("The microphone didn't respond. Reconnect your audio device and try again.")};
}

void leaveWithoutAudioTeardown(int exitCode)
{
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
