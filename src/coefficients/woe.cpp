// _merge_woe_data: attaches to every feature its bin, and to the bin its WoE,
// population share and event rate from the predictor's binning file.
#include "coefficients/coefficients.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

Object merge_woe_data(const Args& a) {
    Handle LIST_BIN_VARS = a[0], target_var = a[1], shap_coefficients_df = a[2], input_ref_df = a[3],
           BINS_DIRECTORY = a[4];

    auto final_coefficients_df = Object::borrow(k.None);
    for (Object var : Iterate(LIST_BIN_VARS)) {
        if (var.eq(target_var).truth()) continue;

        auto var_RF = var + Handle(k.RF_suffix);
        auto tmp_df = input_ref_df.item(new_list({var, var_RF}))
                          .call_method(k.dropna, {}, {{k.axis, k.int_0}})
                          .call_method(k.copy);
        tmp_df.set_attr(k.columns, new_list({k.input_value, k.feature}));

        auto tmp_coefficients_df =
            shap_coefficients_df.item(shap_coefficients_df.attr(k.predictor_var).eq(var)).call_method(k.copy);
        tmp_coefficients_df =
            global(k.pd).attr(k.merge).call({tmp_coefficients_df, tmp_df}, {{k.on, k.feature}, {k.how, k.left}});

        auto read_pickle = global(k.pd).attr(k.read_pickle);
        auto path = global(k.os).attr(k.path);
        // As f"{var}.pkl" would spell it: a str is used as it is, anything else formatted.
        auto var_text = PyUnicode_CheckExact(var.get()) ? var.ref() : format(var, k.empty_str);
        auto tmp_ref = read_pickle.call({path.call_method(k.join, {BINS_DIRECTORY, join({var_text, k.pkl_suffix})})});
        tmp_ref = tmp_ref.item(new_list({k.Bin, k.WoE, k.Count_percent, k.Event_space_rate})).call_method(k.copy);
        tmp_ref.set_attr(k.columns, new_list({k.Bin, k.WoE, k.Distribution, k.Event_rate}));

        tmp_coefficients_df = global(k.pd).attr(k.merge).call(
            {tmp_coefficients_df, tmp_ref}, {{k.left_on, k.input_value}, {k.right_on, k.Bin}, {k.how, k.left}});

        if (final_coefficients_df.is(k.None)) {
            final_coefficients_df = tmp_coefficients_df.call_method(k.copy);
        } else {
            final_coefficients_df = global(k.pd).attr(k.concat).call(
                {new_list({final_coefficients_df, tmp_coefficients_df})}, {{k.axis, k.int_0}, {k.ignore_index, k.True}});
        }
    }

    // A bin with no events (or no non-events) has an infinite WoE; it scores as neutral.
    auto WoE = final_coefficients_df.item(k.WoE);
    auto inf = global(k.np).attr(k.inf);
    auto minus_inf = -global(k.np).attr(k.inf);
    auto replaced = WoE.call_method(k.replace, {new_list({inf, minus_inf}), k.int_0});
    final_coefficients_df.attr(k.loc).set_item(k.all_rows_WoE, replaced);
    return final_coefficients_df;
}

}  // namespace qv
