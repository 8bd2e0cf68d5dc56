#!/bin/sh
# Static checks of a cross-built VEXLOLPR.DLL, made without running it:
#   check_dll.sh DLL [i686|x86_64 [VEXLOLPR.EXE]]
#   - the machine type (when given);
#   - exactly the twelve exports, by undecorated name, at their fixed ordinals;
#   - imports from system DLLs only: no compiler runtime DLL, no Winsock (it is loaded
#     at run time, by name, so that name must be in the image);
#   - the status dialog, the string table and the version, read back from the image,
#     against the template below, every text of src/msgtext.def and the header;
#   - the record layouts of the public header on this target, and a program that links
#     every export by name through the import library next to the DLL;
#   - the command, when given: of the same machine, binding VEXLOLPR.DLL and system
#     DLLs alone, with the DLL's version in its properties.
set -eu
dll=$1
want_arch=${2:-}
exe=${3:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

[ -f "$dll" ] || { echo "no such file: $dll"; exit 1; }
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres
for tool in $objdump $windres; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool not found"; exit 77; }
done

# ---- machine ------------------------------------------------------------------------
case $($objdump -f "$dll") in
*"file format pei-i386"*) arch=i686 ;;
*"file format pei-x86-64"*) arch=x86_64 ;;
*) echo "FAIL: $dll is no Windows DLL of a known machine"; exit 1 ;;
esac
if [ -n "$want_arch" ] && [ "$want_arch" != "$arch" ]; then
    fail "$dll is built for $arch, not $want_arch"
fi
echo "== $dll ($arch)"
$objdump -p "$dll" >"$tmp/headers"
characteristics=$(sed -n 's/^Characteristics[ \t]*0x\([0-9a-fA-F]*\).*/\1/p' "$tmp/headers")
[ -n "$characteristics" ] && [ $((0x$characteristics & 0x2000)) -ne 0 ] ||
    fail "the image is not marked as a DLL"

# ---- exports --------------------------------------------------------------------------
cat >"$tmp/exports.expected" <<'LIST'
500 LPR_Init
501 LPR_Print
502 LPR_DeleteJob
503 LPR_GetQueue
504 LPR_FreeQueue
505 LPR_GetLastErrorText
506 LPR_CancelBlockingCall
507 WEP
510 WNWaitDlg
511 LPR_CancelRequest
512 LPR_PrintJob
513 LPR_FindJob
LIST
# The name table lists each name with its index from the ordinal base; the address
# table lists every ordinal that has an entry.  Both must give the twelve, no more.
awk '
    /^Ordinal Base/ { base = $3 }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^[ \t]*$/ { names = 0 }
    names && match($0, /\[ *[0-9]+\]/) {
        index_ = substr($0, RSTART + 1, RLENGTH - 2) + 0
        name = substr($0, RSTART + RLENGTH); gsub(/^[ \t]+|[ \t]+$/, "", name)
        print base + index_, name
    }
' "$tmp/headers" | sort -n >"$tmp/exports.actual"
awk '/^Export Address Table -- Ordinal Base/ { eat = 1; next }
     eat && /^[ \t]*$/ { eat = 0 }
     eat && match($0, /\+base\[ *[0-9]+\]/) { s = substr($0, RSTART + 6, RLENGTH - 7); print s + 0 }
' "$tmp/headers" | sort -n >"$tmp/ordinals.actual"
cut -d' ' -f1 "$tmp/exports.expected" >"$tmp/ordinals.expected"
if cmp -s "$tmp/exports.expected" "$tmp/exports.actual"; then
    echo "exports: the twelve, by name, at ordinals 500-507 and 510-513"
else
    fail "exports differ (expected, actual):"
    diff "$tmp/exports.expected" "$tmp/exports.actual" || true
fi
cmp -s "$tmp/ordinals.expected" "$tmp/ordinals.actual" ||
    fail "the export address table holds ordinals $(tr '\n' ' ' <"$tmp/ordinals.actual")"

# ---- imports --------------------------------------------------------------------------
sed -n 's/^[ \t]*DLL Name: //p' "$tmp/headers" >"$tmp/imports"
[ -s "$tmp/imports" ] || fail "no import table found"
while read -r name; do
    # The system's own: what every Windows ships, the C runtimes included.
    if echo "$name" | grep -qiE '^(kernel32|user32|advapi32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'; then
        continue
    fi
    fail "imports $name (not a system DLL)"
done <"$tmp/imports"
echo "imports: $(tr '\n' ' ' <"$tmp/imports")"
if grep -qiE '^(wsock32|ws2_32)\.dll$' "$tmp/imports"; then
    fail "Winsock is imported statically"
fi
# The socket layer comes by name at run time, under an error mode that keeps the
# loader's message box away.
grep -aq 'WSOCK32\.DLL' "$dll" || fail "the name WSOCK32.DLL is not in the image"
# Functions each import, as DLL:function (the DLL name in capitals).
awk '/^[ \t]*DLL Name: / { dll = toupper($3); next }
     /^[ \t]*$/ { dll = "" }
     dll != "" && NF == 3 && $2 ~ /^[0-9]+$/ { print dll ":" $3 }' "$tmp/headers" >"$tmp/functions"
for fn in KERNEL32.DLL:LoadLibraryA KERNEL32.DLL:GetProcAddress KERNEL32.DLL:FreeLibrary \
    KERNEL32.DLL:SetErrorMode KERNEL32.DLL:CreateFileA KERNEL32.DLL:SetFilePointerEx KERNEL32.DLL:ReadFile \
    USER32.DLL:LoadStringA USER32.DLL:CreateDialogParamA USER32.DLL:MsgWaitForMultipleObjectsEx \
    USER32.DLL:PostMessageA USER32.DLL:IsDialogMessageA; do
    grep -qx "$fn" "$tmp/functions" || fail "${fn#*:} is not imported from ${fn%%:*}"
done

# ---- resources ------------------------------------------------------------------------
$windres -i "$dll" -O rc >"$tmp/rc" 2>"$tmp/rc.err" || { cat "$tmp/rc.err"; fail "windres cannot read the resources"; }
# The memory flags windres prints are 16-bit lore; hex digits in one case.
sed -e 's/ MOVEABLE//; s/ PURE//; s/ DISCARDABLE//' -e 's/\(0x[0-9a-fA-F]*\)/\L\1/g' "$tmp/rc" >"$tmp/rc.norm"
if grep '^LANGUAGE' "$tmp/rc.norm" | grep -qv '^LANGUAGE 9, 1$'; then
    fail "a resource is not in English (United States): $(grep '^LANGUAGE' "$tmp/rc.norm" | sort -u | tr '\n' ' ')"
fi
grep -q '^LANGUAGE 9, 1$' "$tmp/rc.norm" || fail "no resource in English (United States)"
cat >"$tmp/dialog.expected" <<'DIALOG'
2800 DIALOG 241, 126, 160, 101
STYLE 0x80c800c0
CAPTION "LPR Printing I/O Status"
FONT 8, "MS Sans Serif"
BEGIN
  CONTROL "", 2801, "STATIC", 0x50020000, 11, 2, 140, 30
  CONTROL "Cancel", 2615, "BUTTON", 0x50010000, 60, 63, 40, 14
  CONTROL "Waiting...", 1711, "STATIC", 0x50020000, 30, 47, 80, 10
  CONTROL "Transferred", 2804, "STATIC", 0x50020000, 6, 34, 40, 8
  CONTROL "0", 2805, "STATIC", 0x50020002, 47, 34, 28, 8
  CONTROL "out of", 2806, "STATIC", 0x50020000, 78, 34, 20, 8
  CONTROL "0", 2807, "STATIC", 0x50020002, 100, 34, 27, 8
  CONTROL "bytes", 2808, "STATIC", 0x50020000, 133, 33, 20, 8
  CONTROL "", 1710, "EDIT", 0x58810000, 0, 89, 160, 12
END
DIALOG
sed -n '/ DIALOG\(EX\)\{0,1\} /,/^END$/p' "$tmp/rc.norm" >"$tmp/dialog.actual"
if cmp -s "$tmp/dialog.expected" "$tmp/dialog.actual"; then
    echo "resources: dialog 2800 as specified (not visible at creation)"
else
    fail "dialog differs (expected, actual):"
    diff "$tmp/dialog.expected" "$tmp/dialog.actual" || true
fi

# Every text of msgtext.def, in the escapes of a resource script: the line feeds of
# the texts are real line feeds in the image, which windres shows as \n again.
sed -n 's/^X(\([0-9]*\), *[A-Za-z_0-9]*, *\(".*"\))[ \t]*$/\1, \2/p' "$root/src/msgtext.def" |
    sed 's/\\"/""/g' | sort -n >"$tmp/strings.expected"
[ "$(grep -c '^X(' "$root/src/msgtext.def")" -eq "$(wc -l <"$tmp/strings.expected")" ] ||
    fail "a line of msgtext.def could not be read"
awk '/^STRINGTABLE/ { st = 1; next } st && /^BEGIN/ { next } st && /^END/ { st = 0 }
     st { sub(/^[ \t]+/, ""); print }' "$tmp/rc.norm" | sort -n >"$tmp/strings.actual"
if cmp -s "$tmp/strings.expected" "$tmp/strings.actual"; then
    echo "resources: string table holds the $(wc -l <"$tmp/strings.actual") texts of msgtext.def"
else
    fail "string table differs from msgtext.def (expected, actual):"
    diff "$tmp/strings.expected" "$tmp/strings.actual" || true
fi

# The file's properties carry the header's version, as numbers and as text.
version=$(sed -n 's/^#define VEXLOLPR_VERSION_STRING "\(.*\)"$/\1/p' "$root/include/vexlolpr.h")
commas="$(echo "$version" | sed 's/\./, /g'), 0"
if grep -qx " FILEVERSION $commas" "$tmp/rc.norm" && grep -qx " PRODUCTVERSION $commas" "$tmp/rc.norm" &&
    grep -qx "      VALUE \"FileVersion\", \"$version\"" "$tmp/rc.norm" &&
    grep -qx "      VALUE \"ProductVersion\", \"$version\"" "$tmp/rc.norm" &&
    grep -qx "      VALUE \"OriginalFilename\", \"VEXLOLPR.DLL\"" "$tmp/rc.norm"; then
    echo "resources: version $version in the file's properties"
else
    fail "the version resource does not say $version:"
    sed -n '/VERSIONINFO/,$p' "$tmp/rc.norm"
fi

# ---- the header on this target ------------------------------------------------------
cc=""
for c in $arch-w64-mingw32-gcc-posix $arch-w64-mingw32-gcc; do
    command -v "$c" >/dev/null 2>&1 && { cc=$c; break; }
done
cxx=""
for c in $arch-w64-mingw32-g++-posix $arch-w64-mingw32-g++; do
    command -v "$c" >/dev/null 2>&1 && { cxx=$c; break; }
done
if [ -z "$cc" ] || [ -z "$cxx" ]; then
    fail "no $arch-w64-mingw32 compilers for the header checks"
else
    # windows.h comes in through the public header, as in an application.
    if $cxx -std=c++17 -fsyntax-only -I"$root/include" -x c++ "$root/tests/layout.h"; then
        echo "layout: records hold their offsets and sizes on $arch"
    else
        fail "record layout on $arch"
    fi
    implib=$(dirname "$dll")/libVEXLOLPR.dll.a
    if [ ! -f "$implib" ]; then
        fail "no import library next to the DLL ($implib)"
    elif $cc -std=c99 -Wall -Wextra -Werror -Wno-cast-function-type -I"$root/include" \
        "$root/tests/windows/dllclient.c" "$implib" -Wl,--disable-stdcall-fixup -o "$tmp/dllclient.exe"; then
        $objdump -p "$tmp/dllclient.exe" | sed -n '/DLL Name: VEXLOLPR.DLL/,/^$/p' |
            awk 'NF == 3 && $2 ~ /^[0-9]+$/ { print $2, $3 }' | sort -n >"$tmp/bound"
        if cmp -s "$tmp/exports.expected" "$tmp/bound"; then
            echo "import library: a program binds all twelve by name"
        else
            fail "a program linked through the import library binds (expected, actual):"
            diff "$tmp/exports.expected" "$tmp/bound" || true
        fi
    else
        fail "a program does not link through the import library"
    fi
fi

# ---- the command ------------------------------------------------------------------------
if [ -n "$exe" ]; then
    echo "== $exe"
    case $($objdump -f "$exe") in
    *"file format pei-i386"*) [ "$arch" = i686 ] || fail "$exe is not built for $arch" ;;
    *"file format pei-x86-64"*) [ "$arch" = x86_64 ] || fail "$exe is not built for $arch" ;;
    *) fail "$exe is no Windows program of a known machine" ;;
    esac
    imports=$($objdump -p "$exe" | sed -n 's/^[ \t]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
    echo "imports: $imports"
    case " $imports" in *" VEXLOLPR.DLL "*) ;; *) fail "the command does not bind VEXLOLPR.DLL at load time" ;; esac
    for name in $imports; do
        echo "$name" | grep -qE '^(VEXLOLPR|KERNEL32|USER32|ADVAPI32|SHELL32|MSVCRT)\.DLL$' ||
            fail "the command imports $name (not a system DLL)"
    done
    $windres -i "$exe" -O rc 2>/dev/null | sed -e 's/\(0x[0-9a-fA-F]*\)/\L\1/g' >"$tmp/exe.rc" || true
    if grep -qx " FILEVERSION $commas" "$tmp/exe.rc" && grep -qx " PRODUCTVERSION $commas" "$tmp/exe.rc" &&
        grep -qx "      VALUE \"FileVersion\", \"$version\"" "$tmp/exe.rc" &&
        grep -qx "      VALUE \"OriginalFilename\", \"vexlolpr.exe\"" "$tmp/exe.rc"; then
        echo "resources: version $version in the command's properties, as in the DLL's"
    else
        fail "the command's version resource does not say $version:"
        sed -n '/VERSIONINFO/,$p' "$tmp/exe.rc"
    fi
fi

[ $status -eq 0 ] && echo "== $dll: all checks passed"
exit $status
