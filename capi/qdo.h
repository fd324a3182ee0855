/*
 * qdo.h: the flat C interface of libqdo.
 *
 * Plain C (C99 and later, and C++), for callers in any language that can call a C function.
 * Every function uses the platform's C calling convention (cdecl).
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
 * record that the library writes into must offer QDO_STRING_SIZE(QDO_STRING_MAX) = 32770 bytes:
 * sizeof(QDOString). A longer result is cut to its first 32768 bytes (Length 32768, the bytes
 * 00 80) unless the function says otherwise. Nothing else is written: no terminator, and the
 * record's bytes after the text keep their values.
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
 * them. A lent record has room for 32770 text bytes.
 *
 * QDOOutputProc:    one piece of the terminal output of QDOExecuteOutput.
 * QDOGroupReadProc: one chunk of a chunked reply, in the order the server sent them; the last
 *                   chunk is the function's own result instead.
 * QDOCallbackProc:  a callback request of the server while a command runs; write the answer
 *                   into result (at most 32770 bytes).
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
 * and stores the new list back into `list` (which must therefore offer 32770 bytes).
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
 * Declared for the coming connection support; this build of libqdo.so does not export them yet,
 * so a program that calls one of them does not link (rather than linking against a stub).
 *
 * QDOGetLastError:   the message of the handle's last failure.
 * QDOCreateConnect:  a new connection to address:port that will work in namespace name_space.
 * QDODestroyConnect: closes and releases the handle.
 * QDOConnectOpen, QDOConnectClose: open (get a server job, log on, switch namespace) and close.
 * QDORead, QDOWrite, QDOKill: read an M expression, set and kill a variable.
 * QDOExecute, QDOExecuteOutput: run an M command line, without and with terminal output.
 * QDOSetOutput, QDOSetCallback, QDOSetGroupRead: set (or clear with null) the callbacks.
 */

QDO_EXPORT void QDOGetLastError(QDOHandle handle, QDOString* out);
QDO_EXPORT QDOHandle QDOCreateConnect(const char* address, int32_t port, const char* name_space);
QDO_EXPORT void QDODestroyConnect(QDOHandle handle);
QDO_EXPORT int32_t QDOConnectOpen(QDOHandle handle);
QDO_EXPORT int32_t QDOConnectClose(QDOHandle handle);
QDO_EXPORT int32_t QDORead(QDOHandle handle, const QDOString* expression, QDOString* out);
QDO_EXPORT int32_t QDOWrite(QDOHandle handle, const QDOString* name, const QDOString* value);
QDO_EXPORT int32_t QDOExecute(QDOHandle handle, const QDOString* command);
QDO_EXPORT int32_t QDOExecuteOutput(QDOHandle handle, const QDOString* command);
QDO_EXPORT void QDOSetOutput(QDOHandle handle, QDOOutputProc proc);
QDO_EXPORT void QDOSetCallback(QDOHandle handle, QDOCallbackProc proc);
QDO_EXPORT void QDOSetGroupRead(QDOHandle handle, QDOGroupReadProc proc);
QDO_EXPORT int32_t QDOKill(QDOHandle handle, const QDOString* name);

#ifdef __cplusplus
}
#endif

#endif /* QDO_H */
