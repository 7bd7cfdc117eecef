"""Takes the getting-started tutorial's screenshots: runs its commands on German credit in a temporary folder and
photographs the report, the editor and the monitoring page in headless chromium. `python docs/screenshots.py`
(needs the cli extra, playwright and the system's chromium)."""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pandas as pd
from playwright.sync_api import sync_playwright

IMAGES = Path(__file__).resolve().parent / "images"
TESSALY = [sys.executable, "-m", "tessaly"]
SIZE = {"width": 1280, "height": 860}


def live_applicants(source: Path, out: Path) -> None:
    """The tutorial's live file: German credit over six months, the amounts borrowed rising from the fourth."""
    data = pd.read_csv(source).sample(frac=1, random_state=0)  # the file is sorted by some predictors
    data["applied"] = pd.date_range("2025-01-01", "2025-06-30 23:00", periods=len(data)).date
    later = data["applied"] >= pd.Timestamp("2025-04-01").date()
    data.loc[later, "credit_amount"] = (data.loc[later, "credit_amount"] * 2.5).round()
    data.to_csv(out, index=False)


def shoot(page, url: str, path: Path, wait: str | None = None) -> None:
    page.goto(url)
    if wait:
        page.wait_for_selector(wait)
    page.wait_for_timeout(1500)  # plotly draws after load
    page.screenshot(path=path)
    print(f"wrote {path}", file=sys.stderr)


def main() -> None:
    from tessaly._demo import german_credit

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    IMAGES.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        shutil.copy(german_credit(), work / "germancredit.csv")
        run = dict(cwd=work, check=True)
        subprocess.run([*TESSALY, "build", "germancredit.csv", "creditability", "--out", "card", "--quiet"], **run)
        live_applicants(work / "germancredit.csv", work / "live.csv")
        subprocess.run(
            [
                *TESSALY,
                "monitor",
                "card",
                "live.csv",
                "--target",
                "creditability",
                "--period-column",
                "applied",
                "--out",
                "monitoring",
                "--quiet",
            ],
            **run,
        )
        editor = subprocess.Popen(
            [*TESSALY, "edit", "card", "--data", "germancredit.csv", "--out", "bins.json", "--no-browser", "--quiet"],
            cwd=work,
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            url = next(line for line in editor.stdout if line.startswith("editor: ")).split(" ", 1)[1].strip()
            with sync_playwright() as p:
                browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
                page = browser.new_page(viewport=SIZE)
                shoot(page, (work / "card" / "report.html").as_uri(), IMAGES / "report.png")
                shoot(page, (work / "monitoring" / "monitor.html").as_uri(), IMAGES / "monitor.png")
                shoot(page, url, IMAGES / "editor.png", wait="table")
                browser.close()
        finally:
            editor.terminate()
            editor.wait()


if __name__ == "__main__":
    main()
