// The last answer of each name's dict lookup, remembered between calls while
// a fresh lookup would give the very same object.
//
// The bodies look names up in two kinds of dict: the module namespace (for
// module-level names) and the dicts of exact modules (os.path, platform.system;
// an exact module's type cannot change and defines none of those names, so
// its dict alone answers them). How a remembered answer is known to be still
// the dict's differs by version, one file each (3.12 added dict watchers and
// deprecated the version tag they replace; delete name_cache_tags.cpp with 3.11):
// - name_cache_tags.cpp, 3.11: the dict's version tag is the one read before
//   the lookup; tags come from one process-wide counter, so a tag names one
//   state of one dict;
// - name_cache_watchers.cpp, 3.12 on: a dict watcher hears every change of
//   the module namespace, watched from the exec step on, and a change empties
//   the entries; the dicts of modules are looked up afresh (see there).
//
// A cache owns the answer it remembers: it hands out a reference of its own,
// never one that only the dict's holding makes valid, so that whatever other
// code does to the dicts or to the interpreter's watchers, the worst a lookup
// can answer is an object the dict held once, never a freed one. The state
// that holds the caches traverses and clears them (shared_state.cpp).
//
// A lookup runs Python code when a key it meets is not an exact str (its
// __eq__), and that code may answer differently without changing the dict,
// so only dicts whose keys are all exact str are remembered, as the
// interpreter's own global cache does.
//
// Absent names are never remembered, and neither is anything found elsewhere
// (builtins, a module's __getattr__, any other object's attributes).
#pragma once

#include "errors.hpp"
#include "interpreter_access.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace veka {

// What one name's lookup remembers. `dict` is compared, never read. The
// answer is `value`, owned, where dict watchers keep the caches (other code
// may take the watcher away); on 3.11 it is `lent`, borrowed from the dict,
// whose version tag proves that the dict still holds it (an owned answer
// there would outlive its dict's change until the name's next fill).
struct NameCache {
    PyObject* dict = nullptr;
    Ref value;
    PyObject* lent = nullptr;
    // What else tells that `dict` is unchanged, if anything (the version tag).
    std::uint64_t stamp = 0;
    // Fresh lookups since the dict's keys were last looked at (version tags).
    std::uint32_t fresh_lookups = std::numeric_limits<std::uint32_t>::max();
};

// A name the bodies look up, with its cache.
struct CachedName {
    Ref text;
    mutable NameCache cache;
};

// Forgets what `cache` remembers. The value is dropped only once the entry is
// empty: dropping it may run Python code, which may look the name up again.
void forget(NameCache& cache) noexcept;

// The dicts the caches rest on, and what tells that they changed. One per
// shared state. From 3.12 on it owns a dict watcher of the interpreter and a
// reference to the namespace it watches.
class DictWatch {
public:
    DictWatch() = default;
    DictWatch(const DictWatch&) = delete;
    DictWatch& operator=(const DictWatch&) = delete;
    ~DictWatch() { stop(); }

    // Starts watching, the module namespace first; when the interpreter has
    // no watcher left, nothing is remembered. The state started before, if
    // any, stops here: one watch is active at a time, and it is the only one
    // that remembers.
    void start(PyObject* namespace_dict) noexcept;
    // Forgets every remembered answer, unwatches every dict, lets the
    // references to them go and gives the watcher back. Remembers nothing
    // from then on.
    void stop() noexcept;

    // dict[name], through the name's cache; an empty Ref when the dict does
    // not hold the name, or PythonError.
    Ref lookup(PyObject* dict, const CachedName& name)
    {
        if (PyObject* answer = remembered(name.cache, dict)) return Ref::borrow(answer);
        return lookup_afresh(dict, name);
    }

    // Every reference the watch owns, for the collector.
    int traverse(visitproc visit, void* arg) const;

    // The watcher's view of one change of `dict`, before it is made (key and
    // new_value as the interpreter passes them).
    void note(int event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept;

private:
    // The entry's answer while a fresh lookup in `dict` would give the same
    // object, else null; borrowed until the next call into Python.
    [[nodiscard]] PyObject* remembered(const NameCache& cache, PyObject* dict) const;
    Ref lookup_afresh(PyObject* dict, const CachedName& name);

    // A change of a watched dict that the dict does not show yet: the
    // interpreter tells a watcher of a change before it makes it, and may run
    // Python code in between (a later watcher's failure is reported through
    // sys.unraisablehook). `kind` is the interpreter's event, -1 for none;
    // once made, the change leaves `key` mapped to `value` (empty: absent).
    struct Pending {
        int kind = -1;
        Ref key;
        Ref value;
    };
    struct Watched {
        Ref dict;
        bool keys_exact_str = false;
        // More changes unsettled at once than `pending` holds: the dict is
        // never remembered again while it is watched.
        bool overflowed = false;
        std::array<Pending, 4> pending{};
        [[nodiscard]] bool settled() const noexcept;
    };
    static constexpr std::size_t most_entries = 32;

    Watched* watched(PyObject* dict) noexcept;
    bool watch(PyObject* dict) noexcept;
    void settle(Watched& entry, std::array<Pending, 4>& dropped) noexcept;
    using Answers = std::array<Ref, most_entries>;
    // Empties the entries of `dict`, moving their answers to `dropped`.
    void forget_entries_of(PyObject* dict, Answers& dropped) noexcept;
    void remember(NameCache& cache, PyObject* dict, const Ref& value) noexcept;
    void retire() noexcept;

    int watcher_ = -1;
    bool retired_ = false;
    std::uint64_t generation_ = 0;
    // The module namespace, the one dict watched and remembered.
    Watched namespace_{};
    // The entries that remember an answer, so that a change of their dict
    // empties them at once.
    std::array<NameCache*, most_entries> entries_{};
};

// For the two implementations: dict[name] looked up afresh, the dict held for
// the lookup, which may run a key's __eq__; and whether every key of a dict
// is an exact str, so that a lookup in it runs no Python code.
Ref fresh_lookup(PyObject* dict, PyObject* name);
bool keys_are_exact_str(PyObject* dict) noexcept;

}  // namespace veka
