// The canonical JSON text of a JSON-safe value, written as the host's
// json.dumps(value, sort_keys=True, separators=(",", ":"), default=str) writes
// it (ASCII-only output, \uXXXX escapes, float reprs, NaN and the infinities).
#pragma once

#include <string>

#include "state.hpp"

namespace parity_watch {

// A JSON-safe value held without building it: leaves are the very objects the
// host's _json_safe would put in its copy; `Object` holds a copy that had to
// be built as host objects after all.
struct Node {
    enum Kind : unsigned char { Leaf, List, Dict, Object };
    Kind kind = Leaf;
    Ref obj;                  // Leaf, Object
    std::vector<Node> items;  // List elements, Dict values
    std::vector<Ref> keys;    // Dict keys (exact str), parallel to items
};

// The host objects the node stands for (the JSON-safe copy).
Ref node_to_python(const Node& node);

// Appends the canonical text; false when a leaf is not one the writer handles
// exactly (the caller then falls back to the host's json.dumps).
bool write_canonical(std::string& out, const Node& node);

}  // namespace parity_watch
