#!/bin/sh
# The shared library exports its interface and nothing else: every defined
# dynamic symbol is a name of the public headers (the flat interface, its
# specified variables and the velcap:: API), or a template of the standard
# library that such a name instantiates.
# usage: exports.sh LIBRARY SOURCE_DIR
set -eu
library=$1
headers="$2/library/velcap.h $2/library/velcap/*.h $2/library/compat/state.h"
status=0
for name in $(nm -DC --defined-only "$library" | awk '$2 ~ /^[TWBDVRiu]$/ { $1 = ""; $2 = ""; print }' |
    grep -v -e '^ *typeinfo' -e '^ *vtable' -e '^ *std::' -e '^ *__gnu_cxx::' -e '^ *guard variable' |
    sed -e 's/^ *//' -e 's/^velcap::\(Camera::\)\?//' -e 's/[(\[ ].*//' -e 's/^~//' | sort -u); do
    case $name in _init | _fini | _edata | _end | __bss_start) continue ;; esac
    # shellcheck disable=SC2086
    if ! grep -qw -- "$name" $headers; then
        echo "exported, but no public header declares it: $name"
        status=1
    fi
done
exit $status
