// The socket unit: socket components over POSIX sockets.
//
// Failed socket calls do not raise: they call OnError with a Windows Sockets error number
// (10061 for a refused connection, 10054 for a reset, 11001 for an unknown host; see
// LastSocketError) and the operation returns -1 (or false). No call ever raises SIGPIPE.
//
// Everything runs on the caller's thread, except read-readiness notifications and the threads of
// a thread-blocking TCP server. While a socket is active and in bmNonBlocking mode, OnReadReady is
// called on the thread that owns the socket's notification loop (the thread that first switched
// its block mode while it was active), from inside that thread's ProcessMessages, and only then
// (classes/NotificationLoop.h). A TTcpServer in bmThreadBlocking mode serves its connections on a
// pool of threads of its own (see TCustomTcpServer).
#pragma once

#include "classes/Component.h"
#include "classes/Exceptions.h"
#include "classes/NotificationLoop.h"
#include "classes/NotifyEvent.h"
#include "classes/Streams.h"
#include "classes/Thread.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

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

// The socket unit's exception type. The unit itself raises none: it reports failures through
// OnError, whose handler may raise this.
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

// The Windows Sockets error number of the calling thread's last failed socket call: errno and
// resolver failures mapped to their Windows Sockets numbers
// (ECONNREFUSED 10061, ETIMEDOUT 10060, ECONNRESET 10054, ENOTCONN 10057, EPIPE 10058,
// EAGAIN 10035, EHOSTUNREACH 10065, unknown host 11001, ...). An errno without a Windows
// Sockets counterpart is passed on as it is.
QDO_API int32_t LastSocketError() noexcept;
QDO_API int32_t SocketErrorFromErrno(int error) noexcept;

// A wait of `milliseconds` as a timeval (for SO_RCVTIMEO and the like): whole seconds and the
// rest in microseconds (1500 -> 1 s and 500000 us); none (wait without limit) for a negative
// value.
QDO_API std::optional<timeval> TimevalOf(int32_t milliseconds) noexcept;

// The unit's start-up and shut-down, counted. Loading the library starts the unit once and
// unloading shuts it down. POSIX sockets need no start-up, so there is no work behind the count
// and neither call fails: they are kept for programs that pair them around their use of the
// unit, and SocketUnitUsage tells how many such users there are now.
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
    // ReceiveBuf that waits at most `timeoutMs` (negative: without limit) for bytes in a
    // blocking mode: on a quiet time-out it returns 0 with `timedOut` set and reports nothing.
    int32_t ReceiveBufWithin(void* buffer, int32_t count, int32_t timeoutMs, bool& timedOut);
    // The bytes queued, up to `count`, left queued; -1 on failure. No event, no counter.
    int32_t PeekBuf(void* buffer, int32_t count);
    // Addition, for a layer over the socket that reports failures itself (TLS): one receive of
    // up to `count` bytes that waits at most `timeoutMs` (0 or below: does not wait, whatever
    // the block mode). Returns the bytes received, 0 when the peer has closed, or -1 with errno
    // set (EAGAIN when nothing came in time). No OnError, no OnReceive; BytesReceived grows, and
    // read notification is re-armed as after every receive.
    int32_t ReceiveUnreported(void* buffer, int32_t count, int32_t timeoutMs);
    // Addition, the same for sending: one send of `count` bytes (without OnSend) that blocks
    // until the system takes some, or, without `wait`, takes what it can at once. Returns the
    // bytes sent or -1 with errno set. Never raises SIGPIPE.
    int32_t SendUnreported(const void* buffer, int32_t count, bool wait);
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
    // The common end of a receive of `received` bytes into `bytes` (-1: failed): the error
    // report, OnReceive, the counter; returns the length handed on, or -1.
    int32_t FinishReceive(char* bytes, ssize_t received);
    // Makes `handle` (a new, open descriptor) this socket's handle, closing any it had: active,
    // counters at 0, non-blocking when BlockMode is bmNonBlocking (without notification).
    void AttachHandle(TSocket handle);
    // MSG_DONTWAIT in non-blocking mode, else 0: the flags that make a call on the (always
    // blocking) handle follow the block mode.
    int CallFlags() const noexcept;
    // In non-blocking mode with no connection waiting: true, with errno EAGAIN.
    bool WouldBlockAccept();
    // Waits up to `timeoutMs` for `events` on the handle; the poll result (-1 after OnError,
    // whose exceptions end the wait) and the events that came.
    int PollHandle(short events, int32_t timeoutMs, short& revents);
    // One blocking recv that waits at most `timeoutMs` (0 or below: without limit) through
    // SO_RCVTIMEO, waiting on after a signal for what is left; the recv's result, with errno.
    ssize_t RecvWithin(char* bytes, int32_t count, int32_t timeoutMs);

private:
    void StartNotification();
    void StopNotification();
    void EndNotification();
    bool OnLoopReadable();

    bool active_ = false;
    TServerSocketBlockMode blockMode_ = bmBlocking;
    uint32_t bytesReceived_ = 0;
    uint32_t bytesSent_ = 0;
    TSocketDomain domain_ = pfUnspec;
    uint16_t protocol_ = 0;
    TSocket handle_ = InvalidSocket;
    TSocketType sockType_ = stStream;
    std::shared_ptr<TNotificationLoop> notificationLoop_;
    // The handle's watch in the loop: registered at the first switch to non-blocking mode and
    // kept, resting while the socket blocks, until the handle closes; so that switching modes
    // around every request costs no registration.
    TNotificationLoop::TWatchId watch_ = 0;
    bool notifying_ = false;
    bool armed_ = false;            // the watch will report the next readiness
    int32_t receiveTimeoutMs_ = -1; // the handle's SO_RCVTIMEO, as last set
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

    // Addition: the longest a blocking connect waits, in milliseconds; 0 or below (the
    // default) waits as long as the system does. A connect that runs out reports 10060 (the
    // connection timed out) and leaves the socket closed to further use, as a refusal does.
    int32_t ConnectTimeOut() const noexcept { return connectTimeOut_; }
    void SetConnectTimeOut(int32_t ms) noexcept { connectTimeOut_ = ms; }
    // Addition: whether each connection sends small writes at once (TCP_NODELAY) instead of
    // holding them until earlier data is acknowledged (Nagle's algorithm); off by default. A
    // request/reply protocol wants it on: a request's last small segment never waits for the
    // peer's delayed acknowledgement.
    bool NoDelay() const noexcept { return noDelay_; }
    void SetNoDelay(bool value) noexcept { noDelay_ = value; }

    // The client socket thread running on the calling thread, if any.
    static TClientSocketThread* GetThreadObject() noexcept;

protected:
    virtual void DoConnect();
    virtual void DoDisconnect();

private:
    friend class TCustomTcpServer;
    // Takes an accepted connection's descriptor: active and connected.
    void AdoptConnection(TSocket handle);

    bool connected_ = false;
    int32_t connectTimeOut_ = 0;
    bool noDelay_ = false;
};

// The TCP client: a stream socket of the internet domain.
class QDO_API TTcpClient : public TCustomIpClient {
public:
    explicit TTcpClient(TComponent* owner = nullptr);
    ~TTcpClient() override;
};

// A raw IPv4 socket (protocol 255: the caller writes whole IP packets). Linux grants raw sockets
// only to processes that hold CAP_NET_RAW; without it Open reports 10013 (access denied) through
// OnError and the socket stays inactive.
class QDO_API TRawSocket : public TIpSocket {
public:
    explicit TRawSocket(TComponent* owner = nullptr);
    ~TRawSocket() override;
};

// A UDP socket. Open binds it to LocalHost:LocalPort when either is given, so that it receives on
// a known port, and then aims it at RemoteHost:RemotePort: SendBuf and ReceiveBuf then exchange
// datagrams with that peer only. Given neither a remote host nor a remote port, it is aimed at
// nobody (and still Connected): it sends with SendTo and receives from any sender with
// ReceiveFrom. A failed bind leaves it active and not connected.
class QDO_API TUdpSocket : public TCustomIpClient {
public:
    explicit TUdpSocket(TComponent* owner = nullptr);
    ~TUdpSocket() override;

    void Open() override;
};

// What a server calls with each accepted connection (OnAccept), and how it asks for a thread of
// its pool (OnGetThread).
using TSocketAcceptEvent = std::function<void(TObject* Sender, TCustomIpClient* ClientSocket)>;
using TGetThreadEvent =
    std::function<void(TObject* Sender, TClientSocketThread*& ClientSocketThread)>;

class TServerSocketThread;

// A listening TCP socket. Open creates the socket, binds it to LocalHost:LocalPort and listens
// with a backlog of 5. The listening socket allows address reuse, so that a restarted server can
// bind its port again while connections of its previous run linger in TIME_WAIT.
//
// BlockMode is the server's own mode, bmThreadBlocking by default:
// - bmThreadBlocking: Open, once bind and listen succeed, starts the server socket thread, which
//   hands every connection to a thread of its pool. OnAccept runs there, on several threads at
//   once (at most the pool's ThreadCacheSize); OnGetThread runs on the server socket thread; and
//   OnError may be called on any of them. Assign the handlers before Open.
// - bmBlocking, bmNonBlocking: no thread; the caller accepts with Accept, and OnAccept runs on
//   the caller's thread.
//
// Close stops accepting, shuts down the connections still being served (so that handlers blocked
// on them return) and returns once the server socket thread and every client socket thread have
// ended. A server cannot be closed or destroyed from its own OnAccept (EThread).
class QDO_API TCustomTcpServer : public TIpSocket {
public:
    explicit TCustomTcpServer(TComponent* owner = nullptr);
    ~TCustomTcpServer() override;

    TServerSocketBlockMode BlockMode() const noexcept { return serverBlockMode_; }
    void SetBlockMode(TServerSocketBlockMode mode) override { SetServerBlockMode(mode); }
    // Closes the server (unless loading or designing) when the mode changes. The socket itself
    // blocks in bmThreadBlocking mode.
    void SetServerBlockMode(TServerSocketBlockMode mode);
    bool Listening() const noexcept { return listening_; }

    TSocketAcceptEvent OnAccept;
    TGetThreadEvent OnGetThread;
    // Called on the caller's thread when the server starts listening.
    TNotifyEvent OnListening;

    void Open() override;
    void Close() override;
    // Listens on an active socket that does not yet; returns whether the server listens.
    bool Listen(int32_t backlog = 5);
    // Accepts the next connection into a temporary client, runs OnAccept with it on the calling
    // thread and closes it. False (after OnError) when accepting fails.
    bool Accept();
    // Accepts the next connection into `ClientSocket` (closing what it held): active, connected,
    // RemoteHost the peer's dotted address and RemotePort its port; then runs OnAccept with it on
    // the calling thread. False (after OnError) when accepting fails; an exception raised by
    // OnError meanwhile also counts as a failure.
    bool Accept(TCustomIpClient& ClientSocket);
    // Waits without limit until a connection is waiting to be accepted (or the socket is shut
    // down or fails).
    bool WaitForConnection();
    // The server socket thread's source of new pool threads: OnGetThread, when assigned, with
    // the server as Sender.
    void GetThread(TObject* Sender, TClientSocketThread*& ClientSocketThread);
    // The server socket thread, made (suspended) if there is none. The server owns it. A thread
    // serves one run of the server: Close ends it, and the next Open makes a new one with the
    // same ThreadCacheSize. One that has not run yet is kept, so it can be set up before Open.
    TServerSocketThread* GetServerSocketThread();
    // Closes the server if it has a thread, then takes `thread` (made for this server) as its own.
    void SetServerSocketThread(TServerSocketThread* thread);

protected:
    // Calls OnAccept.
    virtual void DoAccept(TCustomIpClient* ClientSocket);

private:
    friend class TClientSocketThread;
    // Accept without OnAccept: takes the next connection into `client`.
    bool AcceptConnection(TCustomIpClient& client);
    void AllowAddressReuse();
    // Ends the server socket thread and its pool, waiting for them.
    void StopServerSocketThread();

    TServerSocketBlockMode serverBlockMode_ = bmBlocking;
    bool listening_ = false;
    TServerSocketThread* serverSocketThread_ = nullptr;
    int32_t threadCacheSize_ = 10; // for the next server socket thread made
};

// The TCP server: publishes Active, BlockMode (bmThreadBlocking), LocalHost, LocalPort,
// OnAccept, OnGetThread, OnListening, OnCreateHandle and OnDestroyHandle.
class QDO_API TTcpServer : public TCustomTcpServer {
public:
    explicit TTcpServer(TComponent* owner = nullptr);
    ~TTcpServer() override;
};

// The thread of a thread-blocking server. It waits for connections and hands each to an idle
// thread of its pool, or to a new one while the pool holds fewer than ThreadCacheSize threads (10
// by default); when every thread is busy and the pool is full, a waiting connection stays queued
// until a thread is idle again, and this thread sleeps on a condition variable meanwhile.
//
// The server owns this thread and this thread owns the threads of its pool: neither frees itself
// when it ends, so that none can outlive the server it serves. The pool's methods are safe to call
// from any thread.
class QDO_API TServerSocketThread : public TThread {
public:
    explicit TServerSocketThread(TCustomTcpServer* server);
    // Ends Execute, then every thread of the pool (shutting down the connections they serve), and
    // waits for them all.
    ~TServerSocketThread() override;

    TCustomTcpServer* Server() const noexcept { return server_; }
    int32_t ThreadCacheSize() const;
    // The most threads the pool holds; at least 1 (a smaller count is taken as 1, since a pool
    // without threads would leave every connection waiting for ever). Lowering it retires no
    // thread.
    void SetThreadCacheSize(int32_t count);
    // The source of new pool threads that the server sets (its GetThread).
    void SetGetThreadHandler(TGetThreadEvent handler);

    // Asks every thread of the pool to terminate, wakes the idle ones and shuts down the
    // connections the others serve.
    void ClearThreadPool();
    // A new thread for the pool (from the get-thread handler, else CreateThread), not yet
    // started; none when the pool is full. The pool owns it.
    TClientSocketThread* AddClientSocketThread();
    // An idle (suspended) thread of the pool, searched round from after the last one handed out;
    // none when no thread is idle.
    TClientSocketThread* FetchClientSocketThread();
    void RemoveClientSocketThread(TClientSocketThread* thread);

protected:
    void Execute() override;
    // A new TClientSocketThread of this thread.
    virtual TClientSocketThread* CreateThread();

private:
    friend class TClientSocketThread;
    friend class TCustomTcpServer;

    struct PoolEntry {
        TClientSocketThread* thread;
        // Has suspended itself, or is about to, and waits to be handed a connection.
        bool idle = false;
        // Has left its Execute loop and touches the pool no more.
        bool exited = false;
        // A duplicate of the connection the thread serves, to shut it down when the pool is
        // cleared.
        TSocket served = InvalidSocket;

        void ForgetConnection() noexcept;
    };

    // Terminate, and wake the thread from its waits for a client thread.
    void TerminateAndWake();
    // An idle or new thread of the pool; waits while the pool is full and busy. None once
    // terminated.
    TClientSocketThread* NextClientSocketThread();
    // Resumes `thread` to accept the waiting connection and waits until it has taken it.
    void HandOff(TClientSocketThread* thread);
    // Destroys the threads that have ended.
    void ReapEndedThreads();
    void EndClientSocketThreads();

    // Called by the client threads.
    void ConnectionAccepted(TClientSocketThread* thread, TSocket handle);
    void ConnectionServed(TClientSocketThread* thread);
    void ClientThreadIdle(TClientSocketThread* thread);
    void ClientThreadExited(TClientSocketThread* thread);

    // With the pool locked.
    PoolEntry* EntryOf(TClientSocketThread* thread);
    bool AnyEntry(bool PoolEntry::*flag) const;
    std::vector<TClientSocketThread*> TakeExitedThreads();

    int32_t lastHandedOut_ = 0;
    TCustomTcpServer* const server_;
    int32_t threadCacheSize_ = 10;
    std::vector<PoolEntry> pool_;
    TGetThreadEvent getThread_;
    TClientSocketThread* handedOff_ = nullptr; // resumed to accept, not yet done
    mutable std::mutex poolMutex_;
    std::condition_variable poolChanged_;
};

// A thread of a server's pool. Each time the server socket thread resumes it, it accepts one
// waiting connection into a fresh TCustomIpClient, runs the server's OnAccept with it on this
// thread, closes it, and suspends itself until the next one. While it runs,
// TCustomIpClient::GetThreadObject() returns it on this thread. An exception that escapes
// OnAccept goes to the application exception handler, and the thread goes on serving.
//
// Derive from it, and make it in the server's OnGetThread, to keep state per thread or to run
// SyncProc on the main thread.
class QDO_API TClientSocketThread : public TThread {
public:
    explicit TClientSocketThread(TServerSocketThread* serverSocketThread);
    // Leaves the pool. The pool destroys its threads once they have ended.
    ~TClientSocketThread() override;

    // The connection being served; for use on this thread.
    TCustomIpClient* ClientSocket() const noexcept { return clientSocket_; }
    TServerSocketThread* ServerSocketThread() const noexcept { return serverSocketThread_; }

    // Runs SyncProc on the main thread and waits for it; the main thread must pump its
    // notification loop (or wait for a thread) for that to happen. An exception from SyncProc is
    // raised again here.
    void ExecuteSyncProc();

protected:
    void Execute() override;
    // Does nothing unless overridden.
    virtual void SyncProc();

private:
    void ServeOneConnection();

    TCustomIpClient* clientSocket_ = nullptr;
    TServerSocketThread* const serverSocketThread_;
};

} // namespace qdo
