// tessaly.quillvane builds credit scorecards from SHAP values and each bin's
// Weight of Evidence. This file names every function of the module and runs its
// initialisation; the bodies live in the step folders, the services in core/.
#include "module/core/constants.hpp"
#include "module/core/function.hpp"
#include "module/core/runtime.hpp"
#include "module/core/traceback.hpp"

#include "coefficients/coefficients.hpp"
#include "output/output.hpp"
#include "pipeline/pipeline.hpp"
#include "scoring/scoring.hpp"

#include <cstdio>

namespace qv {

namespace {

constexpr auto exact_str = Check::exact_str;
constexpr auto exact_int = Check::exact_int;
constexpr auto exact_list = Check::exact_list;
constexpr auto to_double = Check::to_double;

// One row per function, in the order execution binds them.
const std::vector<Row> functions = {
    {"count_zeros_before_non_zero",
     {{"number", "float", to_double}},
     false,
     "int",
     "\n    Calculate the number of zeros before a non-zero digit in the decimal part.\n    \n    Args:\n"
     "        number: Float number to analyze\n        \n    Returns:\n"
     "        Count of leading zeros after decimal point\n    ",
     count_zeros_before_non_zero},
    {"_validate_inputs",
     {{"model_instance"},
      {"training_df", "pd.DataFrame"},
      {"X_test", "pd.DataFrame"},
      {"BINS_DIRECTORY", "str", exact_str},
      {"target_var", "str", exact_str}},
     false,
     "None",
     "Validate input parameters.",
     validate_inputs},
    {"_extract_shap_coefficients",
     {{"model_instance"}, {"X_test", "pd.DataFrame"}, {"technique", "str", exact_str}},
     false,
     "Tuple[pd.DataFrame, float]",
     "\n    Extract SHAP coefficients from the model.\n    \n    Returns:\n"
     "        Tuple of (coefficients_df, base_value)\n    ",
     extract_shap_coefficients},
    {"_merge_woe_data",
     {{"LIST_BIN_VARS", "List[str]", exact_list},
      {"target_var", "str", exact_str},
      {"shap_coefficients_df", "pd.DataFrame"},
      {"input_ref_df", "pd.DataFrame"},
      {"BINS_DIRECTORY", "str", exact_str}},
     false,
     "pd.DataFrame",
     "Merge Weight of Evidence data with SHAP coefficients.",
     merge_woe_data},
    {"_calculate_credit_scores",
     {{"final_coefficients_df", "pd.DataFrame"},
      {"LIST_BIN_VARS", "List[str]", exact_list},
      {"shap_base_value", "float", to_double},
      {"pdo", "int", exact_int},
      {"target_credit_score", "int", exact_int},
      {"target_odds", "int", exact_int},
      {"assume_higher_prob_bad_rate", "int", exact_int}},
     false,
     "pd.DataFrame",
     "Calculate credit scores based on SHAP values and WoE.",
     calculate_credit_scores},
    {"_save_artifacts",
     {{"credit_scores_df", "pd.DataFrame"},
      {"model_instance"},
      {"scorecard_directory", "str", exact_str},
      {"model_directory", "str", exact_str},
      {"model_name", "str", exact_str}},
     false,
     "None",
     "Save scorecard and model to disk.",
     save_artifacts},
    {"_generate_plots",
     {{"credit_scores_df", "pd.DataFrame"},
      {"LIST_BIN_VARS", "List[str]", exact_list},
      {"target_var", "str", exact_str},
      {"plots_directory", "str", exact_str},
      {"show_plots", "str", exact_str}},
     false,
     "None",
     "Generate credit score visualization plots.",
     generate_plots},
    {"createQuillvane",
     {{"model"},
      {"training_df", "pd.DataFrame"},
      {"X_test", "pd.DataFrame"},
      {"input_ref_df", "pd.DataFrame"},
      {"BINS_DIRECTORY", "str", exact_str}},
     true,
     "pd.DataFrame",
     "\n    Create a credit scorecard using SHAP values.\n    \n    Args:\n"
     "        model: Trained model (XGBoost, CatBoost, RandomForest, etc.)\n"
     "        training_df: Training dataframe with target variable\n"
     "        X_test: Test features for SHAP calculation\n"
     "        input_ref_df: Reference dataframe for mapping features to bins\n"
     "        BINS_DIRECTORY: Directory containing binning pickle files\n"
     "        **kwargs: Additional parameters\n        \n    Returns:\n"
     "        DataFrame containing the credit scorecard\n    ",
     create_quillvane},
};

// The module object for `spec`: one interpreter per process, and one module.
PyObject* new_module(PyObject* spec) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) fail();
    if (rt.interpreter_id == -1) rt.interpreter_id = id;
    if (rt.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        fail();
    }
    if (rt.module != nullptr) return Py_NewRef(rt.module);

    // The constants do not exist before execution, hence plain C strings here.
    auto name = Object::steal(PyObject_GetAttrString(spec, "name"));
    auto module = Object::steal(PyModule_NewObject(name.get()));
    PyObject* module_dict = PyModule_GetDict(module.get());
    struct {
        const char* from;
        const char* to;
        bool unless_none;
    } copied[] = {{"loader", "__loader__", false},
                  {"origin", "__file__", false},
                  {"parent", "__package__", false},
                  {"submodule_search_locations", "__path__", true}};
    for (auto& [from, to, unless_none] : copied) {
        PyObject* value = PyObject_GetAttrString(spec, from);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
            PyErr_Clear();
            continue;
        }
        auto held = Object::steal(value);
        if (unless_none && held.is(Py_None)) continue;
        if (PyDict_SetItemString(module_dict, to, held.get()) < 0) fail();
    }
    return module.release();
}

// Creation slot. No traceback entry: the import system reports a failed creation itself.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
    PyObject* module = nullptr;
    at_boundary([&] { module = new_module(spec); }, [] { return static_cast<PyObject*>(nullptr); }, 0);
    return module;
}

void bind(Handle name, Handle value) { Handle(rt.namespace_).set_item(name, value); }

// The module's statements, after the services they need.
void execute(PyObject* module) {
    rt.module = Py_NewRef(module);
    rt.namespace_ = PyModule_GetDict(module);

    if (rt.builtins == nullptr) rt.builtins = Object::steal(PyImport_ImportModule("builtins")).release();
    if (PyObject_SetAttrString(module, "__builtins__", rt.builtins) < 0) fail();

    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major < 3 || (major == 3 && minor < 13)) {
        char message[200];
        std::snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                      "tessaly.quillvane", "was newer than", major, minor);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) fail();
    }

    if (!create_constants()) fail();
    prepare_function_type();

    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, k.module_name);
    if (present < 0) fail();
    if (present == 0 && PyDict_SetItem(modules, k.module_name, module) < 0) fail();

    cache_builtins();
    prepare_code(functions);

    bind(k.os, import_module(k.os, k.None));
    bind(k.warnings, import_module(k.warnings, k.None));
    bind(k.np, import_module(k.numpy, k.None));
    bind(k.pd, import_module(k.pandas, k.None));
    bind(k.pickle, import_module(k.pickle, k.None));
    auto typing_names = new_tuple({k.Optional, k.Dict, k.Any, k.List, k.Tuple});
    auto typing = import_module(k.typing, typing_names);
    for (PyObject* name : {k.Optional, k.Dict, k.Any, k.List, k.Tuple}) bind(name, import_from(typing, name));
    bind(k.shap, import_module(k.shap, k.None));
    auto subplots = import_module(k.plotly_subplots, new_tuple({k.make_subplots}));
    bind(k.make_subplots, import_from(subplots, k.make_subplots));
    bind(k.go, import_submodule(k.plotly_graph_objects, k.plotly_graph_objects_parts));
    for (const Row& row : functions) {
        auto function = new_function(row);
        bind(function.attr(k.dunder_name), function);
    }
    bind(k.dunder_test, new_dict());
}

// Execution slot: runs once per process; a failure leaves the module importable again.
int exec_module(PyObject* module) {
    if (rt.module != nullptr) {
        if (rt.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quillvane' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    auto init_name = [] {
        static PyObject* name = PyUnicode_InternFromString("init tessaly.quillvane");
        return name;
    };
    if (at_boundary([&] { execute(module); }, init_name, 0)) return 0;
    PyObject* dropped = rt.module;
    rt.module = nullptr;
    rt.namespace_ = nullptr;
    Py_XDECREF(dropped);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init tessaly.quillvane");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    /* m_base */ PyModuleDef_HEAD_INIT,
    /* m_name */ "quillvane",
    /* m_doc */ nullptr,
    /* m_size */ 0,
    /* m_methods */ nullptr,
    /* m_slots */ slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

}  // namespace

}  // namespace qv

PyMODINIT_FUNC PyInit_quillvane() { return PyModuleDef_Init(&qv::module_def); }
