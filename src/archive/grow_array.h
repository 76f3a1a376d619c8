// A growable array of plain records over the describing allocator, for
// the few lists a run keeps (files seen, names asked for). Records are
// copied as bytes, so T must be trivially copyable.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "support/alloc.h"

namespace kel::archive {

template <typename T>
class GrowArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  explicit GrowArray(const char *description) : description_(description) {}
  ~GrowArray() { clear(); }
  GrowArray(const GrowArray &) = delete;
  GrowArray &operator=(const GrowArray &) = delete;

  // False (and E_NO_MEMORY) when the array cannot grow.
  bool push(const T &item) {
    if (count_ == capacity_) {
      size_t capacity = capacity_ ? 2 * capacity_ : 16;
      void *grown = items_ ? KEL_REALLOC(items_, capacity * sizeof(T))
                           : KEL_ALLOC(capacity * sizeof(T), description_);
      if (grown == nullptr) return false;
      items_ = static_cast<T *>(grown);
      capacity_ = capacity;
    }
    memcpy(static_cast<void *>(items_ + count_), &item, sizeof(T));
    ++count_;
    return true;
  }
  // Keeps the first `count` records.
  void truncate(size_t count) {
    if (count < count_) count_ = count;
  }
  void clear() {
    if (items_) KEL_FREE(items_);
    items_ = nullptr;
    count_ = capacity_ = 0;
  }
  size_t size() const { return count_; }
  T &operator[](size_t i) { return items_[i]; }
  const T &operator[](size_t i) const { return items_[i]; }

 private:
  const char *description_;
  T *items_ = nullptr;
  size_t count_ = 0, capacity_ = 0;
};

// A file by what it is rather than by its name: a name may be a link, or
// be written differently in a list, and still be the same file.
struct FileId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FileId &o) const { return dev == o.dev && ino == o.ino; }
};

inline FileId file_id(const struct stat &st) {
  return FileId{st.st_dev, st.st_ino};
}

template <typename T>
bool contains(const GrowArray<T> &array, const T &item) {
  for (size_t i = 0; i < array.size(); ++i) {
    if (array[i] == item) return true;
  }
  return false;
}

}  // namespace kel::archive
