# lprng_spool.sh - sourced by the drivers that run LPRng's lpd, after common.sh: what lpd
# keeps in its spool and logs (with -D lpr+1) per connection.  The drivers set `spool`
# (the queue's directory) and `work` (where lpd.out is).
#
# A received job is an hfA<number> file (the job's attributes, one KEY=value a line,
# with the control file's lines among them: H, P, J, C, L, T) and its dfA<number><host>
# data files.  The key hfdatafiles holds per data file: copies, dftransfername, format,
# N and size, separated by \002 and closed by \001.

jobs_now() { ls "$spool" | sed -n 's/^hfA\([0-9][0-9]*\)$/\1/p' | sort; }
# lpd writes the record when the control file arrives and adds the sizes once every data
# file is in.
job_settled() { grep -a -q '^size=' "$spool/hfA$1" 2>/dev/null; }
job_files() { ls "$spool" | grep -E '^(hfA|dfA|cfA|temp)' | sort; }

hf_field() { grep -a -m1 "^$2=" "$spool/hfA$1" | cut -d= -f2-; }
hf_has() { grep -a -q "^$2=" "$spool/hfA$1"; }
hf_datafield() {
    grep -a -m1 '^hfdatafiles=' "$spool/hfA$1" | cut -d= -f2- | tr '\001\002' '\n\n' |
        grep -a -m1 "^$2=" | cut -d= -f2-
}

# The subcommand lines lpd read on the connection that carried cfA<number>, joined by
# '|', control octets in ^X notation.
wire_lines() {
    awk -v name="cfA$1" '
        /Receive_job: read from .* bytes \047/ {
            line = $0
            sub(/^.* bytes \047/, "", line)
            sub(/\047$/, "", line)
            if (line == "") next
            seq[$3] = seq[$3] line "|"
            if (index(line, name) == 1 || index(line, " " name) > 0) hit = $3
        }
        END { if (hit != "") print seq[hit] }' "$work/lpd.out"
}
