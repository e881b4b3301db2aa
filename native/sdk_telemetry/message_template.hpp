// A call site's message template, split once at registration into literal
// text and "{name}" placeholders, so that each record's message is one
// allocation and a copy of the pieces.
#pragma once

#include <vector>

#include "pyapi/ref.hpp"

namespace sdk_telemetry {

// The rules: every "{name}" whose name is a key of the tags is replaced by
// that tag's value. Everything else stays as written: unknown placeholders,
// stray or doubled braces (no escapes are interpreted, and in "{a{b}" only the
// innermost brace opens a placeholder), so no template fails.
class MessageTemplate {
public:
    // Splits `text` (an exact str, kept); throws py_error.
    explicit MessageTemplate(PyObject* text);
    ~MessageTemplate();
    MessageTemplate(const MessageTemplate&) = delete;
    MessageTemplate& operator=(const MessageTemplate&) = delete;

    // The message for `tags`, a dict with exact str keys and values (so the
    // look-ups run no caller code). The template itself when no placeholder
    // names a tag.
    pyapi::Ref fill(PyObject* tags) const;

private:
    struct Hole {
        PyObject* key;  // the placeholder's name, interned where that is free, its hash cached
        PyObject* raw;  // "{name}" as written, kept when the name is not a tag
    };

    void release() noexcept;

    PyObject* text_;
    // literals_[i] precedes holes_[i]; the last literal follows the last hole.
    std::vector<PyObject*> literals_;
    std::vector<Hole> holes_;
    Py_ssize_t literal_length_ = 0;  // total length of the literals
    Py_UCS4 literal_max_ = 0;        // the literals' widest kind (0x7f, 0xff, 0xffff or 0x10ffff)
};

}  // namespace sdk_telemetry
