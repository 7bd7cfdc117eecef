// _generate_plots: one figure per predictor, bins in ascending WoE: credit score
// bars with their labels, the neutral score line, and WoE on a second axis.
#include "output/output.hpp"

#include "module/core/constants.hpp"
#include "module/core/runtime.hpp"

namespace qv {

namespace {

// [[{"secondary_y": True}]], new per figure: plotly may keep what it is given.
Object secondary_y_specs() {
    auto cell = new_dict();
    cell.set_item(k.secondary_y, k.True);
    return new_list({new_list({cell})});
}

// Scores to two decimals; a missing score is labelled "0.00".
Object score_labels(Handle scores) {
    auto credit_scores_text = new_list();
    for (Object x : Iterate(scores)) {
        if (global(k.pd).call_method(k.notna, {x}).truth()) {
            append(credit_scores_text, format(Object::steal(PyNumber_Float(x.get())), k.fixed_2));
        } else {
            append(credit_scores_text, k.zero_label);
        }
    }
    return credit_scores_text;
}

}  // namespace

Object generate_plots(const Args& a) {
    Handle credit_scores_df = a[0], LIST_BIN_VARS = a[1], target_var = a[2], plots_directory = a[3],
           show_plots = a[4];

    global(k.os).call_method(k.makedirs, {plots_directory}, {{k.exist_ok, k.True}});
    for (Object var : Iterate(LIST_BIN_VARS)) {
        if (var.eq(target_var).truth()) continue;

        auto plot_data = credit_scores_df.item(credit_scores_df.attr(k.predictor_variables).eq(var))
                             .call_method(k.copy)
                             .call_method(k.sort_values, {k.WoE})
                             .call_method(k.reset_index, {}, {{k.drop, k.True}});
        auto fig = global(k.make_subplots).call({}, {{k.specs, secondary_y_specs()}});

        auto woe_line = global(k.go).call_method(k.Scatter, {},
                                                 {{k.x, plot_data.item(k.Bin)},
                                                  {k.y, plot_data.item(k.WoE)},
                                                  {k.name, k.WoE},
                                                  {k.mode, k.lines}});
        fig.call_method(k.add_trace, {woe_line}, {{k.secondary_y, k.True}});

        auto credit_scores_text = score_labels(plot_data.item(k.CreditScore));
        auto score_bars = global(k.go).call_method(k.Bar, {},
                                                   {{k.x, plot_data.item(k.Bin)},
                                                    {k.y, plot_data.item(k.CreditScore)},
                                                    {k.name, k.Credit_space_Score},
                                                    {k.text, credit_scores_text},
                                                    {k.textposition, k.outside}});
        fig.call_method(k.add_trace, {score_bars}, {{k.secondary_y, k.False}});

        auto neutral_line = global(k.go).call_method(k.Scatter, {},
                                                     {{k.x, plot_data.item(k.Bin)},
                                                      {k.y, plot_data.item(k.Neutral_CreditScore)},
                                                      {k.name, k.Neutral_space_Score},
                                                      {k.mode, k.lines_markers}});
        fig.call_method(k.add_trace, {neutral_line}, {{k.secondary_y, k.False}});

        auto name = format(var, k.empty_str);
        fig.call_method(k.update_xaxes, {}, {{k.title_text, join({k.bins_prefix, name})}});
        fig.call_method(k.update_yaxes, {}, {{k.title_text, k.Credit_space_Score}, {k.secondary_y, k.False}});
        fig.call_method(k.update_yaxes, {}, {{k.title_text, k.WoE}, {k.secondary_y, k.True}});
        if (show_plots.eq(k.Y).truth()) fig.call_method(k.show);

        Handle(rt.print).call({join({k.plot_for, name, k.generated})});
    }
    return Object::borrow(k.None);
}

}  // namespace qv
