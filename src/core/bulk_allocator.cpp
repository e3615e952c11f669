#include "core/bulk_allocator.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tessellon::bulk_memory {

#if defined(__linux__)
namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t MAPPED_THRESHOLD = std::size_t{4} << 20;

constexpr std::size_t round_up(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

bool is_mapped(std::size_t bytes) { return bytes >= MAPPED_THRESHOLD; }

}  // namespace

void* allocate(std::size_t bytes) {
    if (!is_mapped(bytes)) {
        return ::operator new(bytes);
    }
    const std::size_t length = round_up(bytes);
    // Map one huge page more than needed and trim to a 2 MiB boundary, so
    // that every huge page of the array can really be one.
    const std::size_t padded = length + HUGE_PAGE;
    void* mapping = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (aligned > start) {
        ::munmap(mapping, aligned - start);
    }
    const std::uintptr_t tail = aligned + length;
    if (start + padded > tail) {
        ::munmap(reinterpret_cast<void*>(tail), start + padded - tail);
    }
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // advice only
    return reinterpret_cast<void*>(aligned);
}

void deallocate(void* pointer, std::size_t bytes) noexcept {
    if (!is_mapped(bytes)) {
        ::operator delete(pointer);
        return;
    }
    ::munmap(pointer, round_up(bytes));
}

#else  // elsewhere every array comes from operator new

void* allocate(std::size_t bytes) { return ::operator new(bytes); }

void deallocate(void* pointer, std::size_t) noexcept { ::operator delete(pointer); }

#endif

}  // namespace tessellon::bulk_memory
