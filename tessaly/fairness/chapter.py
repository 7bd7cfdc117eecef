"""The report's fairness chapter, written from the figures that metrics.json keeps under "fairness"."""

from __future__ import annotations

import html

from .._html import ci_text, escaped, html_table


def _pct(x) -> str:
    return "" if x is None else f"{x:.1%}"


def _ratio(x) -> str:
    return "" if x is None else f"{x:.2f}"


def groups_rows(f: dict) -> list[list[str]]:
    """Per protected column and group: applicants, bad rate, mean score, AUC (95% CI) and, per cutoff, the
    approval rate and impact ratio (95% CI), flagged where below the four-fifths line. Plain text cells."""
    rows = []
    for column, entry in f["groups"].items():
        by_cut = [{g["group"]: g for g in c["groups"]} for c in entry["cutoffs"]]
        for g in entry["groups"]:
            cells = [
                column,
                g["group"],
                f"{g['applicants']:g}",
                _pct(g["bad_rate"]),
                "" if g["mean_score"] is None else f"{g['mean_score']:.1f}",
                "" if g["auc"] is None else f"{g['auc']:.3f} {ci_text(g['auc_ci'])}",
            ]
            for cut in by_cut:
                a = cut[g["group"]]
                mark = " below 0.8" if a["flagged"] else ""
                cells += [
                    _pct(a["approval_rate"]),
                    f"{_ratio(a['impact_ratio'])} {ci_text(a['impact_ratio_ci'], '{:.2f}')}{mark}".strip(),
                ]
            rows.append(cells)
    return rows


def groups_head(f: dict) -> list[str]:
    head = ["Protected column", "Group", "Applicants", "Bad rate", "Mean score", "AUC (95% CI)"]
    for c in f["cutoffs"]:
        head += [f"Approved at {c:g}", f"Impact ratio at {c:g} (95% CI)"]
    return head


def proxy_rows(f: dict) -> list[list[str]]:
    rows = []
    for p in f["proxies"]:
        without = p.get("without")
        cost = "" if not without or without["auc_change"] is None else f"{without['auc_change']:+.3f}"
        ratios = ""
        if without:
            ratios = "; ".join(
                f"at {c['cutoff']:g}: " + ", ".join(f"{g} {_ratio(r)}" for g, r in c["groups"].items())
                for c in without["impact"]
            )
        rows.append(
            [
                p["predictor"],
                p["protected"],
                f"{p['cramers_v']:.2f}",
                f"{p['p_value']:.2g}",
                cost,
                ratios or (p.get("note") or ""),
            ]
        )
    return rows


PROXY_HEAD = [
    "Predictor",
    "Protected column",
    "Cramér's V",
    "p-value",
    "Test AUC change without it",
    "Impact ratios without it",
]


def calibration_rows(f: dict) -> list[list[str]]:
    rows = []
    for column, entry in f["groups"].items():
        for g in entry["groups"]:
            for b in g["calibration"]:
                lo, hi = b["score_from"], b["score_to"]
                band = (
                    "all scores"
                    if lo is None and hi is None
                    else f"below {hi:.0f}"
                    if lo is None
                    else f"{lo:.0f} and above"
                    if hi is None
                    else f"{lo:.0f} to {hi:.0f}"
                )
                rows.append(
                    [
                        column,
                        g["group"],
                        band,
                        f"{b['applicants']:g}",
                        _pct(b["bad_rate"]),
                        _pct(b["promised_bad_rate"]),
                    ]
                )
    return rows


CALIBRATION_HEAD = ["Protected column", "Group", "Score band", "Applicants", "Bad rate", "Promised bad rate"]


def summary(f: dict) -> str:
    """The chapter's opening in words: what was measured and what was flagged."""
    flagged = [
        f"'{g['group']}' of {column} at {c['cutoff']:g} ({g['impact_ratio']:.2f})"
        for column, entry in f["groups"].items()
        for c in entry["cutoffs"]
        for g in c["groups"]
        if g["flagged"]
    ]
    text = (
        f"Protected columns ({', '.join(f['groups'])}) are never predictors; they are measured on the test "
        f"applicants. Approved means a score at or above the cutoff; a group's impact ratio is its approval rate "
        f"over the most-approved group's, flagged below {f['air_flag']:g} (intervals: Katz's log method). "
    )
    text += ("Flagged: " + "; ".join(flagged) + ". ") if flagged else "No impact ratio is flagged. "
    text += (
        f"A predictor is flagged as a proxy where Cramér's V of its bins against a protected column reaches "
        f"{f['proxy_threshold']:g} with a chi-square p-value below {f['proxy_significance']:g}: "
        + (f"{len(f['proxies'])} flagged." if f["proxies"] else "none is.")
    )
    return text


def _html_table(head, rows) -> str:
    return html_table(
        None, [html.escape(h) for h in head], ["<tr>" + "".join(escaped(c) for c in r) + "</tr>" for r in rows]
    )


def section(f: dict | None) -> str:
    if not f:
        return ""
    return (
        f'<section id="fairness"><h2>Fairness</h2><p>{html.escape(summary(f))}</p>'
        f"{_html_table(groups_head(f), groups_rows(f))}"
        f"<h3>Calibration per group</h3><p>The bad rate per score band beside the one the scaling promises.</p>"
        f"{_html_table(CALIBRATION_HEAD, calibration_rows(f))}"
        f"<h3>Proxies</h3>{_html_table(PROXY_HEAD, proxy_rows(f)) if f['proxies'] else '<p>No predictor is flagged.</p>'}"
        f"<p>Reason codes rank by the points below each predictor's {f['reason_rule']} points.</p></section>"
    )


def fairness_lines(f: dict) -> list[str]:
    """The groups' figures as lines of text, for the command line."""
    head, rows = groups_head(f), groups_rows(f)
    table = [head, *rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    lines = ["\n" + summary(f)]
    lines += ["  " + "  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in table]
    return lines


def monitor_section(f: dict) -> str:
    """Monitoring's table: per protected column, scope and cutoff, each group's approval rate and impact ratio."""
    head = ["Protected column", "Scope", "Cutoff", "Group", "Applicants", "Approved", "Impact ratio (95% CI)"]
    rows = []
    for column, entries in f["columns"].items():
        for e in entries:
            for g in e["groups"]:
                ratio = f"{_ratio(g['impact_ratio'])} {ci_text(g['impact_ratio_ci'], '{:.2f}')}".strip()
                rows.append(
                    [
                        column,
                        "whole window" if e["scope"] == "all" else e["scope"],
                        f"{e['cutoff']:g}",
                        g["group"],
                        f"{g['applicants']:g}",
                        _pct(g["approval_rate"]),
                        ratio + (" below 0.8" if g["flagged"] else ""),
                    ]
                )
    return (
        '<section id="fairness"><h2>Fairness</h2><p>Approved means a score at or above the cutoff; the impact ratio '
        "is a group's approval rate over the most-approved group's in the same scope.</p>"
        f"{_html_table(head, rows)}</section>"
    )
