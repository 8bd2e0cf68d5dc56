#!/bin/sh
# The logic modules are written once for every platform: they include no system
# header and call no socket function directly (only through the Winsock table).
set -eu
src=$1
status=0
for f in "$src"/*.cpp "$src"/*.h; do
    if grep -nE '#include[[:space:]]*<(windows|winsock|winsock2|ws2tcpip|sys/[a-z_]+|netinet/[a-z_]+|arpa/inet|netdb|unistd|poll|fcntl|pthread|dlfcn)\.h>' "$f"; then
        echo "$f: system header in a logic module"
        status=1
    fi
    # String literals (trace texts name the calls) and comments are not code.
    if sed -e 's/"\([^"\\]\|\\.\)*"/""/g' -e 's|//.*$||' "$f" \
        | grep -nE '(^|[^.>:_a-zA-Z])(recv|send|socket|connect|closesocket|LoadLibrary|dlopen|poll|select)[[:space:]]*\(' \
        | grep -vE 'X\((SOCKET|int), (socket|connect|send|recv|closesocket),'; then
        echo "$f: direct system call in a logic module"
        status=1
    fi
done
[ $status -eq 0 ] && echo "platform split holds"
exit $status
