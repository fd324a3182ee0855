// The connection unit: TQdoConnect, the component through which an application talks to an M
// database server, with its errors, and the free functions the unit offers beside it.
//
// Threads: every request runs on the caller's thread from start to end, and between requests the
// socket's read notifications (server events, callback requests) reach the connection through the
// notification loop (classes/NotificationLoop.h) of the thread that made the last request. A
// connection serves one thread at a time: a request started while another thread's request runs
// on the same connection fails at once with EMConnectError (ceBusy) and sends nothing, and so
// does a request started from inside an event handler of a running request (OnGroupRead,
// OnTerminalOutput, OnCallback or OnServerEvent called by that request). Handlers called on the
// idle path, between requests, may run requests. CancelGroupRead may be called from any thread.
#pragma once

#include "classes/Component.h"
#include "classes/Exceptions.h"
#include "classes/Export.h"
#include "classes/NotifyEvent.h"
#include "classes/Persistent.h"
#include "classes/Streams.h"
#include "classes/StringList.h"
#include "encodings/Mlist.h"
#include "protocol/WaitState.h"
#include "sockets/Sockets2.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qdo {

namespace detail {
struct TConnectWire;
}

// The failures that a connection detects itself. The ordinals are fixed (5 is not used); 10 and
// up are additions of this library.
enum TConnectError : uint8_t {
    ceNoJob = 0,                // "Can't create new job."
    ceBadFormat = 1,            // "Not compatible server data format."
    ceNotConnected = 2,         // "Connect does not exist."
    ceCannotChangeProperty = 3, // "Can't change property."
    ceInvalidType = 4,          // "Invalid command type."
    ceNoSession = 6,            // "Can't create session."
    ceSocketNotConnected = 7,   // "Socket is not connected."
    ceDataNotSended = 8,        // "Socket data not sent."
    ceUnknown = 9,              // "Unknown error."
    ceServerError = 10,         // "M error on the server." (EMServerError)
    ceBusy = 11,                // "Connection is busy."
    ceTimeOut = 12,             // "Time-out."
    ceTls = 13,                 // "TLS failure."
};

// The message of a connection error.
QDO_API std::string ConnectErrorMessage(TConnectError error);

// How a connection reports the errors it detects: by raising EMConnectError, or by calling
// OnConnectError and going on.
enum TErrorHandler : uint8_t { htException = 0, htEvent = 1 };

// A connection error raised under htException; an error reply of the server (EMServerError);
// a reply the connection cannot understand (ceBadFormat); a refused request (ceBusy); a wait
// that ran out (ceTimeOut); a failure of TLS (ceTls, raised under either error handler, as
// socket failures are), whose message says which check failed and for which name.
class QDO_API EMConnectError : public Exception {
public:
    explicit EMConnectError(std::string message, TConnectError errorCode = ceNoJob)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    ~EMConnectError() override;

    TConnectError ErrorCode;
};

// An M error that ended a request on the server ("<ERROR>:ecode:text"). Its message is the
// connection's "Internal server error: '...' while executing ..."; ErrorCode is ceServerError.
class QDO_API EMServerError : public EMConnectError {
public:
    EMServerError(std::string message, std::string eCode, std::string serverText)
        : EMConnectError(std::move(message), ceServerError), ECode(std::move(eCode)),
          ServerText(std::move(serverText)) {}
    ~EMServerError() override;

    std::string ECode;      // the error's $ECODE, as ",M6," (",UZBRKF," for a break of flow)
    std::string ServerText; // the server's text of the error (GT.M's $ZSTATUS)
};

// The connection was dropped while a reply was awaited: the server closed it, the socket layer
// closed it after a failure, or the server sent what no reply can be (a header or payload too
// long for the 32768-byte receive buffer, a negative length). The connection is inactive
// afterwards; the message says what happened.
class QDO_API EMConnectionLost : public Exception {
public:
    using Exception::Exception;
    ~EMConnectionLost() override;
};

// Credentials for the create request of a session.
class QDO_API TMAuthorization : public TPersistent {
public:
    ~TMAuthorization() override;

    bool Active() const noexcept { return active_; }
    void SetActive(bool value) noexcept { active_ = value; }
    const std::string& UserName() const noexcept { return userName_; }
    void SetUserName(std::string value) { userName_ = std::move(value); }
    const std::string& Password() const noexcept { return password_; }
    void SetPassword(std::string value) { password_ = std::move(value); }
    const std::string& Application() const noexcept { return application_; }
    void SetApplication(std::string value) { application_ = std::move(value); }

    void Assign(const TPersistent* source) override;

private:
    bool active_ = false;
    std::string userName_;
    std::string password_;
    std::string application_;
};

// Addition: TLS for the connection's links (the listener's, the job's, and side links such as
// CancelGroupRead's). With Enabled, every link opens with a TLS 1.3 handshake after its TCP
// connect, bounded by TimeOut; a failure is never followed by plain TCP.
struct TTlsSettings {
    bool Enabled = false;
    // The authorities to trust: a PEM file, or a directory of hashed certificates (HASH.0, as
    // c_rehash names them); empty: the system's store.
    std::string Authorities;
    // The name the server's certificate must carry; empty: the Host (else ServerAddress) the
    // connection aims at, or with a server list the host of the entry being tried. An IP address is
    // checked against the certificate's IP addresses; a name is also sent as SNI.
    std::string ServerName;
    // A client certificate (PEM, its chain after it) and its key, for a server that asks for
    // one; both or neither.
    std::string CertificateFile;
    std::string KeyFile;
    // Whether the server's certificate and name are checked. Off, each open writes one warning
    // line on stderr ("TLS verification is off for HOST:PORT").
    bool Verify = true;

    bool operator==(const TTlsSettings&) const = default;
};

using TServerEvent = std::function<void(TObject* Sender, const std::string& EventName,
                                        const std::string& EventParams)>;
using TMConnectEvent = std::function<void(TObject* Sender, bool Connected)>;
using TMConnectGroupRead =
    std::function<void(TObject* Sender, const std::string& Value, bool& Continue)>;
using TBlobReadWriteEvent = std::function<void(TObject* Sender, TStream*& Stream)>;
using TMTerminalEvent = std::function<void(TObject* Sender, const std::string& Value)>;
using TConnectErrorEvent = std::function<void(TObject* Sender, TConnectError Error)>;
using TCallbackCommandEvent =
    std::function<void(TObject* Sender, const std::string& Command, std::string& CallBackResult)>;

class QDO_API TQdoConnect : public TComponent {
public:
    explicit TQdoConnect(TComponent* owner = nullptr);
    // Closes the socket of an active connection; nothing is sent to the server.
    ~TQdoConnect() override;

    // --- Published properties ---
    bool RaiseBreakFlowError() const noexcept { return raiseBreakFlowError_; }
    void SetRaiseBreakFlowError(bool value) noexcept { raiseBreakFlowError_ = value; }
    bool StoreSession() const noexcept { return storeSession_; }
    void SetStoreSession(bool value) noexcept { storeSession_ = value; }
    bool ActiveSession() const noexcept { return GetActiveSession(); }
    TErrorHandler ErrorHandler() const noexcept { return errorHandler_; }
    void SetErrorHandler(TErrorHandler value) noexcept { errorHandler_ = value; }
    const std::string& ServerAddress() const noexcept { return serverAddress_; }
    void SetServerAddress(std::string value);
    const std::string& NameSpace() const noexcept { return nameSpace_; }
    void SetNameSpace(std::string value);
    const std::string& Host() const noexcept { return host_; }
    void SetHost(std::string value);
    int32_t ServerPort() const noexcept { return serverPort_; }
    void SetServerPort(int32_t value);
    bool Active() const noexcept { return active_.load(std::memory_order_relaxed); }
    void SetActive(bool value);
    const std::string& MError() const noexcept { return mError_; }
    void SetMError(std::string value) { mError_ = std::move(value); }
    // The argument of the ...Param operations. SetQuery copies the lines of `query`.
    TStringList* Query() noexcept { return query_.get(); }
    void SetQuery(const TStringList* query);
    TStringList* QueryResult() noexcept { return queryResult_.get(); }
    // The longest single wait for data, in milliseconds; it also bounds each step of opening a
    // session (connecting, the server's answer, the logon, the client-address request), which
    // fails with ceTimeOut when it runs out. SetTimeOut takes minutes: a value above 0 sets
    // min(value, 100) minutes; 0 and below are ignored.
    int32_t TimeOut() const noexcept { return timeOut_; }
    void SetTimeOut(int32_t minutes) noexcept;
    // Addition: the same in milliseconds, 1 to 6,000,000; other values are ignored.
    void SetTimeOutMilliseconds(int32_t ms) noexcept;
    // Addition: the longest a request may take from its send to its end, in milliseconds; 0 (the
    // default) lets a request run as long as the server works on it. A request that does not
    // end in time fails with EMConnectError (ceTimeOut) and closes the connection, since the
    // rest of its reply may still come. Stored as RequestDeadline.
    int32_t RequestDeadline() const noexcept { return requestDeadline_; }
    void SetRequestDeadline(int32_t ms) noexcept { requestDeadline_ = ms > 0 ? ms : 0; }
    // Addition: TLS (see TTlsSettings); off by default. Refused while active
    // (PropertyChangeAlert "Tls"); takes effect at the next open. Stored as Tls.Enabled,
    // Tls.Authorities, Tls.ServerName, Tls.CertificateFile, Tls.KeyFile and Tls.Verify.
    const TTlsSettings& Tls() const noexcept { return tls_; }
    void SetTls(TTlsSettings value);
    // Addition: failover over a list of servers (docs/connection.md, "Failover"). The list is
    // "host:port,host:port,..." (an IPv6 address as "[addr]:port"); empty, the default, leaves
    // Host (else ServerAddress) and ServerPort in charge exactly as without it. With a list, an
    // open tries the servers in list order and keeps the first whose session opens; when every
    // one fails it raises EMConnectError, under either error handler, whose message names each
    // server with the reason it failed and whose code is that of the last failure (ceTimeOut,
    // ceTls, ceNoJob, ...), or ceSocketNotConnected when that was a socket's (a refused or
    // failed connect) or a dropped connection. After the connection was lost (not closed by
    // SetActive(false) or SessionStore), the next request first opens a new session over the
    // list, with OnBeginConnect and OnEndConnect as an open; the request that met the loss is
    // never sent again. A malformed list raises EMConnectError (ceCannotChangeProperty) naming
    // the entry, and the list stays as it was. Refused while active (PropertyChangeAlert
    // "Servers"); stored as Servers, in the form Servers() reads.
    const std::string& Servers() const noexcept { return servers_; }
    void SetServers(std::string_view value);
    // Addition: the longest the try of one server of the list may take, in milliseconds: the
    // connect and the whole session handshake (TLS, the session request, the redirect, the
    // logon, the client-address request and, with PreferSecondary, the role question); the
    // next server is tried when it runs out. 0, the default, uses TimeOut; 1 to 6,000,000 are
    // taken, other values ignored. Stored as ServerTryTimeOut.
    int32_t ServerTryTimeOut() const noexcept { return serverTryTimeOut_; }
    void SetServerTryTimeOut(int32_t ms) noexcept;
    // Addition: with a list, open on a secondary where there is one. Each server whose session
    // opens is asked $$role^qdorepl() with a read request; the first to answer "secondary"
    // serves, and the others opened on the way are closed. An M error of the question counts
    // as "not a secondary". With no secondary, the first server that opened serves (opened
    // again when it was closed). Off by default; no effect without a list. Refused while
    // active (PropertyChangeAlert "PreferSecondary"); stored as PreferSecondary.
    bool PreferSecondary() const noexcept { return preferSecondary_; }
    void SetPreferSecondary(bool value);
    // Addition: the server the session runs on, "host:port" as the list writes it (without a
    // list, the Host, else ServerAddress, and ServerPort the session was opened at, before any
    // redirect to a job); empty while not active.
    std::string CurrentServer() const;
    // The credentials of the create request. SetAuthorization copies them.
    TMAuthorization* Authorization() noexcept { return authorization_.get(); }
    void SetAuthorization(const TMAuthorization* authorization);

    // --- Published events ---
    TServerEvent OnServerEvent;
    TNotifyEvent OnBeginConnect;
    TMConnectEvent OnEndConnect;
    TMConnectGroupRead OnGroupRead;
    TBlobReadWriteEvent OnBlobRead;
    TBlobReadWriteEvent OnBlobWrite;
    TMTerminalEvent OnTerminalOutput;
    TConnectErrorEvent OnConnectError;
    TSocketErrorEvent OnSocketError; // stored; socket failures always raise instead
    TCallbackCommandEvent OnCallback;

    void Loaded() override;
    void GetPublishedProperties(std::vector<TPublishedProperty>& properties) override;

    // --- Errors ---
    // Raises EMConnectError for `error` under htException; calls OnConnectError (when
    // assigned) and returns under htEvent.
    void HandleError(TConnectError error);
    // The socket's error handler: closes the socket, marks the connection inactive and raises
    // (SocketErrorProc), whatever the error-handler mode. A failure reported while it is
    // already handling one (closing the socket can fail too) is left to the first.
    void SocketError(TObject* Sender, int32_t ErrorCode);
    // Reports ceNotConnected when the connection is not active.
    void CheckConnect();
    // Reports a refused change of a connection setting while active.
    void PropertyChangeAlert(const std::string& propertyName);

    // --- Framing ---
    // Sends the `count` bytes at `bytes`. A closed link is first opened once more, to where it
    // was last aimed; a failure of that connect raises the socket error, and a link that is
    // still closed without one reports ceSocketNotConnected (HandleError) and returns 0. A send
    // that takes only part of the bytes is followed by the rest until all have gone. On an open
    // link Send returns `count`, which is not a count of bytes sent: a send that fails raises
    // through SocketError, and only when that report is dropped (a failure met while one is
    // already being handled) does Send return `count` with bytes unsent. The TCP socket's
    // OnSend handler may change the bytes in place, or lower one send's count (the rest then
    // follows in the next).
    int32_t Send(char* bytes, int32_t count);
    // Sends the outgoing request text.
    void SysPost();
    // Leaves the next whole reply in the reply text, waiting for it as long as the server takes
    // (TimeOut bounds each single wait; a session step or a request deadline bounds the whole).
    // Raises EMConnectionLost when the connection can deliver no more.
    void SysGet();
    // Cuts one reply out of the receive buffer into the reply text; true when the reply text
    // holds a whole reply.
    bool TryBuffer();
    // The socket's read-readiness handler while idle: hands what arrived to ServerEventHandler.
    // It reads nothing while a request of the connection runs (that request reads the bytes).
    void SocketReadHandler(TObject* Sender);

    // --- The request/reply loop ---
    // Raises (true) or lowers (false, never below 0) the busy count; the socket blocks while
    // it is above 0 and notifies while it is 0.
    void SetBlocked(bool blocked);
    bool GetBlocked() const noexcept;
    // Sends the outgoing request text and runs the request to its end; the result is left in
    // the reply text. With no OnGroupRead handler the result is every chunk of the reply
    // joined; with one, every chunk but the last goes to the handler and the last is the
    // result. When a handler clears Continue or throws, the rest of the reply is read and
    // dropped before PostGet returns, so that the next request gets its own reply.
    void PostGet();

    // --- Sessions ---
    void InitSocket();
    void OpenSession();
    void HandleOpenSession();
    void Logon();
    void SetIPAddress();
    void Quit();
    bool SessionStore();
    // Opens the stored session again, at the job it was stored from. True once it has; with a
    // server list, when the job's server cannot be reached (its connect fails), a new session is
    // opened over the list instead, as an open does, and the answer is false: the stored job's
    // locals, locks and transaction are not there.
    bool SessionOpen();
    bool GetActiveSession() const noexcept;
    std::string GetClientIP();

    // --- Data commands ---
    // Each returns the whole result (see PostGet). A request whose reply is an M error raises
    // EMServerError, unless the break-flow rule ends it quietly.
    std::string Read(std::string_view expression);
    std::string Write(std::string_view name, std::string_view value);
    std::string Execute(std::string_view commandLine);
    std::string Kill(std::string_view name);
    std::string ExecuteTerminal(std::string_view commandLine);
    std::string GroupRead(std::string_view argument);
    // A batch request ("b"): `payload` is read, write and kill requests one after another; the
    // reply is their records (connect/OperationBatch.h uses it). Only a server that offers
    // batches serves it; another may close the connection.
    std::string Batch(std::string_view payload);
    void CancelGroupRead();
    void ReadParam();
    void ExecuteParam();
    void KillParam();

    // --- Server events ---
    // Subscribe to / unsubscribe from a named event with the server routine SubsMsgs; events
    // then reach OnServerEvent. The name is sent as an M literal, so that any bytes are safe in
    // it. They fail as Execute does, and hand their reply to OnGroupRead as Execute does.
    void SubscribeEvent(std::string_view eventName, bool flag);
    void UnsubscribeEvent(std::string_view eventName);
    // The idle path: reads the messages that the server pushed while no request ran (callback
    // requests to OnCallback, events to OnServerEvent) and acknowledges those whose identifier
    // is above 0, a message whose handler failed included (a failed callback is answered with
    // the empty text). A message that the bytes end inside is kept and completed by the bytes
    // of the next call, or read by the next request. The first failure (a handler's, an
    // identifier that is not a number, a failed send) goes to the caller once every message of
    // the bytes has been handled: the notification loop, which hands it to the application's
    // exception handler. Bytes that cannot be a message of this protocol close the connection.
    void ServerEventHandler(TObject* Sender, const char* bytes, int32_t count);

    // --- BLOBs: binary objects kept in ^BLOB(id) and its blocks ^BLOB(id,k) on the server ---
    // Creates a BLOB with $$CreateBLOB; returns its identifier, 0 when the reply is not a
    // number. The name is sent as an M literal. No lock.
    int32_t CreateBLOB(std::string_view name);
    // Each of the following takes the server lock on ^BLOB(id) (waiting at most 10 seconds)
    // and returns id, or -1 when the lock was not obtained (nothing is then read, written or
    // deleted). The connection stays busy for the whole sequence; the unlock is sent whatever
    // happened, and its failure reaches the caller in place of an earlier one.
    int32_t DeleteBLOB(int32_t id);
    // Copies the BLOB into `stream` from position 0 and cuts the stream to the BLOB's size
    // (so that bytes of an older, longer content do not stay behind); then OnBlobRead may
    // transform the stream or put another in its place. The stream used last is left at
    // position 0. The caller keeps ownership of `stream`; a null stream fails with
    // EStreamError before anything is sent.
    int32_t ReadUncompressedBLOB(int32_t id, TStream* stream);
    // OnBlobWrite may first transform the stream or put another in its place; the BLOB's
    // content is then replaced by that stream's bytes from position 0 to the end of its reads
    // (its Size is not consulted), in blocks of 2048. The stream used is left at position 0. A null
    // stream fails with EStreamError before anything is sent.
    int32_t WriteUncompressedBLOB(int32_t id, TStream* stream);
    // The same: the library itself applies no compression; OnBlobRead and OnBlobWrite are the
    // place for one.
    int32_t ReadBLOB(int32_t id, TStream* stream) { return ReadUncompressedBLOB(id, stream); }
    int32_t WriteBLOB(int32_t id, TStream* stream) { return WriteUncompressedBLOB(id, stream); }

    // --- State shared with the wire (read-only views, for tests and diagnostics) ---
    const std::string& OutgoingRequest() const noexcept;
    const std::string& ReplyText() const noexcept;
    const std::string& JobToken() const noexcept;
    const std::string& SessionIdentifier() const noexcept;
    int32_t BusyCount() const noexcept;
    // Whether a request's reply is being read: its handlers run inside that request.
    bool ReplyRunning() const noexcept;
    TWaitState WaitState() const noexcept;
    // The socket of the connection's TCP link (null while a test's in-memory link replaces it).
    TTcpClient* Socket() noexcept;

private:
    friend struct detail::TConnectWire;

    // What the connection keeps for the wire (its link, frame reader, buffers, wait limits and
    // who uses it) and the helpers that work on it: connect/Wire.h, internal to the library.
    std::unique_ptr<detail::TConnectWire> wire_;

    // The stored settings.
    bool storeSession_ = false;
    std::unique_ptr<TMAuthorization> authorization_;
    std::string nameSpace_;
    std::string host_;
    int32_t serverPort_ = 0;
    std::string serverAddress_;
    std::atomic<bool> active_ = false;
    std::string mError_;
    std::unique_ptr<TStringList> query_;
    std::unique_ptr<TStringList> queryResult_;
    int32_t timeOut_ = 10000;
    int32_t requestDeadline_ = 0;
    TTlsSettings tls_;
    std::string servers_;
    int32_t serverTryTimeOut_ = 0;
    bool preferSecondary_ = false;
    TErrorHandler errorHandler_ = htException;
    bool raiseBreakFlowError_ = true;
};

// Raises the exception of a socket failure: "Windows socket error. Code %d: " and the text of
// the code.
[[noreturn]] QDO_API void SocketErrorProc(int32_t errorCode);
QDO_API std::string SocketErrorText(int32_t errorCode);

// Registers the class TQdoConnect with the stored-form registry (classes/StoredForm.h), so that
// CreateComponentFromForm can make a TQdoConnect from a form that names it; the registry files
// it under the group name "Quendo", which PalettePageOf returns.
QDO_API void Register();

// Whether the whole `text` matches the whole `pattern`, in which `oneWildcard` matches exactly
// one byte and `anyWildcard` any run of bytes, the empty run included. Without `caseSensitive`
// the letters a-z of text and pattern compare as A-Z (the wildcard bytes are compared as given).
// When the two wildcards are the same byte it acts as the one-byte wildcard.
//
// When the text is used up, what is left of the pattern must be nothing or exactly one
// any-wildcard: "ab*" matches "ab", "ab**" does not (but matches "abc").
//
// Runs in time proportional to len(text) x len(pattern) and memory proportional to
// len(pattern), whatever the input.
QDO_API bool MatchString(std::string_view text, std::string_view pattern, bool caseSensitive,
                         char oneWildcard, char anyWildcard);

// Every byte of `text` as a decimal code of one $C call: "$C(97,98)" for "ab"; the empty M
// literal "" (two double quotes) for the empty text. A text of more than 255 bytes takes
// several calls of 255 codes (the most GT.M takes in one) joined with '_'.
QDO_API std::string StrToCharStr(std::string_view text);

// The text of a Windows Sockets error number, as socket failures report it: "Connection reset
// by peer." for 10054, ...; "Unknown error code." for every number without a text of its own
// (negative ones included).
QDO_API std::string SocketErrorCodeToMessage(int32_t errorCode);

} // namespace qdo
