// The caches from 3.12 on, by a dict watcher (name_cache.hpp). 3.12 added dict
// watchers (PyDict_AddWatcher) and deprecated the version tags of
// name_cache_tags.cpp; once 3.11 is dropped, this is the only implementation.
//
// Who owns what:
// - One watch is active at a time, the newest state's: the watcher's callback
//   gets no data of its own, so a static pointer routes it. A state that
//   starts stops the one before it (a failed exec step can leave one alive,
//   held by a traceback): that one unwatches its namespace, gives its
//   watcher back and remembers nothing from then on, so no dict is watched
//   by a state that no longer hears of it.
// - The watch owns a reference to the namespace it watches: it cannot end
//   while watched, unheard or not, so unwatching it never reads a freed dict.
// - An entry owns the answer it remembers, and is emptied when its dict
//   changes, which is when the dict may let the answer go.
//
// What other code may do to the watcher: a failed PyDict_Watch means that
// the watcher is no longer set (PyDict_ClearWatcher on its id), and the watch
// retires at once, remembering nothing from then on. A watcher cleared or
// the namespace unwatched by other code goes unseen until then: meanwhile an
// entry may answer what the namespace held when it was filled, an object the
// entry still owns.
//
// A change is heard before it is made, and Python code may run between the
// two: a later watcher's failure is reported through sys.unraisablehook or
// sys.stderr. A lookup made there would see the value being replaced, and
// remembering it would answer that value after the store. So the watched
// namespace keeps the changes heard and not yet seen in it, each with what
// the dict shows once it is made (the key's new value, its absence, an empty
// dict), and nothing is remembered from a dict while one is unsettled. A
// change is settled once the dict shows its outcome: its store is done, or a
// later change left the same outcome, which its store then only repeats.
// The outcome is read without running Python code: by a lookup while every
// key is an exact str, else by the keys' identity. A change whose outcome
// cannot be read so (a key that is not an exact str modified or deleted
// through an equal key), or more unsettled changes than are kept, leaves
// the dict unremembered for as long as it is watched. Nested changes and
// changes of other threads (a hook may let the GIL go) are all kept, not
// only the oldest. A change under way when its dict is first watched goes
// unheard: so only the module namespace, watched from the exec step on and
// never let go, is remembered. The dicts of modules read through it (os.path,
// platform.system) are looked up afresh on every call: one watched first by
// a lookup made inside a later watcher's report of its own change would
// answer the value being replaced after the store.
#include "name_cache.hpp"

#if VEKA_DICT_WATCHERS

#include <optional>
#include <utility>

namespace veka {
namespace {

// Borrowed: the active watch, which clears it when it stops.
DictWatch* active_watch = nullptr;

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value)
{
    if (active_watch) active_watch->note(event, dict, key, new_value);
    return 0;
}

// What `dict` maps `key` to, read without running Python code: found is
// false when that cannot be read.
struct Reading {
    bool found;
    PyObject* value;
};

Reading read_without_python(PyObject* dict, PyObject* key, bool keys_exact_str) noexcept
{
    const bool exact_key = PyUnicode_CheckExact(key);
    if (exact_key && keys_exact_str) {  // exact str against exact str only
        PyObject* value = PyDict_GetItemWithError(dict, key);
        if (!value && PyErr_Occurred()) {
            PyErr_Clear();
            return {.found = false, .value = nullptr};
        }
        return {.found = true, .value = value};
    }
    Py_ssize_t position = 0;
    PyObject* entry_key = nullptr;
    PyObject* entry_value = nullptr;
    while (PyDict_Next(dict, &position, &entry_key, &entry_value)) {
        if (entry_key == key) return {.found = true, .value = entry_value};
        if (exact_key && PyUnicode_CheckExact(entry_key) && PyUnicode_Equal(entry_key, key) == 1) {
            return {.found = true, .value = entry_value};
        }
    }
    // Absent. A key that is not an exact str might still equal it, but the
    // dict is then not remembered until it is emptied.
    return {.found = exact_key, .value = nullptr};
}

}  // namespace

bool DictWatch::Watched::settled() const noexcept
{
    for (const Pending& change : pending) {
        if (change.kind >= 0) return false;
    }
    return !overflowed;
}

void DictWatch::start(PyObject* namespace_dict) noexcept
{
    if (active_watch) active_watch->stop();
    watcher_ = PyDict_AddWatcher(on_dict_event);
    if (watcher_ < 0) {  // all of the interpreter's watchers are taken
        PyErr_Clear();
        retired_ = true;
        return;
    }
    active_watch = this;
    // Heard from the start and for good: a dict first watched while a change
    // of it is under way (between another watcher's notice and the store)
    // would have that change go unheard.
    if (PyDict_Watch(watcher_, namespace_dict) < 0) {
        PyErr_Clear();
        stop();
        return;
    }
    namespace_ = {.dict = Ref::borrow(namespace_dict),
                  .keys_exact_str = keys_are_exact_str(namespace_dict)};
}

void DictWatch::stop() noexcept
{
    if (active_watch == this) active_watch = nullptr;
    retired_ = true;
    if (watcher_ >= 0) {
        const PendingExceptionKept pending_exception;
        if (namespace_.dict && PyDict_Unwatch(watcher_, namespace_.dict.get()) < 0) PyErr_Clear();
        // Late in the interpreter's teardown its watchers may be gone already.
        if (PyDict_ClearWatcher(watcher_) < 0) PyErr_Clear();
        watcher_ = -1;
    }
    retire();
}

void DictWatch::retire() noexcept
{
    retired_ = true;
    watcher_ = -1;
    const PendingExceptionKept pending_exception;
    // Emptied first, dropped afterwards: dropping runs Python code.
    Watched dropped_namespace{};
    Answers dropped_values{};
    std::swap(dropped_namespace, namespace_);
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        if (NameCache* cache = std::exchange(entries_[index], nullptr)) {
            cache->dict = nullptr;
            dropped_values[index] = std::move(cache->value);
        }
    }
}

int DictWatch::traverse(visitproc visit, void* arg) const
{
    Py_VISIT(namespace_.dict.get());
    for (const Pending& change : namespace_.pending) {
        Py_VISIT(change.key.get());
        Py_VISIT(change.value.get());
    }
    return 0;
}

PyObject* DictWatch::remembered(const NameCache& cache, PyObject* dict) const
{
    // A change of the dict empties the entry.
    return cache.dict == dict ? cache.value.get() : nullptr;
}

DictWatch::Watched* DictWatch::watched(PyObject* dict) noexcept
{
    return namespace_.dict && namespace_.dict.get() == dict ? &namespace_ : nullptr;
}

void DictWatch::settle(Watched& entry, std::array<Pending, 4>& dropped) noexcept
{
    PyObject* dict = entry.dict.get();
    for (std::size_t index = 0; index < entry.pending.size(); ++index) {
        Pending& change = entry.pending[index];
        bool shown = false;
        switch (change.kind) {
            case -1:
                continue;
            case PyDict_EVENT_CLEARED:
                shown = PyDict_GET_SIZE(dict) == 0;
                break;
            case PyDict_EVENT_CLONED:  // from a dict that is not empty
                shown = PyDict_GET_SIZE(dict) > 0;
                break;
            case PyDict_EVENT_ADDED:
            case PyDict_EVENT_MODIFIED:
            case PyDict_EVENT_DELETED: {
                const Reading now =
                    read_without_python(dict, change.key.get(), entry.keys_exact_str);
                shown = now.found && now.value == change.value.get();
                break;
            }
            default:
                shown = true;
                break;
        }
        if (!shown) continue;
        // Whether the keys are all exact str is known again once the dict is
        // empty, or once the keys a copy brought are seen.
        if (change.kind == PyDict_EVENT_CLEARED) entry.keys_exact_str = true;
        if (change.kind == PyDict_EVENT_CLONED) entry.keys_exact_str = keys_are_exact_str(dict);
        dropped[index] = std::exchange(change, Pending{});
    }
}

void DictWatch::note(int event, PyObject* dict, PyObject* key, PyObject* new_value) noexcept
{
    // Any fill whose lookup spans a change is refused.
    ++generation_;
    Watched* entry = watched(dict);
    if (!entry) return;
    // A change may be made while an exception is pending (once per change,
    // this costs the thread state's lookups of a guard kept always).
    std::optional<PendingExceptionKept> pending_exception;
    if (PyErr_Occurred()) pending_exception.emplace();
    std::array<Pending, 4> dropped{};
    if (!entry->settled()) settle(*entry, dropped);
    if (key && !PyUnicode_CheckExact(key)) {
        entry->keys_exact_str = false;
        // Modified or deleted through a key that may not be the dict's own:
        // what it changes cannot be read without running Python code.
        if (event != PyDict_EVENT_ADDED) entry->overflowed = true;
    }
    if (event == PyDict_EVENT_CLONED) entry->keys_exact_str = false;
    Pending* free_slot = nullptr;
    for (Pending& change : entry->pending) {
        if (change.kind < 0) {
            free_slot = &change;
            break;
        }
    }
    if (!free_slot) {
        entry->overflowed = true;
    } else {
        const bool keeps_value = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED;
        *free_slot = {.kind = event,
                      .key = Ref::borrow(key),
                      .value = keeps_value ? Ref::borrow(new_value) : Ref{}};
    }
    // Dropped last (dropping runs Python code), once the change is recorded.
    for (const NameCache* cache : entries_) {
        if (cache && cache->dict == dict) {
            Answers dropped_answers{};
            forget_entries_of(dict, dropped_answers);
            break;
        }
    }
}

void DictWatch::forget_entries_of(PyObject* dict, Answers& dropped) noexcept
{
    for (std::size_t index = 0; index < entries_.size(); ++index) {
        NameCache* cache = entries_[index];
        if (!cache || cache->dict != dict) continue;
        entries_[index] = nullptr;
        cache->dict = nullptr;
        dropped[index] = std::move(cache->value);
    }
}

bool DictWatch::watch(PyObject* dict) noexcept
{
    // Set again at each fresh lookup: it fails only when the watcher is gone.
    if (PyDict_Watch(watcher_, dict) < 0) {
        PyErr_Clear();
        retire();
        return false;
    }
    return true;
}

void DictWatch::remember(NameCache& cache, PyObject* dict, const Ref& value) noexcept
{
    NameCache** slot = nullptr;
    for (NameCache*& entry : entries_) {
        if (entry == &cache) {
            slot = &entry;
            break;
        }
        if (!entry && !slot) slot = &entry;
    }
    if (!slot) return;  // not expected: there are fewer names than entries
    *slot = &cache;
    // Whole before the answer it replaces is dropped, which runs Python code.
    Ref replaced = std::exchange(cache.value, value.share());
    cache.dict = dict;
}

Ref DictWatch::lookup_afresh(PyObject* dict, const CachedName& name)
{
    // Only a dict watched since the exec step, the namespace, is remembered:
    // any other would be first watched by a lookup, which may run inside
    // another watcher's report of a change of that very dict, a change this
    // watch then never hears of.
    if (!PyDict_CheckExact(dict) || retired_ || watcher_ < 0 || !watched(dict))
        return fresh_lookup(dict, name.text.get());
    if (!watch(dict)) return fresh_lookup(dict, name.text.get());
    // Python code run by what watching or settling dropped may have evicted it.
    if (Watched* entry = watched(dict); entry && !entry->settled()) {
        std::array<Pending, 4> dropped{};
        settle(*entry, dropped);
    }
    const Watched* entry = watched(dict);
    const bool may_remember = entry && entry->keys_exact_str && entry->settled();
    const std::uint64_t before = generation_;
    Ref value = fresh_lookup(dict, name.text.get());
    // Remembered only when the lookup ran no Python code and nothing changed.
    if (value && may_remember && !retired_ && generation_ == before) {
        remember(name.cache, dict, value);
    }
    return value;
}

}  // namespace veka

#endif
