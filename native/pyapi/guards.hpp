// Late binding at native speed: whether the names a module's shortcuts depend
// on still hold the objects its body bound.
//
// Every function reaches module globals, builtins and attributes of imported
// modules at the moment of use, so rebinding one changes the next call. Most
// calls find every name as the module body left it, and the bodies then take
// native shortcuts (call our own function's body directly, hash without
// json.dumps, ...). A module declares once, in one table, what those
// shortcuts depend on: a module global, a builtin, or an attribute of another
// entry's original (a module), each with the object it must still be. The
// layer keeps the originals, watches the dicts they are read from, and
// answers the one question the bodies ask, `holding()`: the set of entries
// whose names still find their originals.
//
// The answer is memoised until one of the watched dicts changes: from 3.12 on
// through the host's dict watchers (one watcher id per interpreter for the
// whole package, shared through the interpreter's state dict), on 3.10/3.11
// through the dicts' version tags. Where neither serves (every watcher id of
// the interpreter taken) each question is answered by looking the names up
// in full: slower, still exact.
//
// Without a GIL (free-threaded builds) any thread may make the memo while
// others read it: the mask and the count it was made at are published under
// a sequence word (a seqlock over atomics), so a reader takes a pair one
// writer wrote, never a mask of one count with the count of another; a
// writer that finds another mid-write leaves the memo to it. GIL builds
// keep the plain fields and their two loads.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "interpreter_compat.hpp"
#include "ref.hpp"

namespace pyapi {

enum class DepKind : std::uint8_t {
    global,     // the module's own namespace
    builtin,    // absent from the module's namespace, found in the builtins module
    attribute,  // an entry of the namespace of `owner`'s original, a plain module
    entry,      // a value of `owner`'s original, an exact dict (a table the body made), by str key
};

// Recognises the host's or a library's own object when a table is sealed,
// so that a name replaced before the module was first imported is not taken
// for the original (the dependency then never holds).
using Recognise = bool (*)(PyObject* value);

struct Dependency {
    unsigned id;  // the entry's position in its module's numbering (checked when sealed)
    DepKind kind;
    const char* name;
    unsigned owner = 0;       // attribute: the entry whose original holds it
    Recognise own = nullptr;  // nullptr: whatever the name holds when sealed
};

using DepMask = std::uint64_t;
inline constexpr unsigned kMaxDependencies = 64;
inline constexpr DepMask dep_bit(unsigned id) { return DepMask{1} << id; }

// True when `table`'s ids number its entries from `first` on, each owner
// coming before the attributes it holds: for static_assert beside a table.
constexpr bool well_numbered(std::span<const Dependency> table, unsigned first) {
    for (unsigned i = 0; i < table.size(); ++i) {
        const Dependency& d = table[i];
        if (d.id != first + i || d.id >= kMaxDependencies) return false;
        if ((d.kind == DepKind::attribute || d.kind == DepKind::entry) && d.owner >= d.id) return false;
    }
    return true;
}

class Guards {
public:
    Guards() = default;
    Guards(const Guards&) = delete;
    Guards& operator=(const Guards&) = delete;

    // Before the module body: the layer's own entries (the builtins of
    // builtins.hpp, entries 0 .. kBuiltinCount-1), the module's namespace and
    // the builtins module of the importing interpreter.
    void init(PyObject* module, std::span<const Dependency> layer);
    // After the module body bound its names: the module's entries (ids from
    // kBuiltinCount on), their originals read now, the dicts watched.
    void seal(std::span<const Dependency> table);

    // The entries whose names find their originals right now.
    DepMask holding() {
#ifdef PYAPI_FREE_THREADED
        DepMask m;
        if (memo_read(m)) return m;
#else
        if (memo_valid()) return memo_;
#endif
        return recompute();
    }
    bool holds(unsigned id) { return (holding() & dep_bit(id)) != 0; }
    bool hold_all(DepMask want) { return (holding() & want) == want; }

    PyObject* original(unsigned id) const noexcept { return originals_[id].get(); }
    PyObject* name(unsigned id) const noexcept { return names_[id].get(); }
    const Dependency& entry(unsigned id) const noexcept { return *entries_[id]; }
    PyObject* globals() const noexcept { return globals_.get(); }
    PyObject* builtins_module() const noexcept { return builtins_module_.get(); }
    PyObject* builtins_dict() const noexcept { return builtins_dict_; }
    // Whether changes reach the memo (false: every question is answered in full).
    bool memoised() const noexcept;

    // Forgets the memo (the module's state is being cleared).
    void invalidate() noexcept;

    template <class F>
    void each_ref(F&& f) {
        f(globals_);
        f(builtins_module_);
        for (unsigned i = 0; i < count_; ++i) f(originals_[i]);
    }

private:
    DepMask recompute();
#ifndef PYAPI_FREE_THREADED
    bool memo_valid() const noexcept {
#ifdef PYAPI_DICT_VERSION
        if (!memo_made_) return false;
        for (int j = 0; j < watched_count_; ++j)
            if (compat::dict_version(watched_[j]) != tags_[j]) return false;
        return true;
#else
        return changes_ && changes_->load(std::memory_order_acquire) == memo_at_;
#endif
    }
#endif
#ifdef PYAPI_FREE_THREADED
    // The memo as one writer left it, if it is of the count now.
    bool memo_read(DepMask& out) const noexcept {
        if (!changes_) return false;
        const std::uint64_t seq = memo_seq_.load(std::memory_order_acquire);
        if (seq & 1) return false;  // mid-write
        // Acquire loads, not a fence (which ThreadSanitizer does not model): a
        // field of a writer that started after `seq` makes the word's reload
        // see that writer's odd word.
        const DepMask mask = memo_mask_.load(std::memory_order_acquire);
        const std::uint64_t at = memo_count_.load(std::memory_order_acquire);
        if (memo_seq_.load(std::memory_order_relaxed) != seq) return false;  // torn
        if (changes_->load(std::memory_order_acquire) != at) return false;   // stale
        out = mask;
        return true;
    }
    // Publishes (mask, at); `wait`: until no other writer is mid-write (they
    // hold the word for two stores), else a writer found there wins.
    void memo_write(DepMask mask, std::uint64_t at, bool wait) noexcept;
#endif
    void add_entries(std::span<const Dependency> table);

    const Dependency* entries_[kMaxDependencies] = {};
    Ref names_[kMaxDependencies];
    Ref originals_[kMaxDependencies];
    PyObject* owner_dicts_[kMaxDependencies] = {};  // attribute and entry kinds: the dict they are read from
    unsigned count_ = 0;
    Ref globals_;
    Ref builtins_module_;
    PyObject* builtins_dict_ = nullptr;  // builtins_module_'s namespace
#ifndef PYAPI_FREE_THREADED
    DepMask memo_ = 0;
#endif

#ifdef PYAPI_DICT_VERSION
    // 3.10/3.11: the watched dicts and their tags when the memo was made.
    static constexpr int kMaxWatched = 8;
    PyObject* watched_[kMaxWatched] = {};
    std::uint64_t tags_[kMaxWatched] = {};
    int watched_count_ = 0;
    bool memo_made_ = false;
    bool can_memo_ = false;
    void stamp(std::uint64_t* out) const noexcept;
#else
    // 3.12+: the interpreter's change counter, bumped by the package's dict
    // watcher before any watched dict changes; nullptr when there is none.
    const std::atomic<std::uint64_t>* changes_ = nullptr;
    static constexpr std::uint64_t kNoCount = ~std::uint64_t{0};  // the counter never gets there
#ifdef PYAPI_FREE_THREADED
    std::atomic<std::uint64_t> memo_seq_{0};                      // odd while a writer is between its stores
    std::atomic<DepMask> memo_mask_{0};
    std::atomic<std::uint64_t> memo_count_{kNoCount};
#else
    std::uint64_t memo_at_ = kNoCount;
#endif
#endif
};

}  // namespace pyapi
