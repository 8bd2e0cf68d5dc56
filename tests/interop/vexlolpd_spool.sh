# vexlolpd_spool.sh - sourced by the drivers that run vexlolpd, after common.sh: what
# vexlolpd keeps (every file exactly as received, SPOOL/lp/cfA..., dfA...) and logs
# (each file received, each job queued, per connection), checked against what the
# client was asked to send.  The drivers set `spool` (the queue's directory), `work`,
# `host` (as the library takes it) and, when the server is not at 127.0.0.1,
# `server_address` (as bash's /dev/tcp takes it: ::1).

jobs_now() { ls "$spool" | sed -n 's/^cfA\([0-9][0-9][0-9]\).*$/\1/p' | sort; }
spool_files() { ls -A "$spool" "$work/spool" | sort; }
control_name() { ls "$spool" | grep -m1 "^cfA$1"; }
# The " queued" line, which check_job reads, follows the job into the queue.
job_settled() { grep -q " queued cfA$1" "$work/lpd.out"; }

# The files vexlolpd received on the connection that queued cfA<number>..., joined by
# '|' ("data file NAME, N bytes|control file NAME, M bytes|").
wire_lines() {
    awk -v number="$1" '
        / (data|control) file [cd]fA[0-9]+.*, [0-9]+ bytes$/ {
            line = $0
            sub(/^vexlolpd: #[0-9]+ /, "", line)
            seq[$2] = seq[$2] line "|"
        }
        / queued cfA/ && index($0, " queued cfA" number) > 0 { hit = $2 }
        END { if (hit != "") print seq[hit] }' "$work/lpd.out"
}

# check_job NAME NUMBER FILE HOST USER JOBNAME CLASS NOBANNER FORMAT COPIES ORDER
check_job() {
    local name=$1 n=$2 file=$3 chost=$4 user=$5 jobname=$6 class=$7 nobanner=$8 format=$9
    local copies=${10} order=${11}
    local stem="fA$n$chost" size control wanted
    size=$(wc -c <"$file")
    check_eq "$name: file names carry the client host" "cfA$n$chost dfA$n$chost" \
        "$(ls "$spool" | grep -E "^[cd]fA$n" | sort | tr '\n' ' ' | sed 's/ $//')"
    check_cmp "$name: data file equals $(basename "$file")" "$file" "$spool/d$stem"
    expected_control "$chost" "$user" "$jobname" "$class" "$nobanner" "$format" "$copies" "$stem" "$file" \
        >"$work/cf.expected"
    check_text "$name: control file, line by line" "$work/cf.expected" "$spool/c$stem"
    control=$(wc -c <"$work/cf.expected")
    if [ "$order" = data-first ]; then
        wanted="data file d$stem, $size bytes|control file c$stem, $control bytes|"
    else
        wanted="control file c$stem, $control bytes|data file d$stem, $size bytes|"
    fi
    check_eq "$name: files in the order sent ($order)" "$wanted" "$(wire_lines "$n")"
}

# listing_check NAME NUMBERS...: the library's listing is the server's own bytes and
# has one line per job (owner, number, title, size) for exactly these job numbers.
listing_check() {
    local name=$1 n cf owner title size lines
    shift
    client_ok "$name: queue request succeeds" queue queue "$host" lp || return
    raw_listing lp "$work/queue.raw" 3 "${server_address:-}"
    check_cmp "$name: listing equals the server's bytes" "$work/queue.raw" "$work/queue.out"
    if [ $# -eq 0 ]; then
        check_eq "$name: listing says the queue is empty" "no entries" "$(cat "$work/queue.out")"
        return
    fi
    lines=$(awk '$1 ~ /^[0-9]+(st|nd|rd|th)$/' "$work/queue.out" | wc -l)
    check_eq "$name: listing has one line per job" "$#" "$lines"
    for n in "$@"; do
        cf=$(control_name "$n")
        owner=$(sed -n 's/^P//p' "$spool/$cf")
        title=$(sed -n 's/^N//p' "$spool/$cf")
        size=$(wc -c <"$spool/d${cf#c}")
        if awk -v o="$owner" -v n="$n" -v t="$title" -v s="$size" \
            '$2 == o && $3 == n + 0 && $4 == t && $(NF - 1) == s && $NF == "bytes" { found = 1 }
             END { exit !found }' "$work/queue.out"; then
            pass "$name: listing shows job $n ($owner, $size bytes)"
        else
            fail "$name: listing shows job $n ($owner, $title, $size bytes)" "$(cat "$work/queue.out")"
        fi
    done
}
