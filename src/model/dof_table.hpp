// The lookup tables of a numbering, from a vertex index or an ordered edge pair to its
// DofRange: one array of slots with linear probing, kept at most 70% full, so that a table of
// millions of entries makes no allocation per entry and a lookup reads one or two cache lines.
// Assigning a key again replaces its range, as in a dict.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/tet.hpp"
#include "model/nexus.hpp"

namespace quarvex {

inline std::uint64_t key_bits(std::int32_t vertex) {
    return static_cast<std::uint32_t>(vertex);
}
inline std::uint64_t key_bits(const EdgeKey& edge) {
    return std::uint64_t{static_cast<std::uint32_t>(edge.first)} << 32 | static_cast<std::uint32_t>(edge.second);
}

template <class Key>
struct DofTable {
    struct Slot {
        Key key{};
        DofRange range{};
        bool used = false;
    };
    std::vector<Slot> slots;  // a power of two of them, or none
    std::size_t count = 0;

    std::size_t size() const { return count; }

    // Room for `entries` keys without growing.
    void reserve(std::size_t entries) {
        std::size_t capacity = 16;
        while (capacity * 7 / 10 < entries) capacity *= 2;
        if (capacity > slots.size()) rehash(capacity);
    }

    // The range of `key`, or nullptr when it has none.
    const DofRange* find(const Key& key) const {
        if (slots.empty()) return nullptr;
        for (std::size_t at = home(key);; at = (at + 1) & (slots.size() - 1)) {
            const Slot& slot = slots[at];
            if (!slot.used) return nullptr;
            if (slot.key == key) return &slot.range;
        }
    }
    bool contains(const Key& key) const { return find(key) != nullptr; }

    // The range of `key`, a new zero range when it had none.
    DofRange& operator[](const Key& key) {
        if ((count + 1) > slots.size() * 7 / 10) rehash(slots.empty() ? 16 : 2 * slots.size());
        std::size_t at = home(key);
        for (; slots[at].used; at = (at + 1) & (slots.size() - 1))
            if (slots[at].key == key) return slots[at].range;
        slots[at] = Slot{key, DofRange{}, true};
        ++count;
        return slots[at].range;
    }
    void insert_or_assign(const Key& key, DofRange range) { (*this)[key] = range; }

  private:
    // Fibonacci hashing: the top bits of the key times 2^64 / golden ratio.
    std::size_t home(const Key& key) const {
        const int shift = 64 - std::countr_zero(slots.size());
        return static_cast<std::size_t>((key_bits(key) * 0x9E3779B97F4A7C15ull) >> shift);
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots);
        count = 0;
        for (const Slot& slot : old)
            if (slot.used) (*this)[slot.key] = slot.range;
    }
};

}  // namespace quarvex
