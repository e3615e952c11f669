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
// refinement may split this many nodes per range asked for, plus a few
// levels' worth so that small caps still look deep enough.
constexpr std::size_t REFINEMENT_SPLITS_PER_RANGE = 3;
constexpr std::size_t REFINEMENT_SPLITS_EXTRA = 4 * AXIS_BITS;

struct Node {
    HashKey first_key;
    AxisCells corner;     // lowest cell on each axis
    unsigned side_bits;   // the node is 2^side_bits cells along each axis
};

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
    Node node;

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
            clips.low[h] = spread_cell(from) << offset;
            clips.high[h] = spread_cell(to) << offset;
        }
    }
    return clips;
}

class Refinement {
public:
    Refinement(const std::vector<CellBox>& pieces, std::size_t max_ranges)
        : pieces_(pieces), kept_gaps_limit_(max_ranges - 1) {}

    std::vector<KeyRange> run() {
        HashKey first = ~HashKey{0};
        HashKey last = 0;
        for (const CellBox& piece : pieces_) {
            first = std::min(first, key_of_cells(piece.time.first, piece.longitude.first, piece.latitude.first));
            last = std::max(last, key_of_cells(piece.time.last, piece.longitude.last, piece.latitude.last));
        }
        const unsigned varying_bits = 64 - static_cast<unsigned>(std::countl_zero(first ^ last));
        const unsigned side_bits = (varying_bits + 2) / 3;
        const HashKey node_mask = (HashKey{1} << (3 * side_bits)) - 1;
        const Node root{first & ~node_mask, deinterleave(first & ~node_mask), side_bits};
        std::uint64_t total = 0;
        for (const CellBox& piece : pieces_) {
            total += std::uint64_t{piece.time.last - piece.time.first + 1} *
                     (piece.longitude.last - piece.longitude.first + 1) *
                     (piece.latitude.last - piece.latitude.first + 1);
        }
        const Coverage whole{total, first, last};
        if (whole.hidden_outside() > 0 && kept_gaps_limit_ > 0) {
            partial_.push({whole.hidden_outside(), root});
            refine();
        }
        return cover(first, last);
    }

private:
    // Keys inside at least this many runs: the gaps seen, plus one per partial node.
    std::size_t runs_lower_bound() const { return visible_gaps_ + partial_.size() + 1; }

    void refine() {
        const std::size_t limit = kept_gaps_limit_ + 1;
        std::size_t pops = 0;
        std::size_t pops_at_overflow = 0;
        bool exact_fits = true;
        while (!partial_.empty()) {
            if (exact_fits && runs_lower_bound() > limit) {
                exact_fits = false;
                pops_at_overflow = pops;
            }
            if (!exact_fits) {
                const bool proven_optimal =
                    kept_gaps_.size() == kept_gaps_limit_ && partial_.top().hidden_outside <= kept_gaps_.top().size;
                if (proven_optimal || pops - pops_at_overflow >= REFINEMENT_SPLITS_PER_RANGE * limit + REFINEMENT_SPLITS_EXTRA) {
                    return;
                }
            }
            const Node node = partial_.top().node;
            partial_.pop();
            split(node);
            ++pops;
        }
    }

    void split(const Node& node) {
        const unsigned child_side_bits = node.side_bits - 1;
        const std::uint32_t half = std::uint32_t{1} << child_side_bits;
        const HashKey child_keys = HashKey{1} << (3 * child_side_bits);
        Coverage children[8];
        for (const CellBox& piece : pieces_) {
            const HalfClips time = clip_halves(piece.time, node.corner.time, half, 2);
            const HalfClips latitude = clip_halves(piece.latitude, node.corner.latitude, half, 1);
            const HalfClips longitude = clip_halves(piece.longitude, node.corner.longitude, half, 0);
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
            if (coverage.count < child_keys && coverage.hidden_outside() > 0) {
                const std::uint32_t t = child >> 2, y = (child >> 1) & 1, x = child & 1;
                const Node child_node{node.first_key + child * child_keys,
                                      {node.corner.time + t * half, node.corner.latitude + y * half,
                                       node.corner.longitude + x * half},
                                      child_side_bits};
                partial_.push({coverage.hidden_outside(), child_node});
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

    std::vector<KeyRange> cover(HashKey first, HashKey last) {
        std::vector<Gap> gaps;
        gaps.reserve(kept_gaps_.size());
        while (!kept_gaps_.empty()) {
            gaps.push_back(kept_gaps_.top());
            kept_gaps_.pop();
        }
        std::ranges::sort(gaps, {}, &Gap::first);
        std::vector<KeyRange> ranges;
        ranges.reserve(gaps.size() + 1);
        HashKey from = first;
        for (const Gap& gap : gaps) {
            ranges.push_back({from, gap.first - 1});
            from = gap.first + gap.size;
        }
        ranges.push_back({from, last});
        return ranges;
    }

    const std::vector<CellBox>& pieces_;
    const std::size_t kept_gaps_limit_;
    std::size_t visible_gaps_ = 0;
    std::priority_queue<PartialNode> partial_;
    // The largest gaps seen, smallest on top.
    std::priority_queue<Gap, std::vector<Gap>, std::greater<Gap>> kept_gaps_;
};

}  // namespace

std::vector<KeyRange> KeyQuery::ranges(std::size_t max_ranges) const {
    if (disjoint_pieces_.empty()) {
        return {};
    }
    return Refinement(disjoint_pieces_, std::max<std::size_t>(max_ranges, 1)).run();
}

}  // namespace tessellon
