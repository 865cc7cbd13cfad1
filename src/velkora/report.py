"""The run report: one self-contained HTML page per fit or comparison.

The page holds everything a colleague or a reviewer needs to judge a run
without the rest of its directory: what the data were (molecules, bins, read
depths and the observation model they called for), every table of the run,
its figures, the settings, the command line, the versions of the software
and the SHA-256 of the input. Figures are inline SVG images (data URIs),
the style sheet is in the page, and nothing is fetched from the network or
needs JavaScript, so the file can be mailed, archived or attached to a
paper as it is. Long tables are folded in ``<details>`` elements, which
browsers open without scripts. The page carries no time stamp: a rerun of
the same run writes the same page.

    report = fit_report(result, bootstrap=boot, record=settings_record)
    report.save("report.html")
"""

from __future__ import annotations

import base64
import html
import io
import json
import platform
import sys
from pathlib import Path
from typing import Any

import numpy as np

from ._errors import InputError
from ._optional import require
from .fitting.results import bound_settings
from .model.modes import option_name

pd = require("pandas")

__all__ = ["Report", "compare_report", "fit_report", "versions"]

# Tables longer than this are folded (still in the page, opened with a click).
_FOLD_ROWS = 25

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; color: #1d2329;
       margin: 0 auto; max-width: 1180px; padding: 1.5rem 2rem 3rem; line-height: 1.45; }
h1 { font-size: 1.6rem; margin-bottom: 0.2rem; }
h2 { font-size: 1.2rem; border-bottom: 2px solid #d8dee4; padding-bottom: 0.2rem; margin-top: 2.2rem; }
h3 { font-size: 1rem; margin: 1.4rem 0 0.4rem; }
p.lead { color: #57606a; margin-top: 0; }
nav { background: #f6f8fa; border: 1px solid #d8dee4; border-radius: 6px; padding: 0.5rem 1rem; }
nav a { margin-right: 1.1rem; color: #0969da; text-decoration: none; }
table { border-collapse: collapse; font-size: 0.82rem; margin: 0.4rem 0 1rem; }
th, td { border: 1px solid #d8dee4; padding: 0.2rem 0.5rem; text-align: right; white-space: nowrap; }
th { background: #f6f8fa; }
tbody tr:nth-child(even) { background: #fbfcfd; }
table.facts th { text-align: left; }
table.facts td { text-align: left; white-space: normal; font-family: ui-monospace, monospace; }
.scroll { overflow-x: auto; }
figure { margin: 1rem 0 1.6rem; }
figure img { max-width: 100%; height: auto; border: 1px solid #eaeef2; }
figcaption { font-size: 0.88rem; color: #57606a; margin-top: 0.3rem; }
details { margin: 0.3rem 0 1rem; }
summary { cursor: pointer; color: #0969da; }
pre { background: #f6f8fa; border: 1px solid #d8dee4; border-radius: 6px; padding: 0.7rem; font-size: 0.78rem;
      overflow-x: auto; }
.warn { color: #b42318; font-weight: 600; }
footer { margin-top: 3rem; font-size: 0.8rem; color: #57606a; }
"""


def versions() -> dict[str, str]:
    """The versions of the software behind a run."""
    from . import __version__  # noqa: PLC0415

    found = {"velkora": __version__, "numpy": np.__version__, "pandas": pd.__version__}
    try:
        import matplotlib  # noqa: PLC0415

        found["matplotlib"] = matplotlib.__version__
    except ImportError:
        found["matplotlib"] = "not installed"
    found["python"] = sys.version.split()[0]
    found["platform"] = platform.platform()
    return found


def _format(value) -> str:
    if isinstance(value, (float, np.floating)):
        return f"{float(value):.6g}"
    return str(value)


def _figure_uri(fig) -> str:
    from .plot import _render  # noqa: PLC0415 - figures only when there are figures

    buffer = io.BytesIO()
    _render(fig, buffer, "svg")
    return "data:image/svg+xml;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


class Report:
    """An HTML page built section by section; :meth:`html` renders it and
    :meth:`save` writes it."""

    def __init__(self, title: str, subtitle: str = ""):
        self.title, self.subtitle = title, subtitle
        self._sections: list[tuple[str, str, list[str]]] = []  # (anchor, heading, parts)
        self.n_figures = self.n_tables = 0

    def section(self, heading: str) -> Report:
        anchor = f"s{len(self._sections) + 1}"
        self._sections.append((anchor, heading, []))
        return self

    def _add(self, part: str) -> Report:
        if not self._sections:
            self.section("Run")
        self._sections[-1][2].append(part)
        return self

    def text(self, text: str, *, warning: bool = False) -> Report:
        style = ' class="warn"' if warning else ""
        return self._add(f"<p{style}>{html.escape(text)}</p>")

    def facts(self, facts: dict[str, Any], heading: str | None = None) -> Report:
        """A two-column table of named values."""
        rows = "".join(f"<tr><th>{html.escape(str(k))}</th><td>{html.escape(_format(v))}</td></tr>"
                       for k, v in facts.items())
        title = f"<h3>{html.escape(heading)}</h3>" if heading else ""
        return self._add(f'{title}<table class="facts">{rows}</table>')

    def table(self, heading: str, frame, *, index: bool = True, note: str = "") -> Report:
        """A pandas table; more than a screenful of rows is folded."""
        self.n_tables += 1
        body = frame.to_html(index=index, float_format=lambda v: f"{v:.6g}", na_rep="NaN", border=0,
                             classes="data", escape=True)
        body = f'<div class="scroll">{body}</div>'
        text = f"<p>{html.escape(note)}</p>" if note else ""
        if len(frame) > _FOLD_ROWS:
            body = f"<details><summary>show all {len(frame):,} rows</summary>{body}</details>"
        return self._add(f"<h3>{html.escape(heading)}</h3>{text}{body}")

    def figure(self, caption: str, fig) -> Report:
        """A matplotlib figure, inline as an SVG image."""
        self.n_figures += 1
        alt = html.escape(caption, quote=True)
        return self._add(f'<figure><img alt="{alt}" src="{_figure_uri(fig)}">'
                         f"<figcaption>Figure {self.n_figures}. {html.escape(caption)}</figcaption></figure>")

    def code(self, heading: str, text: str) -> Report:
        return self._add(f"<h3>{html.escape(heading)}</h3><pre>{html.escape(text)}</pre>")

    def html(self) -> str:
        links = "".join(f'<a href="#{a}">{html.escape(h)}</a>' for a, h, _ in self._sections)
        body = "".join(f'<section id="{a}"><h2>{html.escape(h)}</h2>{"".join(parts)}</section>'
                       for a, h, parts in self._sections)
        subtitle = f'<p class="lead">{html.escape(self.subtitle)}</p>' if self.subtitle else ""
        return ("<!DOCTYPE html>\n"
                '<html lang="en"><head><meta charset="utf-8">'
                '<meta name="viewport" content="width=device-width, initial-scale=1">'
                f"<title>{html.escape(self.title)}</title><style>{_STYLE}</style></head><body>"
                f"<header><h1>{html.escape(self.title)}</h1>{subtitle}</header><nav>{links}</nav>{body}"
                f"<footer>Written by velkora {html.escape(versions()['velkora'])}.</footer>"
                "</body></html>\n")

    def save(self, path) -> Path:
        path = Path(path)
        if path.suffix.lower() not in (".html", ".htm"):
            raise InputError(f"{path}: the report is an .html file")
        path.write_text(self.html(), encoding="utf-8")
        return path


# ---------------------------------------------------------------- the parts of a run


def _depth_table(data):
    depths = np.arange(data.depth_counts.shape[1])
    rows = []
    for label, counts in zip(data.labels, data.depth_counts):
        seen = depths[counts > 0]
        cumulative = np.cumsum(counts)
        median = int(np.searchsorted(cumulative, (cumulative[-1] + 1) // 2)) if cumulative[-1] else 0
        rows.append({"density_bin": label, "molecules": int(counts.sum()), "min_depth": int(seen.min()),
                     "median_depth": median, "max_depth": int(seen.max()),
                     "below_70_sites": f"{counts[:70].sum() / max(counts.sum(), 1):.1%}"})
    return pd.DataFrame(rows).set_index("density_bin")


def _data_section(report: Report, data, fit, prefix: str = "") -> None:
    report.section(f"{prefix}data" if prefix else "Data")
    edges = data.meth_edges
    equal = np.allclose(np.diff(edges), edges[1] - edges[0])
    meth = (f"{data.n_meth_bins} equal bins over {edges[0]:g} .. {edges[-1]:g}" if equal else
            f"{data.n_meth_bins} bins, edges " + ", ".join(f"{e:g}" for e in edges))
    facts = {"molecules": f"{int(data.n_molecules.sum()):,}", "density bins": data.n_densities,
             "methylation bins": meth}
    if data.n_outside:
        facts["molecules outside the density edges (left out)"] = f"{data.n_outside:,}"
    facts["read depths"] = ("not given (levels only)" if data.median_depth is None else
                            f"median {data.median_depth:g} called sites per molecule")
    facts["observation model"] = f"{fit.observation}: {fit.observation_reason}"
    report.facts(facts)
    summary = data.frame()[["density_lo", "density_hi", "n_molecules"]]
    centres = 0.5 * (edges[:-1] + edges[1:])
    summary["mean_level"] = data.fractions @ centres
    report.table("Density bins", summary)
    if data.depth_counts is not None:
        report.table("Read depths per density bin (called CpG sites)", _depth_table(data))
    report.table("Binned molecules (fraction of each density bin per methylation bin)", data.frame())


def _run_section(report: Report, record: dict | None, settings: dict[str, Any]) -> None:
    from ._output import json_value  # noqa: PLC0415

    report.section("Settings and provenance")
    if record is not None:
        source = record.get("input", {})
        report.facts({"command line": record.get("command_line", ""), "input": source.get("path", ""),
                      "input SHA-256": source.get("sha256", "")}, "Run")
        reads = record.get("reads")
        if reads:
            dropped = ", ".join(f"{n:,} {reason.replace('_', ' ')}" for reason, n in reads.get("dropped", {}).items())
            facts = {"reads from": reads.get("source", ""), "kind": reads.get("kind", ""),
                     "records read": f"{reads.get('records', 0):,}", "molecules": f"{reads.get('molecules', 0):,}",
                     "dropped": dropped or "none"}
            skipped = reads.get("skipped_records") or []
            if skipped:
                facts["malformed records skipped (first)"] = "; ".join(
                    f"{one.get('read')} ({one.get('field')}: {one.get('problem')})" for one in skipped)
            facts.update({f"read option {name}": json.dumps(json_value(value))
                          for name, value in reads.get("settings", {}).items()})
            report.facts(facts, "Reads behind the molecules")
    else:
        report.text("The data were given in memory, not read from a file: no input checksum is recorded.")
    report.facts({name: json.dumps(json_value(value)) for name, value in settings.items()}, "Fit settings")
    report.facts(versions(), "Versions")
    if record is not None:
        report.code("The run's settings record", json.dumps(json_value(record), indent=2))


def _figures(report: Report, figures: dict[str, Any]) -> None:
    if figures:
        report.section("Figures")
        for caption, fig in figures.items():
            report.figure(caption, fig)


def fit_report(fit_result, *, bootstrap=None, profile=None, record: dict | None = None,
               figures: dict[str, Any] | None = None) -> Report:
    """The report of a fit, with its bootstrap and St profile if given.

    `fit_result` is a FitResult, or a FitCollection (one fit per stratum,
    group or sample) with its BootstrapCollection and a dict of label to
    profile. `record` is the run's settings record (``fit_settings.json`` of
    the command: command line, input path and SHA-256, options). `figures`
    maps captions to figures already drawn; by default the fit, bootstrap and
    profile figures are drawn here (needs matplotlib); ``{}`` leaves them out.
    """
    collection = hasattr(fit_result, "fits")
    fits = fit_result.fits if collection else {None: fit_result}
    boots = (bootstrap.bootstraps if collection else {None: bootstrap}) if bootstrap is not None else {}
    profiles = (profile or {}) if collection else ({None: profile} if profile is not None else {})
    if figures is None:
        from . import plot  # noqa: PLC0415

        figures = {}
        for label, fit in fits.items():
            figures[_labelled(fit_caption(fit), label)] = plot.fit_figure(fit)
            if label in boots:
                figures[_labelled(BOOTSTRAP_CAPTION, label)] = plot.bootstrap_figure(boots[label])
            if label in profiles:
                figures[_labelled(PROFILE_CAPTION, label)] = plot.profile_figure(profiles[label],
                                                                                 fitted_st=fit.shared.get("St"))
    molecules = sum(int(f.data.n_molecules.sum()) for f in fits.values())
    first = next(iter(fits.values()))
    plural = {"stratum": "strata", "group": "groups", "sample": "samples"}
    by = fit_result.by if collection else None
    named = plural.get(by, "stratum and group pairs") if collection else ""
    where = f" in {len(fits)} {named}" if collection else \
        f" in {first.data.n_densities} density bins; observation model {first.observation}"
    report = Report(f"velkora fit: {first.mode}", f"{molecules:,} molecules{where}")
    for label, fit in fits.items():
        prefix = "" if label is None else f"{fit_result.by} {label}: "
        _data_section(report, fit.data, fit, prefix)
        _fit_section(report, fit, boots.get(label), profiles.get(label), prefix)
    _figures(report, figures)
    _run_section(report, record, first.settings)
    return report


def _labelled(caption: str, label) -> str:
    return caption if label is None else f"{label}: {caption}"


def _fit_section(report: Report, fit_result, bootstrap, profile, prefix: str = "") -> None:
    report.section(f"{prefix}fit" if prefix else "Fit")
    report.facts({"mode": fit_result.mode, "log-likelihood (llf)": fit_result.llf,
                  "total nll (molecule-weighted sum of the bins' nll)": fit_result.total_nll,
                  "free parameters": fit_result.df_model, "AIC": fit_result.aic, "BIC": fit_result.bic,
                  **{f"shared {k}": v for k, v in fit_result.shared.items()}})
    _bound_text(report, fit_result)
    report.table("Fitted parameters per density bin", fit_result.table)
    if bootstrap is not None:
        state = "complete" if bootstrap.complete else f"incomplete: {bootstrap.n_done} of {bootstrap.n_boot}"
        report.section(f"{prefix}bootstrap" if prefix else "Bootstrap")
        report.facts({"samples": bootstrap.n_boot, "seed": bootstrap.seed, "state": state})
        reached = bootstrap.intervals["at_bound"].to_numpy() != ""
        if reached.any():
            report.text(f"{int(reached.sum())} density bin(s) have bootstrap percentiles at an end of the search "
                        "range (column at_bound): there the interval is cut by the range, not by the data.",
                        warning=True)
        report.table("Bootstrap intervals", bootstrap.intervals)
        report.table("Bootstrap samples", bootstrap.samples, index=False)
    if profile is not None:
        report.section(f"{prefix}St profile" if prefix else "St profile")
        report.table("Profile-likelihood interval", profile.intervals, index=False)
        report.table("Profile", profile.table, index=False)


def bound_sentence(fit_result) -> str:
    """One sentence naming the estimates at a search bound ("" when there are none)."""
    flagged = fit_result.at_bound
    if not flagged:
        return ""
    where = "; ".join(f"density bin {label}: {text}" for label, text in flagged.items())
    options = ", ".join(f"{name} ({option_name(name)})" for name in sorted(bound_settings(fit_result)))
    return (f"The {fit_result.mode} fit puts estimates at an end of their search range ({where}): these are bounds, "
            f"not estimates; widen {options} or read them as such.")


def _bound_text(report: Report, fit_result) -> None:
    sentence = bound_sentence(fit_result)
    if sentence:
        report.text(sentence, warning=True)


def fit_caption(fit_result) -> str:
    shown = "as read and, thin, as whole 70-site molecules" if fit_result.observation == "sampled" else \
        "binned and, thin, at its 71 levels"
    return (f"Observed molecules (bars) and the {fit_result.mode} model ({shown}) per density bin, "
            "as fractions of molecules per unit of methylation level.")


BOOTSTRAP_CAPTION = ("Estimates and bootstrap percentile intervals against CpG density (horizontal bars: the "
                     "density bins' widths); a parameter shared by all bins is one band.")
PROFILE_CAPTION = "Profile likelihood of the shared St with its 95 % interval (shaded)."
COMPARISON_CAPTION = "Differences in AIC and BIC to the best mode, with Akaike weights."


def residual_caption(mode: str) -> str:
    return (f"Pearson residuals of {mode} per density bin and methylation level; density bins the model does not "
            "explain (G test, Bonferroni 0.05) outlined in red.")


def goodness_caption(mode: str) -> str:
    return f"The {mode} fit with each density bin's G test; red: bins the model does not explain."


def compare_report(comparison, *, record: dict | None = None, figures: dict[str, Any] | None = None) -> Report:
    """The report of a comparison of modes: the model table, the likelihood-ratio
    tests, the goodness of fit, the residuals, every mode's fit and the
    figures (drawn here by default, as in :func:`fit_report`). `comparison`
    is a Comparison, or a dict of stratum to Comparison (one section each)."""
    comparisons = comparison if isinstance(comparison, dict) else {None: comparison}
    if figures is None:
        from . import plot  # noqa: PLC0415

        figures = {}
        for label, one in comparisons.items():
            figures[_labelled(COMPARISON_CAPTION, label)] = plot.comparison_figure(one)
            for mode, result in one.fits.items():
                figures[_labelled(goodness_caption(mode), label)] = plot.fit_figure(result, goodness=one)
                figures[_labelled(residual_caption(mode), label)] = plot.residual_figure(one, mode)
    one = next(iter(comparisons.values()))
    first = next(iter(one.fits.values()))
    molecules = sum(int(next(iter(c.fits.values())).data.n_molecules.sum()) for c in comparisons.values())
    if None in comparisons:
        subtitle = (f"{molecules:,} molecules in {first.data.n_densities} density bins; best by AIC: {one.best}, "
                    f"by BIC: {one.best_bic}")
    else:
        subtitle = f"{molecules:,} molecules in {len(comparisons)} strata"
    report = Report(f"velkora comparison of {len(one.fits)} modes", subtitle)
    for label, each in comparisons.items():
        _comparison_sections(report, each, "" if label is None else f"stratum {label}: ")
    _figures(report, figures)
    _run_section(report, record, one.settings)
    return report


def _comparison_sections(report: Report, comparison, prefix: str) -> None:
    first = next(iter(comparison.fits.values()))
    _data_section(report, first.data, first, prefix)
    report.section(f"{prefix}model choice" if prefix else "Model choice")
    report.text(comparison.verdict)
    report.table("Modes ranked", comparison.table.sort_values("aic"),
                 note="loglik leaves out the multinomial constant shared by all modes; BIC takes n = molecules.")
    report.table("Likelihood-ratio tests of nested modes", comparison.tests, index=False)
    if comparison.simulations is not None and len(comparison.simulations):
        report.table("Simulated likelihood-ratio statistics", comparison.simulations, index=False)
    report.section(f"{prefix}goodness of fit" if prefix else "Goodness of fit")
    misfits = comparison.goodness_of_fit[comparison.goodness_of_fit["misfit"]]
    if len(misfits):
        report.text("Density bins the fit does not explain (G test, Bonferroni 0.05): "
                    + ", ".join(f"{mode} {label}" for mode, label in misfits.index), warning=True)
    report.table("G test per mode and density bin", comparison.goodness_of_fit)
    report.table("Pearson residuals", comparison.residuals)
    report.section(f"{prefix}fits" if prefix else "Fits")
    for mode, result in comparison.fits.items():
        _bound_text(report, result)
        for note in result.notes:
            report.text(f"{mode}: {note}.", warning=True)
        report.table(f"{mode}", result.table)


DIFFERENTIAL_CAPTION = ("Each group's estimates with their 95 % profile-likelihood intervals against CpG density; "
                        "open markers and dotted lines: not identified by these data.")
PVALUE_CAPTION = "The tests' p-values (-log10): chi-square and, where made, permutation; hatched: not identified."


def differential_report(result, data, *, record: dict | None = None, figures: dict[str, Any] | None = None) -> Report:
    """The report of a group comparison: the samples, the tests with their
    assumptions, every group's estimates and fits, and the figures."""
    if figures is None:
        from . import plot  # noqa: PLC0415

        figures = {PVALUE_CAPTION: plot.pvalue_figure(result)}
        for label in result.group_fits:
            figures[_labelled(DIFFERENTIAL_CAPTION, label)] = plot.differential_figure(result, stratum=label)
    first = next(iter(data.values())) if isinstance(data, dict) else data
    samples = first.samples
    groups = list(dict.fromkeys(samples["group"]))
    report = Report(f"velkora differential: {result.mode}",
                    f"{len(samples)} samples in {len(groups)} groups ({', '.join(groups)})")
    report.section("Samples")
    report.table("Samples", samples)
    report.section("Tests")
    report.text("H1 gives every group its own parameters; H0 ties the tested parameter across the groups (per "
                "density bin where the mode fits it per bin). The chi-square p assumes that molecules are "
                "independent, across the replicates of a group as within a sample; the permutation p relabels "
                "the samples among the groups and assumes only that the samples are exchangeable, so it holds "
                "when replicates differ more than their molecules do. p_holm adjusts the chi-square p over all "
                "tests (Holm).")
    hidden = result.tests[~result.tests["identified"].astype(bool)]
    if len(hidden):
        report.text("Tests of parameters these data do not identify (an estimate or its interval reaches a search "
                    "bound): " + ", ".join(map(str, hidden["parameter"])) + ". Their p-values say little about a "
                    "difference of that rate.", warning=True)
    report.table("Which parameter differs", result.tests, index=False)
    report.table("Group estimates and 95 % profile-likelihood intervals", result.estimates, index=False)
    report.section("Group fits")
    for label, collection in result.group_fits.items():
        report.table("Fits per group" + ("" if label is None else f", stratum {label}"), collection.table)
    _figures(report, figures)
    _run_section(report, record, result.settings)
    return report
