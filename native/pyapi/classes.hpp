// Genuine host classes made at module load, the way a class statement makes
// them: the metaclass's __prepare__, the namespace filled in source order
// (__module__ and __qualname__ first), then the metaclass call.
#pragma once

#include <atomic>
#include <functional>

#include "ref.hpp"

namespace pyapi {

// `metaclass`: the host's `type` for a plain class, type(Enum) for an enum.
// `body` fills the prepared namespace with PyObject_SetItem (the namespace
// may be a dict subclass whose __setitem__ matters, as an enum's is).
Ref new_class(PyObject* metaclass, PyObject* module, const char* name, PyObject* bases,
              const std::function<void(PyObject* ns)>& body);

// ns[key] = value through the namespace's own __setitem__.
void ns_set(PyObject* ns, const char* key, PyObject* value);

// Whether a metaclass leaves isinstance() to the host's own test (its
// `__instancecheck__` is type's): isinstance(o, cls) is then decided by the
// types alone, the host's test calling no code of the caller's when o's
// `__class__` is its type (an object of a builtin type). Found once per
// version of the metaclass (the host's type version tag, which any change to
// it or to a base gives up), so asking again costs one load.
class PlainInstanceCheck {
public:
    bool holds(PyTypeObject* metatype) noexcept;

private:
    std::atomic<unsigned> tag_{0};  // the version it was found at; 0: not found
};

}  // namespace pyapi
