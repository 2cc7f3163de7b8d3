// The last answer of each name's dict lookup, remembered between calls while
// a fresh lookup would give the very same object.
//
// The bodies look names up in two kinds of dict: the module namespace (for
// module-level names) and the dicts of exact modules (os.path, platform.system;
// an exact module's type cannot change and defines none of those names, so
// its dict alone answers them). A remembered answer is handed out only while
// that dict is unchanged:
// - 3.11: the dict's version tag is the one read before the lookup; tags come
//   from one process-wide counter, so a tag names one state of one dict;
// - 3.12 on: a dict watcher sees every change of every dict the caches use
//   (and its end), and any change forgets every answer.
// Borrowing the answer is safe for the same reason: the unchanged dict holds it.
//
// A lookup runs Python code when a key it meets is not an exact str (its
// __eq__), and that code may answer differently without changing the dict,
// so only dicts whose keys are all exact str are remembered, as the
// interpreter's own global cache does. 3.12 on learns that from the watcher's
// events, after one look at the keys when a dict is first watched; 3.11 must
// look at them again after each change, and does so only once a name has
// been looked up afresh as many times as the dict has keys, so that a dict
// that keeps changing costs at most one key per lookup.
//
// Absent names are never remembered, and neither is anything found elsewhere
// (builtins, a module's __getattr__, any other object's attributes).
#pragma once

#include "errors.hpp"
#include "interpreter_access.hpp"

#include <array>
#include <cstdint>
#include <limits>

namespace veka {

// What one name's lookup remembers. The pointers own nothing: `dict` is
// compared, never read, and `value` is handed out only while `dict` holds it.
struct NameCache {
    PyObject* dict = nullptr;
    PyObject* value = nullptr;
    std::uint64_t stamp = 0;
#if !VEKA_DICT_WATCHERS
    std::uint32_t fresh_lookups = std::numeric_limits<std::uint32_t>::max();
#endif
};

// A name the bodies look up, with its cache.
struct CachedName {
    Ref text;
    mutable NameCache cache;
};

// The dicts the caches rest on, and what tells that they changed. One per
// shared state; from 3.12 on it owns a dict watcher of the interpreter.
class DictWatch {
public:
    DictWatch() = default;
    DictWatch(const DictWatch&) = delete;
    DictWatch& operator=(const DictWatch&) = delete;
    ~DictWatch() { stop(); }

    // Starts watching; when the interpreter has no watcher left, nothing is
    // remembered. Any earlier state's watch stops remembering from here on.
    void start() noexcept;
    // Unwatches every dict and gives the watcher back.
    void stop() noexcept;

    // dict[name], through the name's cache; an empty Ref when the dict does
    // not hold the name, or PythonError.
    Ref lookup(PyObject* dict, const CachedName& name)
    {
        const NameCache& cache = name.cache;
        if (cache.value && cache.dict == dict && cache.stamp == stamp_of(dict)) {
            return Ref::borrow(cache.value);
        }
        return lookup_afresh(dict, name);
    }

private:
    // What a remembered answer must match. Valid for an exact dict, the only
    // kind ever remembered (so that the stamp of any other never matters).
    [[nodiscard]] std::uint64_t stamp_of([[maybe_unused]] PyObject* dict) const
    {
#if VEKA_DICT_WATCHERS
        return generation_;
#else
        return PyDict_CheckExact(dict) ? dict_version_tag(dict) : 0;
#endif
    }
    Ref lookup_afresh(PyObject* dict, const CachedName& name);

#if VEKA_DICT_WATCHERS
public:
    // The watcher's view of one change of `dict` (key: the key added or
    // removed, if any).
    void note(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept;

private:
    struct Watched {
        PyObject* dict = nullptr;  // borrowed: its end is an event, which drops it
        bool keys_exact_str = false;
    };
    Watched* watched(PyObject* dict) noexcept;
    Watched* watch(PyObject* dict) noexcept;

    int watcher_ = -1;
    bool retired_ = false;
    std::uint64_t generation_ = 0;
    std::array<Watched, 16> dicts_{};
    std::size_t next_eviction_ = 0;
#endif
};

}  // namespace veka
