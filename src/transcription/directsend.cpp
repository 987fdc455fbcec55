#include "directsend.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QSslSocket>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// True when the descriptor's far end is the server itself. Through a proxy,
// the socket names the server but its descriptor leads to the proxy, and
// Qt's proxy engine has a buffer of its own that bytes must not overtake.
bool plainConnection(const QTcpSocket &tcp)
{
    if (qobject_cast<const QSslSocket *>(&tcp) || tcp.socketDescriptor() < 0)
        return false;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(int(tcp.socketDescriptor()), reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return false;
    quint16 port = 0;
    if (peer.ss_family == AF_INET)
        port = qFromBigEndian(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = qFromBigEndian(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    return port != 0 && port == tcp.peerPort()
           && QHostAddress(reinterpret_cast<const sockaddr *>(&peer)).isEqual(tcp.peerAddress());
}

// A client's frame for `payload`: final, binary, masked with `key`.
QByteArray maskedFrame(QByteArrayView payload, quint32 key)
{
    const quint64 length = quint64(payload.size());
    QByteArray frame;
    frame.reserve(payload.size() + 14);
    frame.append(char(0x82)); // final, binary
    if (length < 126) {
        frame.append(char(0x80 | length));
    } else if (length <= 0xffff) {
        frame.append(char(0x80 | 126));
        char size[2];
        qToBigEndian<quint16>(quint16(length), size);
        frame.append(size, 2);
    } else {
        frame.append(char(0x80 | 127));
        char size[8];
        qToBigEndian<quint64>(length, size);
        frame.append(size, 8);
    }
    char mask[4];
    qToBigEndian<quint32>(key, mask);
    frame.append(mask, 4);
    const qsizetype start = frame.size();
    frame.resize(start + payload.size());
    char *out = frame.data() + start;
    for (qsizetype i = 0; i < payload.size(); ++i)
        out[i] = char(payload[i] ^ mask[i & 3]);
    return frame;
}

} // namespace

DirectSend::DirectSend(QWebSocket *socket)
{
    // QWebSocket keeps its connection as its only child socket.
    const auto sockets = socket->findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
    if (sockets.size() == 1 && plainConnection(*sockets.front()))
        m_tcp = sockets.front();
}

bool DirectSend::binaryMessage(QByteArrayView payload)
{
    if (!m_tcp || m_tcp->state() != QAbstractSocket::ConnectedState || m_tcp->bytesToWrite() > 0)
        return false;
    const qintptr descriptor = m_tcp->socketDescriptor();
    if (descriptor < 0)
        return false;
    const QByteArray frame = maskedFrame(payload, QRandomGenerator::global()->generate());
    ssize_t sent = 0;
    do
        sent = ::send(int(descriptor), frame.constData(), size_t(frame.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    // A full or broken socket: the rest waits in Qt's buffer, which also
    // finds and reports a broken connection the usual way.
    const qsizetype done = std::max<qsizetype>(0, qsizetype(sent));
    if (done < frame.size())
        m_tcp->write(frame.constData() + done, frame.size() - done);
    return true;
}
