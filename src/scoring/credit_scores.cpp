// _calculate_credit_scores: points per bin from each predictor's absolute mean
// SHAP coefficient on the bin's side of zero WoE, scaled by the
// points-to-double-the-odds rule.
#include "scoring/scoring.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

namespace {

// The predictor's absolute "MEAN_COEF" in one side's summary. A side without
// rows counts as 0.0: it adds no zeros to the count and no row receives it.
Object abs_mean_coef(Handle summ, Handle var) {
    auto abs = global(k.np).attr(k.abs);
    auto values = summ.item(summ.attr(k.predictor_var).eq(var)).attr(k.MEAN_COEF).attr(k.values);
    auto mean_coef = values.len() > 0 ? values.item(k.int_0) : Object::borrow(k.float_0);
    return abs.call({mean_coef});
}

// Mean coefficient per predictor over the rows that `side` selects.
Object mean_coef_by_predictor(Handle credit_scores_df, Handle side) {
    return credit_scores_df.item(side)
        .call_method(k.groupby, {k.predictor_var})
        .call_method(k.agg, {}, {{k.MEAN_COEF, k.coefficients_mean}})
        .call_method(k.reset_index);
}

}  // namespace

Object calculate_credit_scores(const Args& a) {
    Handle final_coefficients_df = a[0], LIST_BIN_VARS = a[1], pdo = a[3], target_credit_score = a[4],
           target_odds = a[5], assume_higher_prob_bad_rate = a[6];

    auto Factor = pdo / global(k.np).attr(k.log).call({k.int_2});
    auto Offset = target_credit_score - Factor * global(k.np).attr(k.log).call({target_odds});

    auto credit_scores_df = final_coefficients_df.call_method(k.copy);
    credit_scores_df.set_item(k.predictor_variables, credit_scores_df.item(k.predictor_var));
    credit_scores_df.set_item(k.CreditScore, k.float_0);
    credit_scores_df.set_item(k.coef_mean_by_WoE, k.float_0);
    credit_scores_df.set_item(k.coef_woe, k.float_0);

    auto neg_summ = mean_coef_by_predictor(credit_scores_df, credit_scores_df.attr(k.WoE).lt(k.int_0));
    auto pos_summ = mean_coef_by_predictor(credit_scores_df, credit_scores_df.attr(k.WoE).ge(k.int_0));

    for (Object var : Iterate(LIST_BIN_VARS)) {
        auto pos_avg_coef = abs_mean_coef(pos_summ, var);
        auto neg_avg_coef = abs_mean_coef(neg_summ, var);
        auto pos_zeros = global(k.count_zeros_before_non_zero).call({pos_avg_coef});
        auto neg_zeros = global(k.count_zeros_before_non_zero).call({neg_avg_coef});
        auto max_zeros = (neg_zeros.gt(pos_zeros).truth() ? neg_zeros : pos_zeros) + k.int_1;
        auto coef_multiplier = power(k.int_10, max_zeros);

        auto mask = credit_scores_df.attr(k.predictor_variables).eq(var);
        auto mask_neg = mask & credit_scores_df.attr(k.WoE).lt(k.int_0);
        auto mask_pos = mask & credit_scores_df.attr(k.WoE).ge(k.int_0);
        // Values are named before each write: C++ leaves the order of operands
        // open, and the library calls must happen in this order.
        auto abs_neg = global(k.np).attr(k.abs).call({neg_avg_coef});
        credit_scores_df.attr(k.loc).set_item(new_tuple({mask_neg, k.coef_mean_by_WoE}), abs_neg);
        auto abs_pos = global(k.np).attr(k.abs).call({pos_avg_coef});
        credit_scores_df.attr(k.loc).set_item(new_tuple({mask_pos, k.coef_mean_by_WoE}), abs_pos);

        auto mean_key = new_tuple({mask, k.coef_mean_by_WoE});
        auto scaled = credit_scores_df.attr(k.loc).item(mean_key) * coef_multiplier;
        credit_scores_df.attr(k.loc).set_item(mean_key, scaled);

        auto coef_mean = credit_scores_df.attr(k.loc).item(mean_key);
        auto woe = credit_scores_df.attr(k.loc).item(new_tuple({mask, k.WoE}));
        credit_scores_df.attr(k.loc).set_item(new_tuple({mask, k.coef_woe}), coef_mean * woe);
    }

    credit_scores_df.set_item(k.CreditScore, Factor * credit_scores_df.item(k.coef_woe) + Offset);

    if (assume_higher_prob_bad_rate.eq(k.int_0).truth()) {
        auto credit_scores_df_final = global(k.pd).attr(k.DataFrame).call();
        for (Object var : Iterate(LIST_BIN_VARS)) {
            auto tmp_df0 = credit_scores_df.item(credit_scores_df.attr(k.predictor_variables).eq(var))
                               .call_method(k.drop, {k.CreditScore}, {{k.axis, k.int_1}})
                               .call_method(k.copy);
            auto tmp_df1 = credit_scores_df.item(credit_scores_df.attr(k.predictor_variables).eq(var))
                               .item(new_list({k.CreditScore}))
                               .call_method(k.copy);
            tmp_df1 = tmp_df1.call_method(k.sort_values, {k.CreditScore}, {{k.ascending, k.False}});
            auto tmp_df = global(k.pd).attr(k.concat).call(
                {new_list({tmp_df0.call_method(k.reset_index, {}, {{k.drop, k.True}}),
                           tmp_df1.call_method(k.reset_index, {}, {{k.drop, k.True}})})},
                {{k.axis, k.int_1}});
            credit_scores_df_final = global(k.pd).attr(k.concat).call(
                {new_list({credit_scores_df_final, tmp_df})}, {{k.axis, k.int_0}, {k.ignore_index, k.True}});
        }
        credit_scores_df = std::move(credit_scores_df_final);
    }

    auto floored = credit_scores_df.item(k.CreditScore).call_method(k.clip, {}, {{k.lower, k.int_0}});
    credit_scores_df.attr(k.loc).set_item(k.all_rows_CreditScore, floored);
    return credit_scores_df;
}

}  // namespace qv
