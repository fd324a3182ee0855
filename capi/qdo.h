/*
 * qdo.h: the flat C interface of libqdo.
 *
 * Plain C (C99 and later, and C++), for callers in any language that can call a C function.
 * Every function is a plain C function of the platform's ABI (on x86-64 Linux, the System V
 * AMD64 calling convention) with no calling-convention attribute: a foreign-function interface
 * declares them as ordinary C functions.
 *
 * Texts are byte strings: any byte values, NUL included, one byte per character; every length
 * counts bytes. They travel in counted strings (QDOString). The two texts given to
 * QDOCreateConnect are the only NUL-terminated ones.
 *
 * Results: functions that return int32_t give 1 on success and 0 on failure, except
 * QDOListLength, which returns a count. The functions that take a handle keep the message of
 * their last failure for QDOGetLastError; the handle-free functions record nothing.
 *
 * No function of this interface ever lets a C++ exception escape, calls exit or abort, or
 * raises a signal. A null pointer where a record is expected is a failure (result 0), never a
 * crash.
 */
#ifndef QDO_H
#define QDO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QDO_EXPORT __attribute__((visibility("default")))
#else
#define QDO_EXPORT
#endif

/* The most text bytes the library writes into a counted string. */
#define QDO_STRING_MAX 32768

/* The bytes a counted string of n text bytes occupies. */
#define QDO_STRING_SIZE(n) (2 + (n))

/*
 * QDOString: a counted string. Little-endian unsigned 16-bit Length, then exactly Length bytes of
 * text, no terminator, nothing between or after.
 *
 * Reading a record, the library takes exactly Length (0 to 65535) bytes after the length field
 * and nothing more. A declared QDOString has room for QDO_STRING_MAX bytes; an input text longer
 * than that lives in memory of QDO_STRING_SIZE(n) bytes that the caller allocates and casts.
 *
 * Writing a record, the library writes at most QDO_STRING_MAX (32768) text bytes, so every
 * record that the library writes into must offer QDO_STRING_SIZE(QDO_STRING_MAX) = 32770 bytes
 * (the 2-byte Length and 32768 text bytes): sizeof(QDOString). Each function says what happens to a
 * longer result (QDOListGet cuts it to its first 32768 bytes; QDORead fails instead). Nothing else
 * is written: no terminator, and the record's bytes after the text keep their values.
 */
#pragma pack(push, 1)
typedef struct QDOString {
    uint16_t Length;
    char Data[QDO_STRING_MAX];
} QDOString;
#pragma pack(pop)

/*
 * A connection handle: opaque, pointer-sized. Passed back unchanged as the first argument of
 * every callback. A null handle is accepted by every function that takes one: it fails (0) and
 * does nothing else.
 */
typedef void* QDOHandle;

/*
 * Callbacks. Each is called on the thread that called into the library, with the handle first.
 * The records they receive are lent for the duration of the call only: do not keep pointers to
 * them. A lent record is a whole QDOString (its Data holds QDO_STRING_MAX, 32768, text bytes)
 * followed by two spare bytes that the library also owns.
 *
 * QDOOutputProc:    one piece of the terminal output of QDOExecuteOutput (cut at 32768 bytes).
 * QDOGroupReadProc: one chunk of a chunked reply (at most 32768 bytes), in the order the
 *                   server sent them; the last chunk is the function's own result instead.
 * QDOCallbackProc:  a callback request of the server while a command runs; write the answer
 *                   into result: at most 32768 bytes into Data, and their count into Length.
 *                   The library reads no further than the lent record: a Length above 32770
 *                   counts as 32770.
 */
typedef void (*QDOOutputProc)(QDOHandle handle, const QDOString* text);
typedef void (*QDOGroupReadProc)(QDOHandle handle, const QDOString* chunk);
typedef void (*QDOCallbackProc)(QDOHandle handle, const QDOString* command, QDOString* result);

/* ---- M lists and M literals: no handle, no state, safe on any number of threads at once ---- */

/*
 * QDOListLength: the number of elements of the M list in `list`.
 * Returns 0 for the empty list, for a malformed list (one whose elements do not exactly fill
 * it, and any list of a single byte) and for a null `list`.
 */
QDO_EXPORT int32_t QDOListLength(const QDOString* list);

/*
 * QDOListGet: copies the text of element `index` (from 1) of the M list in `list` into `out`.
 * Numbers come back as their decimal text ("-5", "1.5", "1E-5"), strings as their bytes;
 * an undefined element, one beyond the last and any element of a malformed list are the empty
 * text. A text over 32768 bytes is cut to its first 32768 (result 1).
 * Returns 1, or 0 with `out` untouched when `index` is below 1 or a pointer is null.
 */
QDO_EXPORT int32_t QDOListGet(const QDOString* list, int32_t index, QDOString* out);

/*
 * QDOListSet: writes element `index` (from 1) of the M list in `list` from the text of `value`
 * and stores the new list back into `list` (which must therefore be a whole QDOString: 32770
 * bytes).
 * The element's type follows from the text: the canonical decimal form of a 64-bit integer
 * ("123", "-5") becomes an integer, a canonical decimal below 10^12 that the list format
 * carries exactly ("1.5", "-0.25", "1E3") a decimal, anything else a string. An index beyond the
 * last element first pads the list with undefined elements.
 * Returns 1, or 0 with `list` untouched when `index` is below 1, the value is over 65534 bytes,
 * the decimal cannot be carried in 64 bits, the new list would be longer than 32768 bytes (it
 * would not fit the record whole), or a pointer is null.
 */
QDO_EXPORT int32_t QDOListSet(QDOString* list, int32_t index, const QDOString* value);

/*
 * QDOText: writes into `out` an M expression that evaluates to the text of `text`: quoted
 * literals for bytes from 32 up, $C(...) for control bytes, joined with '_'
 * ("a"_$C(13,10)_"b"). The result is never cut: returns 0 with `out` untouched when it would be
 * 32768 bytes or longer (so at most 32767 bytes come back), when memory runs out, or when a
 * pointer is null; otherwise 1.
 */
QDO_EXPORT int32_t QDOText(const QDOString* text, QDOString* out);

/*
 * ---- Connections ----
 *
 * A handle serves one thread at a time, and its callbacks run on the thread whose call they
 * belong to; events and callback requests that arrive between calls reach the thread that
 * pumps its notifications with QDOProcessMessages (the thread that made the last call). A call
 * made while another thread's call runs on the same handle, or made from inside one of the
 * handle's callbacks during a call, fails at once (QDO_ERROR_BUSY) and sends nothing.
 *
 * Every function below accepts the null handle: it does nothing and returns 0 (-1 for
 * QDOProcessMessages, QDONotificationDescriptor and QDOGetLastErrorCode), and QDOGetLastError
 * gives the empty text. On failure a function returns 0, writes no output record, and keeps
 * what the failure was for QDOGetLastError, QDOGetLastErrorCode and QDOGetLastServerError;
 * success leaves that as it was. Typical messages: "Connect does not exist." (the connection
 * is not open), "Windows socket error. Code 10061: ..." (the server cannot be reached),
 * "Internal server error: '...' while executing ..." (the server's own error for the command),
 * "Time-out. ..." (the server did not answer in time).
 */

/* The error codes of QDOGetLastErrorCode. */
#define QDO_ERROR_NONE (-1)       /* no code: a socket failure, a bad record, memory, ... */
#define QDO_ERROR_NO_JOB 0        /* "Can't create new job." */
#define QDO_ERROR_BAD_FORMAT 1    /* "Not compatible server data format." */
#define QDO_ERROR_NOT_CONNECTED 2 /* "Connect does not exist." */
#define QDO_ERROR_INVALID_TYPE 4  /* "Invalid command type." (a refused logon) */
#define QDO_ERROR_NO_SESSION 6    /* "Can't create session." */
#define QDO_ERROR_SOCKET_CLOSED 7 /* "Socket is not connected." */
#define QDO_ERROR_UNKNOWN 9       /* "Unknown error." */
#define QDO_ERROR_SERVER 10       /* an M error of the command: see QDOGetLastServerError */
#define QDO_ERROR_BUSY 11         /* the handle is running another call */
#define QDO_ERROR_TIME_OUT 12     /* a wait ran out; the connection was closed */
/* The data operations' own: a name, subscript, number, entry reference, direction or time-out
 * that cannot be written as M code safely, or a line longer than the server compiles. Nothing
 * was sent; the connection is as it was. */
#define QDO_ERROR_BAD_REFERENCE 13
/* A JSON document the import cannot read or the mapping cannot carry (see QDOImportJson);
 * QDOGetLastErrorOffset gives the byte at which an import stopped. */
#define QDO_ERROR_BAD_JSON 14
/* TLS failed: the server's certificate or name did not pass the check, the handshake failed or
 * ran into a peer that does not speak TLS, or a file of the TLS settings cannot be used. The
 * message says which check failed and for which name or file; the connection was closed (a
 * handshake that ran out of time is QDO_ERROR_TIME_OUT). */
#define QDO_ERROR_TLS 15

/*
 * QDOGetLastError: copies the message of the handle's last failure into `out` (the empty text
 * for a new handle or the null handle). A NUL byte of the message is written as _$C(0)_, so
 * the text is whole and holds no NUL; a request quoted in it is cut to a few hundred bytes with
 * its whole length stated. Reading the message does not clear it. A null `out` is ignored.
 */
QDO_EXPORT void QDOGetLastError(QDOHandle handle, QDOString* out);

/*
 * QDOGetLastErrorCode: the QDO_ERROR_... code of the handle's last failure; QDO_ERROR_NONE for
 * a failure without one, for a new handle and for the null handle.
 */
QDO_EXPORT int32_t QDOGetLastErrorCode(QDOHandle handle);

/*
 * QDOGetLastServerError: copies into `out` the M error code ($ECODE, as ",M6,") of the
 * handle's last failure when it was an M error of the server (QDO_ERROR_SERVER), else the empty
 * text. A null `out` is ignored.
 */
QDO_EXPORT void QDOGetLastServerError(QDOHandle handle, QDOString* out);

/*
 * QDOCreateConnect: a new, closed connection to `address` (a host name or dotted address) and
 * `port`, which will work in namespace `name_space`. Null texts count as empty. Nothing is sent
 * and no connection is made until QDOConnectOpen. Returns null only when memory or other system
 * resources run out. The caller owns the handle until QDODestroyConnect.
 */
QDO_EXPORT QDOHandle QDOCreateConnect(const char* address, int32_t port, const char* name_space);

/*
 * QDODestroyConnect: closes the connection (sending nothing to the server) and releases the
 * handle, which must not be used afterwards, nor passed to this function from inside one of its
 * own callbacks. Never fails.
 */
QDO_EXPORT void QDODestroyConnect(QDOHandle handle);

/*
 * QDOConnectOpen: connects, gets a server job, logs on, then executes the command line
 * zn "<namespace>" (the namespace inserted as it is). On an open connection only the command
 * line runs again. Returns 1, or 0; when the namespace line fails the connection stays open.
 */
QDO_EXPORT int32_t QDOConnectOpen(QDOHandle handle);

/* QDOConnectClose: closes the connection; nothing is sent to the server. Returns 1. */
QDO_EXPORT int32_t QDOConnectClose(QDOHandle handle);

/*
 * QDOSetTimeOut: the longest single wait for data, 1 to 6,000,000 milliseconds (10,000 for a
 * new handle). It also bounds each step of QDOConnectOpen (connecting, the server's answer, the
 * logon), which fails with QDO_ERROR_TIME_OUT when one runs out. Returns 1, or 0 for a value
 * out of range.
 */
QDO_EXPORT int32_t QDOSetTimeOut(QDOHandle handle, int32_t milliseconds);

/*
 * QDOSetRequestDeadline: the longest a call may wait for the end of its reply, in milliseconds;
 * 0 (the default) waits as long as the server works. A call that runs out fails with
 * QDO_ERROR_TIME_OUT and closes the connection. Returns 1, or 0 for a negative value.
 */
QDO_EXPORT int32_t QDOSetRequestDeadline(QDOHandle handle, int32_t milliseconds);

/*
 * QDOSetCredentials: the user name, password and application name that QDOConnectOpen sends
 * in its create request, for a server that requires credentials; `application` may be null
 * (empty). The namespace of QDOCreateConnect goes in the same request, so the session starts
 * there. A null `user` sends no credentials again (the default). Takes effect at the next
 * QDOConnectOpen. A server that refuses them makes QDOConnectOpen fail with
 * QDO_ERROR_NO_JOB, after the same pause for every reason (wrong user, wrong password, no such
 * namespace), so that the pause tells nothing. Returns 1, or 0 for a null password with a user.
 */
QDO_EXPORT int32_t QDOSetCredentials(QDOHandle handle, const QDOString* user,
                                     const QDOString* password, const QDOString* application);

/*
 * TLS (additions). With TLS on, every connection of the handle (the listener's, the job's and
 * the side connection of QDOCancelGroupRead) opens with a TLS 1.3 handshake, bounded by the
 * time-out, and checks the server's certificate against the trusted authorities and the server
 * name; a failure fails QDOConnectOpen with QDO_ERROR_TLS and never falls back to plain TCP.
 * Each setter takes effect at the next QDOConnectOpen. It returns 1, or 0 for the null handle
 * and while the connection is open (settings do not change under an open connection; the
 * reason is in QDOGetLastError). Texts are file paths and names, NUL-terminated; null counts
 * as empty.
 *
 * QDOSetTls: TLS on (non-zero) or off (0, the default).
 */
QDO_EXPORT int32_t QDOSetTls(QDOHandle handle, int32_t enabled);

/*
 * QDOSetTlsAuthorities: the authorities to trust: a PEM file, or a directory of certificates
 * under their hash names (HASH.0); empty or null: the system's store (the default).
 */
QDO_EXPORT int32_t QDOSetTlsAuthorities(QDOHandle handle, const char* file_or_directory);

/*
 * QDOSetTlsServerName: the name the server's certificate must carry (also sent as SNI); an IP
 * address is checked against the certificate's addresses. Empty or null: the address given to
 * QDOCreateConnect (the default), for the job's connection too.
 */
QDO_EXPORT int32_t QDOSetTlsServerName(QDOHandle handle, const char* name);

/*
 * QDOSetTlsClientCertificate: a client certificate (PEM, its chain after it) and its private
 * key, for a server that requires one; both null or empty: none (the default). One without the
 * other returns 0.
 */
QDO_EXPORT int32_t QDOSetTlsClientCertificate(QDOHandle handle, const char* certificate_file,
                                              const char* key_file);

/*
 * QDOSetTlsVerify: whether the server's certificate and name are checked (non-zero, the
 * default). Off, any certificate is taken, and each connection writes the line "TLS
 * verification is off for HOST:PORT" on stderr.
 */
QDO_EXPORT int32_t QDOSetTlsVerify(QDOHandle handle, int32_t verify);

/*
 * Failover (additions). QDOSetServers: the servers to try, "host:port,host:port,..." (an IPv6
 * address as "[addr]:port"); null or empty (the default): the address and port of
 * QDOCreateConnect, exactly as without a list. With a list, QDOConnectOpen tries the servers in
 * order, each within the try time-out, and keeps the first whose session opens; when every one
 * fails, it fails with the code of the last failure (QDO_ERROR_SOCKET_CLOSED for a refused
 * connect) and a message that names each server and why it failed. After the connection was
 * lost (not closed with QDOConnectClose), the call that met the loss fails and is never sent
 * again; the next call first opens a new session over the list, in order, and runs
 * zn "<namespace>" there. That session is a new job: the old one's locals, locks and open
 * transaction are gone. Returns 1; 0 for the null handle, a malformed list (the message names
 * the entry) and while the connection is open, the list then staying as it was. The text is
 * NUL-terminated.
 */
QDO_EXPORT int32_t QDOSetServers(QDOHandle handle, const char* list);

/*
 * QDOSetServerTryTimeOut: the longest the try of one server of the list may take, in
 * milliseconds: the connect and the whole session handshake (TLS, the redirect, the logon). 0
 * (the default) uses the time-out of QDOSetTimeOut. Returns 1, or 0 for a value outside 0 to
 * 6,000,000.
 */
QDO_EXPORT int32_t QDOSetServerTryTimeOut(QDOHandle handle, int32_t milliseconds);

/*
 * QDOSetPreferSecondary: non-zero: with a list, open on a secondary where there is one (each
 * server whose session opens is asked $$role^qdorepl(); the first answering "secondary" serves,
 * the others opened on the way are closed, an M error counts as "not a secondary"; with no
 * secondary the first server that opened serves). 0 (the default): the first server that opens
 * serves. Returns 1, or 0 for the null handle and while the connection is open.
 */
QDO_EXPORT int32_t QDOSetPreferSecondary(QDOHandle handle, int32_t prefer);

/*
 * QDOGetCurrentServer: the server the connection runs on into `out`, "host:port" as the list
 * writes it (without a list, the address and port of QDOCreateConnect); the empty text while
 * the connection is not open. Returns 1, or 0 for the null handle and a null `out`.
 */
QDO_EXPORT int32_t QDOGetCurrentServer(QDOHandle handle, QDOString* out);

/*
 * QDORead: the value of the M expression in `expression` (a variable reference or any
 * expression) into `out`. A value over 32000 bytes arrives in chunks. Without a group-read
 * function the result is the whole value; a value over 32768 bytes does not fit `out`, and the
 * call fails (0) with a message that says how long the value is. With a group-read function,
 * every chunk but the last goes to it, in order, and the last one (at most 32768 bytes) is the
 * result: so values of any size can be read.
 */
QDO_EXPORT int32_t QDORead(QDOHandle handle, const QDOString* expression, QDOString* out);

/* QDOWrite: sets the variable named `name` to `value`. */
QDO_EXPORT int32_t QDOWrite(QDOHandle handle, const QDOString* name, const QDOString* value);

/*
 * QDOExecute: runs the M command line. What it writes comes back only through the group-read
 * callback: every chunk of the reply, in order, the last one included; without a group-read
 * function it is dropped.
 */
QDO_EXPORT int32_t QDOExecute(QDOHandle handle, const QDOString* command);

/*
 * QDOExecuteOutput: runs the M command line while the server streams its terminal output,
 * which reaches the output callback piece by piece, as it is written.
 */
QDO_EXPORT int32_t QDOExecuteOutput(QDOHandle handle, const QDOString* command);

/*
 * QDOSetOutput, QDOSetCallback, QDOSetGroupRead: set the handle's terminal-output, server-
 * callback and group-read functions; null switches one off (output and chunks are then dropped,
 * and server callbacks are answered with the empty text). Takes effect with the next event,
 * also during a call.
 */
QDO_EXPORT void QDOSetOutput(QDOHandle handle, QDOOutputProc proc);
QDO_EXPORT void QDOSetCallback(QDOHandle handle, QDOCallbackProc proc);
QDO_EXPORT void QDOSetGroupRead(QDOHandle handle, QDOGroupReadProc proc);

/* QDOKill: kills the variable named `name`. */
QDO_EXPORT int32_t QDOKill(QDOHandle handle, const QDOString* name);

/*
 * QDOProcessMessages: between calls, a connection receives what the server pushes (events,
 * callback requests) as notifications of the thread that opened it. This runs what has arrived,
 * waiting up to `timeout_ms` milliseconds for something (0: do not wait; negative: wait without
 * limit). Call it on the thread that opened the connection; it serves every connection opened on
 * that thread. Returns the number of notifications handled, or -1 (message kept) on failure.
 */
QDO_EXPORT int32_t QDOProcessMessages(QDOHandle handle, int32_t timeout_ms);

/*
 * QDONotificationDescriptor: a file descriptor of the calling thread's notifications that
 * becomes readable when QDOProcessMessages has something to do, for waiting in an event loop of
 * one's own (poll, epoll, libuv, asyncio). Do not read from or close it. -1 on failure.
 */
QDO_EXPORT int32_t QDONotificationDescriptor(QDOHandle handle);

/*
 * ---- Additions: values of any size, stoppable group reads, events, BLOBs, failing callbacks ----
 *
 * The functions above carry texts in counted strings of at most 32768 bytes. Those below take
 * a pointer and a size_t length for every text (NUL bytes allowed; a null pointer with length 0
 * is the empty text), and hand back results that the library allocates, of any length the
 * server sends, to be released with QDOFreeValue. They follow the rules of every function that
 * takes a handle: the null handle returns 0 and records nothing; a failure returns 0, writes no
 * output and keeps its message, code and M error code for QDOGetLastError,
 * QDOGetLastErrorCode and QDOGetLastServerError; a call made while another call of the handle
 * runs (another thread's, or one whose callback this is) fails with QDO_ERROR_BUSY. A null
 * pointer where a text of length above 0, an output or a function is needed is a failure.
 *
 * The functions handed to them run on the calling thread, inside the call, and receive the
 * `context` given with them unchanged; the texts they receive are lent for the duration of that
 * one call of the function.
 */

/* QDOFreeValue: releases a result of QDOReadValue, QDOExecuteLine, QDOReadBlob or of a data
 * operation (QDOGetNode, QDOOrder, QDOFunction, ...); null is ignored. */
QDO_EXPORT void QDOFreeValue(char* value);

/*
 * QDOReadValue: the value of the M expression `expression`, whole, whatever its length: on
 * success *value points to *valueLength bytes followed by a NUL that is not counted (so a text
 * value can be used as a C string), allocated by the library. Neither the QDOSetGroupRead
 * function nor the 32768-byte bound applies.
 */
QDO_EXPORT int32_t QDOReadValue(QDOHandle handle, const char* expression, size_t expressionLength,
                                char** value, size_t* valueLength);

/* QDOWriteValue: sets the variable named `name` to `value` (up to what the server takes per
 * value: 1 MiB for GT.M). */
QDO_EXPORT int32_t QDOWriteValue(QDOHandle handle, const char* name, size_t nameLength,
                                 const char* value, size_t valueLength);

/* QDOKillValue: kills the variable named `name`. */
QDO_EXPORT int32_t QDOKillValue(QDOHandle handle, const char* name, size_t nameLength);

/*
 * QDOExecuteLine: runs the M command line `line`; what it wrote comes back whole in *written
 * (*writtenLength bytes and an uncounted NUL, to be released with QDOFreeValue). With `written`
 * null what it wrote is dropped (and `writtenLength` may be null too).
 */
QDO_EXPORT int32_t QDOExecuteLine(QDOHandle handle, const char* line, size_t lineLength,
                                  char** written, size_t* writtenLength);

/* A piece of text lent to a function: `length` bytes at `text`. */
typedef void (*QDOTextProc)(QDOHandle handle, void* context, const char* text, size_t length);

/*
 * QDOExecuteOutputLine: runs the M command line `line` while the server streams what it
 * writes: each piece goes to `proc`, uncut, in the order written, as it arrives. What the line
 * writes after its stream has ended (after a callback or an event) is passed to `proc` too,
 * once the line has run. `proc` may be null: the output is dropped.
 */
QDO_EXPORT int32_t QDOExecuteOutputLine(QDOHandle handle, const char* line, size_t lineLength,
                                        QDOTextProc proc, void* context);

/*
 * A chunk of a group read, lent to the function; it returns nonzero to go on, 0 to stop.
 * A chunk is an M list of reference, value, reference, value, ... (QDOListGet reads one of up
 * to 32768 bytes), each pair whole inside one chunk.
 */
typedef int32_t (*QDOChunkProc)(QDOHandle handle, void* context, const char* chunk, size_t length);

/*
 * QDOGroupReadEach: walks the subtree of the global or local reference `argument` in $QUERY
 * order, handing every chunk of the server's reply to `proc` in order (an empty subtree hands
 * none). When `proc` returns 0 no further chunk reaches it: the library asks the server to stop
 * the walk and reads the rest of the reply itself, so the handle is ready for the next call as
 * soon as this one returns 1. The QDOSetGroupRead function is not called.
 */
QDO_EXPORT int32_t QDOGroupReadEach(QDOHandle handle, const char* argument, size_t argumentLength,
                                    QDOChunkProc proc, void* context);

/*
 * Server events. QDOSubscribeEvent subscribes the connection's server job to the event named
 * `name` (any bytes); with `acknowledged` nonzero the server sends the next event of the
 * subscription only once the library has acknowledged the previous one (it does so when the
 * event function returns), so events never pile up faster than they are handled.
 * QDOUnsubscribeEvent ends the subscription. Both run a command on the server, so both need an
 * open connection.
 */
QDO_EXPORT int32_t QDOSubscribeEvent(QDOHandle handle, const char* name, size_t nameLength,
                                     int32_t acknowledged);
QDO_EXPORT int32_t QDOUnsubscribeEvent(QDOHandle handle, const char* name, size_t nameLength);

/* An event: its name and its parameter text, both lent. */
typedef void (*QDOServerEventProc)(QDOHandle handle, void* context, const char* name,
                                   size_t nameLength, const char* params, size_t paramsLength);

/*
 * QDOSetServerEvent: the function that receives the handle's events (null: events are
 * acknowledged and dropped). An event that arrives during a call reaches it inside that call;
 * one that arrives between calls reaches it from QDOProcessMessages, on the thread that made
 * the handle's last call. The function may not make calls on its own handle while a call runs
 * (QDO_ERROR_BUSY); from QDOProcessMessages it may. Always returns 1 for a handle.
 */
QDO_EXPORT int32_t QDOSetServerEvent(QDOHandle handle, QDOServerEventProc proc, void* context);

/*
 * BLOBs: binary objects of any size kept by the server in ^BLOB. Reading, writing and deleting
 * take the server's lock on the BLOB, waiting at most 10 seconds for another client to give it
 * up; when it does not, the call fails and nothing was read, written or deleted. A BLOB that
 * does not exist cannot be read, written or deleted (the call fails).
 *
 * QDOCreateBlob: a new, empty BLOB named `name`; its identifier (1 or more) into *id.
 * QDODeleteBlob: deletes BLOB `id`.
 * QDOWriteBlob: replaces the content of BLOB `id` with `length` bytes from `data`.
 * QDOReadBlob: the whole content of BLOB `id` into *data (*length bytes and an uncounted NUL, to
 * be released with QDOFreeValue).
 */
QDO_EXPORT int32_t QDOCreateBlob(QDOHandle handle, const char* name, size_t nameLength,
                                 int32_t* id);
QDO_EXPORT int32_t QDODeleteBlob(QDOHandle handle, int32_t id);
QDO_EXPORT int32_t QDOWriteBlob(QDOHandle handle, int32_t id, const char* data, size_t length);
QDO_EXPORT int32_t QDOReadBlob(QDOHandle handle, int32_t id, char** data, size_t* length);

/*
 * Streaming a BLOB without holding it in memory.
 *
 * QDOBlobReadProc fills `buffer` with up to `size` bytes (size is at most 2048) and returns how
 * many it wrote: 0 at the end of the data, a negative number for a failure (the call then fails
 * with "The BLOB's read function failed.").
 * QDOBlobWriteProc takes `length` bytes of the BLOB, in order, and returns nonzero, or 0 for a
 * failure (the call then fails with "The BLOB's write function failed.").
 *
 * QDOWriteBlobFrom: replaces the content of BLOB `id` with the bytes that `proc` gives until
 * it returns 0. QDOReadBlobTo: hands the content of BLOB `id` to `proc` block by block. When a
 * function fails, the server's lock is still given up, and the connection is ready for the next
 * call; a write that failed leaves the BLOB with the blocks written before the failure.
 */
typedef int32_t (*QDOBlobReadProc)(QDOHandle handle, void* context, char* buffer, size_t size);
typedef int32_t (*QDOBlobWriteProc)(QDOHandle handle, void* context, const char* bytes,
                                    size_t length);
QDO_EXPORT int32_t QDOWriteBlobFrom(QDOHandle handle, int32_t id, QDOBlobReadProc proc,
                                    void* context);
QDO_EXPORT int32_t QDOReadBlobTo(QDOHandle handle, int32_t id, QDOBlobWriteProc proc,
                                 void* context);

/*
 * Server callbacks that can fail. While a command runs, the server may ask the client for an
 * answer ($$Callback in M); between calls, an M process may ask the same ($$ClientCall).
 * The answer travels as a text and the protocol has no way to carry a failure: so when the
 * function fails, the library answers the empty text, lets the command run to its end, and
 * then makes the call fail with the function's message (code QDO_ERROR_NONE). A failure
 * between calls (inside QDOProcessMessages) is answered with the empty text and its message
 * kept for QDOGetLastError; QDOProcessMessages still succeeds.
 *
 * The function receives the request's text and a QDOAnswer, into which it puts its answer with
 * QDOAnswerSet (not calling it answers the empty text). It returns nonzero for success, 0 for
 * failure: the text put into the QDOAnswer is then the failure's message.
 */
typedef struct QDOAnswer QDOAnswer;
typedef int32_t (*QDOCallbackExProc)(QDOHandle handle, void* context, const char* command,
                                     size_t commandLength, QDOAnswer* answer);

/* QDOAnswerSet: replaces the text of `answer` with `length` bytes from `text` (any size).
 * Returns 1, or 0 for a null `answer`, a null `text` of length above 0 or exhausted memory. */
QDO_EXPORT int32_t QDOAnswerSet(QDOAnswer* answer, const char* text, size_t length);

/*
 * QDOSetCallbackEx: the function that answers the server's callbacks; null switches it off.
 * While it is set, it answers in place of the function of QDOSetCallback. Takes effect with the
 * next callback. Always returns 1 for a handle.
 */
QDO_EXPORT int32_t QDOSetCallbackEx(QDOHandle handle, QDOCallbackExProc proc, void* context);

/*
 * ---- Additions: data operations on references built from parts ----
 *
 * A reference crosses the interface as a QDORef: the variable's name ("^X" for a global, "X"
 * for a local) and its subscripts. A subscript is a string of any bytes (NUL, quotes and control
 * bytes included), or, with isNumber nonzero, a number given as its canonical text ("12",
 * "-.5"; not "012", "1.0", "1E3" or "+1"). The library writes the reference as M code in which
 * no part can change the code that runs: strings are quoted, numbers checked. A string that is a
 * canonical number names the same node as that number ("1" and the number 1 are one node).
 *
 * A name, number, entry reference, direction or time-out that cannot be written safely, and a
 * generated line longer than the server compiles (8192 bytes), fail before anything is sent,
 * with QDO_ERROR_BAD_REFERENCE and a message that names the bad part. An M error of the server
 * (an undefined node for QDOGetNode, say) fails with QDO_ERROR_SERVER. These functions follow the
 * rules of the additions above: sized texts, results released with QDOFreeValue, the busy rule;
 * the QDOSetGroupRead function is not called.
 */
typedef struct QDOSubscript {
    const char* text; /* the string's bytes, or the number's canonical text */
    size_t length;    /* of text; a null text is the empty string only with length 0 */
    int32_t isNumber; /* nonzero: text is a canonical number */
} QDOSubscript;

typedef struct QDORef {
    const char* name; /* "^X" or "X": an optional '^', then an M name (31 characters at most) */
    size_t nameLength;
    const QDOSubscript* subscripts; /* may be null when count is 0 */
    size_t count;
} QDORef;

/* QDOGetNode: the node's value into *value (*valueLength bytes and an uncounted NUL, released
 * with QDOFreeValue). A node without a value fails with QDO_ERROR_SERVER (GT.M's GVUNDEF or
 * LVUNDEF in QDOGetLastServerError and the message). */
QDO_EXPORT int32_t QDOGetNode(QDOHandle handle, const QDORef* ref, char** value,
                              size_t* valueLength);

/* QDOGetNodeOr: the node's value, or `fallback` when it has none ($GET). */
QDO_EXPORT int32_t QDOGetNodeOr(QDOHandle handle, const QDORef* ref, const char* fallback,
                                size_t fallbackLength, char** value, size_t* valueLength);

/* QDOSetNode: sets the node to `value` (up to 1 MiB for GT.M), which travels as data. */
QDO_EXPORT int32_t QDOSetNode(QDOHandle handle, const QDORef* ref, const char* value,
                              size_t valueLength);

/* QDOKillNode: kills the node and everything below it. */
QDO_EXPORT int32_t QDOKillNode(QDOHandle handle, const QDORef* ref);

/* QDOData: $DATA of the node into *data: 0 (nothing), 1 (a value), 10 (children), 11 (both). */
QDO_EXPORT int32_t QDOData(QDOHandle handle, const QDORef* ref, int32_t* data);

/*
 * QDOOrder: $ORDER: the next subscript at the reference's last level in `direction` (1 forward,
 * -1 backward) into *subscript (released with QDOFreeValue); the empty text after the last.
 * The reference needs a subscript (the empty string starts at the first).
 */
QDO_EXPORT int32_t QDOOrder(QDOHandle handle, const QDORef* ref, int32_t direction,
                            char** subscript, size_t* subscriptLength);

/*
 * A node lent to a function: its reference (the subscripts the caller gave, then the node's
 * further subscripts as strings), and its value when one was fetched (else null and 0). The
 * function returns nonzero to go on, 0 to stop.
 */
typedef int32_t (*QDONodeProc)(QDOHandle handle, void* context, const QDORef* node,
                               const char* value, size_t valueLength);

/*
 * QDOQuery: $QUERY: the next node with a value after (direction 1) or before (-1) the reference.
 * *found (when not null) says whether there is one; when there is, it goes to `proc` (when not
 * null; its result is not used; it may make no call on the handle), with its subscripts as
 * strings and no value.
 */
QDO_EXPORT int32_t QDOQuery(QDOHandle handle, const QDORef* ref, int32_t direction,
                            QDONodeProc proc, void* context, int32_t* found);

/*
 * QDOIncrement: $INCREMENT: adds `by` (null: 1) to the node, atomically, and gives the new value
 * as M writes it into *value (released with QDOFreeValue). `by` is a number, or a string that
 * holds a canonical number.
 */
QDO_EXPORT int32_t QDOIncrement(QDOHandle handle, const QDORef* ref, const QDOSubscript* by,
                                char** value, size_t* valueLength);

/* QDOMerge: MERGE: copies `from` and everything below it under `to`. */
QDO_EXPORT int32_t QDOMerge(QDOHandle handle, const QDORef* to, const QDORef* from);

/*
 * QDOLock: LOCK +: takes the lock on the reference incrementally, waiting at most `seconds`
 * (0: just tries); *obtained says whether it was obtained. Locks belong to the server's job:
 * they last until unlocked or until the session ends.
 * QDOUnlock: LOCK -: releases one level of the lock. QDOUnlockAll: releases every lock.
 */
QDO_EXPORT int32_t QDOLock(QDOHandle handle, const QDORef* ref, double seconds, int32_t* obtained);
QDO_EXPORT int32_t QDOUnlock(QDOHandle handle, const QDORef* ref);
QDO_EXPORT int32_t QDOUnlockAll(QDOHandle handle);

/*
 * QDOFunction: the value of $$entry(arguments) into *value (released with QDOFreeValue).
 * QDOProcedure: DO entry(arguments); what the routine wrote into *written (null: dropped).
 * `entry` is "label^routine" or "^routine"; the arguments are passed by value, strings quoted
 * and numbers checked as subscripts are. Without arguments (count 0) the call has no
 * parentheses, so a label without a formal list can be called.
 */
QDO_EXPORT int32_t QDOFunction(QDOHandle handle, const char* entry, size_t entryLength,
                               const QDOSubscript* arguments, size_t count, char** value,
                               size_t* valueLength);
QDO_EXPORT int32_t QDOProcedure(QDOHandle handle, const char* entry, size_t entryLength,
                                const QDOSubscript* arguments, size_t count, char** written,
                                size_t* writtenLength);

/*
 * Walks. Each batch is one request that writes up to batchNodes nodes, and takes no further node
 * once it holds batchBytes bytes of subscripts and values (one node of any size always fits).
 * A null QDOWalkOptions, and 0 in a field other than values, take the defaults: direction 1,
 * 1000 nodes, 32768 bytes; a null options also fetches values.
 */
typedef struct QDOWalkOptions {
    int32_t direction;  /* 1: ascending subscripts; -1: descending */
    int32_t batchNodes; /* nodes per batch at most */
    int32_t batchBytes; /* bytes per batch, as above */
    int32_t values;     /* nonzero: fetch the values too */
} QDOWalkOptions;

/*
 * A child lent to a function: its subscript as M gives it ("1" for the number 1), its $DATA
 * (1: a value, 10: children, 11: both) and its value when values are fetched and it has one
 * (else null and 0). Returns nonzero to go on, 0 to stop.
 */
typedef int32_t (*QDOChildProc)(QDOHandle handle, void* context, const char* subscript,
                                size_t subscriptLength, int32_t data, const char* value,
                                size_t valueLength);

/*
 * QDOWalkChildren: hands the direct children of `parent` to `proc`, in M's collation (numbers
 * first, then strings by their bytes), fetched batch by batch. QDOWalkSubtree: hands the nodes
 * below `root` that have values to `proc` in $QUERY order (the root itself is not one of them).
 * When `proc` returns 0 nothing more is sent: the call returns 1 at once. `proc` may make no
 * call on the handle (QDO_ERROR_BUSY); to work on each node, collect them first, or fetch
 * batch by batch with QDOChildBatch and QDONodeBatch.
 */
QDO_EXPORT int32_t QDOWalkChildren(QDOHandle handle, const QDORef* parent,
                                   const QDOWalkOptions* options, QDOChildProc proc, void* context);
QDO_EXPORT int32_t QDOWalkSubtree(QDOHandle handle, const QDORef* root,
                                  const QDOWalkOptions* options, QDONodeProc proc, void* context);

/*
 * One batch of each walk, for callers that fetch as they go (a generator, an iterator): one
 * request, each record handed to `proc` (whose result is not used, and which may make no call
 * on the handle) after the whole reply has been read, and *atEnd set to 1 when no node follows
 * the last one, else 0.
 * QDOChildBatch: the children of `parent` after the subscript `after` (the empty text: from the
 * first). QDONodeBatch: the nodes below `root` after the node `root` + `after` (its `afterCount`
 * subscripts below the root, as the node function received them; count 0: from the first).
 * A batch may come back empty without being the end (every node of it was killed meanwhile):
 * go on until *atEnd.
 */
QDO_EXPORT int32_t QDOChildBatch(QDOHandle handle, const QDORef* parent, const char* after,
                                 size_t afterLength, const QDOWalkOptions* options,
                                 QDOChildProc proc, void* context, int32_t* atEnd);
QDO_EXPORT int32_t QDONodeBatch(QDOHandle handle, const QDORef* root, const QDOSubscript* after,
                                size_t afterCount, const QDOWalkOptions* options, QDONodeProc proc,
                                void* context, int32_t* atEnd);

/*
 * ---- Additions: transactions, batches and JSON ----
 *
 * Transactions and batches take their operations as an array of QDOOperation records, and
 * leave their outcome in a QDOResults object that the caller creates with QDOCreateResults and
 * releases with QDOFreeResults. Each run clears the object first; one object serves one call
 * at a time. An operation record whose reference, number or kind is bad fails the whole call
 * before anything is sent, with QDO_ERROR_BAD_REFERENCE, the operation's index at the start of
 * the message ("Operation 2: ...") and in QDOResultFailedIndex.
 */
#define QDO_OP_SET 1       /* ref = text */
#define QDO_OP_KILL 2      /* KILL ref */
#define QDO_OP_MERGE 3     /* MERGE ref = from (transactions only) */
#define QDO_OP_GET 4       /* the value of ref; a node without one is an M error */
#define QDO_OP_GET_OR 5    /* $GET(ref, text) (batches only) */
#define QDO_OP_INCREMENT 6 /* $INCREMENT(ref, by) */
#define QDO_OP_DATA 7      /* $DATA(ref) (batches only) */
#define QDO_OP_FUNCTION 8  /* $$entry(arguments), entry in text (transactions only) */

typedef struct QDOOperation {
    int32_t kind;                  /* QDO_OP_... */
    const QDORef* ref;             /* the node; MERGE: the target; FUNCTION: unused */
    const QDORef* from;            /* MERGE: the source; else unused */
    const char* text;              /* SET: the value; GET_OR: the fallback; FUNCTION: the entry */
    size_t textLength;             /* of text; a null text is the empty text only with 0 */
    const QDOSubscript* by;        /* INCREMENT: the amount, a number (null: 1) */
    const QDOSubscript* arguments; /* FUNCTION: its arguments (null only with count 0) */
    size_t count;                  /* of arguments */
} QDOOperation;

/* The outcome of a transaction or a batch: opaque. */
typedef struct QDOResults QDOResults;

/* QDOCreateResults: an empty results object, or null when memory runs out. QDOFreeResults
 * releases it; null is ignored. Neither takes a handle or records a failure. */
QDO_EXPORT QDOResults* QDOCreateResults(void);
QDO_EXPORT void QDOFreeResults(QDOResults* results);

/*
 * QDORunTransaction: runs the operations atomically in one request: all of them applied, or
 * none. GT.M restarts the transaction when another process's update conflicts with it, and an
 * M error anywhere (an undefined node for QDO_OP_GET, an error of a function) rolls all of it
 * back and fails the call with QDO_ERROR_SERVER. References are globals. On success `results`
 * (null: dropped) holds one value per operation, in their order: the value for GET, INCREMENT
 * and FUNCTION, the empty text for SET, KILL and MERGE; and the restart count. On failure it
 * holds no value.
 */
QDO_EXPORT int32_t QDORunTransaction(QDOHandle handle, const QDOOperation* operations, size_t count,
                                     QDOResults* results);

/*
 * QDORunBatch: runs the operations one after another in as few round trips as it can (not a
 * transaction). References may be globals or the session's locals. On success `results` (null:
 * dropped) holds one value per operation: the value for GET, GET_OR, INCREMENT and DATA, the
 * empty text for SET and KILL. When an operation fails, the batch stops there: the call fails
 * with the M error (QDO_ERROR_SERVER, $ECODE in QDOGetLastServerError), the operations before it
 * stay applied, and `results` holds their values and the failed index (QDOResultFailedIndex).
 */
QDO_EXPORT int32_t QDORunBatch(QDOHandle handle, const QDOOperation* operations, size_t count,
                               QDOResults* results);

/* QDOResultCount: the values the object holds (0 for null). */
QDO_EXPORT size_t QDOResultCount(const QDOResults* results);
/* QDOResultValue: value `index` (from 0) into *value (released with QDOFreeValue). 0 for an
 * index past the last, a null object or record, or no memory. */
QDO_EXPORT int32_t QDOResultValue(const QDOResults* results, size_t index, char** value,
                                  size_t* valueLength);
/* QDOResultRestarts: how many times the transaction ran again before it committed (0 to 4;
 * 0 for a batch; -1 for null). */
QDO_EXPORT int32_t QDOResultRestarts(const QDOResults* results);
/* QDOResultFailedIndex: the index of the operation that failed the last run, or -1 (success, a
 * failure that is no one operation's, such as a transaction's M error, or null). */
QDO_EXPORT int64_t QDOResultFailedIndex(const QDOResults* results);

/*
 * JSON (docs/json.md has the mapping): a subtree as one JSON value, streamed both ways, so
 * neither the library nor the caller needs the whole document in memory.
 *
 * QDOJsonWriteProc takes the next `length` bytes of the document and returns nonzero, or 0 for
 * a failure (the call then fails with "The JSON write function failed.").
 * QDOJsonReadProc fills `buffer` with up to `size` bytes of the document (size is at most 4096;
 * fewer, down to 1 byte, is fine) and returns how many: 0 at the end, a negative number for a
 * failure (the call then fails with "The JSON read function failed.").
 * Neither may make a call on the handle (QDO_ERROR_BUSY).
 *
 * A null QDOJsonOptions, and 0 in a field, take the defaults: batches of 1000 nodes and 32768
 * bytes for an export, and an import merged into what is there.
 */
typedef int32_t (*QDOJsonWriteProc)(QDOHandle handle, void* context, const char* text,
                                    size_t length);
typedef int32_t (*QDOJsonReadProc)(QDOHandle handle, void* context, char* buffer, size_t size);

typedef struct QDOJsonOptions {
    int32_t batchNodes;    /* export: nodes with values per round trip at most */
    int32_t batchBytes;    /* export: a batch takes no further node past this many bytes */
    int32_t killRootFirst; /* import: nonzero kills the root and all below it first */
} QDOJsonOptions;

/*
 * QDOExportJson: writes `root` and everything below it to `proc` as one JSON value (`null` when
 * the root has no node), batch by batch. A value the mapping cannot carry (bytes that are not
 * UTF-8) fails with QDO_ERROR_BAD_JSON; what `proc` took before the failure is a cut document.
 */
QDO_EXPORT int32_t QDOExportJson(QDOHandle handle, const QDORef* root,
                                 const QDOJsonOptions* options, QDOJsonWriteProc proc,
                                 void* context);

/*
 * QDOImportJson: reads one JSON value from `proc` (nothing but white space may follow it) and
 * sets its scalars under `root`, each as soon as it is complete; *count (when not null) gets how
 * many nodes were set. Bad JSON, or a document the mapping cannot carry, fails with
 * QDO_ERROR_BAD_JSON and the byte offset in the message and in QDOGetLastErrorOffset. On any
 * failure the values complete before the point of failure are set and nothing after it.
 */
QDO_EXPORT int32_t QDOImportJson(QDOHandle handle, const QDORef* root,
                                 const QDOJsonOptions* options, QDOJsonReadProc proc, void* context,
                                 uint64_t* count);

/* QDOGetLastErrorOffset: for a last failure of QDOImportJson tied to a byte of the document,
 * that byte's offset from 0; else -1 (also for the null handle). */
QDO_EXPORT int64_t QDOGetLastErrorOffset(QDOHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* QDO_H */
