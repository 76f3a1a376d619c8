/* The configuration calls a program makes.
 *
 * The file system reads its settings (V_SEG_SIZE, MAX_FILES, V_FORCE_OPEN,
 * V_VERSION, V_TRACE, DUPLICATES_LOG, ...) from configuration variables:
 * named, typed values with compiled-in defaults. v5_init_cfg() of
 * <kelfs/kelfs.h> defines the file system's variables in configuration set
 * KELFS_CONFIG_SET; a program then changes them with the setters below, or
 * takes every one that the environment names with cfg_apply_environment.
 * The getters never read the environment themselves.
 *
 * Order of initialisation:
 *   1. v5_init_cfg();                        define the variables
 *   2. cfg_apply_environment(KELFS_CONFIG_SET);   optional: take the
 *      environment's values (V_TRACE=1 ./prog traces every entry point)
 *   3. cfg_set_...(name, KELFS_CONFIG_SET, value);   the program's own
 *   4. any v5_, Ar_ or As_ call. The file system's tables are made on
 *      first use; v5_exit(), Ar_exit() and v5_deinit_cfg() release them
 *      at the end (optional at the end of a process).
 *
 * Every setter returns 1, or 0 when the set does not exist. A name that
 * is not defined becomes a variable of the setter's type. The getters
 * answer 0 (or null) for an unknown name.
 */
#ifndef KELFS_CONFIG_H
#define KELFS_CONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The configuration set that holds the file system's variables. */
enum { KELFS_CONFIG_SET = 0 };

/* Every defined variable of `set` whose name is in the environment with a
 * text other than its value takes that text. 1, or 0 without that set. */
int cfg_apply_environment(int32_t set);
/* Sets a variable from texts, as the environment would (a negative length
 * means NUL-terminated): the name is upper-cased, trailing blanks of the
 * value dropped, and the value parsed as the variable's type says. */
int cfg_set_programmatic(const char *name, int32_t name_length, const char *value,
                         int32_t value_length, int32_t set);
/* Typed setters: 16-bit and boolean variables (cfg_set_short), 32-bit ones
 * (cfg_set_long), texts (cfg_set_string, copied). */
int cfg_set_short(const char *name, int32_t set, int16_t value);
int cfg_set_long(const char *name, int32_t set, int32_t value);
int cfg_set_string(const char *name, int32_t set, const char *value);
/* Typed getters: the value set, else the default. */
int16_t cfg_get_short(const char *name, int32_t set);
int32_t cfg_get_long(const char *name, int32_t set);
const char *cfg_get_string(const char *name, int32_t set);

#ifdef __cplusplus
}
#endif

#endif
