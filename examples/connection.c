/* Opens a connection, writes and reads a global, runs a command line with its terminal output,
 * and reports failures through QDOGetLastError.
 *
 *   connection [host [port [namespace]]]      (default: 127.0.0.1 7001 USER)
 */
#include "capi/qdo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static QDOString in, value, out; /* 2 + 32768 bytes each: static, not on a small stack */

static void set_text(QDOString* s, const char* text) {
    s->Length = (uint16_t)strlen(text);
    memcpy(s->Data, text, s->Length);
}

static int fail(QDOHandle handle, const char* what) {
    QDOGetLastError(handle, &out);
    fprintf(stderr, "%s failed: %.*s\n", what, (int)out.Length, out.Data);
    QDODestroyConnect(handle);
    return 1;
}

static void print_output(QDOHandle handle, const QDOString* text) {
    (void)handle;
    printf("%.*s", (int)text->Length, text->Data);
    fflush(stdout);
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    int32_t port = argc > 2 ? (int32_t)atoi(argv[2]) : 7001;
    const char* name_space = argc > 3 ? argv[3] : "USER";

    QDOHandle handle = QDOCreateConnect(host, port, name_space);
    if (handle == NULL)
        return 1;
    QDOSetOutput(handle, print_output);
    if (!QDOConnectOpen(handle))
        return fail(handle, "open");

    set_text(&in, "^Example(\"greeting\")");
    set_text(&value, "hello from C");
    if (!QDOWrite(handle, &in, &value))
        return fail(handle, "write");
    if (!QDORead(handle, &in, &out))
        return fail(handle, "read");
    printf("read back: %.*s\n", (int)out.Length, out.Data);

    set_text(&in, "for i=1:1:3 write \"line \",i,!");
    if (!QDOExecuteOutput(handle, &in))
        return fail(handle, "execute");

    set_text(&in, "^Example");
    if (!QDOKill(handle, &in))
        return fail(handle, "kill");
    QDOConnectClose(handle);
    QDODestroyConnect(handle);
    return 0;
}
