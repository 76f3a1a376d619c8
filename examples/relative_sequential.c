/* Relative and sequential files, through the public headers alone: a
 * relative file of numbered slots (write, read by number, rewrite,
 * delete, walk) changed in transactions with a shared log (one committed,
 * one rolled back), and a sequential text file written from it and read
 * back.
 *
 *   cc -std=c99 relative_sequential.c $(pkg-config --cflags --libs kelfs)
 *   ./a.out [DIR]     makes DIR/accounts.rel, DIR/accounts.txt and the
 *                     log DIR/accounts.log
 *
 * Exit status 0 when every step gave what it should, 1 otherwise.
 *
 * A relative file takes part in transactions when it is opened with
 * KEL_OPEN_LOGGED: its changes between v5_begin() and v5_commit() reach
 * the log (LOG_FILE) together, and v5_rollback() takes them back. */
#include <stdio.h>
#include <string.h>

#include <kelfs/config.h>
#include <kelfs/kelfs.h>

enum { SLOT = 32 };

static int failed(const char *what, const char *name) {
  fprintf(stderr, "%s %s: %s (code %d)\n", what, name, fs_error_text(*fs_error_code()),
          *fs_error_code());
  return 1;
}

static int expect(int ok, const char *what) {
  if (!ok) fprintf(stderr, "unexpected: %s\n", what);
  return ok;
}

int main(int argc, char **argv) {
  const char *dir = argc > 1 ? argv[1] : ".";
  char rel_name[4096], seq_name[4096], log_name[4096], record[SLOT + 1];
  RelativeFile *rel;
  SequentialFile *seq;
  int n, count = 0, ok = 1;
  snprintf(rel_name, sizeof rel_name, "%s/accounts.rel", dir);
  snprintf(seq_name, sizeof seq_name, "%s/accounts.txt", dir);
  snprintf(log_name, sizeof log_name, "%s/accounts.log", dir);

  v5_init_cfg();
  cfg_apply_environment(KELFS_CONFIG_SET);
  cfg_set_string("LOG_FILE", KELFS_CONFIG_SET, log_name);
  if (!Ar_init()) return failed("init", rel_name);

  /* Variable-length records of up to SLOT bytes: maximum SLOT, minimum 1. */
  if (!Ar_make(rel_name, "", 0)) return failed("make", rel_name);
  rel = Ar_open(rel_name, KEL_OPEN_IO | KEL_OPEN_LOGGED, SLOT, 1, 0);
  if (rel == NULL) return failed("open", rel_name);
  if (!v5_begin()) return failed("begin", log_name);
  if (!Ar_write(rel, "cash", 4, 1) || !Ar_write(rel, "bank", 4, 2) ||
      !Ar_write(rel, "loans", 5, 5) || !Ar_write(rel, "tax", 3, AR_WRITE_AFTER_LAST))
    return failed("write", rel_name);
  ok &= expect(*fs_last_record_number() == 6, "the slot after the last is 6");
  if (!v5_commit(0)) return failed("commit", log_name);

  /* A transaction taken back: slot 7 is empty again afterwards. */
  if (!v5_begin() || !Ar_write(rel, "oops", 4, 7)) return failed("write", rel_name);
  if (!v5_rollback(0)) return failed("rollback", log_name);
  ok &= expect(Ar_read(rel, record, 7) == 0 && *fs_error_code() == E_NOT_FOUND, "slot 7 empty");

  /* Reads return the length + 1, so that an empty record is not a failure. */
  n = Ar_read(rel, record, 5);
  ok &= expect(n == 6 && memcmp(record, "loans", 5) == 0, "slot 5 holds loans");
  if (!Ar_rewrite(rel, "debts", 5, AR_LAST_READ)) return failed("rewrite", rel_name);
  if (!Ar_delete(rel, 2)) return failed("delete", rel_name);
  ok &= expect(Ar_read(rel, record, 2) == 0 && *fs_error_code() == E_NOT_FOUND, "slot 2 empty");

  /* Every record in number order into a sequential file of text lines,
   * made first (an output open needs the file, as a relative one does). */
  if (!Ar_make(seq_name, "", 0)) return failed("make", seq_name);
  seq = As_open(seq_name, KEL_OPEN_OUTPUT, SLOT, AS_LINE, 0, -1, NULL, 0);
  if (seq == NULL) return failed("open", seq_name);
  if (!Ar_start(rel, 1, AR_START_NOT_LESS)) return failed("start", rel_name);
  while ((n = Ar_next(rel, record)) > 0) {
    if (!As_write(seq, record, (uint32_t)(n - 1), 1)) return failed("write", seq_name);
  }
  ok &= expect(*fs_error_code() == E_NOT_FOUND, "the walk ends at the last slot");
  if (!As_close(seq, 0) || !Ar_close(rel)) return failed("close", rel_name);

  seq = As_open(seq_name, KEL_OPEN_INPUT, SLOT, AS_LINE, 0, -1, NULL, 0);
  if (seq == NULL) return failed("open", seq_name);
  while ((n = As_read(seq, record)) > 0) {
    printf("%.*s\n", n - 1, record);
    ++count;
  }
  ok &= expect(count == 3, "three lines: cash, debts, tax");
  As_close(seq, 0);
  Ar_exit();
  return ok ? 0 : 1;
}
