#pragma once

#include "transcriptionlink.h"

#include <atomic>
#include <memory>

class QThread;

// The WebSocket connection of each listening leg. The socket lives on a
// worker thread of its own ("zarno.ws"); every call is turned into a command
// on one lock-free queue that the worker drains in order, so audio given from
// the capture thread and the GUI thread's connect/close never overtake each
// other and no caller waits on the network or on a lock.
class TranscriptionClient final : public TranscriptionLink
{
public:
    // Audio kept while a connection opens; later chunks are dropped.
    static constexpr int maxPendingChunks = 2048;

    TranscriptionClient();
    ~TranscriptionClient() override;

    TranscriptionClient(const TranscriptionClient &) = delete;
    TranscriptionClient &operator=(const TranscriptionClient &) = delete;

    void setOnMessage(MessageHandler handler) override;
    void setOnError(ErrorHandler handler) override;

    void connect(const QUrl &url) override;
    void send(const QByteArray &chunk) override;
    void sendText(const QString &text) override;
    void close() override;
    [[nodiscard]] bool hasTask() const override;

private:
    struct Command;
    class CommandQueue;
    class Worker;
    class WorkerThread;

    void post(std::unique_ptr<Command> command);

    std::unique_ptr<CommandQueue> m_queue;
    std::unique_ptr<WorkerThread> m_thread;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_wakeArmed{false};

    // GUI thread only: the silence flag of the current leg's connection.
    std::shared_ptr<std::atomic<bool>> m_current;
    quint64 m_currentId = 0;
    quint64 m_lastId = 0;
    std::atomic<bool> m_hasTask{false};
};
