// The process-wide borrow registry shared, through a capsule on NumPy, by every extension
// module that follows the same borrow-checking protocol.
#pragma once
#include "boundary/pyerr.hpp"

#include <cstdint>

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

enum class BorrowError { AlreadyBorrowed, NotWriteable };

/// Takes a shared borrow of the array for this module.
std::optional<BorrowError> acquire(PyObject* array);
/// Gives a shared borrow back.
void release(PyObject* array);

}  // namespace pixalot::borrow
