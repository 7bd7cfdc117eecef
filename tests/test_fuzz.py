"""Arbitrary arguments and rebound globals end in a return or an exception, never a crash.

The calls run in a child process so that a crash is reported with the call that
caused it. TESSALY_FUZZ_EXAMPLES sets the examples per function of the full run (slow).
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

DRIVER = pathlib.Path(__file__).with_name("fuzz_driver.py")
EXAMPLES = int(os.environ.get("TESSALY_FUZZ_EXAMPLES", "400"))


@pytest.mark.parametrize(
    "examples", [pytest.param(40, id="quick"), pytest.param(EXAMPLES, id="full", marks=pytest.mark.slow)]
)
def test_no_call_crashes(examples, tmp_path):
    journal = tmp_path / "journal.txt"
    work = tmp_path / "work"
    work.mkdir()
    result = subprocess.run(
        [sys.executable, "-I", str(DRIVER), str(journal), str(examples)],
        cwd=work,
        capture_output=True,
        text=True,
        timeout=1800,
    )
    last_call = journal.read_text() if journal.exists() else "(none)"
    assert result.returncode == 0, f"exit {result.returncode} during: {last_call}\n{result.stderr[-3000:]}"
    summary = json.loads(result.stdout.strip().splitlines()[-1])
    print("fuzz outcomes:", json.dumps(summary, indent=1))
    assert set(summary) == {
        "count_zeros_before_non_zero",
        "_validate_inputs",
        "_extract_shap_coefficients",
        "_merge_woe_data",
        "_calculate_credit_scores",
        "_save_artifacts",
        "_generate_plots",
        "createQuillvane",
    }
    for function, outcomes in summary.items():
        assert sum(outcomes.values()) >= examples // 2, function
    # Both ends are reached: some calls bind and return, many are refused.
    assert summary["count_zeros_before_non_zero"].get("returned", 0) > 0
    assert summary["_validate_inputs"].get("TypeError", 0) > 0
