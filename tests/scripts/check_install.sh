#!/bin/sh
# Installs the built library into a scratch prefix and builds a small consumer
# against it twice: through find_package(vexlolpr) and through pkg-config.
set -eu
source_dir=$1
build_dir=$2
consumer=$3
work=$(mktemp -d /tmp/vexlolpr-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
# The manual pages: the overview and one for each export of the header.
for name in vexlolpr $(sed -n 's/^LPR_EXPORT .*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$source_dir/include/vexlolpr.h"); do
    [ -f "$work/prefix/share/man/man3/$name.3" ] || {
        echo "the install has no manual page share/man/man3/$name.3"
        exit 1
    }
done

# The library may have been built with sanitizers; the consumer is built the same way.
extra=""
if nm -D "$build_dir"/libvexlolpr.so 2>/dev/null | grep -q ' U __asan_'; then extra="-fsanitize=address,undefined"; fi
if nm -D "$build_dir"/libvexlolpr.so 2>/dev/null | grep -q ' U __tsan_'; then extra="-fsanitize=thread"; fi

cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" "$work/cmake-build/consumer"

libdir=$(dirname "$(find "$work/prefix" -name vexlolpr.pc | head -n1)")
export PKG_CONFIG_PATH="$libdir"
cc $extra -o "$work/pc-consumer" "$consumer/main.c" $(pkg-config --cflags --libs vexlolpr)
LD_LIBRARY_PATH="$libdir/..:$libdir/../..:$(pkg-config --variable=libdir vexlolpr)" "$work/pc-consumer"
echo "manual pages installed; consumer built and ran through CMake and pkg-config"
