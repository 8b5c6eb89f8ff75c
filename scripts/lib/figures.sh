# shellcheck shell=bash disable=SC2154 # $work is set by stream.sh, sourced first
# Used by scripts/load.sh: how it reads CPU times and the figures its probes print; figure reads
# the latency probe's output in $work.
# utime + stime of a process, in milliseconds.
cpu_ms() {
    local fields
    read -r -a fields <<<"$(sed 's/^.*) //' "/proc/$1/stat")"
    # After the command name: state is field 3, utime 14 and stime 15 of the whole line.
    echo $(((fields[11] + fields[12]) * 1000 / $(getconf CLK_TCK)))
}
per() { awk -v ms="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.2f", ms * 1000 / n; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
percent() { awk -v ms="$1" -v s="$2" 'BEGIN { printf "%.2f", ms / s / 10 }'; }
figure() { sed -n "s/^$1 //p" "$work/latency.out"; }
ms() { local v; v="$(figure "$1")"; echo "${v:--} ms"; }
# value_of FILE KEY: a figure a monitor printed.
value_of() { sed -n "s/^$2 //p" "$1"; }
