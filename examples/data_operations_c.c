/* Data operations through the flat C interface: references pass as parts (QDORef), so a
 * subscript with quotes or a NUL byte names its node and never runs as M code.
 *
 *   example_data_operations_c [host [port]]      (default: 127.0.0.1 7001)
 */
#include "capi/qdo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void fail(QDOHandle c, const char* what) {
    static QDOString message;
    QDOGetLastError(c, &message);
    fprintf(stderr, "%s failed (code %d): %.*s\n", what, QDOGetLastErrorCode(c),
            (int)message.Length, message.Data);
    QDODestroyConnect(c);
    exit(1);
}

/* Prints each child with its value; stops after the first ten. */
static int32_t print_child(QDOHandle c, void* context, const char* subscript, size_t length,
                           int32_t data, const char* value, size_t valueLength) {
    int* printed = (int*)context;
    (void)c;
    printf("  %.*s ($DATA %d) = ", (int)length, subscript, data);
    fwrite(value ? value : "", 1, valueLength, stdout); /* the value may hold NUL bytes */
    printf("\n");
    return ++*printed < 10;
}

int main(int argc, char** argv) {
    QDOHandle c =
        QDOCreateConnect(argc > 1 ? argv[1] : "127.0.0.1", argc > 2 ? atoi(argv[2]) : 7001, "USER");
    if (QDOConnectOpen(c) == 0)
        fail(c, "open");

    /* ^Orders("Robert\") k ^Orders s x=(\"", 1) = "a value with\0a NUL" */
    const char* customer = "Robert\") k ^Orders s x=(\"";
    const QDOSubscript parts[] = {{customer, strlen(customer), 0}, {"1", 1, 1}};
    const QDORef order = {"^Orders", 7, parts, 2};
    const QDORef orders = {"^Orders", 7, NULL, 0};
    if (QDOKillNode(c, &orders) == 0 || QDOSetNode(c, &order, "a value with\0a NUL", 18) == 0)
        fail(c, "set");

    char* value;
    size_t length;
    if (QDOGetNode(c, &order, &value, &length) == 0)
        fail(c, "get");
    printf("stored %zu bytes\n", length);
    QDOFreeValue(value);

    /* Counters, a lock, and a function with its arguments as data. */
    const QDORef counter = {"^Orders", 7, parts, 1};
    int32_t obtained = 0;
    if (QDOLock(c, &counter, 2.0, &obtained) == 0 || !obtained)
        fail(c, "lock");
    if (QDOIncrement(c, &counter, NULL, &value, &length) == 0)
        fail(c, "increment");
    printf("orders of the customer: %s\n", value);
    QDOFreeValue(value);
    QDOUnlockAll(c);

    const QDOSubscript arguments[] = {{"255", 3, 1}, {"4", 1, 1}};
    if (QDOFunction(c, "FUNC^%DH", 8, arguments, 2, &value, &length) == 0)
        fail(c, "function");
    printf("$$FUNC^%%DH(255,4) = %s\n", value);
    QDOFreeValue(value);

    /* The children, fetched in batches of 500 per round trip. */
    const QDOWalkOptions options = {1, 500, 0, 1};
    int printed = 0;
    printf("children of the customer:\n");
    if (QDOWalkChildren(c, &counter, &options, print_child, &printed) == 0)
        fail(c, "walk");

    /* A name that is not an M name is refused before anything is sent. */
    const QDORef bad = {"^Orders(1)", 10, NULL, 0};
    int32_t data = 0;
    if (QDOData(c, &bad, &data) != 0 || QDOGetLastErrorCode(c) != QDO_ERROR_BAD_REFERENCE)
        fail(c, "refusing a bad name");

    if (QDOData(c, &orders, &data) == 0 || data != 10)
        fail(c, "data");
    QDOKillNode(c, &orders);
    QDODestroyConnect(c);
    return 0;
}
