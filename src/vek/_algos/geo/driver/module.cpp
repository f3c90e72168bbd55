// Placeholder: replaced by the real module frame.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "driver", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_driver(void) { return PyModuleDef_Init(&def); }
