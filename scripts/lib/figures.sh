# shellcheck shell=bash disable=SC2154 # $work is set by stream.sh, sourced first
# Used by scripts/load.sh: how it reads CPU times and the figures its probes print; figure reads
# the latency probe's output in $work.
# utime + stime of a process, in milliseconds; nothing once it has ended and been reaped.
cpu_ms() {
    local stat fields
    stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 0
    read -r -a fields <<<"${stat##*) }"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}
# spent BEFORE AFTER: the CPU milliseconds between two cpu_ms readings; nothing when either is
# missing (the process ended in between), which the figures below print as "-".
spent() { [ -z "$1" ] || [ -z "$2" ] || echo $(($2 - $1)); }
per() {
    awk -v ms="$1" -v n="$2" 'BEGIN { if (ms != "" && n > 0) printf "%.2f", ms * 1000 / n; else print "-" }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b != "" && b > 0) printf "%.2fx", a / b; else print "-" }'
}
percent() { awk -v ms="$1" -v s="$2" 'BEGIN { if (ms != "") printf "%.2f", ms / s / 10; else print "-" }'; }
figure() { sed -n "s/^$1 //p" "$work/latency.out"; }
ms() { local v; v="$(figure "$1")"; echo "${v:--} ms"; }
# value_of FILE KEY: a figure a monitor printed.
value_of() { sed -n "s/^$2 //p" "$1"; }
