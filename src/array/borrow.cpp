// Borrow registry: keys, conflicts, the record's four functions and the module-side calls.
#include "array/borrow.hpp"

#include "array/borrow_registry.hpp"
#include "array/numpy_api.hpp"
#include "support/fault.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <source_location>
#include <vector>

namespace pixalot::borrow {
namespace {

using numpy::npy_intp;

/// Non-negative gcd by Stein's algorithm, with gcd(x, 0) = gcd(0, x) = |x|.
npy_intp gcd(npy_intp first, npy_intp second) {
    std::uintmax_t a = first < 0 ? 0 - static_cast<std::uintmax_t>(first) : static_cast<std::uintmax_t>(first);
    std::uintmax_t b = second < 0 ? 0 - static_cast<std::uintmax_t>(second) : static_cast<std::uintmax_t>(second);
    if (a == 0) return static_cast<npy_intp>(b);
    if (b == 0) return static_cast<npy_intp>(a);
    const int shift = __builtin_ctzll(a | b);
    a >>= __builtin_ctzll(a);
    do {
        b >>= __builtin_ctzll(b);
        if (a > b) std::swap(a, b);
        b -= a;
    } while (b != 0);
    return static_cast<npy_intp>(a << shift);
}

/// The object that owns the memory: the end of the chain of array bases.
std::uintptr_t base_address(PyObject* array) {
    PyObject* current = array;
    while (true) {
        PyObject* base = numpy::as_array(current)->base;
        if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
        if (!numpy::PyArray_Check(base)) return reinterpret_cast<std::uintptr_t>(base);
        current = base;
    }
}

BorrowKey borrow_key(PyObject* object) {
    const numpy::ArrayObject* array = numpy::as_array(object);
    const auto data = reinterpret_cast<std::uintptr_t>(array->data);
    const int nd = array->nd;
    if (nd == 0) return {data, data, data, 1};

    npy_intp gcd_strides = array->strides[0];
    for (int axis = 1; axis < nd; ++axis) gcd_strides = gcd(gcd_strides, array->strides[axis]);

    bool empty = false;
    for (int axis = 0; axis < nd; ++axis) empty = empty || array->dimensions[axis] == 0;
    if (empty) return {data, data, data, gcd_strides};

    // Signed machine-word arithmetic that wraps like the addresses it describes.
    std::uintptr_t low = 0, high = 0;
    for (int axis = 0; axis < nd; ++axis) {
        const npy_intp extent =
            static_cast<npy_intp>(static_cast<std::uintptr_t>(array->dimensions[axis] - 1) *
                                  static_cast<std::uintptr_t>(array->strides[axis]));
        if (extent < 0) {
            low += static_cast<std::uintptr_t>(extent);
        } else {
            high += static_cast<std::uintptr_t>(extent);
        }
    }
    const auto elsize = static_cast<std::uintptr_t>(numpy::descr_elsize(array->descr));
    return {data + low, data + high + elsize, data, gcd_strides};
}

bool conflicts(const BorrowKey& first, const BorrowKey& second) {
    if (second.range_start >= first.range_end || first.range_start >= second.range_end) return false;
    const std::uintptr_t difference = first.data_ptr >= second.data_ptr ? first.data_ptr - second.data_ptr
                                                                        : second.data_ptr - first.data_ptr;
    const npy_intp divisor = gcd(first.gcd_strides, second.gcd_strides);
    // Both arrays step nowhere (all strides zero): overlapping ranges are the same bytes.
    if (divisor == 0) return true;
    return difference % static_cast<std::uintptr_t>(divisor) == 0;
}

[[noreturn]] void zero_count_fault() { panic("assertion `left != right` failed\n  left: 0\n right: 0"); }

BorrowRegistry& registry_of(void* flags) { return *static_cast<BorrowRegistry*>(flags); }

std::int32_t acquire_entry(BorrowRegistry& registry, std::uintptr_t address, const BorrowKey& key) {
    BorrowsOfBase* borrows = registry.find(address);
    if (borrows == nullptr) {
        registry.insert(address).add(key, 1);
        return 0;
    }
    if (Borrow* same = borrows->find(key)) {
        if (same->count == 0) zero_count_fault();
        if (same->count < 0 || same->count == PY_SSIZE_T_MAX) return -1;
        ++same->count;
        return 0;
    }
    for (const Borrow& other : *borrows) {
        if (conflicts(key, other.key) && other.count < 0) return -1;
    }
    borrows->add(key, 1);
    return 0;
}

std::int32_t acquire_shared(void* flags, PyObject* array) {
    return acquire_entry(registry_of(flags), base_address(array), borrow_key(array));
}

std::int32_t acquire_mut_shared(void* flags, PyObject* array) {
    if ((numpy::as_array(array)->flags & numpy::NPY_ARRAY_WRITEABLE) == 0) return -2;
    BorrowRegistry& registry = registry_of(flags);
    const std::uintptr_t address = base_address(array);
    const BorrowKey key = borrow_key(array);
    BorrowsOfBase* borrows = registry.find(address);
    if (borrows == nullptr) {
        registry.insert(address).add(key, -1);
        return 0;
    }
    if (Borrow* same = borrows->find(key)) {
        if (same->count == 0) zero_count_fault();
        return -1;
    }
    for (const Borrow& other : *borrows) {
        if (conflicts(key, other.key) && other.count != 0) return -1;
    }
    borrows->add(key, -1);
    return 0;
}

[[noreturn]] void missing_entry_fault() { panic("called `unwrap()` on an empty value"); }

void release_entry(BorrowRegistry& registry, std::uintptr_t address, const BorrowKey& key) {
    BorrowsOfBase* borrows = registry.find(address);
    if (borrows == nullptr) missing_entry_fault();
    Borrow* borrow = borrows->find(key);
    if (borrow == nullptr) missing_entry_fault();
    if (--borrow->count != 0) return;
    if (borrows->size() > 1) {
        borrows->remove(borrow);
    } else {
        registry.erase(address);
    }
}

void release_shared(void* flags, PyObject* array) {
    release_entry(registry_of(flags), base_address(array), borrow_key(array));
}

void release_mut_shared(void* flags, PyObject* array) {
    BorrowRegistry& registry = registry_of(flags);
    const std::uintptr_t address = base_address(array);
    BorrowsOfBase* borrows = registry.find(address);
    if (borrows == nullptr) missing_entry_fault();
    if (borrows->size() > 1) {
        Borrow* borrow = borrows->find(borrow_key(array));
        if (borrow == nullptr) missing_entry_fault();
        borrows->remove(borrow);
    } else {
        registry.erase(address);
    }
}

/// The record's functions are called from other modules' native code, where an exception
/// cannot unwind: a fault there is reported (already, by `panic`) and ends only the request.
/// An acquire that faulted took nothing and answers as refused; a release that faulted
/// leaves the registry as it was, erring towards refusing writers.
template <auto function, auto refused>
auto at_c_boundary(void* flags, PyObject* array) noexcept {
    try {
        return function(flags, array);
    } catch (const Fault&) {
    } catch (const std::bad_alloc&) {
        write_fault_report("memory allocation failed", std::source_location::current());
    } catch (...) {
        write_fault_report("panic from native code", std::source_location::current());
    }
    return refused();
}

constexpr std::int32_t refuse() { return -1; }
constexpr void nothing() {}

void destroy_capsule(PyObject* capsule) {
    const char* name = PyCapsule_GetName(capsule);
    auto* record = static_cast<BorrowCheckingApi*>(PyCapsule_GetPointer(capsule, name));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<BorrowRegistry*>(record->flags);
    delete record;
    delete[] name;
}

BorrowCheckingApi* cached_record = nullptr;

/// The record, found or installed on first use; faults when neither is possible.
BorrowCheckingApi& shared_record() {
    if (cached_record != nullptr) return *cached_record;
    PyResult<BorrowCheckingApi*> record = insert_shared();
    if (!record) panic(fault_message_with("Interal borrow checking API error", record.error()));
    if (cached_record == nullptr) cached_record = *record;
    return *cached_record;
}

/// Every borrow this module's calls hold at this moment, with the array it was taken for.
struct LiveBorrow {
    SharedBorrow borrow;
    PyObject* array;
};
/// Lives as long as the process, like the registry: never destroyed under a thread at exit.
std::vector<LiveBorrow>& live_borrows = *new std::vector<LiveBorrow>;

void give_back(const SharedBorrow& borrow, PyObject* array);

/// In a forked child, after the interpreter has made it single-threaded: the borrows of the
/// threads that did not come along are given back. The forking thread's own stay; a call
/// it is inside of goes on in the child and ends them as usual.
PyObject* give_back_borrows_of_lost_threads(PyObject*, PyObject*) noexcept {
    const unsigned long self = PyThread_get_thread_ident();
    const auto lost = std::partition(live_borrows.begin(), live_borrows.end(),
                                     [&](const LiveBorrow& live) { return live.borrow.thread == self; });
    for (auto live = lost; live != live_borrows.end(); ++live) {
        try {
            give_back(live->borrow, live->array);
        } catch (...) {
            // Reported where it arose; the other borrows are still given back.
        }
    }
    live_borrows.erase(lost, live_borrows.end());
    Py_RETURN_NONE;
}

PyMethodDef after_fork_in_child{"_give_back_borrows_of_lost_threads", give_back_borrows_of_lost_threads,
                                METH_NOARGS, nullptr};
bool watching_forks = false;

/// Registers the child's clean-up with the interpreter's own fork hooks, which run only
/// where control returns to Python, with the lock held. Should that fail, the next borrow
/// tries again; the call itself goes on.
void watch_forks() {
    if (watching_forks) return;
    // Set first: the import below may let another thread in, which need not register too.
    watching_forks = true;
    PyRef hook = PyRef::steal(PyCFunction_New(&after_fork_in_child, nullptr));
    PyRef os = PyRef::steal(PyImport_ImportModule("os"));
    PyRef register_at_fork = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : PyRef();
    PyRef no_arguments = PyRef::steal(PyTuple_New(0));
    PyRef keywords = PyRef::steal(PyDict_New());
    PyRef registered;
    if (hook && register_at_fork && no_arguments && keywords &&
        PyDict_SetItemString(keywords.get(), "after_in_child", hook.get()) == 0) {
        registered = PyRef::steal(PyObject_Call(register_at_fork.get(), no_arguments.get(), keywords.get()));
    }
    if (!registered) {
        watching_forks = false;
        (void)PyErr::fetch();
    }
}

}  // namespace

PyResult<BorrowCheckingApi*> insert_shared() {
    PyResult<PyRef> multiarray = numpy::import_multiarray();
    if (!multiarray) return std::unexpected(std::move(multiarray.error()));
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray->get(), capsule_name));
    if (capsule) {
        if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
            return std::unexpected(PyErr::type_mismatch(capsule.get(), "PyCapsule"));
        }
    } else {
        (void)PyErr::fetch();  // no registry yet: this module installs one
        auto registry = std::make_unique<BorrowRegistry>();
        auto record = std::make_unique<BorrowCheckingApi>(BorrowCheckingApi{
            1, registry.get(), at_c_boundary<acquire_shared, refuse>, at_c_boundary<acquire_mut_shared, refuse>,
            at_c_boundary<release_shared, nothing>, at_c_boundary<release_mut_shared, nothing>});
        const std::size_t name_size = std::strlen(capsule_name) + 1;
        auto name = std::make_unique<char[]>(name_size);
        std::memcpy(name.get(), capsule_name, name_size);
        capsule = PyRef::steal(PyCapsule_New(record.get(), name.get(), destroy_capsule));
        if (!capsule) return std::unexpected(PyErr::fetch());
        // From here the capsule's destructor owns the three allocations.
        (void)registry.release();
        (void)record.release();
        (void)name.release();
        if (PyObject_SetAttrString(multiarray->get(), capsule_name, capsule.get()) != 0) {
            return std::unexpected(PyErr::fetch());
        }
    }

    auto* record = static_cast<BorrowCheckingApi*>(numpy::capsule_pointer(capsule.get()));
    if (record == nullptr) {
        return std::unexpected(PyErr::new_message(PyExc_TypeError, "the borrow checking capsule holds a null pointer"));
    }
    std::uint64_t version;
    std::memcpy(&version, record, sizeof version);
    if (version == 0) {
        return std::unexpected(PyErr::new_message(
            PyExc_TypeError, "Version " + std::to_string(version) +
                                 " of borrow checking API is not supported by this version of pixalot"));
    }
    (void)capsule.release();  // the record must outlive every user of it
    return record;
}

/// Whether the record is one this module made, whose registry can be told the key itself.
bool is_own(const BorrowCheckingApi& record) { return record.release == at_c_boundary<release_shared, nothing>; }

std::expected<SharedBorrow, BorrowError> acquire(PyObject* array) {
    BorrowCheckingApi& record = shared_record();
    watch_forks();
    // Room first, so that keeping track of a borrow taken cannot fail.
    if (live_borrows.size() == live_borrows.capacity()) live_borrows.reserve(2 * live_borrows.size() + 4);
    const SharedBorrow borrow{&record, base_address(array), borrow_key(array), PyThread_get_thread_ident()};
    const std::int32_t code = is_own(record) ? acquire_entry(registry_of(record.flags), borrow.base, borrow.key)
                                             : record.acquire(record.flags, array);
    if (code == 0) {
        live_borrows.push_back({borrow, array});
        return borrow;
    }
    if (code == -1) return std::unexpected(BorrowError::AlreadyBorrowed);
    panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

bool still_describes(const SharedBorrow& borrow, PyObject* array) {
    return base_address(array) == borrow.base && borrow_key(array) == borrow.key;
}

void release(const SharedBorrow& borrow, PyObject* array) {
    const auto live = std::ranges::find_if(live_borrows.rbegin(), live_borrows.rend(), [&](const LiveBorrow& held) {
        return held.borrow == borrow && held.array == array;
    });
    if (live != live_borrows.rend()) live_borrows.erase(std::next(live).base());
    give_back(borrow, array);
}

namespace {

void give_back(const SharedBorrow& borrow, PyObject* array) {
    BorrowCheckingApi& record = *borrow.record;
    if (is_own(record)) {
        release_entry(registry_of(record.flags), borrow.base, borrow.key);
    } else if (still_describes(borrow, array)) {
        record.release(record.flags, array);
    }
}

}  // namespace

}  // namespace pixalot::borrow
