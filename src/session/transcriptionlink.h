#pragma once

#include "sonioxmessage.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>

// What the session controller needs of its connection to the transcription
// endpoint; TranscriptionClient is the real one.
class TranscriptionLink
{
public:
    using MessageHandler = std::function<void(const SonioxMessage &)>;
    using ErrorHandler = std::function<void(const QString &)>;

    // Asks the server for the final tokens of everything it has heard.
    static constexpr char finalizeRequest[] = R"({"type":"finalize"})";

    virtual ~TranscriptionLink() = default;

    // Set before each connect. Both are called off the GUI thread, in the
    // order the frames and events arrived.
    virtual void setOnMessage(MessageHandler handler) = 0;
    virtual void setOnError(ErrorHandler handler) = 0;

    // Opens a new connection; the caller closes the previous one first.
    virtual void connect(const QUrl &url) = 0;
    // Callable from any thread; copies the chunk and returns at once.
    virtual void send(const QByteArray &chunk) = 0;
    virtual void sendText(const QString &text) = 0;
    // Ends the connection with code 1000; nothing of it is reported after.
    virtual void close() = 0;
    // Whether a connection of the current leg exists (the task of the leg).
    [[nodiscard]] virtual bool hasTask() const = 0;
};
