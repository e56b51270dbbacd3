#pragma once
// The index of one segment's document IDs: a split-block Bloom filter and an
// open-addressing table from ID to row, both keyed by one 64-bit hash of the
// ID (IdHash).
//
// A view looks an ID up newest segment first. Hashing the ID once and asking
// each segment's filter (one 32-byte block, no pointer chasing) whether it may
// hold the ID makes a miss cost a cache line instead of a hash and a map
// probe; only segments whose filter admits the ID are searched, and the
// table compares 64-bit slots (a tag of the hash and the row) before it
// compares any text. Built once when a segment is loaded and shared, with the
// segment, by every view and writer state that holds it.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace quillmark {

// The hash of a document ID and the bits it sets in a filter block:
// computed once per lookup, used for every segment's filter and table.
struct IdHash {
  static constexpr std::size_t kBlockWords = 8;  // a filter block: 256 bits

  std::uint64_t value;
  std::uint32_t bits[kBlockWords];  // one bit per word of a block

  explicit IdHash(std::string_view id);
};

// Invariants (established by build):
//  1. for every row r given to build, may_contain(IdHash(ids[r])) is true and
//     find(IdHash(ids[r]), matches) reaches r: no false negatives;
//  2. the table's capacity is a power of two above the number of rows, so
//     it always holds an empty slot and every probe sequence ends;
//  3. a slot is 0 (empty) or the hash's tag bits above row_bits_ with row + 1
//     in the low row_bits_ bits.
// Immutable after build; read concurrently without locking.
class IdIndex {
 public:
  // An index of no rows: admits nothing.
  IdIndex();

  // The index of `ids`, row r holding ids[r]; or, as the error, the first
  // row whose ID repeats an earlier row's.
  static std::expected<IdIndex, std::uint64_t> build(std::span<const SharedText> ids);

  // False when no row has an ID of this hash; true for every row's ID and,
  // rarely (under 1% at the filter's 12 bits per ID), for others.
  bool may_contain(const IdHash& hash) const {
    const std::uint32_t* block = filter_.data() + block_of(hash) * kBlockWords;
    std::uint32_t missing = 0;
    for (std::size_t i = 0; i < kBlockWords; ++i) missing |= ~block[i] & hash.bits[i];
    return missing == 0;
  }

  // The row whose ID has `hash` and satisfies matches(row), or nothing.
  // `matches` compares the row's ID with the one looked up; it is called
  // only for rows whose slot carries the hash's tag.
  template <class Matches>
  std::optional<std::uint64_t> find(const IdHash& hash, Matches&& matches) const {
    const std::uint64_t tag = hash.value & ~row_mask_;
    for (std::size_t slot = start_of(hash);; slot = (slot + 1) & slot_mask_) {
      const std::uint64_t entry = table_[slot];
      if (entry == 0) return std::nullopt;
      if ((entry & ~row_mask_) == tag) {
        const std::uint64_t row = (entry & row_mask_) - 1;
        if (matches(row)) return row;
      }
    }
  }

  // Bytes held by the filter and the table.
  std::size_t memory_bytes() const {
    return filter_.size() * sizeof(std::uint32_t) + table_.size() * sizeof(std::uint64_t);
  }

 private:
  static constexpr std::size_t kBlockWords = IdHash::kBlockWords;
  static constexpr std::size_t kFilterBitsPerId = 12;

  std::size_t block_of(const IdHash& hash) const {
    return static_cast<std::size_t>(((hash.value >> 32) * blocks_) >> 32);
  }
  std::size_t start_of(const IdHash& hash) const {
    return static_cast<std::size_t>((hash.value * 0x9e3779b97f4a7c15ULL) >> slot_shift_);
  }

  std::vector<std::uint32_t> filter_;  // blocks_ blocks of kBlockWords words
  std::uint64_t blocks_ = 1;
  std::vector<std::uint64_t> table_;
  std::size_t slot_mask_ = 0;  // capacity - 1
  unsigned slot_shift_ = 64;   // 64 - log2(capacity)
  std::uint64_t row_mask_ = 0; // the low row_bits_ bits
};

}  // namespace quillmark
