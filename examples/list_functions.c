/* Builds an M list, reads it back and quotes a text as an M expression, through the flat C
 * interface of libqdo. */
#include "capi/qdo.h"

#include <stdio.h>
#include <string.h>

static void set_text(QDOString* s, const char* text) {
    s->Length = (uint16_t)strlen(text);
    memcpy(s->Data, text, s->Length);
}

int main(void) {
    /* Each record is 32770 bytes (the 2-byte length and 32768 text bytes): static, not on
     * a small stack. */
    static QDOString list, value, out;
    const char* values[] = {"hello", "42", "-1.5"};
    int32_t i;

    list.Length = 0; /* the empty list */
    for (i = 0; i < 3; i++) {
        set_text(&value, values[i]);
        if (!QDOListSet(&list, i + 1, &value)) {
            fprintf(stderr, "could not set element %d\n", (int)(i + 1));
            return 1;
        }
    }
    printf("list of %d elements in %u bytes\n", (int)QDOListLength(&list), (unsigned)list.Length);

    for (i = 1; i <= QDOListLength(&list); i++) {
        if (!QDOListGet(&list, i, &out))
            return 1;
        printf("element %d: %.*s\n", (int)i, (int)out.Length, out.Data);
        if (out.Length != strlen(values[i - 1]) || memcmp(out.Data, values[i - 1], out.Length))
            return 1;
    }

    set_text(&value, "say \"hi\"\r\n");
    if (!QDOText(&value, &out))
        return 1;
    printf("as M: %.*s\n", (int)out.Length, out.Data);
    return strncmp(out.Data, "\"say \"\"hi\"\"\"_$C(13,10)", out.Length) != 0;
}
