// The shape shared by every entry point of the file system:
//
//   1. with kTraceEntryPoints (value 1) in V_TRACE, "V: name(arguments)\n"
//      on the error output;
//   2. the thread-data key is made sure of (failure: the entry's failure
//      value, and the implementation is not called);
//   3. the implementation runs with the caller's arguments;
//   4. with that bit still set, "V: name() returning result\n";
//   5. the result is returned unchanged.
//
// Adding an entry point is one call of `entry` (or `entry_void`) with the
// names and formats of its trace lines and its arguments wrapped by how
// they are traced: Str() for texts ("<NULL>" for a null one), Ptr() for
// buffers and callbacks, plain integers as they are, and a file handle as
// its pointer followed by its file's name (TraceHandle).
#pragma once

#include <cstdint>
#include <cstdio>
#include <tuple>
#include <type_traits>
#include <utility>

#include "messages/diag.h"

namespace kel::fsapi {

struct EntryTrace {
  const char *name;         // e.g. "v5_open"
  const char *arguments;    // printf format of the argument list, without parentheses
  const char *result;       // printf format of the result; null for none
  const char *return_name;  // name on the return line when it differs, else null
};

// How an argument is traced: each wrapper yields the printf arguments it
// stands for.
struct Str {
  const char *text;
  auto trace() const { return std::tuple<const char *>(text ? text : "<NULL>"); }
};
// A text of at most `limit` bytes that need not be terminated (key
// translation tables are 256 raw bytes; output buffers hold anything).
// Traced texts are copied into a buffer on the stack (the longest bounded
// text is a key translation table of 256 bytes).
struct TraceText {
  char text[257];
};
struct BoundedStr {
  const char *text;
  size_t limit;
  auto trace() const {
    TraceText copy;
    const char *from = text ? text : "<NULL>";
    size_t most = text ? limit : 6;
    size_t n = 0;
    while (n < most && n + 1 < sizeof copy.text && from[n] != '\0') {
      copy.text[n] = from[n];
      ++n;
    }
    copy.text[n] = '\0';
    return std::tuple<TraceText>(copy);
  }
};
struct Ptr {
  const void *pointer;
  auto trace() const { return std::tuple<const void *>(pointer); }
};
// A file handle: its pointer and the name kept in the open file.
struct TraceHandle {
  const void *pointer;
  const char *name;
  auto trace() const {
    return std::tuple<const void *, const char *>(pointer, name ? name : "<NULL>");
  }
};

template <typename T>
auto trace_parts(const T &value) {
  if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
    return std::tuple<T>(value);
  } else {
    return value.trace();
  }
}

template <typename T>
decltype(auto) printf_arg(const T &value) {
  if constexpr (std::is_same_v<T, TraceText>) {
    return static_cast<const char *>(value.text);
  } else {
    return value;
  }
}

// The format of a trace line, put together on the stack from the entry's
// name and its argument or result format.
struct TraceFormat {
  char text[160];
  TraceFormat(const char *name, const char *middle, const char *tail) {
    snprintf(text, sizeof text, "V: %s%s%s", name, middle, tail);
  }
};

template <typename Tuple>
void print_with(const TraceFormat &format, const Tuple &values) {
  if constexpr (std::tuple_size_v<Tuple> == 0) {
    eprintf("%s", format.text);
  } else {
    std::apply([&](const auto &...v) { eprintf(format.text, printf_arg(v)...); }, values);
  }
}

template <typename... Args>
void trace_entry(const EntryTrace &t, const Args &...args) {
  char arguments[128];
  snprintf(arguments, sizeof arguments, "(%s)\n", t.arguments);
  print_with(TraceFormat(t.name, arguments, ""), std::tuple_cat(trace_parts(args)...));
}

template <typename R>
void trace_return(const EntryTrace &t, const R &result) {
  const char *name = t.return_name ? t.return_name : t.name;
  if (t.result == nullptr) {
    print_with(TraceFormat(name, "() returning", "\n"), std::tuple<>());
  } else {
    char tail[32];
    snprintf(tail, sizeof tail, " %s\n", t.result);
    if constexpr (std::is_pointer_v<R>) {
      print_with(TraceFormat(name, "() returning", tail),
                 std::tuple<const void *>(reinterpret_cast<const void *>(result)));
    } else {
      print_with(TraceFormat(name, "() returning", tail), trace_parts(result));
    }
  }
}

// Step 2 of every entry point: the thread-data key exists. False when it
// could not be created.
bool ensure_thread_key();

// Before step 1 of every entry point: the file system's configuration
// table is defined (as v5_init_cfg does) when it is not, so that every
// entry point reads the defined variables with their defaults whatever the
// caller did first. A program that never called v5_init_cfg would
// otherwise read 0 for every variable: COMPRESS_FACTOR 0 makes
// uncompressed files, V_BUFFERS 0 runs without a cache. v5_deinit_cfg
// undefines it; the next entry point defines it again.
void ensure_configuration();

template <typename R, typename Impl, typename... Args>
R entry(const EntryTrace &t, R failure, Impl &&impl, const Args &...traced) {
  ensure_configuration();
  if (trace_on(kTraceEntryPoints)) trace_entry(t, traced...);
  if (!ensure_thread_key()) return failure;
  R result = impl();
  if (trace_on(kTraceEntryPoints)) trace_return(t, result);
  return result;
}

template <typename Impl, typename... Args>
void entry_void(const EntryTrace &t, Impl &&impl, const Args &...traced) {
  ensure_configuration();
  if (trace_on(kTraceEntryPoints)) trace_entry(t, traced...);
  if (!ensure_thread_key()) return;
  impl();
  if (trace_on(kTraceEntryPoints)) trace_return(t, 0);
}

// The file system's per-thread data ("Dorvex thread data", 12 bytes):
//
//   offset  width  field
//   0       2      keep-read-locks flag
//   2       2      transaction depth
//   4       2      keep-locks flag
//   8       4      value read and reset to -1 by sequential reads
struct ThreadData {
  int16_t keep_read_locks;
  int16_t transaction_depth;
  int16_t keep_locks;
  int16_t unused;
  int32_t sequential_value;
};
static_assert(sizeof(ThreadData) == 12);

// The calling thread's block, created on first use; null (E_NO_MEMORY)
// when it cannot be allocated, and callers then fail with that code.
ThreadData *thread_data();
// Frees the thread data and releases the key (both families shut down).
void release_thread_data();

// The transaction log behind v5_begin, v5_commit and v5_rollback: the file
// system's own (txlog) unless another is installed (tests); null installs
// the file system's own again.
struct TransactionLog {
  int (*begin)(int32_t flags);
  int (*commit)();
  int (*end_commit)();
  int (*rollback)();
};
void set_transaction_log(const TransactionLog *log);
// Installs the file system's own log into the engines' seams (once); every
// entry point calls it before its implementation.
void ensure_transaction_log();
// The installed log.
const TransactionLog *transaction_log();

}  // namespace kel::fsapi
