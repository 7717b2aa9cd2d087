// The texts of a pandas string column in Arrow storage, read in place from
// Arrow's own buffers (through the Arrow C data interface), so that a route
// can read a million texts without making a str object of each.
#pragma once

#include "fast/readers.hpp"
#include "runtime/pyops.hpp"

#include <cstdint>
#include <vector>

namespace qx::fast {

class ArrowTexts {
 public:
  ArrowTexts() = default;
  ArrowTexts(const ArrowTexts&) = delete;
  ArrowTexts& operator=(const ArrowTexts&) = delete;

  // Opens on the texts of `column` when it is an exact pandas Series of a
  // string dtype in Arrow storage with NaN as its missing value (the default
  // text column from pandas 3), whose chunks are Arrow strings or large
  // strings. False otherwise, with nothing pending and nothing changed: the
  // caller reads the column's values as objects instead. `any_marker`: NA
  // as the missing value too, for a reader of the bytes alone.
  bool open(PyObject* column, bool any_marker = false);

  Py_ssize_t size() const { return size_; }
  bool any_missing() const { return missing_; }

  // The UTF-8 bytes of row i as [p, p + n); false when the row is missing.
  bool bytes(Py_ssize_t i, const char*& p, Py_ssize_t& n) const {
    const Chunk& c = chunks_.size() == 1 ? chunks_[0] : chunk_of(i);
    const int64_t at = c.offset + (static_cast<int64_t>(i) - c.start);
    if (c.validity && !((c.validity[at >> 3] >> (at & 7)) & 1)) return false;
    int64_t b, e;
    if (c.large) {
      const auto* o = static_cast<const int64_t*>(c.offsets);
      b = o[at];
      e = o[at + 1];
    } else {
      const auto* o = static_cast<const int32_t*>(c.offsets);
      b = o[at];
      e = o[at + 1];
    }
    p = c.data + b;
    n = static_cast<Py_ssize_t>(e - b);
    return true;
  }

  // The text of row i as the str object the column's values hold.
  Ref value(Py_ssize_t i) const;

 private:
  struct Chunk {
    int64_t start;            // the first row of the column in this chunk
    int64_t offset;           // Arrow's offset of the chunk into its buffers
    const uint8_t* validity;  // null: no missing row
    const void* offsets;      // int32 or int64 (large)
    const char* data;
    bool large;
  };
  const Chunk& chunk_of(Py_ssize_t i) const;

  std::vector<Ref> held_;  // the capsules that keep the buffers alive
  std::vector<Chunk> chunks_;
  Py_ssize_t size_ = 0;
  bool missing_ = false;
};

// True when every byte of [p, p + n) is ASCII.
inline bool all_ascii(const char* p, Py_ssize_t n) {
  unsigned char any = 0;
  for (Py_ssize_t k = 0; k < n; ++k) any |= static_cast<unsigned char>(p[k]);
  return any < 0x80;
}

// The bytes of text.strip('"') of row i as [b, b + n) when the row is present.
// The timestamp readers read ASCII texts only (the fuzz driver holds them to
// it), so a text of other characters is declined by them as its str would be.
inline bool unquoted_bytes(const ArrowTexts& texts, Py_ssize_t i, const char*& b, Py_ssize_t& n) {
  if (!texts.bytes(i, b, n)) return false;
  strip_quotes(b, n);
  return true;
}

}  // namespace qx::fast
