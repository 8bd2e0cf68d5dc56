#!/bin/sh
# The library's manual pages (man/*.3) against its header: every export has a page that
# the overview names, each page renders without a warning (groff; mandoc too where it is
# installed), its SYNOPSIS declares what the header declares (prototypes, records and
# constants; comments and spacing aside), its references lead to pages that exist, and
# its EXAMPLE compiles against the header.
#   check_manpages.sh SOURCE_DIR [C_COMPILER]
set -u
source_dir=$1
cc=${2:-cc}
header=$source_dir/include/vexlolpr.h
mandir=$source_dir/man
work=$(mktemp -d /tmp/vexlolpr-man.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $1"
    status=1
}

# The C text of a section's no-fill blocks, with requests dropped and escapes undone.
code() { # PAGE SECTION
    sed -n "/^\\.SH \"*$2\"*\$/,/^\\.SH /p" "$1" | sed -n '/^\.\(nf\|EX\)/,/^\.\(fi\|EE\)/p' |
        sed -e '/^\./d' -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' \
            -e 's/\\&//g' -e 's/\\e/\\/g'
}
# The declarations of a C text, one a line as KIND NAME<TAB>DECLARATION: functions,
# records and #define lines, without comments and with spaces only between words.
decls() {
    perl -0777 -ne '
        sub norm { my $s = shift; $s =~ s/\s+/ /g; $s =~ s/ ?([][(){},;*]) ?/$1/g; $s =~ s/^ | $//g; $s }
        s/\\\n//g;
        s{/\*.*?\*/}{ }gs;
        print "define $1\t", norm($2), "\n" while /^[ \t]*#[ \t]*define[ \t]+(\w+)[ \t]+(.*\S)[ \t]*$/mg;
        s/^[ \t]*#.*$//mg;
        print "struct $1\t", norm($&), "\n" while /typedef\s+struct\s+(\w+)\s*\{[^}]*\}\s*\w+\s*;/g;
        print "function $2\t", norm($1), "\n" while /(?:LPR_EXPORT\s+)?(\b\w[\w\s*]*?\b(\w+)\s*\([^()]*\)\s*;)/g;
    '
}
# The codes a page names against the header ("LPR_ERR_TIMEOUT (4913)", "4913 LPR_ERR_TIMEOUT")
# and, for the overview, every message of the table with its code, name and exact text.
codes() { # PAGE ALL-MESSAGES(0/1)
    perl -e '
        my ($header, $def, $page, $all) = @ARGV;
        my (%value, %name);
        open my $h, "<", $header or die; /^#define\s+(LPR_\w+)\s+(\d+)\b/ and $value{$1} = $2 for <$h>;
        open my $d, "<", $def or die; my @messages = grep { defined } map { /^X\((\d+), (\w+), "(.*)"\)$/ ? [$1, $2, $3] : undef } <$d>;
        open my $p, "<", $page or die; (my $shown = $page) =~ s{.*/}{};
        my $text = join " ", map { /^\.(?:[BI]|[BIR][BIR])\s/ ? s/^\.\w+\s+//r =~ s/"//gr : /^\./ ? "" : $_ } <$p>;
        $text =~ s/\\f[BIRP]|\\&//g; $text =~ s/\\-/-/g; $text =~ s/\\\(dq/"/g; $text =~ s/\\\(aq/\x27/g; $text =~ s/\s+/ /g;
        while ($text =~ /\b(LPR_\w+) \((\d+)\)|\b(\d+) (LPR_\w+)\b/g) {
            my ($n, $v) = defined $1 ? ($1, $2) : ($4, $3);
            print "FAIL: ${shown}: $n ($v), but the header defines $n as ", $value{$n} // "nothing", "\n"
                if exists $value{$n} && $value{$n} ne $v || !exists $value{$n} && $n =~ /^LPR_(ERR|R|MSG)_/;
        }
        for (@messages) {
            my ($id, $n, $t) = @$_;
            print "FAIL: ${shown} does not list $id $n \"$t\"\n" if $all && $t !~ /\\n/ && $text !~ /\b$id (?:$n )?"\Q$t\E"/;
        }
    ' "$header" "$source_dir/src/msgtext.def" "$1" "$2"
}

exports=$(sed -n 's/^LPR_EXPORT .*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header")
[ -n "$exports" ] || fail "no LPR_EXPORT declarations in $header"
decls <"$header" >"$work/header.decls"
command -v groff >/dev/null 2>&1 || fail "groff not found (Debian: groff-base)"
mandoc=$(command -v mandoc) || echo "(mandoc not found: pages checked with groff alone)"
pages=$(cd "$mandir" && for page in *.3; do echo "${page%.3}"; done)
checked=0
for name in $(printf '%s\n' vexlolpr "$exports" "$pages" | sort -u); do
    page=$mandir/$name.3
    printf '%s\n' vexlolpr "$exports" | grep -qx "$name" || {
        fail "$name.3 documents nothing the header exports"
        continue
    }
    [ -f "$page" ] || {
        fail "$name has no manual page ($page)"
        continue
    }
    checked=$((checked + 1))
    title=$(echo "$name" | tr '[:lower:]' '[:upper:]')
    grep -q "^\\.TH $title 3 " "$page" || fail "$name.3: no '.TH $title 3' line"
    [ "$(sed -n '/^\.SH NAME$/{n;p;}' "$page" | cut -d' ' -f1-2)" = "$name \\-" ] ||
        fail "$name.3: its NAME section does not begin with '$name \\-'"
    out=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$out" ] || fail "$name.3: groff: $out"
    if [ -n "$mandoc" ]; then
        out=$("$mandoc" -Tlint -Wwarning "$page" 2>&1)
        [ -z "$out" ] || fail "$name.3: $out"
    fi
    out=$(codes "$page" "$([ "$name" = vexlolpr ] && echo 1 || echo 0)")
    [ -z "$out" ] || fail "${out#FAIL: }"
    for ref in $(sed -n 's/^\.BR \(LPR_[A-Za-z]*\|WEP\|WNWaitDlg\|vexlolpr\) (3).*/\1/p' "$page"); do
        [ -f "$mandir/$ref.3" ] || fail "$name.3 refers to $ref(3), which has no page"
    done

    code "$page" SYNOPSIS | decls >"$work/$name.decls"
    if [ "$name" != vexlolpr ]; then
        grep -q "^function $name	" "$work/$name.decls" || fail "$name.3: the SYNOPSIS does not declare $name"
        grep -q "^\\.BR $name (3)" "$mandir/vexlolpr.3" || fail "vexlolpr.3 does not name $name(3)"
    fi
    awk -F'\t' -v page="$name.3" '
        NR == FNR { header[$1] = $2; next }
        !($1 in header) { print "FAIL: " page ": the SYNOPSIS declares " $1 ", which the header does not"; bad = 1; next }
        $2 != header[$1] { print "FAIL: " page ": " $1 " in the SYNOPSIS\n  " $2 "\nin the header\n  " header[$1]; bad = 1 }
        END { exit bad }' "$work/header.decls" "$work/$name.decls" || status=1

    code "$page" EXAMPLE >"$work/$name.c"
    if [ -s "$work/$name.c" ]; then
        "$cc" -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$source_dir/include" \
            "$work/$name.c" >"$work/cc.out" 2>&1 || fail "$name.3: its EXAMPLE does not compile: $(cat "$work/cc.out")"
    fi
done
echo "manual pages: $checked checked, $(echo "$exports" | wc -l) exports"
exit $status
