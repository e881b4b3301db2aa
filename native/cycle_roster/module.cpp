#include "pyapi/pyapi.hpp"
namespace {
const char kDoc[] = "x";
void exec(PyObject*) {}
}
PYAPI_MODULE(cycle_roster, "vantorel.cycle_roster", kDoc, exec)
