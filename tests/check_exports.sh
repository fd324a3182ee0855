#!/bin/sh
# Checks the dynamic symbols of libqdo.so:
#  - every QDO* function that this build implements is exported;
#  - every exported QDO* name is declared in qdo.h;
#  - no other plain C name is exported (internals are mangled C++ in namespace qdo, or hidden);
#  - every exported C++ name belongs to the library's namespace or to the standard library's
#    template instantiations;
#  - the library does not call exit, _exit or quick_exit.
# Usage: check_exports.sh path/to/libqdo.so path/to/qdo.h
set -eu
lib=$1
header=$2

# The QDO* functions built so far.
implemented="QDOListLength QDOListGet QDOListSet QDOText QDOGetLastError QDOCreateConnect
  QDODestroyConnect QDOConnectOpen QDOConnectClose QDORead QDOWrite QDOExecute QDOExecuteOutput
  QDOSetOutput QDOSetCallback QDOSetGroupRead QDOKill QDOProcessMessages QDONotificationDescriptor
  QDOGetLastErrorCode QDOGetLastServerError QDOSetTimeOut QDOSetRequestDeadline QDOSetCredentials
  QDOFreeValue QDOReadValue QDOWriteValue QDOKillValue QDOExecuteLine QDOExecuteOutputLine
  QDOGroupReadEach QDOSubscribeEvent QDOUnsubscribeEvent QDOSetServerEvent QDOCreateBlob
  QDODeleteBlob QDOWriteBlob QDOReadBlob QDOWriteBlobFrom QDOReadBlobTo QDOAnswerSet
  QDOSetCallbackEx"

defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWiVBDR]$/ {print $3}')
status=0

for name in $implemented; do
    if ! printf '%s\n' "$defined" | grep -qx "$name"; then
        echo "not exported: $name"
        status=1
    fi
done

for name in $(printf '%s\n' "$defined" | grep '^QDO' || true); do
    if ! grep -Eq "[ *]$name\(" "$header"; then
        echo "exported but not declared in qdo.h: $name"
        status=1
    fi
done

plain=$(printf '%s\n' "$defined" | grep -v '^_Z' | grep -v '^QDO' |
        grep -Ev '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$plain" ]; then
    echo "internal C names exported:"
    printf '%s\n' "$plain"
    status=1
fi

foreign=$(printf '%s\n' "$defined" | grep '^_Z' | c++filt |
          grep -Ev '(^| )(qdo|std|__gnu_cxx)::|^(typeinfo|typeinfo name|vtable|VTT|construction vtable) for (qdo|std)::|^(guard variable|reference temporary) for (qdo|std)::' || true)
if [ -n "$foreign" ]; then
    echo "C++ names outside the library's namespace exported:"
    printf '%s\n' "$foreign"
    status=1
fi

calls=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' |
        grep -Ex '(exit|_exit|_Exit|quick_exit)' || true)
if [ -n "$calls" ]; then
    echo "the library calls: $calls"
    status=1
fi

[ $status -eq 0 ] && echo "exports ok: $(printf '%s\n' "$defined" | grep -c '^QDO') QDO functions"
exit $status
