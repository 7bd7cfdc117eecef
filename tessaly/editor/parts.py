"""The development table split exactly as the card's build split it: by the test column, the engine's row hash or
the rows drawn by position (checked by their digest) the card records; a table that does not give that split is
refused in one line."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from .. import _fine_classes
from .._errors import InputError


def engine_rows(data, split: dict):
    """The applicants read by the engine the card was built in, each with whether its hash puts it in the
    test part by the row hash the card records."""
    from ..engines._build import test_flag_sql
    from ..engines._engine import open_engine

    if not isinstance(data, (str, Path)):
        raise InputError(f"the card was split in {split.get('engine')}: give its development table as a file")
    engine = open_engine(str(split.get("engine")), data, split.get("table"), None)
    try:
        d = engine.d
        columns = [str(c) for c in split.get("columns") or []]
        known = dict(engine.columns())
        if not columns or not set(columns) <= set(known):
            raise InputError(
                f"the table lacks columns the card's test part was drawn by ({', '.join(sorted(set(columns) - set(known)))})"
                ": give the card's development table"
            )
        flag = "tessaly_editor_test"
        hashed = [(c, known[c]) for c in columns]
        test = test_flag_sql(engine, None, float(split["test_size"]), int(split["seed"]), hashed, split.get("hash"))
        frame = engine.query(f"SELECT *, {test} AS {d.ident(flag)} FROM {engine.source}")
    finally:
        engine.close()
    return frame.drop(columns=[flag]), frame[flag].to_numpy(dtype=bool)


def same_split(session, frame, y_bad, test) -> tuple:
    """The training and test rows of the card's own split; a table that does not give them is refused."""
    from .._build import rows_digest, split_parts, test_part

    split = session.card.split or {}
    by = split.get("by")
    if by == "test column":
        column = split.get("column")
        if column not in frame.columns:
            raise InputError(
                f"the card was validated on the rows its column '{column}' marks, and the table has no such "
                "column: give the card's development table"
            )
        return test_part(frame, column, y_bad)
    if by == "row hash":
        return np.flatnonzero(~test), np.flatnonzero(test)
    if by not in (None, "row position"):
        raise InputError(f"the card records a split this tessaly does not know ({by!r}): upgrade tessaly")
    seed = int(split.get("seed", (session.fine or {}).get("seed", session.params.get("seed", 42))))
    test_size = float(split.get("test_size", (session.fine or {}).get("test_size", 0.3)))
    train_idx, test_idx = split_parts(frame, y_bad, test_size, seed)
    rows = split.get("rows") or [((session.fine or {}).get("rows") or {}).get(k) for k in ("train", "test")]
    if rows[0] is not None and list(rows) != [len(train_idx), len(test_idx)]:
        raise InputError(
            f"the table splits into {len(train_idx)} training and {len(test_idx)} test applicants, "
            f"the card's into {rows[0]} and {rows[1]}: give the table the card was built from"
        )
    if by is None and session.fine is None:
        raise InputError(
            f"'{session.card_dir}' records neither how its test part was drawn nor the counts to check a split "
            "against: rebuild the card with this tessaly to edit it on its data"
        )
    if by == "row position":
        columns = [c for c in split.get("columns") or [] if c in frame.columns]
        if columns != list(split.get("columns") or []) or split.get("digest") != rows_digest(
            frame[columns], train_idx, test_idx
        ):
            raise InputError(
                "the table does not give the card's training and test applicants (its rows differ from the "
                "development table's, or come in another order): give the table the card was built from, as it was"
            )
    return train_idx, test_idx


def check_counts(fine: dict, a: dict) -> None:
    """A card that does not record its split is edited on the data only where the split by row position gives
    every fine class the goods and bads the build counted on both parts."""
    for e in fine["predictors"]:
        if not e.get("type") or e["name"] not in a["train"].columns:
            continue
        again = _fine_classes.predictor_classes(
            e["name"],
            e["type"],
            e["special_codes"],
            e["splits"],
            {
                "train": (a["train"][e["name"]], a["y_train"], a["w_train"]),
                "test": (a["test"][e["name"]], a["y_test"], a["w_test"]),
            },
        )
        if any(not same_counts(again[part], e[part]) for part in ("train", "test")):
            raise InputError(
                f"the card does not record how its test part was drawn, and this table split by row position "
                f"does not give the card's counts of '{e['name']}' (built with --test-column, in an engine, or "
                "from rows in another order?): rebuild the card with this tessaly to edit it on its data"
            )


def same_counts(a: dict, b: dict) -> bool:
    """Two fine-class entries' counts of one part, equal up to rounding."""
    return all(
        np.shape(a[k]) == np.shape(b[k]) and np.allclose(a[k], b[k], rtol=1e-9, atol=1e-9)
        for k in ("classes", "special", "missing", "unseen")
    )
