"""A tour of velkora on built-in synthetic molecules.

    python -m velkora.demo [OUTPUT_DIR]

Draws per-molecule tables from the model with known parameters, bins them,
fits them (independently, with a shared St and its bootstrap and profile,
with shared exponents), reads the same molecules as short reads and compares
two modes on them, draws the phase diagram with the fitted density bins on
it and fits a drift time course, fits short reads as whole molecules and as
reads, and finally writes a small modified-base BAM from synthetic molecules
and reads it back. Prints each step's table beside the truth and writes the
figures, a report of the comparison (report.html) and the BAM to OUTPUT_DIR
(default: demo-output).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

import velkora as vk

from ._output import Progress

DENSITY_EDGES = (0.0, 0.02, 0.04, 0.06, 0.08, 0.10)
MOLECULES = 20000  # per density bin
SHARED_ST = 0.5
DRIFT_RATES = (0.03, 0.01)  # true StE, StW of the drift
DRIFT_AGES = (0.0, 10.0, 20.0, 40.0)
READ_DEPTH = 10  # called CpG sites per short read


def _timed(label: str, work):
    start = time.perf_counter()
    result = work()
    print(f"{label} ({time.perf_counter() - start:.1f} s)")
    return result


def _side_by_side(table, truth, names) -> str:
    shown = table[list(names)].copy()
    for name in names:
        shown.insert(shown.columns.get_loc(name), f"true {name}", truth[name])
    return shown.to_string(float_format=lambda v: f"{v:.3f}")


def _fits(out: Path, plot) -> tuple:
    molecules = vk.synthetic_molecules(molecules_per_density=MOLECULES, density_edges=DENSITY_EDGES,
                                       shared_st=SHARED_ST, seed=2024)
    truth = molecules.attrs["truth"]
    data = vk.bin_molecules(molecules, DENSITY_EDGES, 20)
    print(f"{len(molecules):,} synthetic molecules of 70 CpGs in {data.n_densities} CpG-density bins, "
          f"binned into {data.n_meth_bins} methylation-level bins:")
    summary = data.frame()[["density_lo", "density_hi", "n_molecules"]]
    centres = 0.5 * (data.meth_edges[:-1] + data.meth_edges[1:])
    summary.insert(3, "mean level", data.fractions @ centres)
    print(summary.to_string(float_format=lambda v: f"{v:.3f}"), "\n")

    independent = _timed("Independent fits of every density bin", lambda: vk.fit(data, "independent"))
    print(_side_by_side(independent.table, truth, ("St", "CoW", "CoE")))
    print("(St, CoW and CoE trade off along a ridge of the likelihood: one bin alone pins them down loosely)\n")

    shared = _timed("Shared-St fit: one St for all bins", lambda: vk.fit(data, "shared-st"))
    print(_side_by_side(shared.table, truth, ("CoW", "CoE")))
    print(f"shared St = {shared.shared['St']:.4f} (true {SHARED_ST}), total nll {shared.total_nll:.2f}\n")
    plot.save_figure(plot.fit_figure(shared), out / "fit.png", dpi=110)

    print("Bootstrap of the shared-St fit, resampling the molecules of every bin:")
    boot = vk.bootstrap(shared, 24, seed=7, chunk_size=4, progress=Progress("  bootstrap", stream=sys.stdout))
    print(boot.intervals[["St", "St_p2.5", "St_p97.5", "CoW", "CoW_p2.5", "CoW_p97.5"]].to_string(
        float_format=lambda v: f"{v:.3f}"), "\n")
    plot.save_figure(plot.bootstrap_figure(boot), out / "bootstrap.png", dpi=110)

    st = shared.shared["St"]
    profile = _timed("Profile likelihood of the shared St",
                     lambda: vk.profile_st(data, np.geomspace(st / 1.6, st * 1.6, 7)))
    lo, hi = profile.interval
    print(f"  95 % profile-likelihood interval of St: [{lo:.4f}, {hi:.4f}]\n")
    plot.save_figure(plot.profile_figure(profile, fitted_st=st), out / "st_profile.png", dpi=110)

    # The shared-exponent fit logs every evaluation of its search; the result keeps the lines.
    exponents = _timed("Shared-exponent fit: one St, n_U, n_M for all bins (search log in shared_exp.log)",
                       lambda: vk.fit(data, "shared-exp"))
    (out / "shared_exp.log").write_text(exponents.log + "\n")
    print("  " + ", ".join(f"{k} = {v:.3f}" for k, v in exponents.shared.items()) + f" (true St {SHARED_ST}, "
          "n_U = n_M = 2)\n")
    return shared


def _short_reads(out: Path, plot) -> None:
    from .report import compare_report  # noqa: PLC0415

    molecules = vk.synthetic_molecules(molecules_per_density=MOLECULES // 4, density_edges=DENSITY_EDGES,
                                       shared_st=SHARED_ST, seed=2025, depth=READ_DEPTH)
    data = vk.bin_molecules(molecules, DENSITY_EDGES, 20)
    comparison = _timed(f"Short reads ({READ_DEPTH} CpGs each): independent and shared-St fits compared",
                        lambda: vk.compare(data, ["independent", "shared-st"]))
    print(comparison.table[["n_params", "loglik", "delta_aic", "delta_bic", "akaike_weight"]].to_string(
        float_format=lambda v: f"{v:.3g}"))
    fit = comparison.fits[comparison.best]
    print(f"  best by AIC: {comparison.best}; observation model {fit.observation} ({fit.observation_reason}); "
          "report.html holds every table and figure\n")
    plot.save_figure(plot.fit_figure(fit, goodness=comparison), out / "fit_short_reads.png", dpi=110)
    plot.save_figure(plot.comparison_figure(comparison), out / "comparison.png", dpi=110)
    plot.save_figure(plot.residual_figure(comparison), out / "residuals.png", dpi=110)
    compare_report(comparison).save(out / "report.html")


def _phase(out: Path, plot, shared) -> None:
    axis = np.linspace(-1.5, 2.5, 81)
    grid = _timed(f"Phase diagram at the fitted St over {axis.size} x {axis.size} (CoW, CoE)",
                  lambda: vk.phase_grid(shared.shared["St"], axis, axis))
    print(f"  bistable (score > 0.5) over {np.mean(grid.bistability > 0.5):.1%} of the grid; the fitted bins "
          "are marked on phase.png\n")
    plot.save_figure(plot.phase_figure(grid, fits=shared), out / "phase.png", dpi=110)


def _drift(out: Path, plot) -> None:
    ste, stw = DRIFT_RATES
    molecules = vk.synthetic_drift_molecules(ste, stw, DRIFT_AGES, molecules_per_density=MOLECULES // 4,
                                             density_edges=DENSITY_EDGES, seed=11)
    data = vk.bin_molecules_by_age(molecules, DENSITY_EDGES, 20)
    result = _timed(f"Drift fit over ages {', '.join(f'{a:g}' for a in DRIFT_AGES)} with a bootstrap of 20",
                    lambda: vk.fit_drift(data, n_boot=20, seed=3))
    print(result.table[["StE", "StE_p2.5", "StE_p97.5", "StW", "StW_p2.5", "StW_p97.5"]].to_string(
        float_format=lambda v: f"{v:.4f}"))
    print(f"  (true StE = {ste}, StW = {stw})\n")
    plot.save_figure(plot.drift_figure(result), out / "drift.png", dpi=110)
    plot.save_figure(plot.drift_interval_figure(result), out / "drift_intervals.png", dpi=110)


def _reads(out: Path) -> None:
    try:
        from .reads.synthetic import write_synthetic_bam  # noqa: PLC0415

        __import__("pysam")
    except ImportError:
        print("From reads: skipped (needs pysam: pip install 'velkora[reads]')\n")
        return
    # Densities from 0.01 CpG/bp: reads of at most 7 kb.
    molecules = vk.synthetic_molecules(molecules_per_density=200, density_edges=(0.01, 0.03, 0.05, 0.07, 0.09, 0.11),
                                       seed=5)
    bam = out / "reads.bam"
    _timed(f"From reads: {len(molecules):,} synthetic molecules written as reads with 5mC calls to {bam}",
           lambda: write_synthetic_bam(molecules, bam, seed=6))
    table = _timed("  read back with read_bam (2 worker processes)", lambda: vk.read_bam(bam, threads=2))
    same = (table["n_methylated"].to_numpy() == molecules["n_methylated"].to_numpy()).all()
    print(table.head(3).to_string(float_format=lambda v: f"{v:.4f}"))
    print(f"  {len(table):,} molecules, methylated CpG counts {'identical to' if same else 'DIFFERENT from'} the "
          f"synthetic table; density within {np.max(np.abs(table['cpg_density'] - molecules['cpg_density'])):.1e}")
    print(f"  the same from the shell: velkora molecules {bam} --out molecules.parquet && "
          "velkora fit molecules.parquet --out results/\n")


def _observation_models() -> None:
    """Reads of a few sites: scored as whole molecules they mislead, scored as reads they do not."""
    from .model import stationary_distribution  # noqa: PLC0415

    truth = (1.0, 10.0, 10.0)
    depths = np.clip(np.rint(np.random.default_rng(5).lognormal(np.log(5.0), 0.75, 20_000)), 1, 40)
    reads = vk.synthetic_molecules([truth], 20_000, (0.0, 1.0), depth=depths.astype(int), seed=5)
    data = vk.bin_molecules(reads, [0.0, 1.0], 20)
    true_p = stationary_distribution(truth[0], 1.0, truth[1], truth[2])
    print(f"Short reads: 20,000 molecules read at 1 to 40 of their 70 sites (median {data.median_depth:g})")
    for observation in ("binned", "sampled"):
        result = _timed(f"  fitted with observation={observation!r}",
                        lambda o=observation: vk.fit(data, "independent", observation=o))
        row = result.table.iloc[0]
        distance = 0.5 * np.abs(result.distributions()[0] - true_p).sum()
        print(f"    St {row.St:.3g}, CoW {row.CoW:.3g}, CoE {row.CoE:.3g} (true 1, 10, 10); distance of the "
              f"fitted from the true 70-site distribution {distance:.3f}")
    print()


def main(argv=None) -> None:
    argv = sys.argv[1:] if argv is None else argv
    out = Path(argv[0] if argv else "demo-output")
    out.mkdir(parents=True, exist_ok=True)
    from . import plot  # noqa: PLC0415

    print("velkora demo: synthetic molecules with known parameters\n")
    shared = _fits(out, plot)
    _short_reads(out, plot)
    _phase(out, plot, shared)
    _drift(out, plot)
    _observation_models()
    _reads(out)
    print(f"Figures: {', '.join(str(p) for p in sorted(out.glob('*.png')))}")
    print("The same from the shell: velkora synthetic molecules.csv --shared-st 0.5 && "
          "velkora fit molecules.csv --mode shared-st --n-boot 100 --out results/")


if __name__ == "__main__":
    main()
