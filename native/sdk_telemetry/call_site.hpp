// `CallSite`: the immutable handle that register_call_site returns.
#pragma once

#include <cstdint>
#include <memory>

#include "message_template.hpp"
#include "pyapi/ref.hpp"

namespace sdk_telemetry {

struct CallSiteObject {
    PyObject_HEAD
    PyObject* name;              // exact str
    PyObject* description;       // exact str
    PyObject* message_template;  // exact str
    PyObject* value_unit;        // exact str
    PyObject* severity_default;  // Severity member
    PyObject* file;              // exact str
    PyObject* tag_keys;          // tuple of exact str
    Py_ssize_t line;
    std::uint64_t owner;  // serial number of the runtime that registered it
    Py_ssize_t lane;      // the owner's lane for this call-site name
    MessageTemplate* message;  // message_template, split once (owned)
};

struct State;

// A new handle of `state`'s module; takes every reference given.
pyapi::Ref new_call_site(State& state, pyapi::Ref name, pyapi::Ref description,
                         pyapi::Ref message_template, pyapi::Ref value_unit,
                         pyapi::Ref severity_default, pyapi::Ref file, Py_ssize_t line,
                         pyapi::Ref tag_keys, std::uint64_t owner, Py_ssize_t lane,
                         std::unique_ptr<MessageTemplate> message);

}  // namespace sdk_telemetry
