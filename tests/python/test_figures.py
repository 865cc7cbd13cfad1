"""Figures: every one builds on small short-read data and saves as PNG, SVG and PDF; log axes carry plain
labels; a shared parameter is one band; the fit figure says how the model was observed; misfits are marked."""

import dataclasses
import re

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("matplotlib")

import velkora as vk  # noqa: E402
from velkora import plot  # noqa: E402
from velkora.plot import _log_ticks  # noqa: E402

MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF"}


@pytest.fixture(scope="module")
def results():
    molecules = vk.synthetic_molecules(molecules_per_density=400, shared_st=0.5, seed=2, depth=6)
    data = vk.bin_molecules(molecules, 5, 10)
    comparison = vk.compare(data, ["independent", "shared-st"], st_bounds=(0.05, 5.0))
    fit = comparison.fits["shared-st"]
    aged = vk.synthetic_drift_molecules(0.03, 0.01, (0.0, 10.0, 30.0), molecules_per_density=300, seed=1)
    drift = vk.fit_drift(vk.bin_molecules_by_age(aged, 3, 10), n_boot=2, seed=1, restarts=2)
    return {"comparison": comparison, "fit": fit, "boot": vk.bootstrap(fit, 3, seed=1),
            "profile": vk.profile_st(data, [0.3, 0.5, 0.8], interval=False, st_bounds=(0.05, 5.0)),
            "drift": drift, "grid": vk.phase_grid(0.5, [0.0, 1.0], [0.0, 1.0])}


FIGURES = {
    "fit": lambda r: plot.fit_figure(r["fit"], goodness=r["comparison"]),
    "bootstrap": lambda r: plot.bootstrap_figure(r["boot"]),
    "profile": lambda r: plot.profile_figure(r["profile"], fitted_st=r["fit"].shared["St"]),
    "phase": lambda r: plot.phase_figure(r["grid"], fits=r["fit"]),
    "drift": lambda r: plot.drift_figure(r["drift"]),
    "drift_intervals": lambda r: plot.drift_interval_figure(r["drift"]),
    "comparison": lambda r: plot.comparison_figure(r["comparison"]),
    "residuals": lambda r: plot.residual_figure(r["comparison"], "independent"),
}


@pytest.mark.parametrize("name", FIGURES)
def test_every_figure_saves_in_every_format(results, name, tmp_path):
    fig = FIGURES[name](results)
    for kind, magic in MAGIC.items():
        path = plot.save_figure(fig, tmp_path / f"{name}.{kind.upper()}", dpi=40)
        assert path.read_bytes()[: len(magic)] == magic
    # Vector files carry no creation date.
    assert b"<dc:date>" not in (tmp_path / f"{name}.SVG").read_bytes()
    assert b"/CreationDate" not in (tmp_path / f"{name}.PDF").read_bytes()


@pytest.mark.parametrize("kind", ["svg", "pdf"])
def test_a_redrawn_figure_saves_the_same_bytes(results, kind, tmp_path):
    first, second = (plot.save_figure(FIGURES["residuals"](results), tmp_path / f"{k}.{kind}") for k in "ab")
    assert first.read_bytes() == second.read_bytes()


@pytest.mark.parametrize("name", ["x.jpg", "x", "x.png.txt"])
def test_save_figure_refuses_other_formats(results, name, tmp_path):
    with pytest.raises(vk.InputError, match="png, .svg or .pdf"):
        plot.save_figure(FIGURES["comparison"](results), tmp_path / name)


def log_axes(fig):
    for ax in fig.axes:
        for which in ("x", "y"):
            if getattr(ax, f"get_{which}scale")() == "log":
                yield ax, getattr(ax, f"{which}axis")


@pytest.mark.parametrize("name", ["bootstrap", "profile", "drift_intervals"])
def test_log_axes_are_labelled_with_plain_numbers(results, name):
    fig = FIGURES[name](results)
    axes = list(log_axes(fig))
    assert axes
    for ax, axis in axes:
        lo, hi = sorted(getattr(ax, f"get_{axis.axis_name}lim")())
        locations = axis.get_majorticklocs()
        texts = axis.get_major_formatter().format_ticks(locations)
        shown = [(v, t) for v, t in zip(locations, texts) if lo * (1 - 1e-9) <= v <= hi * (1 + 1e-9)]
        assert len(shown) >= 2
        for value, text in shown:
            assert re.fullmatch(r"[0-9.]+|\$10\^\{-?\d+\}\$", text), text
            if not text.startswith("$"):
                assert float(text) == pytest.approx(value)


@pytest.mark.parametrize(("lo", "hi", "major"), [
    (0.01, 100.0, [0.01, 0.1, 1.0, 10.0, 100.0]),
    (0.15, 0.9, [0.2, 0.5]),
    (0.11, 0.44, [0.2, 0.3]),
    (1e-9, 1e6, [1e-9, 1e-6, 1e-3, 1.0, 1e3, 1e6]),
])
def test_log_ticks(lo, hi, major):
    assert _log_ticks(lo, hi)[0] == pytest.approx(major)


def test_a_shared_parameter_is_one_band_and_density_a_continuous_axis(results):
    fig = plot.bootstrap_figure(results["boot"])
    by_title = {ax.get_ylabel(): ax for ax in fig.axes}
    st, cow = by_title["St"], by_title["CoW"]
    assert len(st.patches) == 1 and len(st.lines) == 1 and not st.collections  # a band and its estimate, no points
    assert st.get_title().startswith("St, shared")
    edges = results["fit"].data.density_edges
    assert cow.get_xlim() == pytest.approx((edges[0], edges[-1]))
    points = cow.lines[0].get_xdata()
    assert points == pytest.approx(0.5 * (edges[:-1] + edges[1:]))


def test_the_fit_figure_says_how_the_model_was_observed(results):
    fit = results["fit"]
    labels = plot.fit_figure(fit).legends[0].get_texts()
    assert [t.get_text() for t in labels] == ["observed", "fit, as read (median depth 6)",
                                               "model, whole 70-site molecules"]
    assert len(plot.fit_figure(fit, macrostates=False).legends[0].get_texts()) == 2
    full = vk.fit(vk.bin_molecules(vk.synthetic_molecules(molecules_per_density=200, seed=3), 5, 10), "independent")
    assert [t.get_text() for t in plot.fit_figure(full).legends[0].get_texts()][1:] == [
        "fit", "model at its 71 levels M/70"]


def test_misfits_are_marked_in_red(results):
    comparison = results["comparison"]
    flagged = comparison.goodness_of_fit.copy()
    flagged["misfit"] = [True] + [False] * (len(flagged) - 1)
    fig = plot.fit_figure(comparison.fits["independent"], goodness=flagged)
    titles = [ax.title for ax in fig.axes[: comparison.fits["independent"].data.n_densities]]
    assert "not explained" in titles[0].get_text() and "not explained" not in titles[1].get_text()
    assert titles[0].get_color() != titles[1].get_color()
    one_mode = flagged.xs("shared-st", level="mode")
    assert "G = " in plot.fit_figure(results["fit"], goodness=one_mode).axes[0].get_title()
    with pytest.raises(vk.InputError, match="no rows of mode"):
        plot.fit_figure(dataclasses.replace(results["fit"], mode="shared-co"), goodness=comparison)
    with pytest.raises(vk.InputError, match="missing column 'misfit'"):
        plot.fit_figure(results["fit"], goodness=flagged.drop(columns="misfit"))


def test_residual_map_is_centred_and_names_the_mode(results):
    comparison = results["comparison"]
    fig = plot.residual_figure(comparison)
    image = fig.axes[0].collections[0]
    assert -image.norm.vmin == image.norm.vmax >= 2
    assert comparison.best in fig.axes[0].get_title()
    with pytest.raises(vk.InputError, match="was not compared"):
        plot.residual_figure(comparison, "shared-co")


def test_drift_intervals_need_a_bootstrap(results):
    drift = results["drift"]
    bare = vk.DriftResult(drift.data, drift.table[["StE", "StW"]], drift.settings)
    with pytest.raises(vk.InputError, match="need a drift fit with a bootstrap"):
        plot.drift_interval_figure(bare)


def test_comparison_marks_the_best_mode(results):
    fig = plot.comparison_figure(results["comparison"])
    labels = [t.get_text() for t in fig.axes[0].get_yticklabels()]
    assert labels[0].startswith(results["comparison"].best + "\nw = ")
    assert np.isclose(sum(float(t.split("w = ")[1]) for t in labels), 1.0, atol=0.02)
