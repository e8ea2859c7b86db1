// The registry's tables: base address -> (key -> count), without an allocation per borrow.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pixalot::borrow {

struct BorrowKey {
    std::uintptr_t range_start;
    std::uintptr_t range_end;
    std::uintptr_t data_ptr;
    std::ptrdiff_t gcd_strides;

    bool operator==(const BorrowKey&) const = default;
};

/// n > 0 shared borrows of exactly `key`, or -1 for one exclusive borrow; never 0.
struct Borrow {
    BorrowKey key;
    std::ptrdiff_t count;
};

/// The borrows of one base address. Nearly always one at a time (one call, one view),
/// so up to two live inline; more spill into one heap block.
class BorrowsOfBase {
public:
    std::size_t size() const noexcept { return spilled_.empty() ? size_ : spilled_.size(); }
    Borrow* begin() noexcept { return spilled_.empty() ? inline_ : spilled_.data(); }
    Borrow* end() noexcept { return begin() + size(); }

    Borrow* find(const BorrowKey& key) noexcept {
        for (Borrow& borrow : *this) {
            if (borrow.key == key) return &borrow;
        }
        return nullptr;
    }

    void add(const BorrowKey& key, std::ptrdiff_t count) {
        if (spilled_.empty() && size_ < inline_capacity) {
            inline_[size_++] = {key, count};
            return;
        }
        if (spilled_.empty()) spilled_.assign(inline_, inline_ + size_);
        spilled_.push_back({key, count});
    }

    void clear() noexcept {
        size_ = 0;
        spilled_.clear();
    }

    /// Removes one borrow found by `find`; order among the rest does not matter.
    void remove(Borrow* borrow) noexcept {
        *borrow = *(end() - 1);
        if (spilled_.empty()) {
            --size_;
        } else {
            spilled_.pop_back();
            if (spilled_.empty()) size_ = 0;  // emptied through the heap block: nothing inline either
        }
    }

private:
    static constexpr std::size_t inline_capacity = 2;
    Borrow inline_[inline_capacity] = {};
    std::size_t size_ = 0;
    std::vector<Borrow> spilled_;
};

/// Open addressing with linear probing on the base address; deletion shifts the probe
/// run back, so there are no tombstones and lookups stay short.
class BorrowRegistry {
public:
    BorrowsOfBase* find(std::uintptr_t address) noexcept {
        if (slots_.empty()) return nullptr;
        for (std::size_t slot = home(address);; slot = next(slot)) {
            if (!slots_[slot].used) return nullptr;
            if (slots_[slot].address == address) return &slots_[slot].borrows;
        }
    }

    /// A new, empty entry for an address that has none.
    BorrowsOfBase& insert(std::uintptr_t address) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        std::size_t slot = home(address);
        while (slots_[slot].used) slot = next(slot);
        slots_[slot].used = true;
        slots_[slot].address = address;
        ++used_;
        return slots_[slot].borrows;
    }

    void erase(std::uintptr_t address) noexcept {
        std::size_t hole = home(address);
        while (slots_[hole].address != address || !slots_[hole].used) hole = next(hole);
        slots_[hole].clear();
        --used_;
        for (std::size_t slot = next(hole); slots_[slot].used; slot = next(slot)) {
            const std::size_t wanted = home(slots_[slot].address);
            // Move the entry back into the hole unless its home lies cyclically in (hole, slot].
            const bool stays = hole <= slot ? (hole < wanted && wanted <= slot) : (hole < wanted || wanted <= slot);
            if (stays) continue;
            slots_[hole] = std::move(slots_[slot]);
            slots_[slot].clear();
            hole = slot;
        }
    }

private:
    struct Slot {
        std::uintptr_t address = 0;
        bool used = false;
        BorrowsOfBase borrows;

        /// Empties the slot in place: a borrow taken and given back by every call should
        /// not cost a whole slot's construction and move.
        void clear() noexcept {
            used = false;
            borrows.clear();
        }
    };

    std::size_t home(std::uintptr_t address) const noexcept {
        return static_cast<std::size_t>((std::uint64_t{address} * 0x9E3779B97F4A7C15ull) >> 32) &
               (slots_.size() - 1);
    }
    std::size_t next(std::size_t slot) const noexcept { return (slot + 1) & (slots_.size() - 1); }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_ = std::vector<Slot>(old.empty() ? 16 : old.size() * 2);
        used_ = 0;
        for (Slot& slot : old) {
            if (slot.used) insert(slot.address) = std::move(slot.borrows);
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace pixalot::borrow
