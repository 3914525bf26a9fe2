#!/usr/bin/env bash
# Runs benchmarks built against Qt 5 (build-bench/) and Qt 6 (build-bench6/) one after the
# other on this machine, and prints each figure's ratio to its baseline side by side.
#
#   bash bench/compare-qt.sh [--rounds N] [BENCH[:ARGS]...]
#
# BENCH defaults to bench_tilemap and bench_tiletool; ARGS go to the benchmark, commas for
# spaces (bench_tilemap:--still). Each round runs every benchmark on Qt 5 and then on Qt 6,
# the order swapped every other round; a figure's column is the median of its rounds. The
# load average before each run is printed, since the figures mean little on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=1
benches=()
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) benches+=("$1"); shift ;;
    esac
done
[ ${#benches[@]} -gt 0 ] || benches=(bench_tilemap bench_tiletool)

options=(-DCMAKE_BUILD_TYPE=Release -DVELTRA_BUILD_BENCH=ON -DVELTRA_BUILD_TESTS=OFF
         -DVELTRA_BUILD_DEMO=OFF)
for qt in 5 6; do
    dir=build-bench; [ "$qt" = 6 ] && dir=build-bench6
    cmake -S . -B "$dir" -DQT_MAJOR_VERSION="$qt" "${options[@]}" > /dev/null
    cmake --build "$dir" --parallel 2 > /dev/null
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for ((round = 1; round <= rounds; ++round)); do
    order=(5 6); [ $((round % 2)) = 0 ] && order=(6 5)
    for bench in "${benches[@]}"; do
        name=${bench%%:*}
        args=(); [ "$name" != "$bench" ] && IFS=, read -r -a args <<< "${bench#*:}"
        for qt in "${order[@]}"; do
            dir=build-bench; [ "$qt" = 6 ] && dir=build-bench6
            echo "== round $round, $name ${args[*]:-} on Qt $qt, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
            "$dir/bench/$name" ${args[@]+"${args[@]}"} > "$out/$round-$qt-$name.txt"
        done
    done
done

python3 - "$out" "$rounds" "${benches[@]}" <<'EOF'
import re, statistics, sys
out, rounds, benches = sys.argv[1], int(sys.argv[2]), [b.split(':')[0] for b in sys.argv[3:]]
row = re.compile(r'^\|\s*([^|]+?)\s*\|\s*([\d.]+) ms\s*\|\s*([\d.]+) ms\s*\|\s*([\d.]+)\s*\|')
for bench in dict.fromkeys(benches):
    figures = {}
    for qt in ('5', '6'):
        for r in range(1, rounds + 1):
            with open(f'{out}/{r}-{qt}-{bench}.txt') as f:
                for line in f:
                    m = row.match(line)
                    if m:
                        figure = figures.setdefault(m.group(1), {'5': [], '6': []})
                        measured, baseline = float(m.group(2)), float(m.group(3))
                        figure[qt].append((measured, measured / baseline))
    print(f'\n{bench}\n')
    print('| figure | Qt 5 | Qt 5 ratio | Qt 6 | Qt 6 ratio | Qt 6 ratio / Qt 5 ratio |')
    print('|---|---|---|---|---|---|')
    for name, by in figures.items():
        if not by['5'] or not by['6']:
            continue
        ms5 = statistics.median(v[0] for v in by['5'])
        r5 = statistics.median(v[1] for v in by['5'])
        ms6 = statistics.median(v[0] for v in by['6'])
        r6 = statistics.median(v[1] for v in by['6'])
        print(f'| {name} | {ms5:.3f} ms | {r5:.3f} | {ms6:.3f} ms | {r6:.3f} | {r6 / r5:.3f} |')
EOF
