// An allocator for the large per-call arrays of batch hashing. Arrays of a
// few megabytes and more are mapped directly, aligned to 2 MiB and marked
// for transparent huge pages: a million-item batch then takes a few dozen
// page faults instead of thousands, which is a tenth of its running time.
// Smaller arrays come from operator new as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace tessellon {

namespace bulk_memory {

void* allocate(std::size_t bytes);
void deallocate(void* pointer, std::size_t bytes) noexcept;

}  // namespace bulk_memory

template <class T>
struct BulkAllocator {
    using value_type = T;

    BulkAllocator() = default;
    template <class U>
    constexpr BulkAllocator(const BulkAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(bulk_memory::allocate(count * sizeof(T)));
    }
    void deallocate(T* pointer, std::size_t count) noexcept { bulk_memory::deallocate(pointer, count * sizeof(T)); }

    template <class U>
    friend constexpr bool operator==(const BulkAllocator&, const BulkAllocator<U>&) noexcept {
        return true;
    }
};

template <class T>
using BulkVector = std::vector<T, BulkAllocator<T>>;

}  // namespace tessellon
