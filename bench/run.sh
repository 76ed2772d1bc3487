#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times kvf_unpack against `cat CONTAINER > FILE`, the cost of reading and
# writing the same bytes once, on three generated workloads, alternating the
# two in the same run; prints the median ratio of wall time and the peak
# memory. Then --json against the text log on each workload, -t against
# `cat CONTAINER > /dev/null` (reading it once) on the flash one, runs that
# replace images they made before and runs that each make an image at a free
# name against a loop that makes fresh files, and --verify against a plain
# unpack of the flash workload. Not a test: CI does not run it.
#
#   bench/run.sh [SIZE_MIB [ROUNDS [RUNS_MIB]]]  defaults: 256 MiB, 7 rounds, 2 MiB of one-frame runs
#   KVF_BENCH_DIR=/path bench/run.sh      where containers and outputs go
set -euo pipefail
cd "$(dirname "$0")/.."

size=${1:-256}
rounds=${2:-7}
runs_mib=${3:-2}
dir=${KVF_BENCH_DIR:-${TMPDIR:-/tmp}/kvf_bench}
tool=$PWD/build/release/kvf_unpack
gen=$PWD/build/release/kvf_gen

cmake --workflow --preset release >/dev/null
mkdir -p "$dir/out"
for workload in flash mixed log; do
    for mib in 1 "$size"; do
        [ -s "$dir/$workload-$mib.kvf" ] || "$gen" "$workload" "$mib" "$dir/$workload-$mib.kvf"
    done
done
[ -s "$dir/revisit-$runs_mib.kvf" ] || "$gen" revisit "$runs_mib" "$dir/revisit-$runs_mib.kvf"
[ -s "$dir/images-$runs_mib.kvf" ] || "$gen" images "$runs_mib" "$dir/images-$runs_mib.kvf"
c++ -O2 -o "$dir/fresh_files" bench/fresh_files.cpp

now() { date +%s%N; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

# Runs a command in an emptied output folder with its standard output in the
# file OUTPUT, after the last run's writes have reached the disk; prints
# seconds and max RSS in KiB.
timed() {
    local output=$1
    shift
    find "$dir/out" -mindepth 1 -delete
    sync
    local start end
    start=$(now)
    (cd "$dir/out" && exec /usr/bin/time -f "%M" -o "$dir/rss" "$@" > "$output")
    end=$(now)
    echo "$(( (end - start) / 1000 )) $(cat "$dir/rss")" | awk '{printf "%.4f %d\n", $1 / 1e6, $2}'
}

echo "| workload | size | kvf_unpack s | cat s | ratio | max RSS KiB |"
echo "|---|---|---|---|---|---|"
for workload in flash mixed log; do
    container=$dir/$workload-$size.kvf
    : > "$dir/times"
    for ((round = 0; round < rounds; round++)); do
        read -r cat_s _ < <(timed copy cat "$container")
        read -r kvf_s kvf_rss < <(timed log "$tool" "$container")
        echo "$kvf_s $cat_s $kvf_rss" >> "$dir/times"
    done
    kvf=$(awk '{print $1}' "$dir/times" | median)
    cat_=$(awk '{print $2}' "$dir/times" | median)
    ratio=$(awk '{print $1 / $2}' "$dir/times" | median)
    rss=$(awk '{print $3}' "$dir/times" | median)
    printf "| %s | %s MiB | %.3f | %.3f | %.2f | %s |\n" "$workload" "$size" "$kvf" "$cat_" "$ratio" "$rss"
done

# The log as JSON Lines against the text log, and a listing, which writes
# nothing, against reading the container once.
echo
echo "| run | size | kvf_unpack s | baseline | baseline s | ratio |"
echo "|---|---|---|---|---|---|"
compare() {
    local name=$1 container=$2 baseline_name=$3 baseline_output=$4
    shift 4
    : > "$dir/times"
    for ((round = 0; round < rounds; round++)); do
        read -r base_s _ < <(timed "$baseline_output" "${baseline[@]}")
        read -r kvf_s _ < <(timed log "$@")
        echo "$kvf_s $base_s" >> "$dir/times"
    done
    printf "| %s | %s MiB | %.3f | %s | %.3f | %.2f |\n" "$name" "$(du -m "$container" | cut -f1)" \
        "$(awk '{print $1}' "$dir/times" | median)" "$baseline_name" \
        "$(awk '{print $2}' "$dir/times" | median)" "$(awk '{print $1 / $2}' "$dir/times" | median)"
}
for workload in flash mixed log; do
    baseline=("$tool" "$dir/$workload-$size.kvf")
    compare "$workload, --json" "$dir/$workload-$size.kvf" "text log" log "$tool" --json "$dir/$workload-$size.kvf"
done
baseline=(cat "$dir/flash-$size.kvf")
compare "flash, -t" "$dir/flash-$size.kvf" "cat > /dev/null" /dev/null "$tool" -t "$dir/flash-$size.kvf"
# Runs that replace the images made two runs before, against a plain loop
# that makes as many fresh files of a frame's data.
runs=$(( $(stat -c %s "$dir/revisit-$runs_mib.kvf") / 56 ))
baseline=("$dir/fresh_files" "$runs" 47)
compare "one-frame runs, 2 names" "$dir/revisit-$runs_mib.kvf" "fresh files, a loop" log \
    "$tool" "$dir/revisit-$runs_mib.kvf"
# As many one-frame runs, each at a free name of its own: an image made
# without a name and named when its run closes, against the same loop.
compare "one-frame runs, free names" "$dir/images-$runs_mib.kvf" "fresh files, a loop" log \
    "$tool" "$dir/images-$runs_mib.kvf"
# --verify sums every byte read and every flash-data byte once more.
baseline=("$tool" "$dir/flash-$size.kvf")
compare "flash, --verify" "$dir/flash-$size.kvf" "unpack" log "$tool" --verify "$dir/flash-$size.kvf"

# Peak memory must not grow with the container.
echo
echo "| workload | max RSS KiB, 1 MiB | max RSS KiB, $size MiB | growth KiB |"
echo "|---|---|---|---|"
for workload in flash mixed log; do
    small=$(for i in 1 2 3; do timed log "$tool" "$dir/$workload-1.kvf"; done | awk '{print $2}' | median)
    large=$(for i in 1 2 3; do timed log "$tool" "$dir/$workload-$size.kvf"; done | awk '{print $2}' | median)
    echo "| $workload | $small | $large | $((large - small)) |"
done
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(uname -sr), $(df -T "$dir" | awk 'NR == 2 {print $2}') in $dir"
