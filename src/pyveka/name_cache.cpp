#include "name_cache.hpp"

namespace veka {
namespace {

// Whether every key of the dict is an exact str, so that a lookup in it runs
// no Python code.
bool keys_are_exact_str(PyObject* dict)
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// Held for the lookup, which may run a key's __eq__.
Ref fresh_lookup(PyObject* dict, PyObject* name)
{
    const Ref held = Ref::borrow(dict);
    return check_lookup(into_python(PyDict_GetItemWithError, held.get(), name));
}

}  // namespace

#if VEKA_DICT_WATCHERS

namespace {

// Borrowed: the watch of the newest shared state, which clears it when it
// stops. The watcher's callback gets no data of its own.
DictWatch* active_watch = nullptr;

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*)
{
    if (active_watch) active_watch->note(event, dict, key);
    return 0;
}

}  // namespace

void DictWatch::start() noexcept
{
    if (active_watch) {  // its answers are forgotten, and it remembers none from here on
        active_watch->retired_ = true;
        ++active_watch->generation_;
    }
    watcher_ = PyDict_AddWatcher(on_dict_event);
    if (watcher_ < 0) {  // all of the interpreter's watchers are taken
        PyErr_Clear();
        return;
    }
    active_watch = this;
}

void DictWatch::stop() noexcept
{
    if (active_watch == this) active_watch = nullptr;
    if (watcher_ < 0) return;
    const PendingExceptionKept pending;
    for (Watched& entry : dicts_) {
        if (entry.dict && PyDict_Unwatch(watcher_, entry.dict) < 0) PyErr_Clear();
        entry = {};
    }
    // Late in the interpreter's teardown its watchers may be gone already.
    if (PyDict_ClearWatcher(watcher_) < 0) PyErr_Clear();
    watcher_ = -1;
    ++generation_;
}

void DictWatch::note(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept
{
    // Called before the change: every answer is forgotten, and the next
    // lookup sees the changed dict.
    ++generation_;
    Watched* entry = watched(dict);
    if (!entry) return;
    switch (event) {
        case PyDict_EVENT_ADDED:
            if (!PyUnicode_CheckExact(key)) entry->keys_exact_str = false;
            break;
        case PyDict_EVENT_CLEARED:
            entry->keys_exact_str = true;
            break;
        case PyDict_EVENT_CLONED:  // another dict's keys, unseen
            entry->keys_exact_str = false;
            break;
        case PyDict_EVENT_DEALLOCATED:
            *entry = {};
            break;
        default:
            break;
    }
}

DictWatch::Watched* DictWatch::watched(PyObject* dict) noexcept
{
    for (Watched& entry : dicts_) {
        if (entry.dict == dict) return &entry;
    }
    return nullptr;
}

DictWatch::Watched* DictWatch::watch(PyObject* dict) noexcept
{
    if (Watched* entry = watched(dict)) return entry;
    Watched* entry = watched(nullptr);
    if (!entry) {  // all in use: the oldest makes room
        entry = &dicts_[next_eviction_];
        next_eviction_ = (next_eviction_ + 1) % dicts_.size();
        if (PyDict_Unwatch(watcher_, entry->dict) < 0) PyErr_Clear();
        ++generation_;
    }
    if (PyDict_Watch(watcher_, dict) < 0) {
        PyErr_Clear();
        *entry = {};
        return nullptr;
    }
    *entry = {.dict = dict, .keys_exact_str = keys_are_exact_str(dict)};
    return entry;
}

Ref DictWatch::lookup_afresh(PyObject* dict, const CachedName& name)
{
    NameCache& cache = name.cache;
    if (!PyDict_CheckExact(dict) || watcher_ < 0 || retired_)
        return fresh_lookup(dict, name.text.get());
    const Watched* entry = watch(dict);
    const std::uint64_t before = generation_;
    Ref value = fresh_lookup(dict, name.text.get());
    // Remembered only when the lookup ran no Python code and nothing changed.
    if (value && entry && entry->dict == dict && entry->keys_exact_str && generation_ == before) {
        cache = {.dict = dict, .value = value.get(), .stamp = before};
    }
    return value;
}

#else  // version tags

void DictWatch::start() noexcept {}
void DictWatch::stop() noexcept {}

Ref DictWatch::lookup_afresh(PyObject* dict, const CachedName& name)
{
    NameCache& cache = name.cache;
    if (!PyDict_CheckExact(dict)) return fresh_lookup(dict, name.text.get());
    const std::uint64_t tag = dict_version_tag(dict);
    Ref value = fresh_lookup(dict, name.text.get());
    if (!value) return value;
    // The keys are looked at again only after as many fresh lookups as the
    // dict has keys. The tag read before the lookup is the one remembered: a
    // lookup that changed the dict leaves an answer that never matches.
    if (cache.fresh_lookups < static_cast<std::uint64_t>(PyDict_GET_SIZE(dict))) {
        ++cache.fresh_lookups;
        return value;
    }
    cache.fresh_lookups = 0;
    if (keys_are_exact_str(dict)) {
        cache.dict = dict;
        cache.value = value.get();
        cache.stamp = tag;
    }
    return value;
}

#endif

}  // namespace veka
