// Skipping through key space: BIGMIN and LITMAX (Tropf and Herzog, 1981) over
// the union of the boxes, and the scans built on them.
#include <algorithm>
#include <bit>

#include "core/key_bits.hpp"
#include "core/key_query.hpp"

namespace tessellon {
namespace {

constexpr HashKey SIGN_BIT = HashKey{1} << 63;

struct BitStep {
    HashKey bit;           // the bit being decided
    HashKey axis_below;    // the lower bits of the same axis
};

// The highest bit at or below limit where key, low and high are not all equal.
inline std::optional<BitStep> next_deciding_bit(HashKey key, HashKey low, HashKey high, HashKey limit) {
    const HashKey differing = ((key ^ low) | (key ^ high)) & limit;
    if (differing == 0) {
        return std::nullopt;
    }
    const int position = 63 - std::countl_zero(differing);
    const HashKey bit = HashKey{1} << position;
    return BitStep{bit, (LONGITUDE_BITS << (position % 3)) & (bit - 1)};
}

// low with this axis raised to the start of the upper half of the current region.
inline HashKey upper_half_start(HashKey low, const BitStep& step) { return (low & ~step.axis_below) | step.bit; }
// high with this axis lowered to the end of the lower half of the current region.
inline HashKey lower_half_end(HashKey high, const BitStep& step) { return (high & ~step.bit) | step.axis_below; }

// The region [low, high] is the box, narrowed as bits are decided; key's bits
// above the current one match the region's, so the answer is in it or in a
// candidate region set aside on the way.
std::optional<HashKey> next_in_box(const KeyQuery::BoxBits& box, HashKey key) {
    HashKey low = box.lowest_key;
    HashKey high = box.highest_key;
    if (key <= low) {
        return low;
    }
    if (key > high) {
        return std::nullopt;
    }
    std::optional<HashKey> candidate;
    HashKey limit = ALL_KEY_BITS;
    while (const auto step = next_deciding_bit(key, low, high, limit)) {
        const bool key_bit = key & step->bit;
        const bool low_bit = low & step->bit;
        const bool high_bit = high & step->bit;
        if (!key_bit) {
            if (low_bit) {
                return low;  // the whole region lies above key
            }
            candidate = upper_half_start(low, *step);  // key is in the lower half: the upper half is the fallback
            high = lower_half_end(high, *step);
        } else {
            if (!high_bit) {
                return candidate;  // the whole region lies below key
            }
            low = upper_half_start(low, *step);
        }
        limit = step->bit - 1;
    }
    return key;
}

std::optional<HashKey> previous_in_box(const KeyQuery::BoxBits& box, HashKey key) {
    HashKey low = box.lowest_key;
    HashKey high = box.highest_key;
    if (key >= high) {
        return high;
    }
    if (key < low) {
        return std::nullopt;
    }
    std::optional<HashKey> candidate;
    HashKey limit = ALL_KEY_BITS;
    while (const auto step = next_deciding_bit(key, low, high, limit)) {
        const bool key_bit = key & step->bit;
        const bool low_bit = low & step->bit;
        const bool high_bit = high & step->bit;
        if (key_bit) {
            if (!high_bit) {
                return high;  // the whole region lies below key
            }
            candidate = lower_half_end(high, *step);  // key is in the upper half: the lower half is the fallback
            low = upper_half_start(low, *step);
        } else {
            if (low_bit) {
                return candidate;  // the whole region lies above key
            }
            high = lower_half_end(high, *step);
        }
        limit = step->bit - 1;
    }
    return key;
}

// The first index in [from, keys.size()) whose key is >= target, probing
// from + 1, + 2, + 4, ... before a binary search: cheap when target is near.
std::size_t gallop_lower_bound(std::span<const std::int64_t> keys, std::size_t from, std::int64_t target) {
    std::size_t below = from;  // every index before `below` is known to hold a smaller key
    std::size_t step = 1;
    std::size_t probe = from;
    while (probe < keys.size() && keys[probe] < target) {
        below = probe + 1;
        probe = from + step;
        step *= 2;
    }
    const auto end = keys.begin() + static_cast<std::ptrdiff_t>(std::min(probe, keys.size()));
    return static_cast<std::size_t>(std::lower_bound(keys.begin() + static_cast<std::ptrdiff_t>(below), end, target) -
                                    keys.begin());
}

}  // namespace

std::optional<HashKey> KeyQuery::next_key(HashKey key) const {
    if (key & SIGN_BIT) {
        key = 0;
    }
    std::optional<HashKey> best;
    for (const BoxBits& box : box_bits_) {
        const auto found = next_in_box(box, key);
        if (found && (!best || *found < *best)) {
            best = found;
        }
    }
    return best;
}

std::optional<HashKey> KeyQuery::previous_key(HashKey key) const {
    if (key & SIGN_BIT) {
        return std::nullopt;
    }
    std::optional<HashKey> best;
    for (const BoxBits& box : box_bits_) {
        const auto found = previous_in_box(box, key);
        if (found && (!best || *found > *best)) {
            best = found;
        }
    }
    return best;
}

std::vector<std::int64_t> KeyQuery::select_sorted(std::span<const std::int64_t> keys) const {
    std::vector<std::int64_t> rows;
    const auto first_inside = next_key(0);
    if (!first_inside || keys.empty()) {
        return rows;
    }
    // Every step moves index forward, so unsorted input still ends.
    std::size_t index = static_cast<std::size_t>(
        std::lower_bound(keys.begin(), keys.end(), static_cast<std::int64_t>(*first_inside)) - keys.begin());
    while (index < keys.size()) {
        const std::int64_t key = keys[index];
        if (contains(static_cast<HashKey>(key))) {
            rows.push_back(static_cast<std::int64_t>(index));
            ++index;
            continue;
        }
        const auto next = next_key(static_cast<HashKey>(key));
        if (!next) {
            break;
        }
        index = gallop_lower_bound(keys, index + 1, static_cast<std::int64_t>(*next));
    }
    return rows;
}

void KeyQuery::row_groups(std::span<const std::int64_t> mins, std::span<const std::int64_t> maxs,
                          std::uint8_t* out) const {
    const std::size_t count = std::min(mins.size(), maxs.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (mins[i] > maxs[i]) {
            out[i] = 1;
            continue;
        }
        const auto next = next_key(static_cast<HashKey>(std::max<std::int64_t>(mins[i], 0)));
        out[i] = static_cast<std::uint8_t>(next && static_cast<std::int64_t>(*next) <= maxs[i]);
    }
}

}  // namespace tessellon
