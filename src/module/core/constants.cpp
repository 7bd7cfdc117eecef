// Creation of the shared constants.
#include "module/core/constants.hpp"

namespace qv {

Constants k{};

namespace {

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* pack(PyObject* a, PyObject* b) { return (a && b) ? PyTuple_Pack(2, a, b) : nullptr; }

}  // namespace

bool create_constants() {
    static bool created = false;
    if (created) return true;

    // A partial set is harmless: execution fails and a later import starts over,
    // overwriting the members (the few strings made twice stay interned).
#define QV_NAME(id) \
    if (!(k.id = interned(#id))) return false;
#define QV_TEXT(id, text) \
    if (!(k.id = interned(text))) return false;
    QV_NAMES(QV_NAME)
    QV_TEXTS(QV_TEXT)
#undef QV_NAME
#undef QV_TEXT

    k.None = Py_None;
    k.True = Py_True;
    k.False = Py_False;

    if (!(k.float_0 = PyFloat_FromDouble(0.0))) return false;
    struct {
        PyObject** slot;
        long value;
    } ints[] = {{&k.int_0, 0},   {&k.int_1, 1},   {&k.int_2, 2},     {&k.int_10, 10},
                {&k.int_15, 15}, {&k.int_20, 20}, {&k.int_200, 200}, {&k.int_minus_2, -2}};
    for (auto& i : ints) {
        if (!(*i.slot = PyLong_FromLong(i.value))) return false;
    }

    if (!(k.slice_all = PySlice_New(nullptr, nullptr, nullptr))) return false;
    if (!(k.slice_but_last2 = PySlice_New(nullptr, k.int_minus_2, nullptr))) return false;

    if (!(k.all_rows_WoE = pack(k.slice_all, k.WoE))) return false;
    if (!(k.coefficients_mean = pack(k.coefficients, k.mean))) return false;
    if (!(k.all_rows_CreditScore = pack(k.slice_all, k.CreditScore))) return false;
    if (!(k.three_nones = PyTuple_Pack(3, k.None, k.None, k.None))) return false;
    if (!(k.distribution_x_score_sum = pack(k.Distribution_X_Score, k.sum))) return false;
    if (!(k.banner_args = PyTuple_Pack(3, k.newline, k.banner, k.newline))) return false;
    if (!(k.plotly_graph_objects_parts = pack(k.plotly, k.graph_objects))) return false;

    created = true;
    return true;
}

}  // namespace qv
