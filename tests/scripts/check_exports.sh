#!/bin/sh
# Lists the dynamic symbols a shared library defines and compares them with the ten
# exports of the public interface.
set -eu
lib=$1
expected="LPR_CancelBlockingCall
LPR_CancelRequest
LPR_DeleteJob
LPR_FindJob
LPR_FreeQueue
LPR_GetLastErrorText
LPR_GetQueue
LPR_Init
LPR_Print
LPR_PrintJob
WEP
WNWaitDlg"
actual=$(nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sort)
if [ "$actual" != "$expected" ]; then
    echo "exported symbols differ from the interface:"
    printf '%s\n' "$expected" > /tmp/vexlolpr-exports-expected.$$
    printf '%s\n' "$actual" | diff /tmp/vexlolpr-exports-expected.$$ - || true
    rm -f /tmp/vexlolpr-exports-expected.$$
    exit 1
fi
echo "exports: the twelve of the interface"
