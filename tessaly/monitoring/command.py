"""Monitoring a live card: read the applicants (or the counts a warehouse made of them), compare with the
baseline, write monitor.json and monitor.html, and tell a scheduler whether to alert."""

from __future__ import annotations

import json
from pathlib import Path

from .._card import Card
from .._errors import InputError
from .._files import atomic_path, check_output
from .._tables import BATCH_ROWS, iter_batches, read_table, table_columns
from . import page
from . import statistics as stats
from .baseline import baseline_of, development_baseline
from .count_tables import check_stamp, period_kind, split_counts
from .counts import PERIOD_RULE, applicants_of, check_period, count
from .figures import from_counts

# The exit code of a run whose worst verdict reaches --fail-on; 1 stays for errors.
ALERT_EXIT = 3
FAIL_ON = ("amber", "red")
JSON_NAME, HTML_NAME = "monitor.json", "monitor.html"


def check_fail_on(fail_on) -> None:
    if fail_on is not None and fail_on not in FAIL_ON:
        raise InputError(f"--fail-on must be {' or '.join(FAIL_ON)}, not {fail_on!r}")


def exit_code(result: dict, fail_on) -> int:
    """ALERT_EXIT when the worst verdict reaches `fail_on` (amber or red), else 0."""
    check_fail_on(fail_on)
    if fail_on is None:
        return 0
    return ALERT_EXIT if stats.VERDICTS.index(result["verdict"]) >= stats.VERDICTS.index(fail_on) else 0


def _shown(value) -> str:
    if value is None:
        return "-"
    return f"{value:.4g}" if isinstance(value, float) else str(value)


def alert_lines(result: dict) -> list[str]:
    """One line per amber or red check: verdict, scope, check, value and the threshold it passed."""
    return [
        f"{a['verdict'].upper()}: {'whole window' if a['scope'] == 'all' else a['scope']}: {a['check']} "
        f"{_shown(a['value'])} ({a['threshold']})"
        for a in result["alerts"]
    ]


def _card_of(card):
    if isinstance(card, Card):
        return card, None
    path = Path(card)
    return Card.load(path), path if path.is_dir() else path.parent


def default_out(card_dir) -> Path:
    """Beside the card, never in it: a rebuild replaces the card directory whole."""
    card_dir = Path(card_dir).resolve()
    return card_dir.parent / f"{card_dir.name}-monitor"


def _baseline(card, given):
    if isinstance(given, (str, Path)):
        return development_baseline(card, read_table(given), f"the development table '{given}'")
    return baseline_of(card, given)


def read_counts(path):
    """The aggregate query's result, saved as CSV or Parquet: the two count tables."""
    import pyarrow as pa

    if "kind" not in table_columns(Path(path)):  # before reading what may be a table of applicants
        raise InputError(
            f"'{path}' holds no column 'kind': give the saved result of 'tessaly export CARD --sql --monitor'"
        )
    batches = list(iter_batches(Path(path)))
    if not batches:
        raise InputError(f"'{path}' holds no counts")
    return pa.Table.from_batches(batches).to_pandas()


def monitor(
    card,
    data=None,
    *,
    counts=None,
    baseline=None,
    target=None,
    period_column=None,
    period=None,
    out=None,
    fail_on=None,
    batch_rows: int = BATCH_ROWS,
    progress=None,
    protected=(),
    cutoffs=(),
) -> dict:
    check_fail_on(fail_on)
    if (data is None) == (counts is None):
        raise InputError("give the applicants (DATA) or the counts of the monitoring query (--counts), one of them")
    if counts is not None and (target, period_column, period) != (None, None, None):
        raise InputError("--target and the period are chosen when the monitoring query is exported, not with --counts")
    if protected and counts is not None:
        raise InputError("--protected needs the applicants (DATA): the counts of the monitoring query hold no groups")
    card, card_dir = _card_of(card)
    base = _baseline(card, baseline)
    inputs = [p for p in (data, counts) if isinstance(p, (str, Path))]
    if out is not None:
        _check_out(out, inputs, card_dir)
    if counts is not None:
        if progress:
            progress.step(f"reading the counts of '{counts}'")
        table = read_counts(counts)
        check_stamp(table, card, f"the counts of '{counts}'")
        bins, scores = split_counts(table, card)
        labels = bins["period"].dropna() if "period" in bins.columns else []
        kind = period_kind(labels)
        result = from_counts(
            card,
            bins,
            scores,
            base,
            counts=str(counts),
            period=kind,
            period_rule=PERIOD_RULE["counts"] if kind else None,
        )
    else:
        if progress:
            progress.step(f"counting {applicants_of(data)}")
        bins, scores = count(
            card, data, target=target, period_column=period_column, period=period, batch_rows=batch_rows
        )
        about = {
            "data": str(data) if isinstance(data, (str, Path)) else None,
            "target": target,
            "period_column": period_column,
            "period": check_period(period_column, period),
            "period_rule": PERIOD_RULE["file"] if period_column else None,
        }
        result = from_counts(card, bins, scores, base, outcomes=target is not None, **about)
        if protected:
            result["fairness"] = _fairness(card, card_dir, data, protected, cutoffs, period_column, period, batch_rows)
    result["fail_on"] = fail_on
    result["exit_code"] = exit_code(result, fail_on)
    if out is not None:
        made = _check_out(out, inputs, card_dir, create=True)
        if made is None:
            raise AssertionError("create=True makes the folder or raises")
        if progress:
            progress.step(f"writing {made[0]} and {made[1]}")
        write(result, card, *made)
    return result


# The reference text is long; kept apart, the function reads as its steps.
monitor.__doc__ = """Compare live applicants with a card's baseline: stability, unseen and missing values, and (with outcomes)
ranking and calibration, each judged green, amber or red per period and over the whole window.

Parameters
----------
card : Card or path
    A card, or its directory.
data : DataFrame or path, optional
    The applicants: a pandas frame, or a CSV or Parquet file read in batches. Give this or `counts`.
counts : path, optional
    The saved result of the aggregate query the SQL export writes with ``--monitor``.
baseline : dict or path, optional
    A baseline dict, or a labelled development table's path; by default the card's own.
target : str, optional
    The outcome column, when outcomes are known (missing outcomes count as not known yet).
period_column : str, optional
    A column of dates: figures per period as well.
period : {"month", "quarter", "year"}, optional
    The period, month by default.
out : path, optional
    A directory that gets ``monitor.json`` and ``monitor.html``.
fail_on : {"amber", "red"}, optional
    The verdict at which ``exit_code`` becomes 3, for a scheduler.
batch_rows : int
    Rows read at a time from a file.
progress : object, optional
    An object with ``step(text)``, for the command line.
protected : sequence of str
    Columns of the applicants whose groups' approval rates and impact ratios at `cutoffs` are added per
    period.
cutoffs : sequence of float
    The scores that approve (default: the build's, or the target score).

Returns
-------
dict
    ``monitor.json``'s data: the ``verdict``, the ``alerts``, every check's cells, and ``exit_code``.

Examples
--------
>>> import numpy as np
>>> import pandas as pd
>>> from tessaly import Scorecard
>>> rng = np.random.default_rng(0)
>>> X = pd.DataFrame({"age": rng.integers(18, 75, 600), "housing": rng.choice(["own", "rent"], 600)})
>>> y = pd.Series(rng.random(600) < np.where(X["age"] < 30, 0.5, 0.1), name="bad").astype(int)
>>> from tessaly import monitor
>>> card = Scorecard().fit(X, y).card_
>>> result = monitor(card, X.assign(age=X["age"] + 30))  # the same applicants, thirty years older
>>> result["verdict"]
'red'
>>> "age PSI" in [alert["check"] for alert in result["alerts"]]
True
"""


def _fairness(card, card_dir, data, protected, cutoffs, period_column, period, batch_rows) -> dict:
    from ..fairness.periods import by_period, cutoffs_for

    chosen = cutoffs_for(card, card_dir, cutoffs)
    return by_period(card, data, protected, chosen, period_column=period_column, period=period, batch_rows=batch_rows)


def _check_out(out, inputs, card_dir, create: bool = False) -> tuple[Path, Path] | None:
    """The two files' paths in `out`; the folder is made only when `create`, once the figures are ready."""
    folder = Path(out)
    if folder.exists() and not folder.is_dir():
        raise InputError(f"--out '{out}' is a file: name a directory for {JSON_NAME} and {HTML_NAME}")
    if card_dir is not None:
        inside, card = folder.resolve(), Path(card_dir).resolve()
        if inside == card or card in inside.parents:
            raise InputError(f"--out '{out}' lies inside the card '{card_dir}': write the monitoring elsewhere")
    if not create and not folder.is_dir():
        return None
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise InputError(f"cannot create '{out}': {e.strerror}") from None
    return (
        check_output(folder / JSON_NAME, inputs=inputs, card_dir=card_dir),
        check_output(folder / HTML_NAME, inputs=inputs, card_dir=card_dir),
    )


def write(result: dict, card, json_path, html_path) -> None:
    """monitor.json (strict JSON) and monitor.html, each written whole and moved into place."""
    with atomic_path(Path(json_path)) as tmp:
        tmp.write_text(json.dumps(result, allow_nan=False, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    page.write(html_path, result, card)
