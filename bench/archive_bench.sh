#!/usr/bin/env bash
# kel against tar and cpio on one file set, in one run, on one disk.
#
# Usage: bash bench/archive_bench.sh [path/to/kel] [runs] [work folder]
#   defaults: build/kel, 5 runs, a temporary folder under the current one
#   (so that the file set, the archives and the restores share a disk).
#
# The file set: 4000 small files (100 B to 8 KiB, in 40 folders) and six
# large ones of 40 MiB: about 256 MiB. For each run and each tool, in turn:
# archive the set, then restore it into an empty folder. Reported: the
# median wall, user and system seconds, kel's ratio to tar, kel's CPU share
# of its wall time, peak memory, and (with strace) kel's system calls.
#
# kel ends every run with sync(2), as it must for tapes; tar and cpio do
# not, so "tar+sync" (tar followed by sync) is timed too: that is the
# like-for-like figure for kel's wall time.
set -euo pipefail

kel=$(realpath "${1:-build/kel}")
runs=${2:-5}
base=${3:-$PWD}
command -v cpio >/dev/null || { echo "cpio is missing: apt-get install -y cpio" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time is missing: apt-get install -y time" >&2; exit 1; }

work=$(mktemp -d "$base/kel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
set_dir=$work/set

echo "generating the file set in $set_dir" >&2
mkdir -p "$set_dir"
python3 - "$set_dir" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(42)
for d in range(40):
    os.makedirs(f"{root}/d{d:02d}", exist_ok=True)
for i in range(4000):
    size = rng.randint(100, 8192)
    with open(f"{root}/d{i % 40:02d}/f{i:05d}.dat", "wb") as f:
        f.write(rng.randbytes(size))
block = rng.randbytes(1 << 20)
for i in range(6):
    with open(f"{root}/large{i}.bin", "wb") as f:
        for k in range(40):
            f.write(block[k:] + block[:k])
PY
(cd "$set_dir" && find . -type f | sed 's|^\./||' | sort) > "$work/list"
total=$(du -sb "$set_dir" | cut -f1)
echo "$(wc -l < "$work/list") files, $((total / 1048576)) MiB" >&2

# One timed command: appends "name wall user sys maxrss_kb" to results.
results=$work/results
measure() {
  local name=$1; shift
  sync  # every step starts with no write-back of an earlier one pending
  /usr/bin/time -f "$name %e %U %S %M" -a -o "$results" bash -c "$*" 2>>"$work/stderr"
}

for run in $(seq "$runs"); do
  echo "run $run of $runs" >&2
  for tool in kel-o kel-ob tar tar+sync cpio; do
    rm -rf "$work/r" "$work"/archive.*
    mkdir "$work/r"
    case $tool in
      kel-o)    measure "$tool/out" "cd '$set_dir' && '$kel' -of '$work/archive.kel' < '$work/list'"
                measure "$tool/in"  "cd '$work/r' && '$kel' -idf '$work/archive.kel'" ;;
      kel-ob)   measure "$tool/out" "cd '$set_dir' && '$kel' -obf '$work/archive.kel' < '$work/list'"
                measure "$tool/in"  "cd '$work/r' && '$kel' -idf '$work/archive.kel'" ;;
      tar)      measure "$tool/out" "cd '$set_dir' && tar -c -b 20 -f '$work/archive.tar' -T '$work/list'"
                measure "$tool/in"  "cd '$work/r' && tar -x -f '$work/archive.tar'" ;;
      tar+sync) measure "$tool/out" "cd '$set_dir' && tar -c -b 20 -f '$work/archive.tar' -T '$work/list' && sync"
                measure "$tool/in"  "cd '$work/r' && tar -x -f '$work/archive.tar' && sync" ;;
      cpio)     measure "$tool/out" "cd '$set_dir' && cpio -o -H newc -B -O '$work/archive.cpio' < '$work/list'"
                measure "$tool/in"  "cd '$work/r' && cpio -i -d -B -I '$work/archive.cpio'" ;;
    esac
  done
  # The restores must be right, or the times mean nothing.
  diff -r -q "$set_dir" "$work/r" >/dev/null
done

echo
python3 - "$results" "$runs" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    parts = line.split()
    if len(parts) != 5 or "/" not in parts[0]:
        continue
    rows.setdefault(parts[0], []).append([float(x) for x in parts[1:]])
med = {k: [statistics.median(c) for c in zip(*v)] for k, v in rows.items()}
print(f"medians of {sys.argv[2]} runs (seconds; peak memory in MiB)")
print(f"{'tool/step':16} {'wall':>7} {'user':>7} {'sys':>7} {'cpu/wall':>9} {'peak':>7}")
for k in sorted(med):
    w, u, s, m = med[k]
    print(f"{k:16} {w:7.3f} {u:7.3f} {s:7.3f} {(u + s) / w if w else 0:9.2f} {m / 1024:7.1f}")
print()
for step in ("out", "in"):
    for kel in ("kel-o", "kel-ob"):
        for peer in ("tar", "tar+sync", "cpio"):
            a, b = med.get(f"{kel}/{step}"), med.get(f"{peer}/{step}")
            if a and b:
                print(f"{kel}/{step} : {peer}/{step} = {a[0] / b[0]:.2f} (wall), "
                      f"{(a[1] + a[2]) / (b[1] + b[2]):.2f} (cpu)")
PY

if command -v strace >/dev/null; then
  echo
  echo "system calls of one kel -o and one kel -i run (strace -c):"
  rm -rf "$work/r" && mkdir "$work/r"
  (cd "$set_dir" && strace -c -o "$work/strace-out" "$kel" -of "$work/archive.kel" < "$work/list" 2>/dev/null)
  (cd "$work/r" && strace -c -o "$work/strace-in" "$kel" -idf "$work/archive.kel" 2>/dev/null)
  records=$(( ($(stat -c %s "$work/archive.kel") - 512) / 512 ))
  for side in out in; do
    awk -v side="$side" -v rec="$records" '
      $NF ~ /^(read|write|openat|close|newfstatat|stat|fstat|unlink|chown|lseek)$/ {
        printf "  %-3s %-10s %8d calls  (%.3f per 512-byte record)\n", side, $NF, $4, $4 / rec }' \
      "$work/strace-$side"
  done
  echo "  records: $records"
fi
