// Every string, number, slice and tuple the module uses, created once at
// execution (strings interned) and reached as `k.<member>`. A call allocates no
// constant object, and keyword names compare by identity.
#pragma once

#include <Python.h>

namespace qv {

// Strings whose text is the member's own name.
#define QV_NAMES(X)                                                                                   \
    /* module frame */                                                                                \
    X(name) X(os) X(warnings) X(numpy) X(np) X(pandas) X(pd) X(pickle) X(typing) X(Optional) X(Dict)  \
    X(Any) X(List) X(Tuple) X(shap)                                                                   \
    X(make_subplots) X(plotly) X(graph_objects) X(go) X(inspect) X(types) X(MethodType) X(replace)    \
    X(ValueError) X(range) X(enumerate) X(print) X(open) X(add_note) X(co_consts) X(co_argcount)       \
    X(co_nlocals) X(co_varnames) X(co_flags) X(co_name) X(co_qualname) X(co_filename)                 \
    X(co_firstlineno) X(exception) X(kwargs)                                                                    \
    /* the steps that bodies look up */                                                                         \
    X(count_zeros_before_non_zero) X(_validate_inputs) X(_extract_shap_coefficients)                  \
    X(_merge_woe_data) X(_calculate_credit_scores) X(_save_artifacts) X(_generate_plots)               \
    /* driver */                                                                                      \
    X(show_warnings) X(N) X(Y) X(show_plots) X(target_var) X(target) X(pdo_parm)                     \
    X(target_credit_score) X(target_odds) X(model_name) X(Tavelin_model)                             \
    X(assume_higher_prob_bad_rate) X(technique) X(xgb) X(plots_directory) X(CREDITSCORE_PLOTS_SHAP)  \
    X(scorecard_directory) X(QUILLVANE) X(model_directory) X(MODEL_SHAP) X(get) X(endswith)          \
    X(filterwarnings) X(ignore) X(columns) X(Distribution) X(CreditScore) X(Distribution_X_Score)    \
    X(groupby) X(predictor_variables) X(agg) X(Neutral_CreditScore) X(sum) X(reset_index) X(merge)    \
    X(on) X(how) X(left)                                                                              \
    /* validation */                                                                                  \
    X(path) X(exists)                                                                                 \
    /* SHAP coefficients and WoE merge */                                                             \
    X(catboost) X(TreeExplainer) X(Explainer) X(log) X(mean) X(exp) X(values) X(axis) X(rf)          \
    X(DataFrame) X(feature) X(coefficients) X(str) X(predictor_var) X(expected_value) X(dropna)       \
    X(copy) X(input_value) X(read_pickle) X(join) X(Bin) X(WoE) X(Event_rate) X(concat)               \
    X(ignore_index) X(inf) X(loc) X(left_on) X(right_on)                                              \
    /* credit scores */                                                                               \
    X(MEAN_COEF) X(abs) X(coef_mean_by_WoE) X(coef_woe) X(drop) X(sort_values) X(ascending) X(clip)  \
    X(lower)                                                                                          \
    /* artifacts and plots */                                                                         \
    X(makedirs) X(exist_ok) X(to_pickle) X(to_csv) X(index) X(dump) X(dirname) X(basename) X(getpid) \
    X(remove) X(Scatter) X(Bar) X(x) X(y) X(mode) X(lines) X(text) X(textposition)          \
    X(outside) X(add_trace) X(secondary_y) X(specs) X(notna) X(update_xaxes) X(update_yaxes)          \
    X(title_text) X(show)

// Strings whose text is not an identifier, with a name that says what they are.
#define QV_TEXTS(X)                                                                                   \
    X(dunder_test, "__test__")                                                                        \
    X(dunder_name, "__name__") X(dunder_qualname, "__qualname__") X(dunder_module, "__module__")      \
    X(dunder_doc, "__doc__") X(dunder_annotations, "__annotations__") X(dunder_code, "__code__")      \
    X(dunder_defaults, "__defaults__") X(dunder_kwdefaults, "__kwdefaults__")                         \
    X(dunder_enter, "__enter__") X(dunder_exit, "__exit__") X(return_key, "return")                   \
    X(module_name, "tessaly.quillvane") X(plotly_subplots, "plotly.subplots")                         \
    X(plotly_graph_objects, "plotly.graph_objects") X(CO_OPTIMIZED_name, "CO_OPTIMIZED")              \
    X(CO_NEWLOCALS_name, "CO_NEWLOCALS") X(CO_VARARGS_name, "CO_VARARGS")                             \
    X(CO_VARKEYWORDS_name, "CO_VARKEYWORDS") X(CO_ASYNC_GENERATOR_name, "CO_ASYNC_GENERATOR")         \
    X(CO_GENERATOR_name, "CO_GENERATOR") X(CO_COROUTINE_name, "CO_COROUTINE")                         \
    X(empty_str, "") X(slash, "/") X(newline, "\n") X(banner, "Scorecard Build Complete!")             \
    X(msg_missing_directory, "BINS_DIRECTORY does not exist: ")                                       \
    X(msg_target_head, "Target variable '") X(msg_target_tail, "' not found in training_df")          \
    X(msg_model_none, "model_instance cannot be None") X(RF_suffix, "_RF") X(pkl_suffix, ".pkl")      \
    X(Count_percent, "Count (%)") X(Event_space_rate, "Event rate")                                   \
    X(scorecard_pkl_name, "credit_scores_df.pkl") X(scorecard_csv_name, "credit_scores_df.csv")       \
    X(sav_suffix, ".sav") X(mode_wb, "wb") X(tmp_suffix, ".tmp")                     \
    X(dot, ".") X(msg_scorecard_saved, "Scorecard saved to: ") X(msg_model_saved, "Model saved to: ") \
    X(Credit_space_Score, "Credit Score") X(Neutral_space_Score, "Neutral Score")                     \
    X(lines_markers, "lines+markers") X(fixed_2, ".2f") X(zero_label, "0.00")                         \
    X(msg_subclass_note, "Subclasses of built-in types are rejected: pass an exact str, int or list.")      \
    X(bins_prefix, "Bins - ") X(plot_for, "Plot for ") X(generated, " generated")

struct Constants {
#define QV_MEMBER(id, ...) PyObject* id;
    QV_NAMES(QV_MEMBER)
    QV_TEXTS(QV_MEMBER)
#undef QV_MEMBER

    // The singletons are function calls under the limited API; fetched once.
    PyObject* None;
    PyObject* True;
    PyObject* False;

    PyObject* float_0;
    PyObject* int_0;
    PyObject* int_1;
    PyObject* int_2;
    PyObject* int_10;
    PyObject* int_15;
    PyObject* int_20;
    PyObject* int_200;
    PyObject* int_minus_2;

    PyObject* slice_all;        // [:]
    PyObject* slice_but_last2;  // [:-2]

    PyObject* all_rows_WoE;                 // ([:], "WoE")
    PyObject* coefficients_mean;            // ("coefficients", "mean")
    PyObject* all_rows_CreditScore;         // ([:], "CreditScore")
    PyObject* three_nones;                  // (None, None, None)
    PyObject* distribution_x_score_sum;     // ("Distribution_X_Score", "sum")
    PyObject* banner_args;                  // ("\n", "Scorecard Build Complete!", "\n")
    PyObject* plotly_graph_objects_parts;   // ("plotly", "graph_objects")
};

// Process-wide, created by `create_constants` and never freed.
extern Constants k;

// Creates the constants on the first call; later calls do nothing. Returns
// false with an exception set on failure.
bool create_constants();

}  // namespace qv
