/* An indexed file with two keys, through the public headers alone: make it,
 * write records, read one by its primary key, find records by the
 * alternate key, walk the file in the alternate key's order, delete a
 * record, and check the file's structure.
 *
 *   cc -std=c99 indexed_two_keys.c $(pkg-config --cflags --libs kelfs)
 *   ./a.out [NAME]          makes NAME (default "customers") and NAME.vix
 *
 * Exit status 0 when every step gave what it should, 1 otherwise. */
#include <stdio.h>
#include <string.h>

#include <kelfs/config.h>
#include <kelfs/kelfs.h>

/* The record: customer number (bytes 0-7, key 0, unique), name (8-27),
 * town (28-39, key 1, duplicates allowed). */
enum { RECORD_SIZE = 40, NUMBER_AT = 0, NAME_AT = 8, TOWN_AT = 28 };

static const char *const customers[] = {
    "00000042ACME TRADING        LEEDS       ", "00000007BLUE RIVER FOODS    YORK        ",
    "00000913CASTLE HARDWARE     LEEDS       ", "00000128DALE BAKERY         BATH        ",
    "00000300EASTGATE MOTORS     LEEDS       "};
enum { CUSTOMERS = sizeof customers / sizeof customers[0] };

static int failed(const char *what, const char *name) {
  fprintf(stderr, "%s %s: %s (code %d, secondary code %ld)\n", what, name,
          fs_error_text(*fs_error_code()), *fs_error_code(), (long)*fs_error_secondary());
  return 1;
}

static int expect(int ok, const char *what) {
  if (!ok) fprintf(stderr, "unexpected: %s\n", what);
  return ok;
}

int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "customers";
  char record[RECORD_SIZE + 1];
  DorvexFile *file;
  unsigned long n;
  int i, ok = 1, leeds = 0;

  v5_init_cfg();
  cfg_apply_environment(KELFS_CONFIG_SET); /* V_TRACE=1 traces every call */
  if (!v5_init()) return failed("init", name);

  /* Physical text: node blocks, preallocation, extension, compression
   * factor, scrambling. Record text: maximum size, minimum size, keys.
   * Key text: per key "segments,duplicates" then "size,offset" per
   * segment. */
  if (!v5_make(name, "example customers", "1,1,1,0,0", "40,40,2", "1,0,8,0,1,1,12,28", NULL))
    return failed("make", name);
  file = v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, NULL);
  if (file == NULL) return failed("open", name);

  for (i = 0; i < CUSTOMERS; ++i) {
    /* 1, and code 101 when another record has the same town. */
    if (!v5_write(file, customers[i], RECORD_SIZE)) return failed("write", name);
  }

  /* Read by key 0: the key's bytes in the record buffer name the record. */
  memset(record, ' ', RECORD_SIZE);
  memcpy(record + NUMBER_AT, "00000128", 8);
  n = v5_read(file, record, V5_KEY_PRIMARY);
  if (n == 0) return failed("read", name);
  ok &= expect(n == RECORD_SIZE && memcmp(record + NAME_AT, "DALE BAKERY", 11) == 0,
               "customer 128 is Dale Bakery");

  /* Every customer in LEEDS: position on the first of them by key 1, then
   * read on while the town stays the same. */
  memcpy(record + TOWN_AT, "LEEDS       ", 12);
  if (!v5_start(file, record, 1, 0, V5_START_EQUAL)) return failed("start", name);
  while (v5_next(file, record) > 0 && memcmp(record + TOWN_AT, "LEEDS", 5) == 0) ++leeds;
  ok &= expect(leeds == 3, "three customers in Leeds");

  /* The whole file in town order, from the lowest key value on. */
  memset(record, 0, RECORD_SIZE);
  if (!v5_start(file, record, 1, 0, V5_START_NOT_LESS)) return failed("start", name);
  for (i = 0; (n = v5_next(file, record)) > 0; ++i)
    printf("%.12s %.8s %.20s\n", record + TOWN_AT, record + NUMBER_AT, record + NAME_AT);
  ok &= expect(*fs_error_code() == E_NOT_FOUND && i == CUSTOMERS, "the walk ends at the last");

  /* Delete by primary key; reading it again finds nothing. */
  memcpy(record + NUMBER_AT, "00000007", 8);
  if (!v5_delete(file, record)) return failed("delete", name);
  ok &= expect(v5_read(file, record, V5_KEY_PRIMARY) == 0 && *fs_error_code() == E_NOT_FOUND,
               "customer 7 is gone");

  if (!v5_check(file, 0)) {
    fputs(v5_check_report(), stderr);
    ok = 0;
  }
  if (!v5_close(file)) return failed("close", name);
  v5_exit();
  return ok ? 0 : 1;
}
