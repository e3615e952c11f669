// Construction and membership of a KeyQuery.
#include "core/key_query.hpp"

#include <algorithm>

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

// Bit 63 set when key's cell on this axis lies outside the range. Masked key,
// low and width are all below 2^63, so masked - low and width - (masked - low)
// go negative exactly when the cell is below or above the range: subtraction,
// or and shift only, which vectorise even on baseline x86-64 (no 64-bit
// compare needed).
inline HashKey axis_outside(const KeyQuery::AxisBits& axis, HashKey key) {
    const HashKey offset = (key & axis.mask) - axis.low;
    return offset | (axis.width - offset);
}

inline HashKey box_outside(const KeyQuery::BoxBits& box, HashKey key) {
    return axis_outside(box.time, key) | axis_outside(box.longitude, key) | axis_outside(box.latitude, key);
}

// The box's nine numbers as plain locals, so the loop over keys vectorises.
struct FlatBox {
    HashKey time_mask, time_low, time_width;
    HashKey longitude_mask, longitude_low, longitude_width;
    HashKey latitude_mask, latitude_low, latitude_width;

    explicit FlatBox(const KeyQuery::BoxBits& box)
        : time_mask(box.time.mask), time_low(box.time.low), time_width(box.time.width),
          longitude_mask(box.longitude.mask), longitude_low(box.longitude.low), longitude_width(box.longitude.width),
          latitude_mask(box.latitude.mask), latitude_low(box.latitude.low), latitude_width(box.latitude.width) {}

    HashKey outside(HashKey key) const {
        const HashKey t = (key & time_mask) - time_low;
        const HashKey x = (key & longitude_mask) - longitude_low;
        const HashKey y = (key & latitude_mask) - latitude_low;
        return t | (time_width - t) | x | (longitude_width - x) | y | (latitude_width - y);
    }
};

void contains_one(const KeyQuery::BoxBits& box, const std::int64_t* keys, std::size_t count, std::uint8_t* out) {
    const FlatBox a(box);
    for (std::size_t i = 0; i < count; ++i) {
        const auto key = static_cast<HashKey>(keys[i]);
        out[i] = static_cast<std::uint8_t>(((a.outside(key) | key) >> 63) ^ 1);  // a negative key is outside too
    }
}

void contains_two(const KeyQuery::BoxBits& first, const KeyQuery::BoxBits& second, const std::int64_t* keys,
                  std::size_t count, std::uint8_t* out) {
    const FlatBox a(first), b(second);
    for (std::size_t i = 0; i < count; ++i) {
        const auto key = static_cast<HashKey>(keys[i]);
        out[i] = static_cast<std::uint8_t>((((a.outside(key) & b.outside(key)) | key) >> 63) ^ 1);
    }
}

void contains_any(std::span<const KeyQuery::BoxBits> boxes, const std::int64_t* keys, std::size_t count,
                  std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto key = static_cast<HashKey>(keys[i]);
        HashKey outside = ~HashKey{0};
        for (const KeyQuery::BoxBits& box : boxes) {
            outside &= box_outside(box, key);
        }
        out[i] = static_cast<std::uint8_t>(((outside | key) >> 63) ^ 1);
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
    HashKey outside = ~HashKey{0};
    for (const BoxBits& box : box_bits_) {
        outside &= box_outside(box, key);
    }
    return ((outside | key) >> 63) == 0;
}

void KeyQuery::contains_many(std::span<const std::int64_t> keys, const std::uint8_t* validity,
                             std::int64_t validity_offset, std::uint8_t* out) const {
    const std::size_t count = keys.size();
    switch (box_bits_.size()) {
        case 0:
            std::fill_n(out, count, std::uint8_t{0});
            return;
        case 1:
            contains_one(box_bits_[0], keys.data(), count, out);
            break;
        case 2:
            contains_two(box_bits_[0], box_bits_[1], keys.data(), count, out);
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
