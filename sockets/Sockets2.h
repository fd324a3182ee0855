// The socket unit: socket components over POSIX sockets.
//
// Failed socket calls do not raise: they call OnError with a Windows Sockets error number
// (10061 for a refused connection, 10054 for a reset, 11001 for an unknown host; see
// LastSocketError) and the operation returns -1 (or false). Only the unit's start-up and
// shut-down raise, with ESocketError. No call ever raises SIGPIPE.
//
// Everything runs on the caller's thread, except read-readiness notifications: while a socket is
// active and in bmNonBlocking mode, OnReadReady is called on the thread that owns the socket's
// notification loop (the thread that first switched its block mode while it was active), from
// inside that thread's ProcessMessages, and only then (classes/NotificationLoop.h).
#pragma once

#include "classes/Component.h"
#include "classes/Exceptions.h"
#include "classes/NotificationLoop.h"
#include "classes/Streams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>

namespace qdo {

enum TSocketDomain : uint8_t {
    pfUnspec,
    pfUnix,
    pfInet,
    pfImpLink,
    pfPup,
    pfChaos,
    pfIpx,
    pfNs,
    pfIso,
    pfOsi,
    pfEcma,
    pfDataKit,
    pfCcitt,
    pfSna,
    pfDecNet,
    pfDli,
    pfLat,
    pfHylink,
    pfAppleTalk,
    pfVoiceView,
    pfFireFox,
    pfUnknown1,
    pfBan,
    pfMax
};

enum TSocketType : uint8_t { stStream, stDgram, stRaw, stRdm, stSeqPacket };

enum TServerSocketBlockMode : uint8_t { bmBlocking, bmNonBlocking, bmThreadBlocking };
using TSocketBlockMode = TServerSocketBlockMode;

using TSocketHost = std::string; // a host name or dotted address
using TSocketPort = std::string; // a port number or service name
using TSocket = int;
inline constexpr TSocket InvalidSocket = -1;

using TSocketNotifyEvent = std::function<void(TObject* Sender)>;
using TSocketDataEvent = std::function<void(TObject* Sender, char* Buf, int32_t& DataLen)>;
using TSocketErrorEvent = std::function<void(TObject* Sender, int32_t SocketError)>;

class QDO_API ESocketError : public Exception {
public:
    using Exception::Exception;
    ~ESocketError() override;
};

// A socket notification as the notification loop delivers it.
inline constexpr uint32_t CM_SOCKETMESSAGE = 1096;
inline constexpr uint32_t CM_DEFERFREE = 1026;
inline constexpr uint16_t SocketEventRead = 1;
inline constexpr uint16_t SocketEventWrite = 2;
inline constexpr uint16_t SocketEventClose = 32;

struct TCMSocketMessage {
    uint32_t Msg = CM_SOCKETMESSAGE;
    uint32_t Socket = 0;
    uint16_t SelectEvent = 0;
    uint16_t SelectError = 0;
    int32_t Result = 0;
};

// The Windows Sockets error number of the calling thread's last failed socket call (as
// WSAGetLastError): errno and resolver failures mapped to their Windows Sockets numbers
// (ECONNREFUSED 10061, ETIMEDOUT 10060, ECONNRESET 10054, ENOTCONN 10057, EPIPE 10058,
// EAGAIN 10035, EHOSTUNREACH 10065, unknown host 11001, ...). An errno without a Windows
// Sockets counterpart is passed on as it is.
QDO_API int32_t LastSocketError() noexcept;
QDO_API int32_t SocketErrorFromErrno(int error) noexcept;

// select()'s time-out for a wait of `milliseconds`: whole seconds and the rest in microseconds
// (1500 -> 1 s and 500000 us); none (wait without limit) for a negative value.
QDO_API std::optional<timeval> SelectTimeout(int32_t milliseconds) noexcept;

// The unit's start-up and shut-down, counted: the first start-up and the matching last
// shut-down do the work. Loading the library starts the unit once and unloading shuts it down.
// POSIX sockets need no start-up, so these only count; they raise ESocketError "WSAStartup" /
// "WSACleanup" should the platform step fail.
QDO_API void SocketUnitStartup();
QDO_API void SocketUnitShutdown();
QDO_API int32_t SocketUnitUsage() noexcept;

class TClientSocketThread;

class QDO_API TBaseSocket : public TComponent {
public:
    explicit TBaseSocket(TComponent* owner = nullptr);
    // Closes the socket and ends its notifications.
    ~TBaseSocket() override;

    bool Active() const noexcept { return active_; }
    void SetActive(bool value);
    TServerSocketBlockMode BlockMode() const noexcept { return blockMode_; }
    virtual void SetBlockMode(TServerSocketBlockMode mode);
    uint32_t BytesReceived() const noexcept { return bytesReceived_; }
    void SetBytesReceived(uint32_t value) noexcept { bytesReceived_ = value; }
    uint32_t BytesSent() const noexcept { return bytesSent_; }
    void SetBytesSent(uint32_t value) noexcept { bytesSent_ = value; }
    TSocketDomain Domain() const noexcept { return domain_; }
    void SetDomain(TSocketDomain value);
    uint16_t Protocol() const noexcept { return protocol_; }
    void SetProtocol(uint16_t value);
    TSocketType SockType() const noexcept { return sockType_; }
    void SetSockType(TSocketType value);
    TSocket SocketHandle() const noexcept { return handle_; }

    // The notification loop of this socket, bound on first need to the calling thread's loop.
    TNotificationLoop* GetHandle();

    TSocketNotifyEvent OnCreateHandle;
    TSocketNotifyEvent OnDestroyHandle;
    TSocketErrorEvent OnError;
    TSocketDataEvent OnReceive;
    TSocketDataEvent OnSend;
    TSocketNotifyEvent OnReadReady;
    TSocketNotifyEvent OnWriteReady;

    virtual void Open();
    virtual void Close();

    // One send of `count` bytes (after OnSend, which may lower the count); returns the bytes
    // sent or -1. BytesSent grows by the result.
    int32_t SendBuf(void* buffer, int32_t count, int32_t flags = 0);
    // One receive of up to `count` bytes; returns the bytes received, 0 when the peer has
    // closed, or -1. OnReceive may then lower the length; BytesReceived grows by it.
    int32_t ReceiveBuf(void* buffer, int32_t count, int32_t flags = 0);
    // The bytes queued, up to `count`, left queued; -1 on failure. No event, no counter.
    int32_t PeekBuf(void* buffer, int32_t count);
    // Every byte queued now, in one receive; empty when nothing is queued or the receive
    // fails. No event, no counter, no OnError: the text holds exactly the bytes received.
    std::string ReceiveText();
    // Receives up to `separator` and returns what came before it (the separator is consumed).
    // Stops early, with what it has, when the peer closes or a receive fails. NUL bytes are
    // kept, and a separator split across two arrivals is found.
    std::string Receiveln(const std::string& separator = "\r\n");
    // SendBuf of text and separator.
    int32_t Sendln(const std::string& text, const std::string& separator = "\r\n");
    // Sends the rest of `stream` in blocks of 512 bytes; stops at the stream's end or at the
    // first failed send. Returns 0.
    int32_t SendStream(TStream* stream);

    // Waits up to `timeoutMs` (negative: without limit) until the socket is readable, writable
    // or has out-of-band data, as asked by the places given; true when it is. Each given place
    // says whether its condition holds. False (places untouched) on an inactive socket.
    // Exceptions raised by OnError during the wait are swallowed (the result is false).
    bool Select(bool* readReady, bool* writeReady, bool* exceptFlag, int32_t timeoutMs);
    // True only when at least one byte can be read within `timeoutMs`: a closed connection
    // gives false at once, a silent one after the time-out.
    bool WaitForData(int32_t timeoutMs = 0);

    // Calls OnError with LastSocketError when `result` is -1; returns `result`.
    int32_t ErrorCheck(int32_t result);
    // Deletes the object from its notification loop, at that loop's next pump.
    void DeferFree();

    // The platform numbers of a domain (-1 where Linux has no such family) and socket type.
    static int MapDomain(TSocketDomain domain) noexcept;
    static int MapSockType(TSocketType type) noexcept;

    void Loaded() override;

    // Dispatches a socket notification: read readiness calls OnReadReady, write readiness
    // OnWriteReady, peer closed Close; anything else is ignored.
    void CMSocketMessage(const TCMSocketMessage& message);

protected:
    virtual void DoReceive(char* buffer, int32_t& dataLength);
    virtual void DoSend(char* buffer, int32_t& dataLength);
    virtual void DoCreateHandle();
    virtual void DoDestroyHandle();
    virtual void DoHandleError();

    // Whether the component is being loaded or designed: then setters only store.
    bool StoringOnly() const noexcept { return IsLoading() || IsDesigning(); }
    // Stores a value of the addressing; closes the socket first when it changes.
    template <typename T>
    void ChangeAddressing(T& field, const T& value) {
        if (field == value)
            return;
        if (!StoringOnly())
            Close();
        field = value;
    }
    // Re-enables read notification after a receive, as the platform would.
    void ReceiveDone();

private:
    void StartNotification();
    void StopNotification();
    void EndNotification();
    void OnLoopReadable();

    bool active_ = false;
    TServerSocketBlockMode blockMode_ = bmBlocking;
    uint32_t bytesReceived_ = 0;
    uint32_t bytesSent_ = 0;
    TSocketDomain domain_ = pfUnspec;
    uint16_t protocol_ = 0;
    TSocket handle_ = InvalidSocket;
    TSocketType sockType_ = stStream;
    std::shared_ptr<TNotificationLoop> window_;
    // The handle's watch in the loop: registered at the first switch to non-blocking mode and
    // kept, resting while the socket blocks, until the handle closes; so that switching modes
    // around every request costs no registration.
    TNotificationLoop::TWatchId watch_ = 0;
    bool notifying_ = false;
};

class QDO_API TIpSocket : public TBaseSocket {
public:
    explicit TIpSocket(TComponent* owner = nullptr);
    ~TIpSocket() override;

    const TSocketHost& LocalHost() const noexcept { return localHost_; }
    void SetLocalHost(const TSocketHost& value) { ChangeAddressing(localHost_, value); }
    const TSocketPort& LocalPort() const noexcept { return localPort_; }
    void SetLocalPort(const TSocketPort& value) { ChangeAddressing(localPort_, value); }
    const TSocketHost& RemoteHost() const noexcept { return remoteHost_; }
    void SetRemoteHost(const TSocketHost& value) { ChangeAddressing(remoteHost_, value); }
    const TSocketPort& RemotePort() const noexcept { return remotePort_; }
    void SetRemotePort(const TSocketPort& value) { ChangeAddressing(remotePort_, value); }

    // "0.0.0.0" for the empty host; a host that begins with a decimal digit unchanged;
    // otherwise the first IPv4 address of the name, or empty when it does not resolve.
    std::string LookupHostAddr(const std::string& host);
    // The name of a dotted IPv4 address; empty when the text is not one (255.255.255.255
    // counts as not one) or the look-up fails.
    std::string LookupHostName(const std::string& address);
    // 0 for the empty port; the port of a known service name; otherwise the text as a decimal
    // number of 0..65535, failing with EConvertError when it is not one.
    uint16_t LookupPort(const std::string& port, const char* protocolName = nullptr);
    // The protocol number of a name ("tcp" 6), 0 when unknown.
    uint16_t LookupProtocol(const std::string& name);
    // This host's name (empty, after OnError, when it cannot be had), its address, and its
    // domain (what follows the first '.' of the name its address looks up to).
    std::string LocalHostName();
    std::string LocalHostAddr();
    std::string LocalDomainName();
    // An IPv4 address from LookupHostAddr(host) (255.255.255.255 when that is not a dotted
    // address) and LookupPort(port).
    sockaddr_in GetSocketAddr(const std::string& host, const std::string& port);
    // Binds an active socket to LocalHost:LocalPort; true when that succeeds.
    bool Bind();

    int32_t ReceiveFrom(void* buffer, int32_t count, int32_t flags, sockaddr* from,
                        socklen_t* fromLength);
    int32_t SendTo(void* buffer, int32_t count, int32_t flags, const sockaddr* to,
                   socklen_t toLength);

private:
    TSocketHost localHost_;
    TSocketPort localPort_;
    TSocketHost remoteHost_;
    TSocketPort remotePort_;
};

class QDO_API TCustomIpClient : public TIpSocket {
public:
    explicit TCustomIpClient(TComponent* owner = nullptr);
    // Disconnects and closes.
    ~TCustomIpClient() override;

    bool Connected() const noexcept { return connected_; }
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;

    // Creates the socket and connects it to RemoteHost:RemotePort. A refusal (or a host that
    // does not resolve: 11001) reaches OnError and leaves the socket active, not connected.
    void Open() override;
    // Shuts the connection down in both directions when connected, then closes the socket.
    void Close() override;
    bool Connect();
    void Disconnect() { Close(); }

    // The client socket thread running on the calling thread, if any.
    static TClientSocketThread* GetThreadObject() noexcept;

protected:
    virtual void DoConnect();
    virtual void DoDisconnect();

private:
    bool connected_ = false;
};

// The TCP client: a stream socket of the internet domain.
class QDO_API TTcpClient : public TCustomIpClient {
public:
    explicit TTcpClient(TComponent* owner = nullptr);
    ~TTcpClient() override;
};

} // namespace qdo
