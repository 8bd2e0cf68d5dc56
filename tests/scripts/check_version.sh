#!/bin/sh
# The version the header declares is the one every other place shows: the command's
# --version, the pkg-config file, the CMake package's version file, the shared
# library's name (its major version) and the Debian changelog.  The DLLs' version
# resources are checked with the DLLs.
#   check_version.sh SOURCE_DIR BUILD_DIR VEXLOLPR_COMMAND
set -eu
source_dir=$1
build_dir=$2
command=$3
status=0
define() {
    sed -n "s/^#define VEXLOLPR_VERSION_$1 \"*\([0-9.]*\)\"*\$/\1/p" "$source_dir/include/vexlolpr.h"
}
version=$(define STRING)
major=$(define MAJOR)
[ "$version" = "$major.$(define MINOR).$(define PATCH)" ] && [ -n "$major" ] || {
    echo "FAIL: the header's version macros disagree: string '$version', parts $major.$(define MINOR).$(define PATCH)"
    exit 1
}
check() { # what, value shown there
    if [ "$2" = "$3" ]; then
        echo "ok: $1 says $2"
    else
        echo "FAIL: $1 says '$2', the header $3"
        status=1
    fi
}
check "vexlolpr --version" "$("$command" --version)" "vexlolpr $version"
check "vexlolpr.pc" "$(sed -n 's/^Version: //p' "$build_dir/vexlolpr.pc")" "$version"
check "vexlolprConfigVersion.cmake" \
    "$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build_dir/vexlolprConfigVersion.cmake")" "$version"
check "the shared library's SONAME" \
    "$(readelf -d "$build_dir/libvexlolpr.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" "libvexlolpr.so.$major"
if [ -f "$source_dir/debian/changelog" ]; then
    check "debian/changelog (upstream part)" \
        "$(sed -n '1s/^[^ ]* (\([^)-]*\)-[^)]*).*/\1/p' "$source_dir/debian/changelog")" "$version"
    check "debian/control's library package" \
        "$(sed -n 's/^Package: \(libvexlolpr[0-9]*\)$/\1/p' "$source_dir/debian/control")" "libvexlolpr$major"
fi
exit $status
