// The canonical JSON text of a JSON-safe value, written as the host's
// json.dumps(value, sort_keys=True, separators=(",", ":"), default=str) writes
// it (ASCII-only output, \uXXXX escapes, float reprs, NaN and the infinities).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state.hpp"

namespace parity_watch {

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
struct Entry {
    PyObject* key;
    std::size_t value;
};

// Appends the canonical text of the value at tape index 0; false when a token
// is not one the writer handles exactly (the caller then uses json.dumps).
bool write_canonical(std::string& out, const Tape& tape, std::vector<Entry>& entries);

}  // namespace parity_watch
