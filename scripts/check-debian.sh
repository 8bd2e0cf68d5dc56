#!/bin/sh
# check-debian.sh - the Debian packages as a user gets them: built from a copy of the tree
# (dpkg-buildpackage writes beside the source and leaves build files in debian/),
# checked with lintian, installed, used by tests/consumer through CMake and through
# pkg-config and by the installed command, then removed again.  What the build and the
# checks need is installed and stays.
# Exit status: 0 all held, 1 a step failed, 77 cannot run here (not root, not Debian,
# the packages installed already).
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
packages="libvexlolpr1 libvexlolpr-dev vexlolpr"

skip() {
    echo "check-debian: skipped: $1"
    exit 77
}
fail() {
    echo "check-debian: FAIL: $1" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
if [ ! -f /etc/debian_version ] || ! command -v apt-get >/dev/null 2>&1; then
    skip "not a Debian system"
fi
for p in $packages; do
    case $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) in
    "" | not-installed) ;;
    *) skip "$p is on this machine already and would be replaced" ;;
    esac
done

# Another apt or dpkg run on this machine is waited for, not failed on.
apt="apt-get -o DPkg::Lock::Timeout=300 -y -qq --no-install-recommends"
export DEBIAN_FRONTEND=noninteractive
missing=""
for p in dpkg-dev lintian gcc pkg-config; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] || ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    echo "check-debian: installing$missing and the build dependencies"
    $apt update
    # shellcheck disable=SC2086
    [ -z "$missing" ] || $apt install $missing >/dev/null
    $apt build-dep "$source_dir" >/dev/null
fi

version=$(sed -n 's/^#define VEXLOLPR_VERSION_STRING "\(.*\)"$/\1/p' include/vexlolpr.h)
package_version=$(dpkg-parsechangelog -S Version)
[ "${package_version%-*}" = "$version" ] ||
    fail "debian/changelog is at $package_version, include/vexlolpr.h at $version: add a changelog entry"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch

# The checks must see the installed packages and nothing else.
unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH LD_LIBRARY_PATH
work=$(mktemp -d /tmp/vexlolpr-debian.XXXXXX)
installed=""
cleanup() {
    if [ -n "$installed" ]; then
        # shellcheck disable=SC2086
        $apt purge $packages >/dev/null 2>&1 || echo "check-debian: could not remove $packages" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

tree=$work/vexlolpr-$version
mkdir "$tree"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude=./.cache --exclude='./obj-*' -cf - . |
    tar -C "$tree" -xf -
echo "check-debian: building the packages of $package_version"
(cd "$tree" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
    >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log"
    fail "dpkg-buildpackage failed"
}

# lintian as an ordinary user: it reads what the packages hold and needs no more.
chmod 755 "$work"
lintian_status=0
# From the scratch folder: the checkout may lie where nobody cannot enter.
(cd "$work" && runuser -u nobody -- lintian --fail-on error "$work"/vexlolpr_"$package_version"_*.changes) ||
    lintian_status=$?
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors (status $lintian_status)"

installed=yes
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
debs=""
for p in $packages; do debs="$debs $work/${p}_${package_version}_$arch.deb"; done
# shellcheck disable=SC2086
$apt install $debs >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    fail "the packages do not install"
}

# The development package through CMake, found where a multiarch system keeps it.
cmake -S tests/consumer -B "$work/cmake-build" >/dev/null
grep -qx "vexlolpr_DIR:PATH=$libdir/cmake/vexlolpr" "$work/cmake-build/CMakeCache.txt" ||
    fail "find_package(vexlolpr) did not take $libdir/cmake/vexlolpr: $(grep '^vexlolpr_DIR' "$work/cmake-build/CMakeCache.txt")"
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"
loaded=$(ldd "$work/cmake-build/consumer" | awk '$1 == "libvexlolpr.so.1" { print $3 }')
if [ -z "$loaded" ] || [ "$(realpath "$loaded")" != "$(realpath "$libdir/libvexlolpr.so.1")" ]; then
    fail "the CMake consumer loads '$loaded', not $libdir/libvexlolpr.so.1"
fi

# Through pkg-config: the .pc file finds its prefix from its own place.
for row in "pcfiledir $libdir/pkgconfig" "libdir $libdir" "includedir /usr/include"; do
    variable=${row%% *}
    value=$(pkg-config --variable="$variable" vexlolpr)
    [ "$(realpath -m "$value")" = "${row#* }" ] || fail "vexlolpr.pc: $variable is $value, not ${row#* }"
done
[ "$(pkg-config --modversion vexlolpr)" = "$version" ] || fail "vexlolpr.pc: version $(pkg-config --modversion vexlolpr)"
# shellcheck disable=SC2046
cc -o "$work/pc-consumer" tests/consumer/main.c $(pkg-config --cflags --libs vexlolpr)
"$work/pc-consumer"

installed_version=$(sed -n 's/^#define VEXLOLPR_VERSION_STRING "\(.*\)"$/\1/p' /usr/include/vexlolpr.h)
[ "$installed_version" = "$version" ] || fail "the installed header is at $installed_version"
[ "$(/usr/bin/vexlolpr --version)" = "vexlolpr $version" ] ||
    fail "vexlolpr --version says '$(/usr/bin/vexlolpr --version)', not 'vexlolpr $version'"
/usr/bin/vexlolpd --help | grep -q '^usage: vexlolpd ' || fail "vexlolpd --help"
# The development package's manual pages: the overview and one for each export.
dev_files=$(dpkg -L libvexlolpr-dev)
for name in vexlolpr $(sed -n 's/^LPR_EXPORT .*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' include/vexlolpr.h); do
    printf '%s\n' "$dev_files" | grep -qx "/usr/share/man/man3/$name.3.gz" ||
        fail "libvexlolpr-dev has no manual page $name(3)"
done

# shellcheck disable=SC2086
$apt purge $packages >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    fail "the packages do not remove"
}
installed=""
for p in $packages; do
    case $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) in
    "" | not-installed) ;;
    *) fail "$p is still on this machine after its removal" ;;
    esac
done
echo "check-debian: $package_version built, lintian without errors, installed, consumer built through CMake and pkg-config, vexlolpr $version, manual pages, removed"
