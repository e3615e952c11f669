// The Arrow C data interface: its three ABI-stable structs, as the Arrow
// project defines them, and owners that release what they hold exactly once.
#pragma once

#include <cstdint>
#include <utility>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

extern "C" {

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_STREAM_INTERFACE

namespace tessellon::binding {

// Holds one Arrow struct by value and calls its release callback once. A
// struct is taken over by moving it out of its producer's storage and
// marking that storage released, as the interface prescribes.
template <class Struct>
class ArrowOwner {
public:
    ArrowOwner() { value_.release = nullptr; }
    static ArrowOwner take_from(Struct* producer) {
        ArrowOwner owner;
        owner.value_ = *producer;
        producer->release = nullptr;
        return owner;
    }
    ArrowOwner(ArrowOwner&& other) noexcept : value_(other.value_) { other.value_.release = nullptr; }
    ArrowOwner& operator=(ArrowOwner&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = other.value_;
            other.value_.release = nullptr;
        }
        return *this;
    }
    ArrowOwner(const ArrowOwner&) = delete;
    ArrowOwner& operator=(const ArrowOwner&) = delete;
    ~ArrowOwner() { reset(); }

    void reset() {
        if (value_.release != nullptr) {
            value_.release(&value_);
            value_.release = nullptr;
        }
    }
    bool is_released() const { return value_.release == nullptr; }
    Struct* get() { return &value_; }
    const Struct& operator*() const { return value_; }
    const Struct* operator->() const { return &value_; }

private:
    Struct value_{};
};

using OwnedArrowSchema = ArrowOwner<ArrowSchema>;
using OwnedArrowArray = ArrowOwner<ArrowArray>;
using OwnedArrowStream = ArrowOwner<ArrowArrayStream>;

}  // namespace tessellon::binding
