"""From a card directory and a table of applicants to a file of scores, batch by batch."""

from __future__ import annotations

from pathlib import Path

from ._card import Card, describe_unseen, output_columns
from ._checks import check_ids
from ._errors import InputError, reason
from ._files import check_output
from ._tables import BATCH_ROWS, iter_batches, table_columns
from ._writers import check_format, table_writer

SCORE_NAMES = ("scores.csv", "scores.parquet")


def load_card(card_dir) -> Card:
    card_dir = Path(card_dir)
    if not card_dir.is_dir():
        raise InputError(f"'{card_dir}' is not a card directory")
    try:
        return Card.load(card_dir)
    except InputError:
        raise
    except Exception as e:  # a damaged file fails wherever the decoder notices
        raise InputError(f"cannot read the card in '{card_dir}': {reason(e)}") from None


def score_file(
    card_dir,
    data_path,
    out_path=None,
    *,
    ids=(),
    strict=False,
    batch_rows=BATCH_ROWS,
    progress=None,
    allowed_in_card=SCORE_NAMES,
):
    """Score a table batch by batch into `out_path`; returns the path, the rows and the unseen counts."""
    import pyarrow as pa

    card = load_card(card_dir)
    data_path = Path(data_path)
    out = Path(card_dir) / "scores.csv" if out_path is None else out_path
    out = check_output(out, inputs=[data_path], card_dir=card_dir, allowed_in_card=allowed_in_card)
    check_format(out)

    columns = table_columns(data_path)
    predictors = card.columns  # what is read; the outputs are per characteristic, crosses included
    absent = [p for p in predictors if p not in columns]
    if absent:
        raise InputError(
            f"the applicants lack the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}"
        )
    for i in ids:
        if i not in columns:
            raise InputError(f"--id column {i!r} is not in '{data_path}'")
    ids = check_ids(ids, output_columns(card.names))
    produced = output_columns(card.names)
    numbers = {f"{p}_points" for p in card.names} | {"score"}
    target = card.target if card.target in columns and card.target not in ids else None
    wanted = list(dict.fromkeys([*ids, *predictors, *([target] if target else [])]))

    counts = {p: {"unseen": 0, "unreadable": 0} for p in predictors}
    if progress:
        progress.step(f"scoring the applicants of {data_path}")
    with table_writer(out) as writer:
        for batch in iter_batches(data_path, batch_rows, columns=wanted):
            inputs = [batch.column(p) for p in predictors]
            inputs = [c.dictionary_decode() if pa.types.is_dictionary(c.type) else c for c in inputs]
            frame = pa.RecordBatch.from_arrays(inputs, names=predictors).to_pandas()
            scored, seen = card.apply(frame)
            for p, c in seen.items():
                counts[p]["unseen"] += int(c["unseen"])
                counts[p]["unreadable"] += int(c["unreadable"])
            arrays = [batch.column(i) for i in ids]
            for name in produced:
                values = pa.Array.from_pandas(scored[name])
                if name in numbers:
                    values = values.cast(pa.float64())
                elif pa.types.is_dictionary(values.type):
                    values = values.cast(pa.dictionary(pa.int32(), pa.string()))
                else:
                    values = values.cast(pa.string())
                arrays.append(values)
            names = ids + produced
            if target:
                arrays.append(batch.column(target))
                names.append(target)
            writer.write(pa.RecordBatch.from_arrays(arrays, names=names))
        if writer.rows == 0:
            raise InputError(f"'{data_path}' has no applicants")
        faults = describe_unseen(counts)
        if strict and faults:
            raise InputError(f"--strict: values the card has never seen: {', '.join(faults)}; no scores written")
    return out, writer.rows, counts
