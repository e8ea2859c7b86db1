// The process-wide borrow registry shared, through a capsule on NumPy, by every extension
// module that follows the same borrow-checking protocol.
#pragma once
#include "array/borrow_registry.hpp"
#include "cpython/pyerr.hpp"

#include <cstdint>
#include <expected>

namespace pixalot::borrow {

/// The in-memory interface between extension modules; its layout is the protocol.
struct BorrowCheckingApi {
    std::uint64_t version;
    void* flags;
    std::int32_t (*acquire)(void* flags, PyObject* array);
    std::int32_t (*acquire_mut)(void* flags, PyObject* array);
    void (*release)(void* flags, PyObject* array);
    void (*release_mut)(void* flags, PyObject* array);
};

/// The capsule's name and the attribute it is published under.
constexpr const char* capsule_name = "_NUMPY_BORROW_CHECKING_API";

/// Finds or installs the shared record; gives its address.
PyResult<BorrowCheckingApi*> insert_shared();

enum class BorrowError { AlreadyBorrowed };

/// One shared borrow as it was taken: the record it went to, and the base address and key
/// of the array's header at that moment. Python code run during the call may change the
/// header (a resize, a new shape or dtype); the borrow is still the one taken. The thread
/// that took it tells a forked child whether the borrow came with it.
struct SharedBorrow {
    BorrowCheckingApi* record;
    std::uintptr_t base;
    BorrowKey key;
    unsigned long thread;

    bool operator==(const SharedBorrow&) const = default;
};

/// Takes a shared borrow of the array for this module. The first one also arranges that a
/// child forked while other threads are inside calls gives back the borrows those threads
/// held: they do not exist in the child and would keep them for ever.
std::expected<SharedBorrow, BorrowError> acquire(PyObject* array);

/// Whether the array's header still describes the borrowed memory (same base and key).
bool still_describes(const SharedBorrow& borrow, PyObject* array);

/// Gives exactly that borrow back; faults "called `unwrap()` on an empty value" when the
/// registry has no such entry. A registry installed by another module can only be handed
/// the array, whose key it works out again from the header: when the header no longer
/// describes the borrowed memory, the borrow is left in place rather than risk releasing
/// some other entry, so the registry errs towards refusing writers, never towards
/// admitting one.
void release(const SharedBorrow& borrow, PyObject* array);

}  // namespace pixalot::borrow
