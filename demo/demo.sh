#!/usr/bin/env bash
# kel at work on a small sample tree: archive it, list the archive, restore
# it into a fresh folder and show that the two trees match. Needs no
# terminal. Usage: bash demo/demo.sh build/kel
set -euo pipefail

kel=$(realpath "${1:-build/kel}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kel-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TZ=UTC

echo "== a sample tree of COBOL data files in $work/sample"
mkdir -p "$work/sample/ledger/2023" "$work/sample/reports"
printf 'CUST0001ACME TRADING CO      00012500\nCUST0002BLUE RIVER FOODS    00000780\n' \
  > "$work/sample/ledger/customers.dat"
for month in 01 02 03; do
  seq -f "INV%08g 2023-$month 0000123.45" 1 400 > "$work/sample/ledger/2023/invoices-$month.dat"
done
head -c 40000 /dev/urandom > "$work/sample/ledger/rates.bin"
printf '\x10\x12\x14\x20 a file that is always archived binary' > "$work/sample/ledger/index.rel"
printf 'Monthly summary\n===============\n' > "$work/sample/reports/summary.txt"
chmod 0640 "$work/sample/ledger/customers.dat"
(cd "$work/sample" && find . -type f | sed 's|^\./||' | sort) > "$work/list"
# A blank and "b" after a name archives the file as binary.
sed -i 's|^ledger/rates.bin$|ledger/rates.bin b|' "$work/list"
cat "$work/list"

echo
echo "== kel -ovf sample.kel < list   (names on the error output)"
(cd "$work/sample" && "$kel" -ovf "$work/sample.kel" < "$work/list")
ls -l "$work/sample.kel"

echo
echo "== kel -itvf sample.kel   (mode, owner, size, time, name)"
"$kel" -itvf "$work/sample.kel"

echo
echo "== kel -idmf sample.kel   (restore into a fresh folder, folders made, times kept)"
mkdir "$work/restored"
(cd "$work/restored" && "$kel" -idmf "$work/sample.kel")

echo
echo "== diff -r sample restored"
diff -r "$work/sample" "$work/restored"
echo "the restored tree matches the original"
