#!/bin/sh
# Checks the dynamic symbols of libqdo.so against its version script:
#  - every QDO* function that this build implements (in the library's objects, and in the list
#    below) is exported, listed by name in the version script and declared in qdo.h, and every
#    QDO* name of the script or of qdo.h is implemented;
#  - no other plain C name is exported;
#  - every exported C++ name matches a pattern of the script's extern "C++" block (so the
#    standard library's instantiations made inside the library stay inside), and belongs to a
#    name that the installed headers declare (so that nothing of the server, the tests or an
#    internal unit leaks through the namespace's pattern);
#  - the library does not call exit, _exit or quick_exit.
# Usage: check_exports.sh libqdo.so qdo.h libqdo.map libqdo_internal.a installed-header...
set -eu
lib=$1
header=$2
script=$3
objects=$4
shift 4

# The QDO* functions built so far.
implemented="QDOListLength QDOListGet QDOListSet QDOText QDOGetLastError QDOCreateConnect
  QDODestroyConnect QDOConnectOpen QDOConnectClose QDORead QDOWrite QDOExecute QDOExecuteOutput
  QDOSetOutput QDOSetCallback QDOSetGroupRead QDOKill QDOProcessMessages QDONotificationDescriptor
  QDOGetLastErrorCode QDOGetLastServerError QDOSetTimeOut QDOSetRequestDeadline QDOSetCredentials
  QDOFreeValue QDOReadValue QDOWriteValue QDOKillValue QDOExecuteLine QDOExecuteOutputLine
  QDOGroupReadEach QDOSubscribeEvent QDOUnsubscribeEvent QDOSetServerEvent QDOCreateBlob
  QDODeleteBlob QDOWriteBlob QDOReadBlob QDOWriteBlobFrom QDOReadBlobTo QDOAnswerSet
  QDOSetCallbackEx"

status=0
fail() {
    echo "$1"
    status=1
}
# The text of the files after $1 without their /* */ and // comments, and without their string
# literals' contents when $1 is "drop".
without_comments() {
    strings=$1
    shift
    awk -v strings="$strings" '{
        line = $0; out = ""
        while (length(line) > 0) {
            if (inside) {
                i = index(line, "*/"); if (i == 0) { line = ""; break }
                line = substr(line, i + 2); inside = 0
            } else {
                i = index(line, "/*"); if (i == 0) { out = out line; break }
                out = out substr(line, 1, i - 1); line = substr(line, i + 2); inside = 1
            }
        }
        sub(/\/\/.*/, "", out)
        if (strings == "drop")
            gsub(/"[^"]*"/, "\"\"", out)
        print out
    }' "$@"
}
lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT

defined=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWiVBDRu]$/ {print $3}')
printf '%s\n' "$defined" | grep '^QDO' | sort -u >"$lists/exported" || true
for name in $implemented; do echo "$name"; done | sort -u >"$lists/listed_here"
nm --defined-only "$objects" | awk '$2 == "T" && $3 ~ /^QDO/ {print $3}' | sort -u \
    >"$lists/implemented"
sed -n 's/^QDO_EXPORT .*[ *]\(QDO[A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort -u >"$lists/declared"

# The version script without its comments, then its two parts: the plain names, and the
# patterns of the extern "C++" block.
script_text=$(without_comments keep "$script")
cxx_patterns=$(printf '%s\n' "$script_text" |
               awk '/extern "C\+\+"/ {inside = 1; next} inside && /}/ {inside = 0} inside' |
               tr -d ' \t;' | grep -v '^$' || true)
printf '%s\n' "$script_text" |
    awk '/extern "C\+\+"/ {inside = 1; next} inside && /}/ {inside = 0; next} !inside' |
    tr -d ' \t' | sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' | sort -u >"$lists/script"

[ -s "$lists/implemented" ] || fail "no QDO* function found in $objects"
[ -n "$cxx_patterns" ] || fail "no extern \"C++\" patterns found in $script"

# Lines of the sorted list $2 that the sorted list $3 lacks, each reported after "$1: ".
missing() {
    for name in $(comm -23 "$lists/$2" "$lists/$3"); do
        fail "$1: $name"
    done
}
sort -u "$lists/listed_here" "$lists/implemented" >"$lists/built"
missing "not exported" built exported
missing "not in the version script" built script
missing "not declared in qdo.h" built declared
missing "in the version script but not implemented" script implemented
missing "declared in qdo.h but not implemented" declared implemented
missing "exported but not declared in qdo.h" exported declared

plain=$(printf '%s\n' "$defined" | grep -v '^_Z' | grep -v '^QDO' |
        grep -Ev '^(_init|_fini|_edata|_end|__bss_start)$' || true)
[ -z "$plain" ] || fail "internal C names exported:
$plain"

# The code of the installed headers: a C++ name is public when the first name after qdo:: is
# declared there as a class, struct, enum or namespace, or as a function.
header_code=$(without_comments drop "$@")
public_names=$(printf '%s\n' "$header_code" |
               sed -n 's/.*\(class\|struct\|union\|enum\|namespace\)\( class\)\?\( QDO_API\)\? \([A-Za-z_][A-Za-z0-9_]*\).*/\4/p'
               printf '%s\n' "$header_code" | grep -oE '[A-Za-z_][A-Za-z0-9_]* *\(' |
               tr -d ' (')
public_names=$(printf '%s\n' "$public_names" | sort -u)

# The script's globs become regular expressions ('*' any text, '?' any one character), as the
# linker matches them against the demangled names.
printf '%s\n' "$defined" | grep '^_Z' | c++filt |
    PATTERNS=$cxx_patterns PUBLIC=$public_names awk '
    BEGIN {
        count = split(ENVIRON["PATTERNS"], patterns, "\n")
        for (i = 1; i <= count; i++) {
            r = patterns[i]
            gsub(/[.^$+(){}|\\]/, "\\\\&", r)
            gsub(/\*/, ".*", r)
            gsub(/\?/, ".", r)
            expression[i] = "^" r "$"
        }
        names = split(ENVIRON["PUBLIC"], list, "\n")
        for (i = 1; i <= names; i++)
            public[list[i]] = 1
    }
    {
        matched = 0
        for (i = 1; i <= count && !matched; i++)
            matched = $0 ~ expression[i]
        if (!matched) {
            print "exported but matching no pattern of the version script: " $0
            failed = 1
            next
        }
        # The first name after qdo:: in what the symbol is of (before its parameters).
        name = $0
        sub(/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|guard variable for|virtual thunk to|non-virtual thunk to) /, "", name)
        if (index(name, "(") > 0)
            name = substr(name, 1, index(name, "(") - 1)
        owner = ""
        if (index(name, "qdo::") > 0) {
            rest = substr(name, index(name, "qdo::") + 5)
            if (match(rest, /^[A-Za-z_][A-Za-z0-9_]*/))
                owner = substr(rest, 1, RLENGTH)
        }
        if (!(owner in public)) {
            print "exported but not declared by the installed headers: " $0
            failed = 1
        }
    }
    END { exit failed }' || status=1

calls=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' |
        grep -Ex '(exit|_exit|_Exit|quick_exit)' || true)
[ -z "$calls" ] || fail "the library calls: $calls"

[ $status -eq 0 ] &&
    echo "exports ok: $(wc -l <"$lists/exported") QDO functions," \
         "$(printf '%s\n' "$defined" | grep -c '^_Z') C++ names"
exit $status
