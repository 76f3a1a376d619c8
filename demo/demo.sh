#!/usr/bin/env bash
# kel at work on a small sample tree of plain and indexed files: archive
# it, list the archive, restore it into a fresh folder and show that the
# two trees match (the indexed file record by record in the order of each
# of its keys, since a restore re-creates it through the engine). Needs no
# terminal. Usage: bash demo/demo.sh build/kel [build/dorvex-tool]
set -euo pipefail

kel=$(realpath "${1:-build/kel}")
tool=$(realpath "${2:-$(dirname "$kel")/dorvex-tool}")
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

# An indexed customer master (custmast and its index segment custmast.vix):
# customer number, name, town (key 1, shared by many), balance and a remark
# of varying length, written in no particular order. dorvex-tool loads it
# from a text unload file: the layout, then one record a line.
towns=(LEEDS YORK HULL DERBY BATH ELY DOVER WELLS)
for i in $(seq 1 300); do
  printf '%08d%-20s%-12s%09d%s\n' $(( (i * 7919) % 100000 )) "CUSTOMER $i" \
    "${towns[$((i % 8))]}" $(( i * 37 )) "$(printf '%*s' $((i % 16)) '' | tr ' ' '*')"
done > "$work/records"
{
  printf 'dorvex-tool unload 1\nversion 5\n'
  printf 'record-parameters 64,40,2\nphysical-parameters 1,1,1,100,0\ncomment kel demo\n'
  printf 'translation-table none\nkey 0 1,0,8,0\nkey 1 1,1,12,28\n'
  printf 'records %d\n' "$(wc -l < "$work/records")"
  cat "$work/records"
} > "$work/custmast.unl"
"$tool" load "$work/custmast.unl" "$work/sample/ledger/custmast"

# The list names the indexed file once: kel carries its segments itself.
(cd "$work/sample" && find . -type f ! -name '*.vix' | sed 's|^\./||' | sort) > "$work/list"
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
echo "== diff -r sample restored   (the indexed file apart)"
diff -r -x custmast -x custmast.vix "$work/sample" "$work/restored"
echo "the plain files match the originals"

echo
echo "== the indexed file, record by record in the order of each key"
# dorvex-tool unload --text writes the layout, then one record a line.
list() { "$tool" unload "$1" "$work/list.unl" --key "$2" --text 2>/dev/null &&
  sed '1,/^records /d' "$work/list.unl" && rm "$work/list.unl"; }
for key in 0 1; do
  list "$work/sample/ledger/custmast" $key > "$work/original.$key"
  list "$work/restored/ledger/custmast" $key > "$work/restored.$key"
done
diff "$work/original.0" "$work/restored.0"
echo "key 0 (customer number): $(wc -l < "$work/restored.0") records in the same order"
# Records sharing a town come in the order they were written, and the
# restore writes them in customer-number order: the towns follow in the
# same order, and each town holds the same records.
diff <(cut -c29-40 "$work/original.1") <(cut -c29-40 "$work/restored.1")
diff <(sort "$work/original.1") <(sort "$work/restored.1")
echo "key 1 (town): $(wc -l < "$work/restored.1") records, the same towns in the same order"
echo "the first records in town order, as restored:"
head -3 "$work/restored.1"

echo
echo "== dorvex-tool info restored/ledger/custmast"
"$tool" info "$work/restored/ledger/custmast"

echo
echo "== dorvex-tool check restored/ledger/custmast"
"$tool" check "$work/restored/ledger/custmast"

echo
echo "== the next day: changes under transactions, with the shared log today.log"
# Last night's archive is sample.kel. Today a program changes the customer
# master in transactions; the log keeps every committed one.
rec() { printf '%08d%-20s%-12s%09d%s' "$1" "$2" "$3" "$4" "${5:-}"; }
{
  echo "+$(rec 99001 'NEW CUSTOMER ONE' YORK 100)"
  echo "+$(rec 99002 'NEW CUSTOMER TWO' ELY 200 '**')"
  echo "commit"
  echo "=$(rec 7919 'CUSTOMER 1 MOVED' DOVER 37 '*')"
  echo "-$(rec 15838 x x 0)"
  echo "commit"
  echo "+$(rec 99003 'NEVER HAPPENED' BATH 1)"
  echo "-$(rec 99001 x x 0)"
  echo "rollback"
} > "$work/changes"
cat "$work/changes"
(cd "$work/sample" && "$tool" transact ledger/custmast "$work/today.log" < "$work/changes")
ls -l "$work/today.log"

echo
echo "== the disk is lost: restore last night's archive, then replay today's log"
mkdir "$work/recovered"
(cd "$work/recovered" && "$kel" -idmf "$work/sample.kel" && "$tool" recover "$work/today.log")
for key in 0 1; do
  list "$work/sample/ledger/custmast" $key > "$work/today.$key"
  list "$work/recovered/ledger/custmast" $key > "$work/recovered.$key"
done
diff "$work/today.0" "$work/recovered.0"
echo "key 0: $(wc -l < "$work/recovered.0") records, as they were at the end of the day"
diff <(cut -c29-40 "$work/today.1") <(cut -c29-40 "$work/recovered.1")
diff <(sort "$work/today.1") <(sort "$work/recovered.1")
echo "key 1: the same towns in the same order, each with the same records"
if grep -q '^00099003' "$work/recovered.0"; then echo "a rolled-back change came back" >&2; exit 1; fi
echo "the rolled-back customer 99003 is not there"
"$tool" check "$work/recovered/ledger/custmast"
