// The link under a connection: the one surface through which TQdoConnect reaches its server.
// Internal to the library (not installed): the connection uses TTcpTransport, tests put an
// in-memory one in its place.
//
// Threads: a transport is used by the thread that runs the connection's request, and its
// read-ready handler runs on the notification loop of the thread that last switched it to
// notifying while it was open (classes/NotificationLoop.h), from inside that loop's pump.
#pragma once

#include "connect/Qdoconnect.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qdo {

class TNotificationLoop;
class TTcpClient;

class TTransport {
public:
    // What the transport tells its connection. Each may be left empty.
    struct THandlers {
        // A failure of the link, as a Windows Sockets error number; the handler may raise, and
        // its exception then leaves the call that met the failure.
        std::function<void(int32_t code)> Error;
        // Bytes came while the transport notifies (the connection is idle).
        std::function<void()> ReadReady;
        // The link is closing: bytes buffered for it belong to it and to no later link.
        std::function<void()> Closing;
        // TLS failed (the handshake, a check of the server's certificate, a file of the
        // settings, or the protocol later on); the link is closed already. `message` says what
        // failed and for which server; `timedOut` marks a handshake that did not end within
        // the connect time-out. The handler may raise, as Error's may.
        std::function<void(const std::string& message, bool timedOut)> TlsFailure;
    };

    virtual ~TTransport();
    TTransport() = default;
    TTransport(const TTransport&) = delete;
    TTransport& operator=(const TTransport&) = delete;

    void SetHandlers(THandlers handlers) { handlers_ = std::move(handlers); }

    // Where the next Open goes. Changing it closes an open link.
    virtual void Aim(const std::string& host, const std::string& port) = 0;
    virtual std::string Host() const = 0;
    virtual std::string Port() const = 0;
    // The longest an Open waits for the connection, in milliseconds (0: as long as the system
    // does); a connect that runs out is reported as 10060.
    virtual void SetConnectTimeOut(int32_t ms) = 0;
    // The TLS of the next Open and of the links NewLink makes; a transport without TLS (a
    // test's in-memory link) ignores it.
    virtual void SetTls(const TTlsSettings& settings) { static_cast<void>(settings); }
    // Connects to the aim. A failure goes to the Error handler (which may raise); afterwards
    // Active says whether a link is open.
    virtual void Open() = 0;
    // Closes the link (nothing is sent); calls Closing first when one was open.
    virtual void Close() = 0;
    virtual bool Active() const = 0;

    // One send: returns how many of the first `count` bytes the link took (possibly fewer; the
    // caller sends the rest), or -1 after the Error handler. A transport may change the bytes in
    // place before they go (the TCP socket's OnSend).
    virtual int32_t Send(char* bytes, int32_t count) = 0;
    // One receive of up to `room` bytes that waits at most `waitMs` for them: the bytes
    // received, 0 with `timedOut` set when nothing came in time, 0 when the peer closed, -1 after
    // the Error handler.
    virtual int32_t Receive(char* into, int32_t room, int32_t waitMs, bool& timedOut) = 0;
    // Everything that has arrived now, without waiting; empty when nothing has (or the receive
    // fails, which is not reported). For the idle path.
    virtual std::string ReceiveAvailable() = 0;

    // Notifying (the connection is idle): ReadReady is called, on the notification loop, when
    // bytes come. Not notifying: the connection reads them itself with Receive.
    virtual void SetNotifying(bool notifying) = 0;
    // The notification loop that ReadReady runs on: the one of the thread that first switched
    // the open link to notifying, else the calling thread's.
    virtual TNotificationLoop& Loop() = 0;

    // The text of the local address of the open link: the address the server sees this client
    // come from; the host's own address when no link is open.
    virtual std::string LocalAddress() = 0;
    // A new, unopened transport of the same kind, aimed nowhere: for a short side connection.
    virtual std::unique_ptr<TTransport> NewLink() const = 0;
    // The socket component of a TCP transport; null for others.
    virtual TTcpClient* Socket() noexcept { return nullptr; }

protected:
    void ReportError(int32_t code) {
        if (handlers_.Error)
            handlers_.Error(code);
    }
    void ReportReadReady() {
        if (handlers_.ReadReady)
            handlers_.ReadReady();
    }
    void ReportTlsFailure(const std::string& message, bool timedOut) {
        if (handlers_.TlsFailure)
            handlers_.TlsFailure(message, timedOut);
    }
    void ReportClosing() {
        if (handlers_.Closing)
            handlers_.Closing();
    }

private:
    THandlers handlers_;
};

} // namespace qdo
