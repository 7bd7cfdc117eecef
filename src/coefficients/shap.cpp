// _extract_shap_coefficients: one coefficient per feature, the log-mean-exp of
// its SHAP values over the test rows, and the explainer's base value.
#include "coefficients/coefficients.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

Object extract_shap_coefficients(const Args& a) {
    Handle model_instance = a[0], X_test = a[1], technique = a[2];

    // CatBoost goes through the tree explainer directly; the generic one needs data.
    Object explainer;
    if (technique.eq(k.catboost).truth()) {
        explainer = global(k.shap).attr(k.TreeExplainer).call({model_instance});
    } else {
        explainer = global(k.shap).attr(k.Explainer).call({model_instance, X_test});
    }
    auto shap_values = explainer.call({X_test});

    auto log = global(k.np).attr(k.log);
    auto mean = global(k.np).attr(k.mean);
    auto exp = global(k.np).attr(k.exp);
    auto exp_shap_values = exp.call({shap_values.attr(k.values)});
    auto mean_log_exp_shap_values = log.call({mean.call({exp_shap_values}, {{k.axis, k.int_0}})});

    auto feature_names = X_test.attr(k.columns);
    auto feature_list = new_list();
    auto shap_values_list = new_list();
    const Py_ssize_t n = feature_names.len();
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto index = new_int(i);
        append(feature_list, feature_names.item(index));
        // Random forests explain both classes; element 0 is taken.
        if (technique.eq(k.rf).truth()) {
            append(shap_values_list, mean_log_exp_shap_values.item(index).item(k.int_0));
        } else {
            append(shap_values_list, mean_log_exp_shap_values.item(index));
        }
    }

    auto DataFrame = global(k.pd).attr(k.DataFrame);
    auto data = new_dict();
    data.set_item(k.feature, feature_list);
    data.set_item(k.coefficients, shap_values_list);
    auto shap_coefficients_df = DataFrame.call({data});
    // A feature is its predictor's name plus two characters ("age_3").
    shap_coefficients_df.set_item(k.predictor_var,
                                  shap_coefficients_df.item(k.feature).attr(k.str).item(k.slice_but_last2));

    const bool rf = technique.eq(k.rf).truth();
    log = global(k.np).attr(k.log);
    exp = global(k.np).attr(k.exp);
    // log(exp(x)) on purpose: an overflowing base value becomes infinite, as it always has.
    auto shap_base_value = log.call({exp.call({explainer.attr(k.expected_value)})});
    if (rf) shap_base_value = shap_base_value.item(k.int_0);

    return new_tuple({shap_coefficients_df, shap_base_value});
}

}  // namespace qv
