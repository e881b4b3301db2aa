// projection_hash: 16 hex digits of the SHA-256 of the projection's canonical
// JSON text. While `_json_safe`, `json.dumps` and `hashlib.sha256` are the
// module's own, the JSON-safe copy is walked without being built and written
// natively; caller code still runs once each, in the order of the literal
// json.dumps(_json_safe(p), ...) evaluation. Whatever the native writer cannot
// reproduce exactly (a key whose str() is a str subclass, a `_json_safe`
// rebound during the walk, a value that only claims a JSON type) turns the
// open containers into host objects at that point and ends in the host's
// json.dumps, so nothing is evaluated twice.
#include <string>
#include <unordered_map>

#include "canonical_json.hpp"
#include "sha256.hpp"
#include "values.hpp"

namespace parity_watch {
namespace {

Ref call_json_safe(const FunctionObject& fn, PyObject* item) {
    return pyapi::call_global(fn, names().json_safe, kJsonSafe, {item});
}

void ensure_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) pyapi::raise();
#else
    (void)s;
#endif
}

class Walker {
public:
    explicit Walker(const FunctionObject& fn) : fn_(fn), is_mapping_(fn) {}

    // The body of our own _json_safe for `value`, held as a node.
    Node walk(PyObject* value) {
        switch (classify_safe(is_mapping_, value)) {
            case SafeKind::Mapping: {
                pyapi::RecursionGuard guard(" while hashing a projection");
                return walk_mapping(value);
            }
            case SafeKind::Sequence: {
                pyapi::RecursionGuard guard(" while hashing a projection");
                return walk_sequence(value);
            }
            case SafeKind::Passthrough: {
                Node leaf;
                leaf.obj = Ref::borrow(value);
                if (PyUnicode_Check(value)) ensure_ready(value);
                else if (!(value == Py_None || PyLong_Check(value) || PyFloat_Check(value)))
                    unwritable = true;
                return leaf;
            }
            case SafeKind::Stringify:
                break;
        }
        Node leaf;
        leaf.obj = pyapi::str(value);
        is_mapping_.touched();
        ensure_ready(leaf.obj.get());
        return leaf;
    }

    bool materialize = false;  // the open containers have become host objects
    bool unwritable = false;   // a leaf the native writer does not handle

private:
    static Node object(Ref o) {
        Node n;
        n.kind = Node::Object;
        n.obj = std::move(o);
        return n;
    }

    // The recursive call `_json_safe(item)`, through the module global.
    Node child(PyObject* item) {
        if (!materialize && is_mapping_.json_safe_is_ours()) return walk(item);
        materialize = true;
        Ref safe = call_json_safe(fn_, item);
        is_mapping_.touched();
        return object(std::move(safe));
    }

    Ref host_child(PyObject* item) {
        Ref safe = call_json_safe(fn_, item);
        is_mapping_.touched();
        return safe;
    }

    struct DictBuilder {
        Node node;
        std::unordered_multimap<Py_hash_t, size_t> index;
        bool indexed = false;

        void insert(Ref key, Node value, bool may_collide) {
            if (may_collide || indexed) {
                if (!indexed) {
                    for (size_t i = 0; i < node.keys.size(); ++i)
                        index.emplace(PyObject_Hash(node.keys[i].get()), i);
                    indexed = true;
                }
                Py_hash_t h = PyObject_Hash(key.get());
                auto range = index.equal_range(h);
                for (auto it = range.first; it != range.second; ++it) {
                    PyObject* existing = node.keys[it->second].get();
                    if (existing == key.get() || PyUnicode_Compare(existing, key.get()) == 0) {
                        // Later value, earlier position.
                        node.items[it->second] = std::move(value);
                        return;
                    }
                }
                index.emplace(h, node.keys.size());
            }
            node.keys.push_back(std::move(key));
            node.items.push_back(std::move(value));
        }
    };

    Node walk_mapping(PyObject* value) {
        DictBuilder b;
        b.node.kind = Node::Dict;
        Ref host;  // the dict as a host object, once materialised
        const bool exact = PyDict_CheckExact(value);
        bool converted = false;
        auto add = [&](PyObject* key, PyObject* item) {
            Ref text = pyapi::str(key);
            const bool same = text.get() == key;
            if (!PyUnicode_CheckExact(key)) is_mapping_.touched();
            if (!PyUnicode_CheckExact(text.get())) materialize = true;
            if (materialize && !host) host = node_to_python(b.node);
            if (host) {
                Ref safe = host_child(item);
                pyapi::check_status(PyDict_SetItem(host.get(), text.get(), safe.get()));
                return;
            }
            ensure_ready(text.get());
            Node c = child(item);
            if (materialize) {
                host = node_to_python(b.node);
                Ref safe = node_to_python(c);
                pyapi::check_status(PyDict_SetItem(host.get(), text.get(), safe.get()));
                return;
            }
            if (!same) converted = true;
            b.insert(std::move(text), std::move(c), !exact || converted);
        };
        Ref key, item;
        if (exact) {
            DictWalk walk(value);
            while (walk.next(key, item)) add(key.get(), item.get());
        } else {
            Ref items = pyapi::call_method(value, names().items);
            Ref iter = pyapi::check(PyObject_GetIter(items.get()));
            is_mapping_.touched();
            while (PyObject* pair = PyIter_Next(iter.get())) {
                Ref held = Ref::steal(pair);
                unpack_pair(pair, key, item);
                add(key.get(), item.get());
            }
            if (PyErr_Occurred()) pyapi::raise();
            is_mapping_.touched();
        }
        if (host) return object(std::move(host));
        return std::move(b.node);
    }

    Node walk_sequence(PyObject* value) {
        Node node;
        node.kind = Node::List;
        Ref host;
        auto add = [&](PyObject* item) {
            if (host) {
                Ref safe = host_child(item);
                pyapi::check_status(PyList_Append(host.get(), safe.get()));
                return;
            }
            Node c = child(item);
            if (materialize) {
                host = node_to_python(node);
                Ref safe = node_to_python(c);
                pyapi::check_status(PyList_Append(host.get(), safe.get()));
                return;
            }
            node.items.push_back(std::move(c));
        };
        if (PyList_CheckExact(value)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
                add(item.get());
            }
        } else if (PyTuple_CheckExact(value)) {
            node.items.reserve(static_cast<size_t>(PyTuple_GET_SIZE(value)));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i)
                add(PyTuple_GET_ITEM(value, i));
        } else {
            Ref iter = pyapi::check(PyObject_GetIter(value));
            is_mapping_.touched();
            while (PyObject* item = PyIter_Next(iter.get())) {
                Ref held = Ref::steal(item);
                is_mapping_.touched();
                add(item);
            }
            if (PyErr_Occurred()) pyapi::raise();
        }
        if (host) return object(std::move(host));
        return node;
    }

    const FunctionObject& fn_;
    MappingTest is_mapping_;
};

PyObject* separators() {
    static PyObject* const seps = Py_BuildValue("(ss)", ",", ":");
    return seps;
}

// json.dumps(value, sort_keys=True, separators=(",", ":"), default=str).encode("utf-8")
Ref dumps_payload(const FunctionObject& self, PyObject* dumps, PyObject* value) {
    static PyObject* const kw = pyapi::kwnames("sort_keys", "separators", "default");
    PyObject* seps = separators();
    if (!seps) pyapi::raise();
    Ref str_fn = pyapi::global(self, names().str);
    Ref text = pyapi::call(dumps, {value, Py_True, seps, str_fn.get()}, kw);
    static PyObject* const encode = pyapi::intern("encode");
    static PyObject* const utf8 = pyapi::intern("utf-8");
    return pyapi::call_method(text.get(), encode, {utf8});
}

Ref hex16(const std::array<std::uint8_t, 32>& digest) {
    static const char hex[] = "0123456789abcdef";
    char out[16];
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xf];
    }
    return pyapi::check(PyUnicode_FromStringAndSize(out, 16));
}

// hashlib.sha256(payload).hexdigest()[:16], `hashlib` read from the globals now.
Ref digest_prefix(const FunctionObject& self, const std::string* text, PyObject* payload) {
    Ref hashlib = pyapi::global(self, names().hashlib);
    Ref sha = pyapi::getattr(hashlib.get(), names().sha256);
    const Originals& o = originals();
    if (hashlib.get() == o.hashlib.get() && sha.get() == o.sha256.get()) {
        if (text) return hex16(sha256(*text));
        if (PyBytes_CheckExact(payload))
            return hex16(sha256({PyBytes_AS_STRING(payload),
                                 static_cast<size_t>(PyBytes_GET_SIZE(payload))}));
    }
    Ref bytes = text ? pyapi::check(PyBytes_FromStringAndSize(
                           text->data(), static_cast<Py_ssize_t>(text->size())))
                     : Ref::borrow(payload);
    Ref h = pyapi::call(sha.get(), {bytes.get()});
    Ref hexdigest = pyapi::call_method(h.get(), names().hexdigest);
    static PyObject* const first16 = [] {
        Ref stop = Ref::steal(PyLong_FromLong(16));
        return PySlice_New(nullptr, stop.get(), nullptr);
    }();
    if (!first16) pyapi::raise();
    return pyapi::check(PyObject_GetItem(hexdigest.get(), first16));
}

// The json module's encoder machinery that dumps reaches at call time.
bool json_internals_original() {
    const Originals& o = originals();
    if (!o.c_make_encoder || o.c_make_encoder.get() == Py_None) return false;
    auto same = [](PyObject* mod, PyObject* name, PyObject* expected) {
        PyObject* v = PyObject_GetAttr(mod, name);
        if (!v) {
            PyErr_Clear();
            return false;
        }
        Py_DECREF(v);
        return v == expected;
    };
    const Names& n = names();
    return same(o.json.get(), n.JSONEncoder, o.JSONEncoder.get()) &&
           same(o.encoder_module.get(), n.c_make_encoder, o.c_make_encoder.get()) &&
           same(o.encoder_module.get(), n.encode_basestring_ascii, o.encode_basestring_ascii.get());
}

Ref projection_hash_body(FunctionObject& self, PyObject* const* argv) {
    PyObject* projection = argv[0];
    if (!is_mapping(self, projection)) return Ref::borrow(pyapi::intern("none"));
    const Names& n = names();
    const Originals& o = originals();
    // `json.dumps` is evaluated before its argument `_json_safe(projection)`.
    Ref json = pyapi::global(self, n.json);
    Ref dumps = pyapi::getattr(json.get(), n.dumps);
    Ref json_safe = pyapi::global(self, n.json_safe);
    if (json.get() != o.json.get() || dumps.get() != o.dumps.get() ||
        !pyapi::is_function(json_safe.get(), kJsonSafe)) {
        Ref safe = pyapi::call(json_safe.get(), {projection});
        Ref payload = dumps_payload(self, dumps.get(), safe.get());
        return digest_prefix(self, nullptr, payload.get());
    }
    Walker walker(self);
    Node root = walker.walk(projection);
    std::string text;
    if (!walker.materialize && !walker.unwritable && json_internals_original()) {
        text.reserve(256);
        if (write_canonical(text, root)) return digest_prefix(self, &text, nullptr);
    }
    Ref safe = node_to_python(root);
    Ref payload = dumps_payload(self, dumps.get(), safe.get());
    return digest_prefix(self, nullptr, payload.get());
}

const pyapi::Param kHashParams[] = {{"projection", "Mapping[str, Any] | None"}};

}  // namespace

const FunctionSpec kProjectionHash = {"projection_hash", "projection_hash",
                                      "projection_hash(projection: Mapping[str, Any] | None) -> str",
                                      kHashParams, "str", projection_hash_body};

}  // namespace parity_watch
