// The caches on 3.11, by the dicts' version tags (name_cache.hpp). 3.12 added
// dict watchers (name_cache_watchers.cpp) and deprecated the tags, which 3.14
// removed; delete this file with 3.11.
//
// A tag names one state of one dict: an entry whose dict still has the tag
// read before its lookup lends what the dict holds. Nothing needs watching, so
// start and stop do nothing, and neither the watch nor an entry owns a
// reference.
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

PyObject* DictWatch::remembered(const NameCache& cache, PyObject* dict) const
{
    if (!cache.lent || cache.dict != dict) return nullptr;
    // The address may be another object's by now: a tag is read only from a dict.
    return PyDict_CheckExact(dict) && dict_version_tag(dict) == cache.stamp ? cache.lent : nullptr;
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
    // changed the dict leaves an entry that never matches.
    cache.dict = dict;
    cache.lent = value.get();
    cache.stamp = tag;
    return value;
}

}  // namespace veka

#endif
