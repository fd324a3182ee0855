/* A program that knows the installed library only through its installed files. */
#include <capi/qdo.h>

#include <stdio.h>

int main(void) {
    static QDOString list, value, out;
    list.Length = 0;
    value.Length = 1;
    value.Data[0] = 'x';
    if (QDOListSet(&list, 3, &value) != 1 || QDOListLength(&list) != 3 ||
        QDOListGet(&list, 3, &out) != 1 || out.Length != 1 || out.Data[0] != 'x') {
        puts("installed library misbehaves");
        return 1;
    }
    puts("installed library works");
    return 0;
}
