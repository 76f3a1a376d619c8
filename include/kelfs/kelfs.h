/* The file system's entry points.
 *
 * Every file operation of the system enters here. Each entry point writes a
 * trace line on entry and one on return when V_TRACE has its bit of value 1, makes
 * sure the per-thread data exists, and hands its arguments unchanged to the
 * implementing module. Failures are left in the per-thread error codes of
 * <kelfs/errors.h>.
 */
#ifndef KELFS_KELFS_H
#define KELFS_KELFS_H

#include <stdint.h>

#include "kelfs/errors.h"
#include "kelfs/modes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An open indexed (Dorvex) file. */
typedef struct DorvexFile DorvexFile;

/* Hooks of bulk addition and of file creation. */
typedef void (*v5_progress_fn)(void *progress);
typedef void (*v5_duplicate_fn)(DorvexFile *file, const char *record, uint32_t length);
typedef int (*v5_query_retry_fn)(void);
typedef void (*v5_set_file_attrs_fn)(const void *owner, const char *name);

/* --- indexed files ------------------------------------------------------ */
int v5_make(const char *name, const char *comment, const char *physical_params,
            const char *record_params, const char *key_params, const char *translation_table);
DorvexFile *v5_open(const char *name, int32_t mode, const char *params);
int v5_close(DorvexFile *file);
/* Marks a file open for update as incomplete until this open's final
 * successful close (a restore or a load under way): every other open fails
 * with E_BROKEN and secondary code 24 unless V_FORCE_OPEN is on, also after
 * the process was killed. 1, or 0 (E_PARAM when not open for update). */
int v5_mark_incomplete(DorvexFile *file);
int v5_info(DorvexFile *file, int32_t code, char *buffer);
uint32_t v5_read(DorvexFile *file, char *record, int32_t key);
int v5_start(DorvexFile *file, char *record, int32_t key, int32_t length, int32_t mode);
uint32_t v5_next(DorvexFile *file, char *record);
uint32_t v5_previous(DorvexFile *file, char *record);
int v5_nkrstart(DorvexFile *file);
uint32_t v5_nkrnext(DorvexFile *file, char *record);
int v5_unlock(DorvexFile *file);
int v5_write(DorvexFile *file, const char *record, uint32_t length);
int v5_delete(DorvexFile *file, const char *record);
int v5_copy(const char *from, const char *to);
int v5_rename(const char *from, const char *to);
int v5_remove(const char *name);

/* --- the engine as a whole ---------------------------------------------- */
int v5_version(char *name, char *version, char *build, int32_t n, int32_t *m);
void v5_abilities(uint8_t *flags);
v5_progress_fn v5_register_progress(v5_progress_fn callback);
v5_duplicate_fn v5_register_duplicate(v5_duplicate_fn callback);
v5_query_retry_fn v5_register_query_retry(v5_query_retry_fn callback);
void v5_register_set_file_attrs(v5_set_file_attrs_fn callback);
int v5_begin(void);
int v5_commit(int32_t n);
int v5_init(void);
int v5_init_vers(int32_t version, int32_t *out);
void v5_exit(void);
void v5_init_cfg(void);
void v5_deinit_cfg(void);

#ifdef __cplusplus
}
#endif

#endif
