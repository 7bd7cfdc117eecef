"""Saving the scorecard and model, and the score plots."""

import copy
import os
import pickle

import numpy as np
import pandas as pd
import plotly.basedatatypes
import pytest

from tessaly import quillvane

save = quillvane._save_artifacts
plots = quillvane._generate_plots


def scorecard():
    return pd.DataFrame(
        {
            "predictor_variables": ["age", "age", "income"],
            "Bin": ["(0, 30]", "(30, 99]", "low"],
            "WoE": [-0.25, 0.5, np.nan],
            "CreditScore": [35.0, 2.675, np.nan],
            "Neutral_CreditScore": [20.0, 20.0, 0.0],
        }
    )


CSV = (
    "predictor_variables,Bin,WoE,CreditScore,Neutral_CreditScore\n"
    'age,"(0, 30]",-0.25,35.0,20.0\nage,"(30, 99]",0.5,2.675,20.0\nincome,low,,,0.0\n'
)


@pytest.mark.parametrize("separate", [True, False])
def test_save_writes_and_replaces_three_files(tmp_path, capsys, separate):
    cards = str(tmp_path / "a" / "b") + "/"
    models = str(tmp_path / "m") if separate else cards
    save(scorecard().head(1), "old", cards, models, "model")
    capsys.readouterr()
    assert save(scorecard(), {"depth": 3}, cards, models, "model") is None
    assert (tmp_path / "a/b/credit_scores_df.csv").read_text() == CSV
    pd.testing.assert_frame_equal(pd.read_pickle(cards + "credit_scores_df.pkl"), scorecard())
    with open(os.path.join(models, "model.sav"), "rb") as f:
        assert pickle.load(f) == {"depth": 3}
    assert capsys.readouterr().out == f"Scorecard saved to: {cards}\nModel saved to: {models}\n"
    assert sorted(os.listdir(cards) + ([] if models == cards else os.listdir(models))) == [
        "credit_scores_df.csv",
        "credit_scores_df.pkl",
        "model.sav",
    ]


class ReplaceFails:
    """`os` whose replace fails, to stand for a move that the system refuses."""

    def __getattr__(self, name):
        return getattr(os, name)

    def replace(self, src, dst):
        raise OSError(28, "No space left on device")


@pytest.mark.parametrize("failure", ["unpicklable model", "failing replace"])
def test_failed_save_keeps_earlier_files_and_leaves_no_temporary(tmp_path, monkeypatch, capsys, failure):
    d = str(tmp_path)
    save(scorecard(), "earlier", d, d, "model")
    before = {n: (tmp_path / n).read_bytes() for n in os.listdir(d)}
    capsys.readouterr()
    if failure == "failing replace":
        monkeypatch.setattr(quillvane, "os", ReplaceFails())
        with pytest.raises(OSError, match="No space left"):
            save(scorecard().head(1), "later", d, d, "model")
    else:
        # The scorecard is new, so only the model must stay as it was.
        with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
            save(scorecard(), lambda: None, d, d, "model")
        assert capsys.readouterr().out == f"Scorecard saved to: {d}\n"
    assert {n: (tmp_path / n).read_bytes() for n in os.listdir(d)} == before


@pytest.fixture
def figures(monkeypatch):
    """Every figure built, and the ones shown, in order."""
    built, shown = [], []
    real = quillvane.make_subplots

    def recording(**kwargs):
        given = copy.deepcopy(kwargs)  # plotly fills the specs in
        fig = real(**kwargs)
        built.append((given, fig))
        return fig

    monkeypatch.setattr(quillvane, "make_subplots", recording)
    monkeypatch.setattr(plotly.basedatatypes.BaseFigure, "show", lambda self: shown.append(self))
    return built, shown


def test_figure_make_up(tmp_path, figures, capsys):
    built, shown = figures
    df = pd.DataFrame(
        {
            "predictor_variables": ["age"] * 5,
            "Bin": ["a", "b", "c", "d", "e"],
            "WoE": [0.4, -0.3, 0.1, 0.9, -0.8],
            "CreditScore": [35, 2.675, 0.125, np.nan, -1.5],
            "Neutral_CreditScore": [10.0] * 5,
        }
    )
    assert plots(df, ["age"], "target", str(tmp_path / "p"), "Y") is None
    assert (tmp_path / "p").is_dir() and os.listdir(tmp_path / "p") == []
    [(kwargs, fig)] = built
    assert kwargs == {"specs": [[{"secondary_y": True}]]}
    assert shown == [fig]
    woe, bars, neutral = fig.data
    order = ["e", "b", "c", "a", "d"]
    assert (woe.type, woe.name, woe.mode, woe.yaxis) == ("scatter", "WoE", "lines", "y2")
    assert list(woe.x) == order and list(woe.y) == [-0.8, -0.3, 0.1, 0.4, 0.9]
    assert (bars.type, bars.name, bars.textposition, bars.yaxis) == ("bar", "Credit Score", "outside", "y")
    assert list(bars.x) == order
    assert list(bars.text) == ["-1.50", "2.67", "0.12", "35.00", "0.00"]
    assert np.isnan(bars.y[-1])
    assert (neutral.name, neutral.mode, neutral.yaxis) == ("Neutral Score", "lines+markers", "y")
    assert list(neutral.y) == [10.0] * 5
    layout = fig.layout
    assert layout.xaxis.title.text == "Bins - age"
    assert (layout.yaxis.title.text, layout.yaxis2.title.text) == ("Credit Score", "WoE")
    assert layout.title.text is None
    assert capsys.readouterr().out == "Plot for age generated\n"


@pytest.mark.parametrize(
    "names, show, printed",
    [
        (["age", "income"], "y", ["age", "income"]),  # only exactly "Y" shows
        (["age", "income"], "Y ", ["age", "income"]),
        (["target", "age"], "Y", ["age"]),  # the target is skipped silently
        (["nobody"], "Y", ["nobody"]),  # no rows: empty traces, still drawn
        ([], "Y", []),
    ],
)
def test_predictor_selection_and_show(tmp_path, figures, capsys, names, show, printed):
    built, shown = figures
    plots(scorecard(), names, "target", str(tmp_path), show)
    assert shown == ([fig for _, fig in built] if show == "Y" else [])
    assert capsys.readouterr().out == "".join(f"Plot for {n} generated\n" for n in printed)
    expected_bins = {"age": 2, "income": 1, "nobody": 0}
    assert [len(fig.data[1].x) for _, fig in built] == [expected_bins[n] for n in printed]
