"""The document's sections as plain blocks (paragraphs, tables, figures), written once for every format.

Every figure comes from the card directory; what only the team can say comes from --about, or stands as a
placeholder that names what belongs there, so a validator sees at once what is missing.
"""

from __future__ import annotations

import platform
from dataclasses import dataclass, field

from . import figures
from .sources import Sources

SECTIONS = (
    "Purpose and intended use",
    "Data",
    "Method",
    "Performance",
    "Stability",
    "Fairness",
    "Limitations",
    "Monitoring plan",
    "Changes",
    "Reproducibility",
    "Sign-off",
)


@dataclass
class Table:
    head: list[str]
    rows: list[list[str]]
    caption: str = ""


@dataclass
class Figure:
    png: bytes
    caption: str


@dataclass
class Section:
    title: str
    blocks: list = field(default_factory=list)  # str (a paragraph), ("h", text), Table or Figure


def title(s: Sources) -> str:
    return s.about.get("title") or f"Model development document: {s.card.target} scorecard"


def _ci(pair, fmt="{:.3f}") -> str:
    lo, hi = pair if pair else (None, None)
    return "" if lo is None or hi is None else f"{fmt.format(lo)} to {fmt.format(hi)}"


def _num(x, fmt="{:.3f}") -> str:
    return "" if x is None else fmt.format(x)


def _none(x) -> str:
    return "none" if x is None else f"{x:g}"


def _pairs(rows: list[tuple[str, str]]) -> Table:
    return Table(["Item", "Value"], [[a, b] for a, b in rows])


def purpose(s: Sources) -> Section:
    return Section(
        SECTIONS[0],
        [
            _pairs(
                [
                    ("Purpose", s.said("purpose")),
                    ("Intended use", s.said("intended_use")),
                    ("Model owner", s.said("owner")),
                    ("Developer", s.said("developer")),
                ]
            )
        ],
    )


def data(s: Sources) -> Section:
    rows = s.build.get("rows") or {}
    parts = ", ".join(f"{k}: {v:,}" for k, v in rows.items()) or "not recorded by the build"
    split = (
        f"a stratified {s.build['test_size']:.0%} test part, seed {s.build.get('seed')}"
        if isinstance(s.build.get("test_size"), (int, float))
        else "as recorded in the build"
    )
    card = s.card
    return Section(
        SECTIONS[1],
        [
            _pairs(
                [
                    ("Source", s.said("data_source")),
                    ("Periods", s.said("periods")),
                    ("Applicants", parts),
                    ("Test part", split),
                    ("Sample weights", str(s.build.get("weight") or "none")),
                    ("Target", f"column '{card.target}', bad = {card.bad!r}"),
                    ("Target definition", s.said("target_definition")),
                    ("Exclusions", s.said("exclusions")),
                    ("Rejected applicants", s.said("rejects")),
                    (
                        "Protected columns (measured, never predictors)",
                        ", ".join(s.params.get("protected") or []) or "none",
                    ),
                ]
            )
        ],
    )


def _hand_rows(bins) -> list[list[str]]:
    from .._binning import hand_bins

    splits, left_out, edits = hand_bins(bins if isinstance(bins, dict) else {})
    rows = []
    for name in dict.fromkeys([*splits, *left_out]):
        said = "; ".join(
            f"{e.get('when', '')} {e.get('what', '')}: {e.get('reason') or 'no reason given'}".strip()
            for e in edits.get(name, [])
        )
        what = f"left out: {left_out[name]}" if name in left_out else f"splits {splits[name]}"
        rows.append([name, what, said or "no reason recorded"])
    return rows


def method(s: Sources) -> Section:
    from .. import _models

    p, card = s.params, s.card
    fam = _models.FAMILIES.get(card.model)
    penalty = f", penalty {s.build['penalty']:g}" if isinstance(s.build.get("penalty"), (int, float)) else ""
    sc = card.scaling
    blocks: list = [
        _pairs(
            [
                ("Binning", f"at most {p.get('max_bins')} bins per predictor, trend {p.get('monotonic_trend')}"),
                ("Special codes", str(p.get("special_codes") or "none")),
                (
                    "Predictor selection",
                    f"minimum IV {_none(p.get('min_iv'))}, maximum correlation {_none(p.get('max_corr'))}",
                ),
                ("Model", f"{card.model}: {fam.describe if fam else 'a custom classifier'}{penalty}"),
                ("Points", f"{card.points_kind}"),
                (
                    "Scaling",
                    f"{sc['target_score']:g} points at odds {sc['target_odds']:g}:1, {sc['pdo']:g} points to double the odds",
                ),
                ("Reason codes", f"the predictors furthest below their {card.reason_rule} points, three at most"),
                ("Seed", str(p.get("seed"))),
            ]
        )
    ]
    hand = _hand_rows(p.get("bins"))
    blocks.append(("h", "Bins set by hand"))
    blocks.append(
        Table(["Predictor", "Bins", "Reasons from the editor's audit trail"], hand)
        if hand
        else "No bins were set by hand: every predictor keeps its optimal bins."
    )
    blocks.append(("h", "Scorecard"))
    t = s.table
    blocks.append(
        Table(
            ["Predictor", "Bin", "Share", "Event rate", "WoE", "Points"],
            [
                [str(r.predictor), str(r.bin), f"{r.share:.1%}", f"{r.event_rate:.1%}", f"{r.woe:.3f}", f"{r.points:g}"]
                for r in t.itertuples()
            ],
        )
    )
    for name, rows in t.groupby("predictor", sort=False):
        blocks.append(Figure(figures.woe(str(name), rows), f"WoE per bin of {name}"))
    return Section(SECTIONS[2], blocks)


def performance(s: Sources) -> Section:
    m = s.metrics
    blocks: list = [
        f"On the {m.get('n')} test applicants ({m.get('bad')} bad), the {m.get('card', 'card')}: "
        f"AUC {m['auc']:.3f} (95% CI {_ci(m['auc_ci'])}), Gini {m['gini']:.3f} (95% CI {_ci(m['gini_ci'])}), "
        f"KS {m['ks']:.3f} (95% CI {_ci(m['ks_ci'])}).",
        Figure(
            figures.score_distribution(s.test_scores["score"], s.test_scores[s.card.target]),
            "Score distribution on the test part",
        ),
        ("h", "Challengers and benchmark"),
        m.get("sentence", ""),
    ]
    bench = m.get("benchmark") or {}
    if bench.get("sentence"):
        blocks.append(bench["sentence"])
    blocks.append(
        Table(
            ["Scorer", "AUC", "95% CI", "Gini", "KS", "AUC minus the card's (95% CI)"],
            [
                [
                    r["name"],
                    _num(r["auc"]),
                    _ci(r["auc_ci"]),
                    _num(r["gini"]),
                    _num(r["ks"]),
                    ""
                    if r["name"] == m.get("card")
                    else f"{r['auc_vs_card']:+.3f} ({_ci(r['auc_vs_card_ci'], '{:+.3f}')})",
                ]
                for r in m["challengers"]
            ],
        )
    )
    blocks.append(("h", "Gains"))
    blocks.append(
        Table(
            ["Band", "Scores", "Applicants", "Bads", "Bad rate", "Cum. applicants", "Cum. bads"],
            [
                [
                    str(g["band"]),
                    f"{g['score_min']:g} to {g['score_max']:g}",
                    f"{g['applicants']:g}",
                    f"{g['bads']:g}",
                    f"{g['bad_rate']:.1%}",
                    f"{g['cum_applicant_share']:.1%}",
                    f"{g['cum_bad_share']:.1%}",
                ]
                for g in m["gains"]
            ],
        )
    )
    blocks.append(Figure(figures.gains(m["gains"]), "Gains: share of bads found by the lowest scores"))
    fitted = (m.get("calibration") or {}).get("fitted") or {}
    if fitted.get("pdo") is not None:
        blocks.append(
            f"Calibration: the test part shows {fitted['pdo']:.1f} points to double the odds "
            f"(95% CI {_ci(fitted.get('pdo_ci'), '{:.1f}')}) where {s.card.scaling['pdo']:g} were asked for, and the "
            f"target odds at {_num(fitted.get('score_at_target_odds'), '{:.1f}')} points."
        )
    return Section(SECTIONS[3], blocks)


def stability(s: Sources) -> Section:
    psi = s.metrics.get("psi")
    if not psi:
        return Section(SECTIONS[4], ["The build kept no training scores to compare: no stability index."])
    return Section(
        SECTIONS[4],
        [
            f"Population stability index of the score, training part ({psi['train']:,}) against test part "
            f"({psi['test']:,}): {psi['value']:.3f}, {psi['reading']} (below 0.1 stable, above 0.25 shifted)."
        ],
    )


def fairness(s: Sources) -> Section:
    from ..fairness import chapter

    f = s.metrics.get("fairness")
    if not f:
        return Section(
            SECTIONS[5],
            [
                "No protected column was measured for this card: rebuild it with --protected COLUMN to measure "
                "approval rates, impact ratios, calibration per group and proxies."
            ],
        )
    blocks: list = [chapter.summary(f), Table(chapter.groups_head(f), chapter.groups_rows(f))]
    blocks += [("h", "Calibration per group"), Table(chapter.CALIBRATION_HEAD, chapter.calibration_rows(f))]
    blocks.append(("h", "Proxies"))
    blocks.append(Table(chapter.PROXY_HEAD, chapter.proxy_rows(f)) if f["proxies"] else "No predictor is flagged.")
    return Section(SECTIONS[5], blocks)


def limitations(s: Sources) -> Section:
    r = s.report
    rows = [[name, why] for name, why in (r.get("dropped") or {}).items()]
    blocks: list = [("h", "Predictors left out"), Table(["Predictor", "Why"], rows) if rows else "None."]
    unplaced = [
        [name, str(v.get("build_unreadable", 0)), str(v.get("unseen", 0)), str(v.get("unreadable", 0))]
        for name, v in (r.get("values") or {}).items()
        if any(v.get(k) for k in ("build_unreadable", "unseen", "unreadable"))
    ]
    blocks.append(("h", "Values the card could not place"))
    blocks.append(
        Table(["Predictor", "Unreadable in training", "Unseen in test", "Unreadable in test"], unplaced)
        if unplaced
        else "Every test value fell in a bin the card knows."
    )
    against = [d["predictor"] for d in r.get("directions") or [] if d.get("follows_woe") is False]
    blocks.append(("h", "Points against the WoE"))
    blocks.append(
        "Points fall where WoE rises for: " + ", ".join(against) + "."
        if against
        else "Every numerical predictor's points follow its WoE."
    )
    bench = s.metrics.get("benchmark") or {}
    blocks.append(("h", "Interactions"))
    blocks.append(
        bench.get("sentence")
        or "No tree benchmark was fitted: interactions between predictors were not looked for (build with --benchmark)."
    )
    blocks += [("h", "Known to the team"), s.said("limitations")]
    return Section(SECTIONS[6], blocks)


def monitoring(s: Sources) -> Section:
    from ..monitoring import statistics as st

    amber, red = st.P_LEVELS
    rows = [
        ["Score PSI", f"size {st.PSI_SHIFT[0]:g} / {st.PSI_SHIFT[1]:g} and significant"],
        ["Each predictor's PSI", f"size {st.PSI_SHIFT[0]:g} / {st.PSI_SHIFT[1]:g} and significant"],
        ["Unseen and missing shares", f"a rise of {st.SHARE_RISE[0]:.0%} / {st.SHARE_RISE[1]:.0%} and significant"],
        ["AUC", "a significant decline from the test part's"],
        ["Calibration", "bad rates per score band against the test part's"],
    ]
    baseline = "kept in card.json" if s.card.baseline else "absent: give --baseline to tessaly monitor"
    return Section(
        SECTIONS[7],
        [
            f"'tessaly monitor' compares live applicants with the card's baseline ({baseline}), over the whole "
            f"window and per period. Each check's scopes are adjusted together (Holm), so a card that has not "
            f"changed turns a check amber with a chance of at most {amber:.0%} and red of at most {red:.0%}. "
            f"Scopes with fewer than {st.FEWEST_APPLICANTS} applicants (or {st.FEWEST_OUTCOMES} goods or bads for "
            "the outcome checks) are not judged. With --protected, each period adds the approval rate and impact "
            "ratio per group.",
            Table(["Check", "Amber / red"], rows),
            s.said("monitoring"),
        ],
    )


def changes(s: Sources) -> Section:
    value = s.about.get("changes")
    if isinstance(value, list):
        return Section(SECTIONS[8], [Table(["Change"], [[c] for c in value])])
    return Section(SECTIONS[8], [s.said("changes")])


def reproducibility(s: Sources) -> Section:
    import importlib.metadata as md

    def version(name):
        try:
            return md.version(name)
        except md.PackageNotFoundError:
            return "not installed"

    card = s.card.to_dict()
    return Section(
        SECTIONS[9],
        [
            _pairs(
                [
                    ("Card checksum", card["checksum"]),
                    ("Card format", f"{card['format']} version {card['version']}"),
                    ("Seed", str(s.params.get("seed"))),
                    ("Parameters", ", ".join(f"{k}={v}" for k, v in s.params.items() if k not in ("bins", "reasons"))),
                    (
                        "Versions when this document was written",
                        f"tessaly {version('tessaly')}, Python {platform.python_version()}, numpy {version('numpy')}, "
                        f"pandas {version('pandas')}, scikit-learn {version('scikit-learn')}",
                    ),
                ]
            ),
            "Rebuilding with the same data, parameters and seed gives the same card; its checksum above identifies it.",
        ],
    )


def sign_off(s: Sources) -> Section:
    return Section(
        SECTIONS[10],
        [
            Table(
                ["Role", "Name", "Date", "Signature"], [[r, "", "", ""] for r in ("Developer", "Validator", "Approver")]
            )
        ],
    )


def sections(s: Sources) -> list[Section]:
    return [
        f(s)
        for f in (
            purpose,
            data,
            method,
            performance,
            stability,
            fairness,
            limitations,
            monitoring,
            changes,
            reproducibility,
            sign_off,
        )
    ]
