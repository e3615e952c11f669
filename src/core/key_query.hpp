// Questions about keys against the union of one or more cell boxes: is a key
// inside, which key inside comes next, which key ranges cover the boxes,
// which rows of a sorted key column lie inside, which row groups may.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/cell_box.hpp"
#include "core/hasher.hpp"

namespace tessellon {

// Inclusive.
struct KeyRange {
    HashKey first;
    HashKey last;

    friend constexpr bool operator==(const KeyRange&, const KeyRange&) = default;
};

// KeyQuery::ranges with how good they are: the keys they cover, and a lower
// bound on what the best cover under the same cap must cover (equal to
// covered when the ranges are provably optimal). Costs a little more than
// ranges alone.
struct RangeCover {
    std::vector<KeyRange> ranges;
    std::uint64_t covered = 0;
    std::uint64_t optimal_covered_at_least = 0;
};

// The query is the union of its boxes. Keys arrive as int64 (the type of a key
// column): a negative value is never a key and lies outside every box. A
// HashKey with bit 63 set is read the same way, as a negative int64.
class KeyQuery {
public:
    // Boxes are normalised: a last cell above AXIS_MAX is lowered to it, and a
    // box with first > last on any axis is empty and dropped. Overlapping
    // boxes are allowed. A query without boxes contains nothing.
    explicit KeyQuery(std::vector<CellBox> boxes);

    // The normalised boxes, in the order given.
    const std::vector<CellBox>& boxes() const { return boxes_; }

    // Masked bit-field compares, no decoding.
    bool contains(HashKey key) const;

    // out[i] = 1 if keys[i] is valid and inside, else 0. validity is an Arrow
    // bitmap (bit validity_offset + i, least significant bit first, 1 = valid)
    // or null when every key is valid; validity_offset must be >= 0. out must
    // hold keys.size() bytes.
    void contains_many(std::span<const std::int64_t> keys, const std::uint8_t* validity, std::int64_t validity_offset,
                       std::uint8_t* out) const;

    // The smallest key >= key inside (BIGMIN), or nullopt. A negative key
    // reads as 0.
    std::optional<HashKey> next_key(HashKey key) const;
    // The largest key <= key inside (LITMAX), or nullopt; nullopt for a
    // negative key.
    std::optional<HashKey> previous_key(HashKey key) const;

    // Sorted, disjoint, inclusive ranges whose union holds every key inside,
    // at most max_ranges of them (0 is read as 1). When the keys inside form
    // at most max_ranges maximal runs, the ranges are exactly those runs.
    // Otherwise the ranges are the runs with the smallest gaps between them
    // filled: optimal (fewest outside keys covered) whenever the refinement
    // proves it within its work bound, else optimal for a finer cover of the
    // boxes. Work is bounded by a small multiple of max_ranges * 21 octree
    // nodes, whatever the boxes. Empty when the query holds no key.
    std::vector<KeyRange> ranges(std::size_t max_ranges) const;
    RangeCover cover(std::size_t max_ranges) const;

    // Ascending row indices of the keys inside, for keys sorted ascending:
    // skips from a key outside to the next key inside (next_key) and
    // searches for it (galloping), so a small query reads few keys. On
    // unsorted input the rows returned are unspecified (each index is still
    // in range, ascending and distinct).
    std::vector<std::int64_t> select_sorted(std::span<const std::int64_t> keys) const;

    // out[i] = 1 if a row group whose keys span [mins[i], maxs[i]] may hold a
    // key inside: mins[i] is inside, or next_key(mins[i]) <= maxs[i]. A
    // negative min reads as 0 (a group of negative keys only holds none).
    // min > max is inconsistent statistics: such a group is kept (1), never
    // pruned. mins and maxs must have the same length (the shorter one
    // bounds the loop); out holds that many bytes.
    void row_groups(std::span<const std::int64_t> mins, std::span<const std::int64_t> maxs, std::uint8_t* out) const;

    // One box in the key's own bit layout: each axis as the key bits it owns,
    // its lowest spread cell and the spread width, so a masked key minus low
    // is within width exactly when the cell is in range.
    struct AxisBits {
        HashKey mask;
        HashKey low;
        HashKey width;
    };
    struct BoxBits {
        AxisBits time;
        AxisBits longitude;
        AxisBits latitude;
        HashKey lowest_key;
        HashKey highest_key;
    };

private:
    std::vector<CellBox> boxes_;
    std::vector<BoxBits> box_bits_;
    std::vector<CellBox> disjoint_pieces_;  // the same union, as boxes that do not overlap
};

}  // namespace tessellon
