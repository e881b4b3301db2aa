#include "module.hpp"

namespace pyapi {

void init_module_state(PyObject* module, ModuleState& state) {
    state.guards.init(module, builtin_dependencies());
    state.function_type = make_function_type(module);
    state.lazy_type = make_lazy_type(module);
}

}  // namespace pyapi
