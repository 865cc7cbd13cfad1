"""The run report: one self-contained HTML page holding every table and figure of a run, its settings,
versions and the input's checksum; it parses, needs nothing from the network and renders in a real browser."""

import base64
import hashlib
import os
import shutil
import subprocess
from html.parser import HTMLParser

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

import velkora as vk  # noqa: E402
from velkora import cli, report  # noqa: E402

ARGS = ["--density-bins", "3", "--meth-bins", "8", "--quiet", "--report"]


class Page(HTMLParser):
    """What a report is made of: its images, tables, headings, text and any outside references."""

    def __init__(self, text):
        super().__init__()
        self.images, self.tables, self.headings, self.text, self.outside = [], 0, [], [], []
        self.open = []
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag not in ("meta", "img", "br"):
            self.open.append(tag)
        if tag == "img":
            self.images.append(attrs)
        if tag == "table" and "data" in attrs.get("class", "").split():
            self.tables += 1
        if tag in ("script", "link", "iframe") or any(
                str(attrs.get(name, "")).startswith(("http:", "https:", "//")) for name in ("src", "href")):
            self.outside.append((tag, attrs))

    def handle_endtag(self, tag):
        assert self.open and self.open[-1] == tag, f"</{tag}> closes <{self.open[-1] if self.open else None}>"
        self.open.pop()

    def handle_data(self, data):
        self.text.append(data)
        if self.open and self.open[-1] in ("h2", "h3"):
            self.headings.append(data)


@pytest.fixture(scope="module")
def molecules(tmp_path_factory):
    path = tmp_path_factory.mktemp("molecules") / "molecules.csv"
    vk.synthetic_molecules(molecules_per_density=300, shared_st=0.5, seed=4, depth=9).to_csv(path, index=False)
    return path


@pytest.fixture(scope="module")
def fit_run(molecules, tmp_path_factory):
    out = tmp_path_factory.mktemp("fit")
    assert cli.main(["fit", str(molecules), "--mode", "shared-st", "--st-bounds", "0.1", "3", "--n-boot", "2",
                     "--profile-st", "3", "--figure-format", "svg", "--out", str(out), *ARGS]) == 0
    return out


@pytest.fixture(scope="module")
def compare_run(molecules, tmp_path_factory):
    out = tmp_path_factory.mktemp("compare")
    assert cli.main(["compare", str(molecules), "--modes", "independent", "shared-st", "--st-bounds", "0.1", "3",
                     "--out", str(out), *ARGS]) == 0
    return out


@pytest.mark.parametrize(("run", "tables", "headings"), [
    ("fit_run", ["binned.csv", "fits.csv", "bootstrap_intervals.csv", "bootstrap_samples.csv", "st_profile.csv",
                 "st_profile_interval.csv"],
     ["Fitted parameters per density bin", "Bootstrap intervals", "Profile-likelihood interval"]),
    ("compare_run", ["comparison.csv", "likelihood_ratio_tests.csv", "goodness_of_fit.csv", "residuals.csv"],
     ["Modes ranked", "G test per mode and density bin", "Pearson residuals", "independent", "shared-st"]),
])
def test_the_report_holds_every_figure_and_table(request, molecules, run, tables, headings):
    out = request.getfixturevalue(run)
    page = Page((out / "report.html").read_text(encoding="utf-8"))
    assert not page.open and not page.outside
    figures = sorted(p for p in out.iterdir() if p.suffix in (".png", ".svg"))
    assert figures and len(page.images) == len(figures)
    for image in page.images:
        kind, _, payload = image["src"].partition(";base64,")
        assert kind == "data:image/svg+xml" and base64.b64decode(payload).lstrip().startswith(b"<?xml")
        assert image["alt"]
    assert page.tables >= len(tables) and all(name in page.headings for name in headings)
    text = " ".join(page.text)
    checksum = hashlib.sha256(molecules.read_bytes()).hexdigest()
    assert checksum in text and "observation model" in text and "sampled" in text
    assert all(name in text for name in report.versions())


def test_the_report_goes_with_its_run(molecules, tmp_path, capsys):
    out = tmp_path / "out"
    argv = ["fit", str(molecules), "--mode", "independent", "--density-bins", "2", "--meth-bins", "5", "--quiet",
            "--out", str(out)]
    assert cli.main([*argv, "--report", "--no-figures"]) == cli.EXIT_INPUT
    assert "cannot be combined with --no-figures" in capsys.readouterr().err and not out.exists()
    assert cli.main([*argv, "--report", "--figure-format", "pdf"]) == 0
    assert (out / "fit.pdf").read_bytes()[:4] == b"%PDF"
    first = (out / "report.html").read_bytes()
    assert cli.main([*argv, "--report", "--figure-format", "pdf"]) == 0
    assert (out / "report.html").read_bytes() == first
    # A rerun into the same directory without a report leaves none of the earlier run's behind.
    assert cli.main(["fit", "--settings", str(out / "fit_settings.json"), "--out", str(out), "--quiet"]) == 0
    assert not (out / "report.html").exists() and not (out / "fit.pdf").exists() and (out / "fit.png").exists()


def test_a_report_from_python(molecules, tmp_path):
    data = vk.bin_molecules(molecules, 2, 5)
    result = vk.fit(data, "independent")
    page = report.fit_report(result, figures={})
    text = page.html()
    assert "no input checksum" in text and "<img" not in text and page.n_tables >= 3
    with pytest.raises(vk.InputError, match="an .html file"):
        page.save(tmp_path / "report.txt")
    assert len(Page(report.fit_report(result).save(tmp_path / "r.html").read_text()).images) == 1


@pytest.mark.skipif(shutil.which("chromium") is None,
                    reason="no chromium on this machine (Debian: apt-get install chromium) to render the report")
def test_the_report_renders_in_a_browser(fit_run, tmp_path):
    import numpy as np
    from matplotlib import image

    shot = tmp_path / "report.png"
    command = ["chromium", "--headless", "--disable-gpu", "--hide-scrollbars", "--window-size=1200,6000",
               f"--screenshot={shot}", (fit_run / "report.html").as_uri()]
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # the browser refuses to run its sandbox as root
    done = subprocess.run(command, capture_output=True, text=True, timeout=180,
                          env={**os.environ, "HOME": str(tmp_path)})
    assert done.returncode == 0 and shot.exists(), done.stderr[-2000:]
    pixels = image.imread(shot)[..., :3]
    assert pixels.shape[:2] == (6000, 1200)
    ink = (pixels < 0.9).any(axis=2)
    # Text and tables on the first screen, and the figures' colours further down.
    assert ink[:1000].mean() > 0.01 and ink.mean() > 0.02
    colour = np.ptp(pixels, axis=2) > 0.25
    assert colour.mean() > 0.0005
