// Genuine host classes made at module load, the way a class statement makes
// them: the metaclass's __prepare__, the namespace filled in source order
// (__module__ and __qualname__ first), then the metaclass call.
#pragma once

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

}  // namespace pyapi
