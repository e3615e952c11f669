// Construction and membership of a KeyQuery.
#include "core/key_query.hpp"

#include <algorithm>
#include <array>

#include "core/key_bits.hpp"

namespace tessellon {
namespace {

std::optional<CellBox> normalised(CellBox box) {
    for (AxisRange* axis : {&box.time, &box.longitude, &box.latitude}) {
        axis->last = std::min(axis->last, AXIS_MAX);
        if (axis->first > axis->last) {
            return std::nullopt;
        }
    }
    return box;
}

KeyQuery::AxisBits axis_bits(const AxisRange& range, HashKey mask, unsigned offset) {
    const HashKey low = spread_cell(range.first) << offset;
    return {mask, low, (spread_cell(range.last) << offset) - low};
}

KeyQuery::BoxBits box_bits(const CellBox& box) {
    return {
        .time = axis_bits(box.time, TIME_BITS, 2),
        .longitude = axis_bits(box.longitude, LONGITUDE_BITS, 0),
        .latitude = axis_bits(box.latitude, LATITUDE_BITS, 1),
        .lowest_key = key_of_cells(box.time.first, box.longitude.first, box.latitude.first),
        .highest_key = key_of_cells(box.time.last, box.longitude.last, box.latitude.last),
    };
}

// The parts of piece outside cut, as at most six boxes: on each axis in turn,
// the slabs below and above cut, then the piece narrows to cut on that axis.
void subtract(const CellBox& piece, const CellBox& cut, std::vector<CellBox>& out) {
    const auto overlaps = [](const AxisRange& a, const AxisRange& b) { return a.first <= b.last && b.first <= a.last; };
    if (!overlaps(piece.time, cut.time) || !overlaps(piece.longitude, cut.longitude) ||
        !overlaps(piece.latitude, cut.latitude)) {
        out.push_back(piece);
        return;
    }
    CellBox rest = piece;
    for (auto axis : {&CellBox::time, &CellBox::longitude, &CellBox::latitude}) {
        const AxisRange range = rest.*axis;
        const AxisRange within = cut.*axis;
        if (range.first < within.first) {
            CellBox below = rest;
            below.*axis = {range.first, within.first - 1};
            out.push_back(below);
        }
        if (range.last > within.last) {
            CellBox above = rest;
            above.*axis = {within.last + 1, range.last};
            out.push_back(above);
        }
        (rest.*axis) = {std::max(range.first, within.first), std::min(range.last, within.last)};
    }
}

std::vector<CellBox> disjoint_union(const std::vector<CellBox>& boxes) {
    std::vector<CellBox> pieces;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        std::vector<CellBox> remaining{boxes[i]};
        for (std::size_t j = 0; j < i && !remaining.empty(); ++j) {
            std::vector<CellBox> next;
            for (const CellBox& piece : remaining) {
                subtract(piece, boxes[j], next);
            }
            remaining = std::move(next);
        }
        pieces.insert(pieces.end(), remaining.begin(), remaining.end());
    }
    return pieces;
}

// 0 or 1, combined with & rather than && so that loops over keys stay branch-free and vectorise.
inline unsigned axis_holds(const KeyQuery::AxisBits& axis, HashKey key) {
    return static_cast<unsigned>((key & axis.mask) - axis.low <= axis.width);
}

inline unsigned box_holds(const KeyQuery::BoxBits& box, HashKey key) {
    return axis_holds(box.time, key) & axis_holds(box.longitude, key) & axis_holds(box.latitude, key);
}

template <std::size_t BOXES>
void contains_fixed(const KeyQuery::BoxBits* given, const std::int64_t* keys, std::size_t count, std::uint8_t* out) {
    // A local copy: out may alias anything, and the compiler would otherwise reload the boxes after each store.
    std::array<KeyQuery::BoxBits, BOXES> boxes;
    std::copy_n(given, BOXES, boxes.begin());
    for (std::size_t i = 0; i < count; ++i) {
        const auto key = static_cast<HashKey>(keys[i]);
        unsigned inside = 0;
        for (std::size_t b = 0; b < BOXES; ++b) {
            inside |= box_holds(boxes[b], key);
        }
        out[i] = static_cast<std::uint8_t>(inside & static_cast<unsigned>(keys[i] >= 0));
    }
}

void contains_any(std::span<const KeyQuery::BoxBits> boxes, const std::int64_t* keys, std::size_t count,
                  std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto key = static_cast<HashKey>(keys[i]);
        unsigned inside = 0;
        for (const KeyQuery::BoxBits& box : boxes) {
            inside |= box_holds(box, key);
        }
        out[i] = static_cast<std::uint8_t>(inside & static_cast<unsigned>(keys[i] >= 0));
    }
}

void apply_validity(const std::uint8_t* validity, std::uint64_t offset, std::size_t count, std::uint8_t* out) {
    std::size_t i = 0;
    // Bit by bit up to a byte boundary of the bitmap, then a byte at a time.
    for (; i < count && (offset + i) % 8 != 0; ++i) {
        out[i] &= (validity[(offset + i) / 8] >> ((offset + i) % 8)) & 1;
    }
    const std::uint8_t* bytes = validity + (offset + i) / 8;
    for (; i + 8 <= count; i += 8, ++bytes) {
        const std::uint8_t valid = *bytes;
        for (unsigned bit = 0; bit < 8; ++bit) {
            out[i + bit] &= (valid >> bit) & 1;
        }
    }
    for (unsigned bit = 0; i < count; ++i, ++bit) {
        out[i] &= (*bytes >> bit) & 1;
    }
}

}  // namespace

KeyQuery::KeyQuery(std::vector<CellBox> boxes) {
    for (const CellBox& box : boxes) {
        if (auto kept = normalised(box)) {
            boxes_.push_back(*kept);
            box_bits_.push_back(box_bits(*kept));
        }
    }
    disjoint_pieces_ = disjoint_union(boxes_);
}

bool KeyQuery::contains(HashKey key) const {
    unsigned inside = 0;
    for (const BoxBits& box : box_bits_) {
        inside |= box_holds(box, key);
    }
    return inside != 0 && (key >> 63) == 0;
}

void KeyQuery::contains_many(std::span<const std::int64_t> keys, const std::uint8_t* validity,
                             std::int64_t validity_offset, std::uint8_t* out) const {
    const std::size_t count = keys.size();
    switch (box_bits_.size()) {
        case 0:
            std::fill_n(out, count, std::uint8_t{0});
            return;
        case 1:
            contains_fixed<1>(box_bits_.data(), keys.data(), count, out);
            break;
        case 2:
            contains_fixed<2>(box_bits_.data(), keys.data(), count, out);
            break;
        default:
            contains_any(box_bits_, keys.data(), count, out);
            break;
    }
    if (validity != nullptr) {
        apply_validity(validity, static_cast<std::uint64_t>(validity_offset), count, out);
    }
}

}  // namespace tessellon
