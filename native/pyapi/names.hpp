// Interned-name tables: one per module, with a named member per name, made
// when the module's state is and released with it.
//
//   #define ROSTER_NAMES(X) X(EpochName) X(value) X(VALID_EPOCHS, "_VALID_EPOCHS_BY_CATEGORY")
//   PYAPI_NAMES(Names, ROSTER_NAMES)
//
// declares `struct Names { PyObject* EpochName; ... }` whose members hold the
// interned str of their own spelling, or of the text given after the member.
#pragma once

#include "ref.hpp"

#define PYAPI_NAME_TEXT_(id, ...) PYAPI_NAME_FIRST_(__VA_ARGS__ __VA_OPT__(, ) #id)
#define PYAPI_NAME_FIRST_(first, ...) first
#define PYAPI_NAME_DECLARE_(id, ...) PyObject* id = nullptr;
#define PYAPI_NAME_MAKE_(id, ...) \
    id = ::pyapi::check(PyUnicode_InternFromString(PYAPI_NAME_TEXT_(id, __VA_ARGS__))).release();
#define PYAPI_NAME_DROP_(id, ...) Py_CLEAR(id);

#define PYAPI_NAMES(Type, LIST) \
    struct Type { \
        LIST(PYAPI_NAME_DECLARE_) \
        Type() { \
            try { \
                LIST(PYAPI_NAME_MAKE_) \
            } catch (...) { \
                LIST(PYAPI_NAME_DROP_) \
                throw; \
            } \
        } \
        ~Type(){LIST(PYAPI_NAME_DROP_)} Type(const Type&) = delete; \
        Type& operator=(const Type&) = delete; \
    };
