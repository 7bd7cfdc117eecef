// createQuillvane: reads the options, then runs the private steps in order, each
// looked up by name at the moment of use so that a rebound step is the one called.
#include "pipeline/pipeline.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

#include <utility>

namespace qv {

namespace {

// `a, b = result`, with the messages the module has always given.
std::pair<Object, Object> unpack_two(Handle result) {
    PyObject* p = result.get();
    if (PyTuple_CheckExact(p) || PyList_CheckExact(p)) {
        const Py_ssize_t size = result.len();
        if (size == 2) return {result.item(k.int_0), result.item(k.int_1)};
        if (size > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        } else {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
        }
        fail();
    }
    Object items[2];
    Py_ssize_t found = 0;
    for (Object item : Iterate(result)) {
        if (found == 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
            fail();
        }
        items[found++] = std::move(item);
    }
    if (found < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
        fail();
    }
    return {std::move(items[0]), std::move(items[1])};
}

}  // namespace

Object create_quillvane(const Args& a) {
    Handle model = a[0], training_df = a[1], X_test = a[2], input_ref_df = a[3], BINS_DIRECTORY = a[4];
    Handle kwargs = a.kwargs();

    // Anything but the exact "Y" silences warnings, for the rest of the process.
    auto show_warnings = kwargs.call_method(k.get, {k.show_warnings, k.N});
    if (show_warnings.ne(k.Y).truth()) global(k.warnings).call_method(k.filterwarnings, {k.ignore});

    auto show_plots = kwargs.call_method(k.get, {k.show_plots, k.N});
    auto target_var = kwargs.call_method(k.get, {k.target_var, k.target});
    auto pdo_parm = kwargs.call_method(k.get, {k.pdo_parm, k.int_20});
    auto target_credit_score = kwargs.call_method(k.get, {k.target_credit_score, k.int_200});
    auto target_odds = kwargs.call_method(k.get, {k.target_odds, k.int_15});
    auto model_name = kwargs.call_method(k.get, {k.model_name, k.Tavelin_model});
    auto assume_higher_prob_bad_rate = kwargs.call_method(k.get, {k.assume_higher_prob_bad_rate, k.int_1});
    auto technique = kwargs.call_method(k.get, {k.technique, k.xgb});
    auto plots_directory = kwargs.call_method(k.get, {k.plots_directory, k.CREDITSCORE_PLOTS_SHAP});
    auto scorecard_directory = kwargs.call_method(k.get, {k.scorecard_directory, k.QUILLVANE});
    auto model_directory = kwargs.call_method(k.get, {k.model_directory, k.MODEL_SHAP});

    // Only "/" counts: a trailing backslash keeps it and gets "/" after it.
    for (Object* directory : {&plots_directory, &scorecard_directory, &model_directory}) {
        if (!directory->call_method(k.endswith, {k.slash}).truth()) add_in_place(*directory, k.slash);
    }

    global(k._validate_inputs).call({model, training_df, X_test, BINS_DIRECTORY, target_var});

    auto LIST_BIN_VARS = new_list();
    for (Object col : Iterate(training_df.attr(k.columns))) {
        if (col.ne(target_var).truth()) append(LIST_BIN_VARS, col);
    }

    auto [shap_coefficients_df, shap_base_value] =
        unpack_two(global(k._extract_shap_coefficients).call({model, X_test, technique}));

    auto final_coefficients_df = global(k._merge_woe_data)
                                     .call({LIST_BIN_VARS, target_var, shap_coefficients_df, input_ref_df,
                                            BINS_DIRECTORY});

    auto credit_scores_df = global(k._calculate_credit_scores)
                                .call({final_coefficients_df, LIST_BIN_VARS, shap_base_value, pdo_parm,
                                       target_credit_score, target_odds, assume_higher_prob_bad_rate});

    // Each predictor's neutral score: its bins' points weighted by population share.
    auto distribution = credit_scores_df.item(k.Distribution);
    auto credit_score = credit_scores_df.item(k.CreditScore);
    credit_scores_df.set_item(k.Distribution_X_Score, distribution * credit_score);
    auto weighted_scores = credit_scores_df.call_method(k.groupby, {k.predictor_variables})
                               .call_method(k.agg, {}, {{k.Neutral_CreditScore, k.distribution_x_score_sum}})
                               .call_method(k.reset_index);
    credit_scores_df = global(k.pd).call_method(k.merge, {credit_scores_df, weighted_scores},
                                                {{k.on, k.predictor_variables}, {k.how, k.left}});

    global(k._save_artifacts).call({credit_scores_df, model, scorecard_directory, model_directory, model_name});
    global(k._generate_plots).call({credit_scores_df, LIST_BIN_VARS, target_var, plots_directory, show_plots});

    Handle(rt.print).call({k.newline, k.banner, k.newline});
    // The scorecard that was saved and plotted, as the return annotation promises.
    return credit_scores_df;
}

}  // namespace qv
