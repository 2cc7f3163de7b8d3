// The caches on 3.11, by the dicts' version tags (name_cache.hpp). 3.12 added
// dict watchers (name_cache_watchers.cpp) and deprecated the tags, which 3.14
// removed; delete this file with 3.11.
//
// A tag names one state of one dict: an entry whose dict still has the tag
// read before its lookup holds what the dict holds. Nothing needs watching, so
// start and stop do nothing, and the watch owns no reference.
//
// The keys are looked at again only after as many fresh lookups of a name as
// the dict has keys, so that a dict that keeps changing costs at most one key
// per lookup.
#include "name_cache.hpp"

#if !VEKA_DICT_WATCHERS

namespace veka {

void DictWatch::start(PyObject*) noexcept {}
void DictWatch::stop() noexcept {}

int DictWatch::traverse(visitproc, void*) const
{
    return 0;
}

void DictWatch::note(int, PyObject*, PyObject*, PyObject*) noexcept {}

bool DictWatch::unchanged(const NameCache& cache) const
{
    return PyDict_CheckExact(cache.dict) && dict_version_tag(cache.dict) == cache.stamp;
}

Ref DictWatch::lookup_afresh(PyObject* dict, const CachedName& name)
{
    NameCache& cache = name.cache;
    if (!PyDict_CheckExact(dict)) return fresh_lookup(dict, name.text.get());
    const std::uint64_t tag = dict_version_tag(dict);
    Ref value = fresh_lookup(dict, name.text.get());
    if (!value) return value;
    if (cache.fresh_lookups < static_cast<std::uint64_t>(PyDict_GET_SIZE(dict))) {
        ++cache.fresh_lookups;
        return value;
    }
    cache.fresh_lookups = 0;
    if (!keys_are_exact_str(dict)) return value;
    // The tag read before the lookup is the one remembered: a lookup that
    // changed the dict leaves an entry that never matches. The entry is
    // whole before the answer it replaces is dropped.
    Ref replaced = std::exchange(cache.value, value.share());
    cache.dict = dict;
    cache.stamp = tag;
    return value;
}

}  // namespace veka

#endif
