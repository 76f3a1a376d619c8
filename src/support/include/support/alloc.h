// The describing allocator. Every dynamic block of the system is taken here
// with the module, line and a short description of what it is for, so that
// memory can be accounted for and overruns found from the environment:
//
//   TRACE / A_DEBUG                 > 0: per-category byte counters
//   A_MEM_DESC (low 6 bits)         description table; 2 or 4: a trace line
//                                   per call, 4: a dump after every call.
//                                   Only with A_MEM_DESC_FILE writable.
//   A_MEM_DESC_FILE                 receives traces and dumps
//   TEST_ALLOCATED_MEMORY_BOUNDS    non-zero: guard bytes around every block,
//                                   checked on every call; findings are
//                                   appended to "dbgmalloc.log"
//
// A failed allocation returns null and leaves E_NO_MEMORY as the primary
// error code, so callers only have to pass the failure up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

extern "C" {

// `kind`: sign bit set asks for uninitialised memory, otherwise the block is
// zero-filled; the low 4 bits are the category (above 5 counts as 5).
void *M_alloc(uint32_t size, int32_t kind, const char *file, int32_t line, const char *description,
              const char *trace_format, ...) __attribute__((format(printf, 6, 7)));
void M_free(void *pointer, const char *file, int32_t line, const char *trace_format, ...)
    __attribute__((format(printf, 4, 5)));
// Bytes added by growing are zero-filled; the description is kept.
void *M_realloc(void *pointer, uint32_t size, const char *file, int32_t line,
                const char *trace_format, ...) __attribute__((format(printf, 5, 6)));
// A copy of a string, described as "duplicate string".
char *Astrdup(const char *string, const char *file, int32_t line);
}

namespace kel {

constexpr int32_t kAllocUninitialised = INT32_MIN;
constexpr int kAllocCategories = 6;

// Usable bytes currently allocated in a category (counters on only).
uint32_t alloc_category_bytes(int category);
// Writes the description table to A_MEM_DESC_FILE (when it is kept).
void alloc_dump();
// Number of live blocks (always counted; tests use it to find leaks).
int64_t alloc_live_blocks();

// Failure injection for tests: the n-th allocator call from now (1 = the
// next one) fails as if the system had no memory; 0 switches it off.
// Reallocations count as allocations.
void alloc_fail_nth(int64_t n);
// True once the armed failure has happened (it happens once).
bool alloc_failure_triggered();

// Re-reads the environment settings at the next call (tests only; no block
// may be live when the settings change).
void alloc_reset_settings();

}  // namespace kel

#define KEL_ALLOC(size, description) \
  M_alloc(static_cast<uint32_t>(size), 0, __FILE_NAME__, __LINE__, (description), nullptr)
#define KEL_ALLOC_UNINIT(size, description)                                               \
  M_alloc(static_cast<uint32_t>(size), kel::kAllocUninitialised, __FILE_NAME__, __LINE__, \
          (description), nullptr)
#define KEL_FREE(pointer) M_free((pointer), __FILE_NAME__, __LINE__, nullptr)
#define KEL_REALLOC(pointer, size) \
  M_realloc((pointer), static_cast<uint32_t>(size), __FILE_NAME__, __LINE__, nullptr)
#define KEL_STRDUP(string) Astrdup((string), __FILE_NAME__, __LINE__)

namespace kel {

// Owning pointer over a block of the describing allocator.
template <typename T>
class MemPtr {
 public:
  MemPtr() = default;
  explicit MemPtr(T *p) : p_(p) {}
  MemPtr(const MemPtr &) = delete;
  MemPtr &operator=(const MemPtr &) = delete;
  MemPtr(MemPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  MemPtr &operator=(MemPtr &&o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  ~MemPtr() { reset(); }

  // Allocates `count` zeroed elements; false (and E_NO_MEMORY) on failure.
  bool allocate(size_t count, const char *description) {
    reset(static_cast<T *>(KEL_ALLOC(count * sizeof(T), description)));
    return p_ != nullptr;
  }
  void reset(T *p = nullptr) {
    if (p_) KEL_FREE(p_);
    p_ = p;
  }
  T *release() { return std::exchange(p_, nullptr); }
  T *get() const { return p_; }
  T &operator[](size_t i) const { return p_[i]; }
  T *operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T *p_ = nullptr;
};

}  // namespace kel
