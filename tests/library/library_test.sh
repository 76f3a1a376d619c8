#!/usr/bin/env bash
# The library as others get it.
#   exports SRC BUILD   libkelfs.so exports exactly the names of
#                       src/fsapi/kelfs.exports, libkelfs.a has no other
#                       global definition, and every listed name is declared
#                       in a public header
#   install SRC BUILD   install into a DESTDIR, then build and run the
#                       examples with pkg-config from the installed tree,
#                       against libkelfs.so and statically against
#                       libkelfs.a, with a caller that defines names the
#                       library uses inside (read_at, eprintf, M_alloc)
set -euo pipefail
mode=$1 src=$(realpath "$2") build=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/kelfs-library.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "$mode" = exports ]; then
  grep -E '^[A-Za-z_]' "$src/src/fsapi/kelfs.exports" | sort > "$work/listed"
  nm -D --defined-only "$build/libkelfs.so" | awk '{print $3}' | sort > "$work/shared"
  nm -g --defined-only "$build/libkelfs.a" | awk 'NF == 3 {print $3}' | sort > "$work/static"
  diff -u "$work/listed" "$work/shared"
  diff -u "$work/listed" "$work/static"
  readelf -d "$build/libkelfs.so" | grep -q 'SONAME.*\[libkelfs\.so\.1\]'
  readelf -d "$build/libkelfs.so" | grep -q 'NEEDED.*\[libstdc++'
  while read -r name; do
    grep -qE "[ *]$name\(" "$src"/include/kelfs/*.h || { echo "$name: in no public header"; exit 1; }
  done < "$work/listed"
  echo "$(wc -l < "$work/listed") names exported, as listed"
  exit 0
fi

DESTDIR="$work/root" cmake --install "$build" > /dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
pc_dir=$(dirname "$(find "$work/root" -name kelfs.pc)")
export PKG_CONFIG_SYSROOT_DIR="$work/root" PKG_CONFIG_LIBDIR="$pc_dir"
for f in lib/libkelfs.so.1 include/kelfs/kelfs.h include/kelfs/config.h bin/kel bin/dorvex-tool \
         share/man/man1/kel.1 share/man/man1/dorvex-tool.1; do
  [ -e "$work/root$prefix/$f" ] || [ -e "$work/root$prefix/${f/lib\//lib64\/}" ] ||
    { echo "not installed: $f"; exit 1; }
done

# A caller with names of its own that the library also has inside.
cat > "$work/clash.c" <<'C'
int read_at(void) { return 7; }
int eprintf(void) { return 8; }
void *M_alloc(void) { return 0; }
C
cd "$work"
for example in indexed_two_keys relative_sequential; do
  cc -std=c99 -Wall -Wextra -pedantic -Werror -o shared_$example \
    "$src/examples/$example.c" clash.c $(pkg-config --cflags --libs kelfs)
  libs_static=$(pkg-config --static --libs kelfs | sed 's/-lkelfs/-Wl,-Bstatic -lkelfs -Wl,-Bdynamic/')
  cc -std=c99 -Wall -Wextra -pedantic -Werror -o static_$example \
    "$src/examples/$example.c" clash.c $(pkg-config --cflags kelfs) $libs_static
  ! readelf -d static_$example | grep -q 'NEEDED.*libkelfs'
  mkdir run_$example && (cd run_$example &&
    LD_LIBRARY_PATH="$(dirname "$(find "$work/root" -name libkelfs.so.1)")" ../shared_$example >/dev/null &&
    rm -f ./* && ../static_$example > /dev/null)
done
echo "installed tree: examples built and run, shared and static"
