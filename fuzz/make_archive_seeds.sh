#!/usr/bin/env bash
# Writes the seed archives of the archive target into a folder, made by kel
# itself from a small tree (plain text and binary files, a folder, an
# indexed file made by the engine), in each format kel writes, plus an
# archive of byte-swapped media, a version 4 archive (no longer written,
# still read) and a damaged one for the recovery search. Each file starts
# with the target's option byte (fuzz/archive_target.cpp).
# Usage: bash fuzz/make_archive_seeds.sh build/kel build/dorvex-tool OUT
set -euo pipefail
kel=$(realpath "$1")
tool=$(realpath "$2")
mkdir -p "$3"
out=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p tree/sub
printf 'first line\nsecond line\n' > tree/notes.txt
printf '\x00\x01\x02\xff binary' > tree/sub/blob.bin
{
  printf 'dorvex-tool unload 1\nversion 5\nrecord-parameters 64,40,2\n'
  printf 'physical-parameters 1,1,1,100,0\ncomment kel demo\ntranslation-table none\n'
  printf 'key 0 1,0,8,0\nkey 1 1,1,12,28\nrecords 6\n'
  for i in 1 2 3 4 5 6; do
    printf '%08d%-20s%-12s%09d%s\n' $((i * 37)) "NAME $i" "TOWN$((i % 3))" $i "$(printf '%*s' $i '' | tr ' ' '*')"
  done
} > cust.unl
"$tool" load cust.unl tree/cust 2>/dev/null
list=$'notes.txt\nsub/blob.bin b\ncust'

seed() {  # seed NAME OPTION-BYTE ARCHIVE
  { printf "\\x$2"; cat "$3"; } > "$out/$1"
}
(cd tree && "$kel" -of "$work/plain.kel" <<< "$list") 2>/dev/null
(cd tree && "$kel" -obf "$work/big.kel" <<< "$list") 2>/dev/null
(cd tree && "$kel" -okf "$work/k.kel" <<< "$list") 2>/dev/null
(cd tree && "$kel" -o1f "$work/old.kel" <<< "$list") 2>/dev/null
seed plain 00 plain.kel
seed flat 03 plain.kel
seed listed 40 plain.kel
seed v3 04 plain.kel
seed v4 08 plain.kel
seed big 0c big.kel
seed k 20 k.kel
seed old 00 old.kel
# Names that lead out of the folder of the restore, relative and absolute.
mkdir -p deep/er && echo out > outside
(cd deep/er && "$kel" -of "$work/outside.kel" <<< $'../../outside\n'"$work/outside") 2>/dev/null
seed outside 00 outside.kel
seed outside-flat 01 outside.kel
dd if=plain.kel of=swapped.kel conv=swab status=none
seed swapped 00 swapped.kel
# Garbage ahead of a member: the recovery search finds it.
{ head -c 512 plain.kel; printf 'garbage%.0s' {1..20}; tail -c +513 plain.kel; } > search.kel
seed search 80 search.kel
# Version 4: fixed-length records behind the old key description.
keys="001,001,2,0006,02,004,0000,002,0004,Y,N,N,N"
{
  printf '%08x%06o%05d%05d%010d%03d%010d%s%s' $((0x10121417)) 33188 0 0 1000000000 3 12 V old
  printf '%02d%03d%s%s' 4 ${#keys} note "$keys"
  printf 'abcd12efgh34'
  printf '%08x%06o%05d%05d%010d%03d%010d%s%s' $((0x10121417)) 0 0 0 0 10 0 N 'TRAILER!!!'
} > members
truncate -s 512 members
{ printf 'KEL!040100000005120512Thu Jan  1 00:00:00 1970\n'; head -c 465 /dev/zero; cat members; } > v4.kel
seed format4 00 v4.kel
ls -l "$out"
