// The parts of a record that warn derives from its arguments.
#pragma once

#include <cstdint>

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

// A private copy of `tags` (a dict or dict subclass) with exact str keys and
// values; TypeError for anything else.
pyapi::Ref copy_tags(PyObject* tags);

// FNV-1a (64-bit) over the code points of `name`: the same lane in every
// process, unlike the host's salted str hash.
std::uint64_t stable_name_hash(PyObject* name);

}  // namespace sdk_telemetry
