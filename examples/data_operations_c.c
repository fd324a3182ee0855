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

/* Takes the JSON text of an export, piece by piece. */
static int32_t print_json(QDOHandle c, void* context, const char* text, size_t length) {
    (void)c;
    (void)context;
    return fwrite(text, 1, length, stdout) == length;
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

    /* A transfer between two accounts in one transaction: both increments or neither. */
    const QDOSubscript from[] = {{"checking", 8, 0}}, to[] = {{"savings", 7, 0}};
    const QDORef checking = {"^Accounts", 9, from, 1}, savings = {"^Accounts", 9, to, 1};
    const QDOSubscript minus = {"-25", 3, 1}, plus = {"25", 2, 1};
    const QDOOperation transfer[] = {{QDO_OP_INCREMENT, &checking, NULL, NULL, 0, &minus, NULL, 0},
                                     {QDO_OP_INCREMENT, &savings, NULL, NULL, 0, &plus, NULL, 0}};
    QDOResults* results = QDOCreateResults();
    if (results == NULL || QDORunTransaction(c, transfer, 2, results) == 0)
        fail(c, "transaction");
    if (QDOResultValue(results, 1, &value, &length) == 0)
        fail(c, "transaction result");
    printf("savings after the transfer: %s (restarts: %d)\n", value, QDOResultRestarts(results));
    QDOFreeValue(value);

    /* Many small operations in one round trip: a set, then reads of both accounts. */
    const QDOOperation batch[] = {{QDO_OP_SET, &checking, NULL, "100", 3, NULL, NULL, 0},
                                  {QDO_OP_GET, &checking, NULL, NULL, 0, NULL, NULL, 0},
                                  {QDO_OP_GET_OR, &savings, NULL, "0", 1, NULL, NULL, 0}};
    if (QDORunBatch(c, batch, 3, results) == 0)
        fail(c, "batch");
    printf("batch results: %zu\n", QDOResultCount(results));
    QDOFreeResults(results);

    /* The accounts as one JSON document. */
    const QDORef accounts = {"^Accounts", 9, NULL, 0};
    printf("accounts: ");
    if (QDOExportJson(c, &accounts, NULL, print_json, NULL) == 0)
        fail(c, "export");
    printf("\n");
    QDOKillNode(c, &accounts);

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
