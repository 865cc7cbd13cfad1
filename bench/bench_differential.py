"""Calibration and power of `vk.differential`, on designs drawn from the model.

Every design: two groups of samples, three CpG-density bins, 2,000 molecules
per sample and bin, each read at 3 to 7 of its 70 sites (median 5), mode
"independent" (every bin its own St, CoW, CoE). Seeded; prints, per
scenario, how often each test's p-value falls below 0.05:

  null            2 x 3 samples, every sample from one truth (balanced
                  cooperative rates, CoW = CoE, which the data identify):
                  the chi-square p of the St, CoW and CoE tests should fall
                  below 0.05 in at most 8 % of the designs;
  replicates      2 x 4 samples, one truth per group but every sample's CoW
                  25 % above or below it at random (biological replicates
                  differ): the pooled chi-square p, which takes molecules as
                  independent across replicates, falls below 0.05 far more
                  often than 5 %; the permutation p (35 relabelings of 4 + 4
                  samples) keeps the level;
  power           2 x 3 samples, the second group's CoW and CoE twice the
                  first's: found (p < 0.05) by the all-at-once test and by the
                  CoW and CoE tests in at least 80 % of the designs;
  unidentified    2 x 3 samples where writing dominates (CoW twice CoE, the
                  regime where other rates give the same distribution), with
                  profile intervals: how often the tests say "not identified".

    .venv/bin/python bench/bench_differential.py [DESIGNS] [SCENARIO ...]
"""

import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import velkora as vk

EDGES = (0.0, 0.03, 0.06, 0.1)
BALANCED = [(1.0, 10.0, 10.0), (1.0, 6.0, 6.0), (1.0, 15.0, 15.0)]
WRITING = [(1.0, 20.0, 10.0), (1.0, 20.0, 15.0), (1.0, 30.0, 12.0)]
MOLECULES = 2000


def design(folder: Path, samples, rng) -> vk.Design:
    """samples: (group, [(St, CoW, CoE) per bin]) per sample; one Parquet table each."""
    rows = []
    for k, (group, params) in enumerate(samples):
        depth = rng.integers(3, 8, size=MOLECULES * len(params))
        table = vk.synthetic_molecules(params, MOLECULES, EDGES, depth=depth, seed=int(rng.integers(1 << 31)))
        path = folder / f"sample{k}.parquet"
        table.to_parquet(path)
        rows.append({"sample": f"sample{k}", "group": group, "path": path.name})
    pd.DataFrame(rows).to_csv(folder / "design.tsv", sep="\t", index=False)
    return vk.read_design(folder / "design.tsv")


def scaled(params, cow=1.0, coe=1.0):
    return [(st, w * cow, e * coe) for st, w, e in params]


def scenario(name, n_designs, make, parameters, **options):
    rejections, permuted, flagged, seconds = [], [], [], []
    for trial in range(n_designs):
        rng = np.random.default_rng([17, trial])
        with tempfile.TemporaryDirectory() as folder:
            data = vk.count(design(Path(folder), make(rng), rng), list(EDGES), 20)
            started = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = vk.differential(data, "independent", parameters=parameters, seed=trial, **options)
            seconds.append(time.perf_counter() - started)
        tests = result.tests.set_index("parameter")
        rejections.append(tests["p_value"] < 0.05)
        permuted.append(tests["p_permutation"] < 0.05)
        flagged.append(~tests["identified"].astype(bool))
    rejected = pd.DataFrame(rejections).mean()
    print(f"\n{name}: {n_designs} designs, {np.median(seconds):.1f} s per design (median)")
    print("  share of designs with p < 0.05:")
    for parameter in rejected.index:
        line = f"    {parameter:4s} chi-square {rejected[parameter]:6.1%}"
        perm = pd.DataFrame(permuted)[parameter]
        if options.get("n_perm", None) != 0:
            line += f"   permutation {perm.mean():6.1%}"
        line += f"   not identified {pd.DataFrame(flagged)[parameter].mean():6.1%}"
        print(line)
    return rejected


def main():
    n_designs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    chosen = sys.argv[2:] or ["null", "replicates", "power", "unidentified"]
    if "null" in chosen:
        scenario("null (2 x 3 samples, one truth)", n_designs, lambda rng: [("a", BALANCED)] * 3 + [("b", BALANCED)] * 3,
                 None, n_perm=0, intervals=False)
    if "replicates" in chosen:
        def varied(rng):
            out = []
            for group in "ab":
                for _ in range(4):
                    out.append((group, scaled(BALANCED, cow=1.25 if rng.random() < 0.5 else 0.75)))
            return out

        scenario("replicates (2 x 4 samples, each sample's CoW 25 % off its group's)", n_designs, varied, ["CoW"],
                 intervals=False)
    if "power" in chosen:
        scenario("power (2 x 3 samples, CoW and CoE twofold in group b)", n_designs,
                 lambda rng: [("a", BALANCED)] * 3 + [("b", scaled(BALANCED, 2.0, 2.0))] * 3, None, n_perm=0,
                 intervals=False)
    if "unidentified" in chosen:
        scenario("unidentified (writing dominates: CoW about twice CoE)", max(5, n_designs // 10),
                 lambda rng: [("a", WRITING)] * 3 + [("b", scaled(WRITING, 2.0, 2.0))] * 3, None, n_perm=0)


if __name__ == "__main__":
    main()
