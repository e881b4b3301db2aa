// projection_hash: 16 hex digits of the SHA-256 of the projection's canonical
// JSON text. While `_json_safe`, `json.dumps` and `hashlib.sha256` are the
// module's own, the JSON-safe copy is walked without being built and written
// natively; caller code still runs once each, in the order of the literal
// json.dumps(_json_safe(p), ...) evaluation. Whatever the native writer cannot
// reproduce exactly (a key whose str() is a str subclass, a `_json_safe`
// rebound during the walk, a value that only claims a JSON type) turns the
// open containers into host objects at that point and ends in the host's
// json.dumps, so nothing is evaluated twice.
#include <optional>

#include "canonical_json.hpp"
#include "sha256.hpp"
#include "values.hpp"

namespace parity_watch {
namespace {

using pyapi::ensure_ready;

class Walker {
public:
    Walker(const FunctionObject& fn, MappingTest& is_mapping, std::vector<Tok>& storage)
        : tape(storage), fn_(fn), is_mapping_(is_mapping) {}

    // The body of our own _json_safe for `value`, appended to the tape.
    void walk(PyObject* value) {
        switch (const SafeKind kind = classify_safe(is_mapping_, value)) {
            case SafeKind::Mapping:
            case SafeKind::Sequence: {
                pyapi::RecursionGuard guard(" while hashing a projection");
                if (kind == SafeKind::Mapping) walk_mapping(value);
                else walk_sequence(value);
                return;
            }
            case SafeKind::Passthrough:
                if (PyUnicode_Check(value)) ensure_ready(value);
                else if (!(value == Py_None || PyLong_Check(value) || PyFloat_Check(value))) unwritable = true;
                tape.push(Tok::Leaf, Ref::borrow(value));
                return;
            case SafeKind::Stringify: break;
        }
        Ref text = pyapi::b_str(fn_, value);
        is_mapping_.touched();
        ensure_ready(text.get());
        tape.push(Tok::Leaf, std::move(text));
    }

    Tape tape;
    bool materialize = false;  // the open containers are becoming host objects
    bool unwritable = false;   // a leaf the native writer does not handle

private:
    // The recursive call `_json_safe(item)`, through the module global.
    void child(PyObject* item) {
        if (!materialize && is_mapping_.json_safe_is_ours()) {
            if (is_mapping_.known_plain_leaf(item)) {
                // What walk() would conclude, without asking again.
                if (PyUnicode_CheckExact(item)) ensure_ready(item);
                tape.push(Tok::Leaf, Ref::borrow(item));
                return;
            }
            walk(item);
            return;
        }
        materialize = true;
        tape.push(Tok::Object, host_child(item));
    }

    Ref host_child(PyObject* item) {
        Ref safe = call_json_safe(fn_, item);
        is_mapping_.touched();
        return safe;
    }

    // The open container at `start` becomes a host object from here on.
    Ref to_host(std::size_t start) {
        Ref host = tape.to_python(start);
        tape.truncate(start);
        return host;
    }

    void finish(std::size_t start, Ref host) {
        if (host) {
            tape.truncate(start);
            tape.push(Tok::Object, std::move(host));
        } else {
            tape[start].end = tape.size();
        }
    }

    void walk_mapping(PyObject* value) {
        const std::size_t start = tape.size();
        tape.push(Tok::Dict);
        Ref host;
        auto add = [&](PyObject* key, PyObject* item) {
            Ref text = is_mapping_.str_of_key(key);
            if (!PyUnicode_CheckExact(key)) is_mapping_.touched();
            if (!PyUnicode_CheckExact(text.get())) materialize = true;
            if (materialize && !host) host = to_host(start);
            if (host) {
                Ref safe = host_child(item);
                pyapi::check_status(PyDict_SetItem(host.get(), text.get(), safe.get()));
                return;
            }
            ensure_ready(text.get());
            tape.push(Tok::Key, std::move(text));
            child(item);
            if (materialize) host = to_host(start);
        };
        // Calling items() and walking its result run caller code.
        const bool foreign = !PyDict_CheckExact(value);
        if (foreign) is_mapping_.touched();
        for_each_entry(state(fn_), value, add);
        if (foreign) is_mapping_.touched();
        finish(start, std::move(host));
    }

    void walk_sequence(PyObject* value) {
        const std::size_t start = tape.size();
        tape.push(Tok::List);
        Ref host;
        auto add = [&](PyObject* item) {
            if (host) {
                Ref safe = host_child(item);
                pyapi::check_status(PyList_Append(host.get(), safe.get()));
                return;
            }
            child(item);
            if (materialize) host = to_host(start);
        };
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            for_each_item(value, add);
        } else {
            // Each step of a foreign iterator is caller code.
            is_mapping_.touched();
            for_each_item(value, [&](PyObject* item) {
                is_mapping_.touched();
                add(item);
            });
        }
        finish(start, std::move(host));
    }

    const FunctionObject& fn_;
    MappingTest& is_mapping_;
};

// This thread's buffers, or buffers of its own while those are in use by a
// hash re-entered from caller code. Kept per thread rather than per module:
// threads hashing at once each keep warm buffers and key shapes, and no
// lease is contended. Trimmed before they are given back.
class Scratch {
public:
    Scratch() : shared_(thread_buffers()), leased_(!shared_.busy) {
        if (leased_) shared_.busy = true;
        else own_.emplace();
    }
    ~Scratch() {
        if (!leased_) return;
        constexpr std::size_t keep = std::size_t(1) << 20;
        if (shared_.toks.capacity() * sizeof(Tok) > keep) std::vector<Tok>().swap(shared_.toks);
        if (shared_.text.capacity() > keep) shared_.text.release();
        shared_.text.clear();
        shared_.busy = false;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    HashScratch& get() { return leased_ ? shared_ : *own_; }

private:
    static HashScratch& thread_buffers() {
        thread_local HashScratch buffers;
        return buffers;
    }
    HashScratch& shared_;
    bool leased_;
    // Made only when this thread's buffers are taken: it is some 4 KB of
    // shapes to clear and destroy, a tenth of a small hash.
    std::optional<HashScratch> own_;
};

// json.dumps(value, sort_keys=True, separators=(",", ":"), default=str).encode("utf-8")
Ref dumps_payload(const FunctionObject& self, PyObject* dumps, PyObject* value) {
    const State& st = state(self);
    Found str_fn = pyapi::dependency(self, static_cast<unsigned>(pyapi::Builtin::str));
    Ref text = pyapi::call(dumps, {value, Py_True, st.json_separators.get(), str_fn.get()}, st.dumps_kw.get());
    return pyapi::call_method(text.get(), st.names.encode, {st.names.utf_8});
}

Ref hex16(const std::array<std::uint8_t, 32>& digest) {
    static const char hex[] = "0123456789abcdef";
    Ref text = pyapi::check(PyUnicode_New(16, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<Py_UCS1>(hex[digest[i] >> 4]);
        out[2 * i + 1] = static_cast<Py_UCS1>(hex[digest[i] & 0xf]);
    }
    return text;
}

// hashlib.sha256(payload).hexdigest()[:16], `hashlib` read from the globals now.
Ref digest_prefix(const FunctionObject& self, const TextBuffer* text, PyObject* payload) {
    State& st = state(self);
    Found hashlib = read_global(self, dep::hashlib);
    Found sha = pyapi::dependency_of(self, hashlib.get(), dep::sha256);
    if (hashlib.get() == st.original(dep::hashlib) && sha.get() == st.original(dep::sha256)) {
        if (text) return hex16(sha256(text->view()));
        if (PyBytes_CheckExact(payload))
            return hex16(sha256({PyBytes_AS_STRING(payload), static_cast<size_t>(PyBytes_GET_SIZE(payload))}));
    }
    Ref bytes =
        text
            ? pyapi::check(PyBytes_FromStringAndSize(text->view().data(), static_cast<Py_ssize_t>(text->view().size())))
            : Ref::borrow(payload);
    Ref h = pyapi::call(sha.get(), {bytes.get()});
    Ref hexdigest = pyapi::call_method(h.get(), st.names.hexdigest);
    return pyapi::check(PyObject_GetItem(hexdigest.get(), st.first16.get()));
}

// The json module's encoder machinery that dumps reaches at call time.
bool json_internals_original(const FunctionObject& self) {
    return self.guards->hold_all(pyapi::dep_bit(dep::JSONEncoder) | pyapi::dep_bit(dep::encoder_module) |
                                 pyapi::dep_bit(dep::c_make_encoder) | pyapi::dep_bit(dep::encode_basestring_ascii));
}

Ref projection_hash_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* projection = argv[0];
    State& st = state(self);
    const Names& n = st.names;
    MappingTest is_mapping(self);
    if (!is_mapping(projection)) return Ref::borrow(n.none);
    // `json.dumps` is evaluated before its argument `_json_safe(projection)`.
    Found json = read_global(self, dep::json);
    Found dumps = pyapi::dependency_of(self, json.get(), dep::dumps);
    Found json_safe = read_global(self, dep::json_safe);
    if (json.get() != st.original(dep::json) || dumps.get() != st.original(dep::dumps) ||
        !pyapi::is_function(self, json_safe.get(), kJsonSafe)) {
        Ref safe = pyapi::call(json_safe.get(), {projection});
        Ref payload = dumps_payload(self, dumps.get(), safe.get());
        return digest_prefix(self, nullptr, payload.get());
    }
    Scratch lease;
    HashScratch& scratch = lease.get();
    // No caller code ran since the test above unless it was noted there, so
    // the walk may go on with what that test read.
    Walker walker(self, is_mapping, scratch.toks);
    walker.walk(projection);
    if (!walker.materialize && !walker.unwritable && json_internals_original(self)) {
        if (write_canonical(scratch.text, walker.tape, scratch.writer))
            return digest_prefix(self, &scratch.text, nullptr);
    }
    Ref safe = walker.tape.to_python(0);
    Ref payload = dumps_payload(self, dumps.get(), safe.get());
    return digest_prefix(self, nullptr, payload.get());
}

const pyapi::Param kHashParams[] = {{"projection", "Mapping[str, Any] | None"}};

}  // namespace

const FunctionDef kProjectionHash = {"projection_hash", kHashParams, "str", projection_hash_body};

}  // namespace parity_watch
