// Covering the boxes with at most max_ranges key ranges.
//
// The key space is an octree: a node of side 2^s cells per axis holds the
// 8^s consecutive keys that share their bits above 3s. Refinement starts at
// the smallest node holding every key inside and splits nodes best first.
// Each node's keys inside are summarised exactly by their count and by the
// first and last of them (the keys of the clipped boxes' lowest and highest
// corners), so every gap seen between two children of a split is a whole,
// exact gap between runs of keys inside, and the outside keys of a node that
// is still partial, its hidden gaps, are known in total. The cover is then
// [first key inside, last key inside] minus the max_ranges - 1 largest gaps
// found, which is the optimal cover once no partial node's hidden total can
// exceed the smallest gap kept.
#include <algorithm>
#include <bit>
#include <queue>

#include "core/key_bits.hpp"
#include "core/key_query.hpp"

namespace tessellon {
namespace {

// Beyond the splits needed to prove that the exact cover does not fit, the
// refinement may split about one node per two ranges asked for, plus a few
// levels' worth so that small caps still look deep enough. More buys
// nothing measurable on queries over a year of the world.
constexpr std::size_t REFINEMENT_SPLITS_PER_TWO_RANGES = 1;
constexpr std::size_t REFINEMENT_SPLITS_EXTRA = 4 * AXIS_BITS;

// A node of side 2^s cells holds the keys from its first key, whose low 3s
// bits are 0, for 8^s keys. Partial nodes always have s >= 1, so bit 3s - 1 of
// the first key marks s without a field of its own.
constexpr HashKey node_code(HashKey first_key, unsigned side_bits) { return first_key | HashKey{1} << (3 * side_bits - 1); }
constexpr unsigned side_bits_of(HashKey code) { return (static_cast<unsigned>(std::countr_zero(code)) + 1) / 3; }
constexpr HashKey first_key_of(HashKey code) { return code & (code - 1); }

// The keys inside a node: how many, and the first and last of them.
struct Coverage {
    std::uint64_t count = 0;
    HashKey first_inside = ~HashKey{0};
    HashKey last_inside = 0;

    // Outside keys between the first and last key inside.
    std::uint64_t hidden_outside() const { return last_inside - first_inside + 1 - count; }
};

struct PartialNode {
    std::uint64_t hidden_outside;
    HashKey code;

    friend bool operator<(const PartialNode& a, const PartialNode& b) { return a.hidden_outside < b.hidden_outside; }
};

struct Gap {
    std::uint64_t size;
    HashKey first;

    // Larger gaps first; among equal sizes, the earlier one.
    friend bool operator>(const Gap& a, const Gap& b) {
        return a.size != b.size ? a.size > b.size : a.first < b.first;
    }
};

// spread_cell by table: the low and high 11 bits of a cell.
struct SpreadTable {
    HashKey entries[1u << 11];
    constexpr SpreadTable() : entries{} {
        for (std::uint32_t i = 0; i < (1u << 11); ++i) {
            entries[i] = spread_cell(i);
        }
    }
    HashKey operator()(std::uint32_t cell) const { return entries[cell & 0x7FF] | entries[cell >> 11] << 33; }
};
constexpr SpreadTable SPREAD{};
static_assert(spread_cell(AXIS_MAX) == (SPREAD.entries[0x7FF] | SPREAD.entries[0x3FF] << 33));

// One axis of one piece clipped to the two halves of a node: the cell count
// and the spread cells of the clipped ends, per half.
struct HalfClips {
    std::uint64_t count[2];
    HashKey low[2];
    HashKey high[2];
};

HalfClips clip_halves(const AxisRange& range, std::uint32_t corner, std::uint32_t half, unsigned offset) {
    HalfClips clips{};
    for (unsigned h = 0; h < 2; ++h) {
        const std::uint32_t from = std::max(range.first, corner + h * half);
        const std::uint32_t to = std::min(range.last, corner + h * half + (half - 1));
        if (from <= to) {
            clips.count[h] = std::uint64_t{to} - from + 1;
            clips.low[h] = SPREAD(from) << offset;
            clips.high[h] = SPREAD(to) << offset;
        }
    }
    return clips;
}

class Refinement {
public:
    Refinement(const std::vector<CellBox>& pieces, std::size_t max_ranges)
        : pieces_(pieces), kept_gaps_limit_(max_ranges - 1) {
        std::vector<PartialNode> storage;
        storage.reserve(std::min<std::size_t>(max_ranges, 1u << 16) * 4 + 256);
        partial_ = std::priority_queue<PartialNode>(std::less<PartialNode>{}, std::move(storage));
    }

    RangeCover run(bool with_bound) {
        HashKey first = ~HashKey{0};
        HashKey last = 0;
        for (const CellBox& piece : pieces_) {
            first = std::min(first, key_of_cells(piece.time.first, piece.longitude.first, piece.latitude.first));
            last = std::max(last, key_of_cells(piece.time.last, piece.longitude.last, piece.latitude.last));
        }
        const unsigned varying_bits = 64 - static_cast<unsigned>(std::countl_zero(first ^ last));
        const unsigned side_bits = (varying_bits + 2) / 3;
        const HashKey node_mask = (HashKey{1} << (3 * side_bits)) - 1;
        std::uint64_t total = 0;
        for (const CellBox& piece : pieces_) {
            total += std::uint64_t{piece.time.last - piece.time.first + 1} *
                     (piece.longitude.last - piece.longitude.first + 1) *
                     (piece.latitude.last - piece.latitude.first + 1);
        }
        const Coverage whole{total, first, last};
        if (whole.hidden_outside() > 0 && kept_gaps_limit_ > 0) {
            partial_.push({whole.hidden_outside(), node_code(first & ~node_mask, side_bits)});
            refine();
        }
        return cover(first, last, with_bound);
    }

private:
    // Keys inside at least this many runs: the gaps seen, plus one per partial node.
    std::size_t runs_lower_bound() const { return visible_gaps_ + partial_.size() + set_aside_ + 1; }

    void refine() {
        const std::size_t limit = kept_gaps_limit_ + 1;
        std::size_t pops = 0;
        std::size_t pops_at_overflow = 0;
        while (!partial_.empty()) {
            if (exact_fits_ && runs_lower_bound() > limit) {
                exact_fits_ = false;
                pops_at_overflow = pops;
            }
            if (!exact_fits_) {
                const bool proven_optimal =
                    kept_gaps_.size() == kept_gaps_limit_ && partial_.top().hidden_outside <= kept_gaps_.top().size;
                if (proven_optimal || pops - pops_at_overflow >= REFINEMENT_SPLITS_PER_TWO_RANGES * limit / 2 + REFINEMENT_SPLITS_EXTRA) {
                    return;
                }
            }
            const HashKey code = partial_.top().code;
            partial_.pop();
            split(code);
            ++pops;
        }
    }

    void split(HashKey code) {
        const HashKey first_key = first_key_of(code);
        const AxisCells corner = deinterleave(first_key);
        const unsigned child_side_bits = side_bits_of(code) - 1;
        const std::uint32_t half = std::uint32_t{1} << child_side_bits;
        const HashKey child_keys = HashKey{1} << (3 * child_side_bits);
        Coverage children[8];
        for (const CellBox& piece : pieces_) {
            const HalfClips time = clip_halves(piece.time, corner.time, half, 2);
            const HalfClips latitude = clip_halves(piece.latitude, corner.latitude, half, 1);
            const HalfClips longitude = clip_halves(piece.longitude, corner.longitude, half, 0);
            for (unsigned child = 0; child < 8; ++child) {
                const unsigned t = child >> 2, y = (child >> 1) & 1, x = child & 1;
                const std::uint64_t count = time.count[t] * latitude.count[y] * longitude.count[x];
                if (count == 0) {
                    continue;
                }
                Coverage& coverage = children[child];
                coverage.count += count;
                coverage.first_inside = std::min(coverage.first_inside, time.low[t] | latitude.low[y] | longitude.low[x]);
                coverage.last_inside = std::max(coverage.last_inside, time.high[t] | latitude.high[y] | longitude.high[x]);
            }
        }
        bool seen_inside = false;
        HashKey previous_last = 0;
        for (unsigned child = 0; child < 8; ++child) {
            const Coverage& coverage = children[child];
            if (coverage.count == 0) {
                continue;
            }
            if (seen_inside && coverage.first_inside > previous_last + 1) {
                add_gap({coverage.first_inside - previous_last - 1, previous_last + 1});
            }
            seen_inside = true;
            previous_last = coverage.last_inside;
            const std::uint64_t hidden = coverage.hidden_outside();
            if (coverage.count == child_keys || hidden == 0) {
                continue;
            }
            // Once the kept gaps are settled, a node whose hidden gaps cannot beat them only counts.
            if (!exact_fits_ && kept_gaps_.size() == kept_gaps_limit_ && hidden <= kept_gaps_.top().size) {
                ++set_aside_;
            } else {
                partial_.push({hidden, node_code(first_key + child * child_keys, child_side_bits)});
            }
        }
    }

    void add_gap(const Gap& gap) {
        ++visible_gaps_;
        if (kept_gaps_.size() < kept_gaps_limit_) {
            kept_gaps_.push(gap);
        } else if (gap > kept_gaps_.top()) {
            kept_gaps_.pop();
            kept_gaps_.push(gap);
        }
    }

    RangeCover cover(HashKey first, HashKey last, bool with_bound) {
        std::vector<Gap> gaps;
        gaps.reserve(kept_gaps_.size());
        while (!kept_gaps_.empty()) {
            gaps.push_back(kept_gaps_.top());
            kept_gaps_.pop();
        }
        RangeCover result;
        if (with_bound) {
            result.optimal_covered_at_least = last - first + 1 - largest_gaps_possible(gaps);
        }
        std::ranges::sort(gaps, {}, &Gap::first);
        result.ranges.reserve(gaps.size() + 1);
        HashKey from = first;
        for (const Gap& gap : gaps) {
            result.ranges.push_back({from, gap.first - 1});
            from = gap.first + gap.size;
        }
        result.ranges.push_back({from, last});
        result.covered = 0;
        for (const KeyRange& range : result.ranges) {
            result.covered += range.last - range.first + 1;
        }
        return result;
    }

    // An upper bound on the total of the max_ranges - 1 largest gaps: the gaps
    // kept, and each partial node's hidden total as if it were one gap. Nodes
    // set aside and gaps dropped were no larger than the smallest gap kept.
    std::uint64_t largest_gaps_possible(const std::vector<Gap>& kept) {
        std::vector<std::uint64_t> sizes;
        sizes.reserve(kept.size() + partial_.size());
        for (const Gap& gap : kept) {
            sizes.push_back(gap.size);
        }
        while (!partial_.empty()) {
            sizes.push_back(partial_.top().hidden_outside);
            partial_.pop();
        }
        const std::size_t slots = std::min(sizes.size(), kept_gaps_limit_);
        std::ranges::nth_element(sizes, sizes.begin() + static_cast<std::ptrdiff_t>(slots), std::greater<>());
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < slots; ++i) {
            total += sizes[i];
        }
        return total;
    }

    const std::vector<CellBox>& pieces_;
    const std::size_t kept_gaps_limit_;
    std::size_t visible_gaps_ = 0;
    std::size_t set_aside_ = 0;  // partial nodes not queued: they cannot change the cover
    bool exact_fits_ = true;     // until the runs are known to outnumber max_ranges
    std::priority_queue<PartialNode> partial_;
    // The largest gaps seen, smallest on top.
    std::priority_queue<Gap, std::vector<Gap>, std::greater<Gap>> kept_gaps_;
};

}  // namespace

RangeCover KeyQuery::cover(std::size_t max_ranges) const {
    if (disjoint_pieces_.empty()) {
        return {};
    }
    return Refinement(disjoint_pieces_, std::max<std::size_t>(max_ranges, 1)).run(true);
}

std::vector<KeyRange> KeyQuery::ranges(std::size_t max_ranges) const {
    if (disjoint_pieces_.empty()) {
        return {};
    }
    return Refinement(disjoint_pieces_, std::max<std::size_t>(max_ranges, 1)).run(false).ranges;
}

}  // namespace tessellon
