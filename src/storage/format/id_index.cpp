#include "storage/format/id_index.h"

#include <algorithm>
#include <functional>

#include "base/error.h"

namespace quillmark {

namespace {

// The finaliser of splitmix64: spreads every input bit over the whole word,
// so the filter's block, its bits and the table's slot and tag, each taken
// from other bits of one hash, behave as independent.
std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

}  // namespace

IdHash::IdHash(std::string_view id) : value(mix(std::hash<std::string_view>{}(id))) {
  // A split block Bloom filter's bits: word i of a block gets the bit that
  // the top five bits of the low half times salt i choose.
  static constexpr std::uint32_t kSalts[kBlockWords] = {0x47b6137bU, 0x44974d91U, 0x8824ad5bU, 0xa2b7289dU,
                                                        0x705495c7U, 0x2df1424bU, 0x9efc4947U, 0x5c6bfb31U};
  const auto key = static_cast<std::uint32_t>(value);
  for (std::size_t i = 0; i < kBlockWords; ++i) bits[i] = std::uint32_t{1} << ((key * kSalts[i]) >> 27);
}

IdIndex::IdIndex() : filter_(kBlockWords, 0), table_(2, 0), slot_mask_(1), slot_shift_(63) {}

std::expected<IdIndex, std::uint64_t> IdIndex::build(std::span<const SharedText> ids) {
  const std::uint64_t n = ids.size();
  IdIndex index;
  // Row + 1 must fit the low bits below the tag; a segment never comes near
  // 2^56 rows (its ids alone would not fit in memory).
  const unsigned row_bits = static_cast<unsigned>(std::bit_width(n));
  QM_INVARIANT(row_bits <= 56, "a segment's row numbers leave room for a tag");
  index.row_mask_ = row_bits == 0 ? 0 : (~std::uint64_t{0} >> (64 - row_bits));

  // At most 3/4 full: linear probing stays short, and a slot is always empty.
  const std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(2, n + n / 3 + 1));
  index.table_.assign(capacity, 0);
  index.slot_mask_ = static_cast<std::size_t>(capacity - 1);
  index.slot_shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));

  index.blocks_ = std::max<std::uint64_t>(1, (n * kFilterBitsPerId + kBlockWords * 32 - 1) / (kBlockWords * 32));
  index.filter_.assign(index.blocks_ * kBlockWords, 0);

  for (std::uint64_t row = 0; row < n; ++row) {
    const std::string_view id = ids[row].view();
    const IdHash hash(id);
    if (index.find(hash, [&](std::uint64_t r) { return ids[r].view() == id; })) return std::unexpected(row);
    std::size_t slot = index.start_of(hash);
    while (index.table_[slot] != 0) slot = (slot + 1) & index.slot_mask_;
    index.table_[slot] = (hash.value & ~index.row_mask_) | (row + 1);

    std::uint32_t* block = index.filter_.data() + index.block_of(hash) * kBlockWords;
    for (std::size_t i = 0; i < kBlockWords; ++i) block[i] |= hash.bits[i];
  }
  return index;
}

}  // namespace quillmark
