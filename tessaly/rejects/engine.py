"""Rejects where the applicants live: the rejects' table read by the same engine as a second table (a seeded
sample as large a share as the accepts' the model is fitted on), and the card's baseline population made
through-the-door again after the engine has counted the accepts."""

from __future__ import annotations

from .._errors import InputError


def read(engine: str, path, columns, share: float, seed: int, *, extra=(), target=None, session=None):
    """The rejects' predictors (and the `extra` columns they hold: weight, known outcome) as the build's view
    cleans them; returns the frame and the notes for the report."""
    from ..engines import _passes
    from ..engines._engine import _kind, open_engine

    eng = open_engine(engine, path, None, session)
    try:
        types = dict(eng.columns())
        absent = [c.name for c in columns if c.name not in types]
        if absent:
            raise InputError(
                f"the rejects table lacks the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}"
            )
        for c in columns:
            if c.kind == "numerical" and _kind(types[c.name]) != "numerical":
                raise InputError(
                    f"the rejects table's column '{c.name}' holds {types[c.name]} values where the accepted "
                    "applicants hold numbers: no bin of the card can hold them; give the same type in both tables"
                )
        names = [eng.d.ident(c.name) for c in columns]
        keep = "" if share >= 1 else f" WHERE {eng.hash([str(seed + 3), *names])} < {int(1_000_000 * share)}"
        more = [eng.d.ident(e) for e in extra if e is not None and e in types]
        select = ", ".join([_passes.clean(eng, c) for c in columns] + more)
        frame = eng.query(f"SELECT {select} FROM {eng.source}{keep}")
    finally:
        eng.close()
    if frame.empty:
        raise InputError("the rejects table has no applicants in the sample: give more rejects")
    notes = []
    if target is not None and target in types and target not in extra:
        notes.append(f"The outcome column '{target}' of the rejects table was ignored.")
    if share < 1:
        notes.append(f"{len(frame):,} rejects, a seeded sample at the share of the accepts the model is fitted on.")
    return frame, notes


def through_the_door(card, inf, y) -> None:
    """The baseline's population part counted again on the accepts and rejects as development saw them; its
    outcomes and bands stay those the engine counted."""
    from ..monitoring.baseline import _baseline_dict, _part
    from ._inference import baseline_rows

    base = card.baseline
    X_pop, y_pop, w_pop = baseline_rows(inf, y)
    train, _ = _part(card, X_pop, y_pop, w_pop, edges=base["bands"])
    card.baseline = _baseline_dict(base["bands"], {**base["parts"], "train": train}, "train", "test")


def sample(eng, sc, job, columns, fit_share: float):
    """The rejects the model is fitted with, as `Scorecard.fit` takes them: a seeded sample at the share of the
    training applicants the model sees (the build's training share of them), so accepts and rejects keep their
    mix; the notes kept in `job` for the report."""
    path, outcome = job.rejects
    share = fit_share * (1 - job.test_size if job.test_column is None else 1)
    session = getattr(eng, "spark", None)
    R, job.notes = read(
        eng.dialect, path, columns, share, sc.seed, extra=(job.weight, outcome), target=job.target, session=session
    )
    weights = R[job.weight].to_numpy(dtype=float) if job.weight in R.columns else None
    return R, weights, None if outcome is None else R[outcome].to_numpy(dtype=object)


def chapter_of(sc, rows, job) -> dict:
    """The report's chapter, its cards compared on (a seeded sample of) the test applicants the engine pulled."""
    from ..engines import _passes
    from . import chapter

    y = (rows[job.target].to_numpy() == 1).astype(int)
    w = rows[_passes.W].to_numpy(dtype=float) if job.weight is not None else None
    sc.rejects_.notes.extend(
        [*job.notes, "The engine's bins come from the accepts' counts: the cards with rejects keep them."]
    )
    return chapter.figures(sc.rejects_, rows[[p.name for p in sc.card_.predictors]], y, w)


def check_given(rejected) -> None:
    if rejected is not None:
        raise InputError("with --engine the rejects come as a table of their own: give --rejects, not --rejected")


__all__ = ["chapter_of", "check_given", "read", "sample", "through_the_door"]
