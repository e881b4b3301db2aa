// The canonical JSON text of a JSON-safe value, written as the host's
// json.dumps(value, sort_keys=True, separators=(",", ":"), default=str) writes
// it (ASCII-only output, \uXXXX escapes, float reprs, NaN and the infinities).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "pyapi/check.hpp"
#include "pyapi/pyapi.hpp"

namespace parity_watch {

using pyapi::Ref;

// A JSON-safe value held without building it, as a flat pre-order tape.
// Leaves are the very objects the host's _json_safe would put in its copy; a
// dict is its (Key, value) entries in walk order, duplicates included (the
// later value wins, as assignment into the copy does); `Object` holds part of
// the copy that had to be built as host objects after all.
struct Tok {
    enum Kind : std::uint8_t { Leaf, Key, List, Dict, Object };
    Kind kind;
    std::size_t end;  // List, Dict: one past the container's last token (0 while open)
    PyObject* obj;    // owned: Leaf, Key, Object
};

class Tape {
public:
    // `storage` is empty scratch space, left empty again (capacity kept).
    explicit Tape(std::vector<Tok>& storage) : toks_(storage) {}
    ~Tape() { truncate(0); }
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    std::size_t size() const noexcept { return toks_.size(); }
    Tok& operator[](std::size_t i) noexcept { return toks_[i]; }
    const Tok& operator[](std::size_t i) const noexcept { return toks_[i]; }
    void push(Tok::Kind kind, Ref obj = Ref()) { toks_.push_back({kind, 0, obj.release()}); }
    void truncate(std::size_t n) noexcept {
        while (toks_.size() > n) {
            Py_XDECREF(toks_.back().obj);
            toks_.pop_back();
        }
    }
    // The host objects for the value at `start` (a container still open runs
    // to the end of the tape).
    Ref to_python(std::size_t start) const;

private:
    Ref value_at(std::size_t& i) const;
    std::vector<Tok>& toks_;
};

// A dict entry while its dict is written (scratch space of the writer).
// `prefix`: the key's first eight code points as a big-endian number when
// the key is one-byte text (else unused), which settles most comparisons of
// the key sort without touching the text. `pos`: the entry's place in walk order.
struct Entry {
    std::uint64_t prefix;
    PyObject* key;
    std::size_t value;
    std::uint32_t pos;
    bool one_byte;
};

// Growable output text written through raw pointers: the writer asks for
// room for the longest form of a token once, then fills it unchecked.
class TextBuffer {
public:
    TextBuffer() = default;
    ~TextBuffer() { std::free(data_); }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // Space for `n` more bytes at the end.
    char* room(std::size_t n) {
        if (cap_ - size_ < n) grow(n);
        return data_ + size_;
    }
    // The writer filled the room it asked for up to `end`, and no further.
    void commit(char* end) noexcept {
        PYAPI_ASSERT(data_ + size_ <= end && end <= data_ + cap_);
        size_ = static_cast<std::size_t>(end - data_);
    }
    void append(const char* s, std::size_t n) {
        std::memcpy(room(n), s, n);
        size_ += n;
    }
    void push(char c) {
        *room(1) = c;
        ++size_;
    }
    std::string_view view() const noexcept { return {data_, size_}; }
    std::size_t capacity() const noexcept { return cap_; }
    void clear() noexcept { size_ = 0; }
    void release() noexcept {
        std::free(data_);
        data_ = nullptr;
        size_ = cap_ = 0;
    }

private:
    void grow(std::size_t n) {
        std::size_t cap = cap_ ? cap_ * 2 : 256;
        while (cap - size_ < n) cap *= 2;
        void* p = std::realloc(data_, cap);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        cap_ = cap;
    }
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// The key order and key text of a dict written lately: records and rows
// repeat their keys dict after dict, and one whose keys have the same text in
// the same walk order is written from here without sorting or escaping them
// again. `keys[w].obj` is only compared with, never followed: it is a live
// object while `epoch` is the writer's own (the tape holds it), and from an
// earlier write the text decides.
struct KeyShape {
    struct Key {
        PyObject* obj;
        std::uint32_t raw;  // offset of its code units in `raw`
        std::uint32_t len;  // code points
        std::uint8_t kind;
    };
    std::uint64_t epoch = 0;
    std::uint64_t used = 0;  // last use, to replace the least recent of a depth's ways
    bool valid = false;
    std::vector<Key> keys;             // walk order
    std::string raw;                   // the keys' code units, end to end
    std::vector<std::uint32_t> order;  // walk positions written, in output order (duplicates dropped)
    std::vector<std::uint32_t> seg;    // end of each written key's text in `text`
    TextBuffer text;                   // `{"k":`, then `,"k":` per further key; padded
};

// The writer's scratch: the open dicts' sorted entries and value positions,
// and the key shapes of recent dicts, by nesting depth.
struct WriterScratch {
    static constexpr std::size_t kDepths = 12, kWays = 2;
    std::vector<Entry> entries;
    std::vector<std::size_t> slots;  // tape index of each open dict's keys, walk order
    std::uint64_t epoch = 0;         // one per write
    std::uint64_t ticks = 0;         // one per shape use
    KeyShape shapes[kDepths][kWays];
};

// Buffers reused from one projection hash to the next, one set per thread
// (projection_hash.cpp); a hash re-entered from caller code during the walk
// takes its own. They hold no Python object between hashes.
struct HashScratch {
    bool busy = false;  // leased
    std::vector<Tok> toks;
    TextBuffer text;
    WriterScratch writer;
};

// Appends the canonical text of the value at tape index 0; false when a token
// is not one the writer handles exactly (the caller then uses json.dumps).
bool write_canonical(TextBuffer& out, const Tape& tape, WriterScratch& scratch);

}  // namespace parity_watch
