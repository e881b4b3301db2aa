#include "guards.hpp"

#include <new>
#include <thread>

#if defined(PYAPI_FREE_THREADED) && defined(PYAPI_DICT_VERSION)
#error "free-threaded builds (3.13+) have dict watchers"
#endif

namespace pyapi {
namespace {

// A dict's entry for a str key, or nullptr; a failing lookup (a key of
// another type whose __eq__ raised) counts as absent, the literal road then
// meets the error itself. Borrowed: only ever compared by identity with an
// original the guards own, which no thread can free meanwhile, so a pointer
// another thread's rebinding frees is never followed.
PyObject* entry_of(PyObject* dict, PyObject* name) noexcept {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v) PyErr_Clear();
    return v;
}

// The same entry as an owned reference, for an original to keep.
Ref entry_ref(PyObject* dict, PyObject* name) noexcept {
    PyObject* v = nullptr;
    if (compat::dict_get_ref(dict, name, &v) < 0) PyErr_Clear();
    return Ref::steal(v);
}

// The namespace a plain module answers its attributes from, or nullptr.
PyObject* plain_module_dict(PyObject* o) noexcept {
    return o && PyModule_CheckExact(o) ? PyModule_GetDict(o) : nullptr;
}

#ifndef PYAPI_DICT_VERSION
// The package's dict watcher: every event on a watched dict (set, delete,
// clear, update, dealloc) arrives before the change and bumps the counter,
// so a memo made before it no longer matches. Static: extension modules are
// never unloaded, and every interpreter's watcher of this library counts here.
std::atomic<std::uint64_t> g_changes{0};

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    g_changes.fetch_add(1, std::memory_order_release);
    return 0;
}

// One watcher id per interpreter for all of the package's modules: the
// first module to load takes it and leaves it in the interpreter's state
// dict for the others (an interpreter has 8 ids in all, the host keeps 2).
struct SharedWatcher {
    int id;  // -1: none was free; every module then looks names up in full
    std::atomic<std::uint64_t>* changes;
};
constexpr const char kWatcherKey[] = "vantorel.pyapi.dict_watcher.1";

void free_watcher(PyObject* capsule) noexcept {
    delete static_cast<SharedWatcher*>(PyCapsule_GetPointer(capsule, kWatcherKey));
}

// The capsule stays in the interpreter's dict until the interpreter ends,
// so the watcher it holds outlives every module of that interpreter.
const SharedWatcher* watcher_in(PyObject* capsule) {
    auto* w = static_cast<const SharedWatcher*>(PyCapsule_GetPointer(capsule, kWatcherKey));
    if (!w) raise();
    return w;
}

const SharedWatcher* interpreter_watcher() {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) return nullptr;
    Ref key = check(PyUnicode_InternFromString(kWatcherKey));
    PyObject* found = nullptr;
    if (check_status(compat::dict_get_ref(shared, key.get(), &found))) return watcher_in(Ref::steal(found).get());
    auto* w = new SharedWatcher{PyDict_AddWatcher(count_change), &g_changes};
    if (w->id < 0) PyErr_Clear();  // "no more dict watcher IDs available"
    Ref capsule = Ref::steal(PyCapsule_New(w, kWatcherKey, free_watcher));
    if (!capsule) {
        if (w->id >= 0) PyDict_ClearWatcher(w->id);
        delete w;
        raise();
    }
    // Two modules importing at once (in two threads without a GIL) may both
    // get here: the first capsule in place is the interpreter's, the other
    // gives its id back, so the interpreter keeps one.
    Ref kept = check(compat::dict_setdefault_ref(shared, key.get(), capsule.get()));
    if (kept.get() != capsule.get() && w->id >= 0) PyDict_ClearWatcher(w->id);
    return watcher_in(kept.get());
}
#endif

}  // namespace

void Guards::init(PyObject* module, std::span<const Dependency> layer) {
    globals_ = Ref::borrow(PyModule_GetDict(module));
    builtins_module_ = check(PyImport_ImportModule("builtins"));
    builtins_dict_ = PyModule_GetDict(builtins_module_.get());
    add_entries(layer);
}

void Guards::add_entries(std::span<const Dependency> table) {
    for (const Dependency& d : table) {
        if (d.id != count_ || count_ >= kMaxDependencies) raise(PyExc_SystemError, "dependency table out of order");
        entries_[count_] = &d;
        names_[count_] = check(PyUnicode_InternFromString(d.name));
        ++count_;
    }
}

void Guards::seal(std::span<const Dependency> table) {
    add_entries(table);
    // The originals: what each name finds now (the builtins the host's own,
    // attributes read from their owner's original).
    for (unsigned i = 0; i < count_; ++i) {
        const Dependency& d = *entries_[i];
        Ref v;
        switch (d.kind) {
            case DepKind::global: v = entry_ref(globals_.get(), names_[i].get()); break;
            case DepKind::builtin:
                if (!entry_of(globals_.get(), names_[i].get())) v = entry_ref(builtins_dict_, names_[i].get());
                break;
            case DepKind::attribute:
            case DepKind::entry: {
                PyObject* owner = originals_[d.owner].get();
                owner_dicts_[i] = d.kind == DepKind::attribute        ? plain_module_dict(owner)
                                  : owner && PyDict_CheckExact(owner) ? owner
                                                                      : nullptr;
                if (owner_dicts_[i]) v = entry_ref(owner_dicts_[i], names_[i].get());
                break;
            }
        }
        if (v && d.own && !d.own(v.get())) v = Ref();
        if (v) share_with_threads(v.get());
        originals_[i] = std::move(v);
    }
    // The dicts whose changes can move an answer.
    PyObject* dicts[kMaxDependencies + 2] = {globals_.get(), builtins_dict_};
    int n = 2;
    for (unsigned i = 0; i < count_; ++i) {
        PyObject* d = owner_dicts_[i];
        bool seen = !d;
        for (int j = 0; j < n && !seen; ++j) seen = dicts[j] == d;
        if (!seen) dicts[n++] = d;
    }
#ifdef PYAPI_DICT_VERSION
    can_memo_ = n <= kMaxWatched;
    watched_count_ = can_memo_ ? n : 0;
    for (int j = 0; j < watched_count_; ++j) watched_[j] = dicts[j];
#else
    const SharedWatcher* w = interpreter_watcher();
    if (w && w->id >= 0) {
        bool all = true;
        for (int j = 0; j < n; ++j) all = all && PyDict_Watch(w->id, dicts[j]) == 0;
        if (all) changes_ = w->changes;
        else PyErr_Clear();
    }
#endif
    invalidate();
}

bool Guards::memoised() const noexcept {
#ifdef PYAPI_DICT_VERSION
    return can_memo_;
#else
    return changes_ != nullptr;
#endif
}

void Guards::invalidate() noexcept {
#ifdef PYAPI_DICT_VERSION
    memo_made_ = false;
    memo_ = 0;
#elif defined(PYAPI_FREE_THREADED)
    memo_write(0, kNoCount, true);
#else
    memo_at_ = kNoCount;
    memo_ = 0;
#endif
}

#ifdef PYAPI_FREE_THREADED
void Guards::memo_write(DepMask mask, std::uint64_t at, bool wait) noexcept {
    std::uint64_t seq = memo_seq_.load(std::memory_order_relaxed);
    for (;;) {
        if (!(seq & 1) &&
            memo_seq_.compare_exchange_strong(seq, seq + 1, std::memory_order_acq_rel, std::memory_order_relaxed))
            break;
        if (!wait) return;
        std::this_thread::yield();
        seq = memo_seq_.load(std::memory_order_relaxed);
    }
    // The odd word comes before either field's release store, so a reader
    // that acquires a new field also sees the odd word.
    // A writer that computed at an older count does not replace a newer memo.
    const std::uint64_t had = memo_count_.load(std::memory_order_relaxed);
    if (wait || had == kNoCount || had < at) {
        memo_mask_.store(mask, std::memory_order_release);
        memo_count_.store(at, std::memory_order_release);
    }
    memo_seq_.store(seq + 2, std::memory_order_release);
}
#endif

#ifdef PYAPI_DICT_VERSION
void Guards::stamp(std::uint64_t* out) const noexcept {
    for (int j = 0; j < watched_count_; ++j) out[j] = compat::dict_version(watched_[j]);
}
#endif

DepMask Guards::recompute() {
#ifdef PYAPI_DICT_VERSION
    std::uint64_t before[kMaxWatched];
    stamp(before);
#else
    const std::uint64_t before = changes_ ? changes_->load(std::memory_order_acquire) : 0;
#endif
    ErrorStash pending;  // an `except` clause may ask while its error is in flight
    DepMask mask = 0;
    PyObject* const g = globals_.get();
    for (unsigned i = 0; i < count_; ++i) {
        PyObject* want = originals_[i].get();
        if (!want) continue;
        PyObject* name = names_[i].get();
        PyObject* now = nullptr;
        switch (entries_[i]->kind) {
            case DepKind::global: now = entry_of(g, name); break;
            case DepKind::builtin: now = entry_of(g, name) ? nullptr : entry_of(builtins_dict_, name); break;
            case DepKind::attribute:
            case DepKind::entry: now = owner_dicts_[i] ? entry_of(owner_dicts_[i], name) : nullptr; break;
        }
        if (now == want) mask |= dep_bit(i);
    }
    // A lookup may have run caller code (a key's __eq__) that changed a
    // dict: remember only an answer that still holds.
#ifdef PYAPI_DICT_VERSION
    if (can_memo_) {
        std::uint64_t after[kMaxWatched];
        stamp(after);
        bool same = true;
        for (int j = 0; j < watched_count_; ++j) same = same && after[j] == before[j];
        if (same) {
            for (int j = 0; j < watched_count_; ++j) tags_[j] = before[j];
            memo_ = mask;
            memo_made_ = true;
        }
    }
#elif defined(PYAPI_FREE_THREADED)
    if (changes_ && changes_->load(std::memory_order_acquire) == before) memo_write(mask, before, false);
#else
    if (changes_ && changes_->load(std::memory_order_acquire) == before) {
        memo_ = mask;
        memo_at_ = before;
    }
#endif
    return mask;
}

}  // namespace pyapi
