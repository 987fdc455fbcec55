#pragma once

#include "transcriptionlink.h"

#include <atomic>
#include <memory>

class QThread;

// The WebSocket connection of each listening leg. The socket lives on a
// worker thread of its own ("zarno.ws"); every call becomes a job on that
// thread's strand, so audio given from the capture thread and the GUI
// thread's open/close never overtake each other and no caller waits on the
// network.
class TranscriptionClient final : public TranscriptionLink
{
    Q_OBJECT

public:
    // Asks the server for the final tokens of everything it has heard.
    static constexpr char finalizeRequest[] = R"({"type":"finalize"})";
    // Audio kept while a connection opens; later chunks are dropped.
    static constexpr int maxPendingChunks = 2048;

    explicit TranscriptionClient(QObject *parent = nullptr);
    ~TranscriptionClient() override;

    quint64 open(const QUrl &url) override;
    void send(const QByteArray &chunk) override;
    void finalize() override;
    void close() override;
    [[nodiscard]] bool hasTask() const override;
    // An object on the socket's thread, for work that should happen where
    // the chunks are sent (the microphone's connection to the sound server).
    [[nodiscard]] QObject *loopContext() const;

private:
    class Worker;
    class WorkerThread;

    std::unique_ptr<WorkerThread> m_thread;
    Worker *m_worker = nullptr; // lives on m_thread

    // GUI thread only: the silence flag of the current leg's connection.
    std::shared_ptr<std::atomic<bool>> m_current;
    quint64 m_currentId = 0;
    quint64 m_lastId = 0;
    std::atomic<bool> m_hasTask{false};
};
