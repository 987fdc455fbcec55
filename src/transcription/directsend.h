#pragma once

#include <QByteArrayView>
#include <QPointer>

class QTcpSocket;
class QWebSocket;

// Sends the binary messages of an open QWebSocket on a plain TCP connection
// with one write each, straight to the socket. QWebSocket writes through its
// buffered QTcpSocket, which switches its write notifier on and off for each
// message: two writes to the sending thread's wake-up descriptor and a read
// of it, for every chunk of audio. Whatever cannot go out that way (TLS, a
// proxy, a full socket, bytes of Qt's still queued) goes QWebSocket's own
// way, so frames never overtake one another.
class DirectSend
{
public:
    DirectSend() = default; // sends nothing
    explicit DirectSend(QWebSocket *socket);

    // Whether `payload` went out, or its rest was queued behind what did;
    // when false nothing was written, and QWebSocket should send it.
    bool binaryMessage(QByteArrayView payload);

private:
    QPointer<QTcpSocket> m_tcp; // null when this connection must go through Qt
};
