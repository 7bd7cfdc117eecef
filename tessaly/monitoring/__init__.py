"""Monitoring a live card against its development data, by role:

counts        applicants into the two count tables, batch by batch
count_tables  those tables (or a warehouse's) read and checked against the card
statistics    pure functions over counts, and the rules that make verdicts of them
baseline      what a card is compared with, counted at development and kept in card.json
figures       monitor.json's figures per scope (the whole window, each period)
verdicts      each check judged in each scope: the matrix, the alerts, the worst verdict
command       the run: read, count, compare, write, and the exit code for a scheduler
page          monitor.html
"""


def __getattr__(name):
    # The command pulls in the page and plotly; the estimator needs only the baseline.
    if name == "monitor":
        from .command import monitor

        return monitor
    raise AttributeError(f"module 'tessaly.monitoring' has no attribute {name!r}")
