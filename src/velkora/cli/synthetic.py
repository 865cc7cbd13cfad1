"""``velkora synthetic``: a molecule table drawn from the model, for trying the other commands."""

from __future__ import annotations

import math
from pathlib import Path

from .. import _output
from .._errors import InputError
from .options import integer, number


def add_parser(commands) -> None:
    synthetic = commands.add_parser(
        "synthetic", help="write a synthetic molecule table drawn from the model",
        description="Writes a per-molecule table drawn from the model with known parameters (for trying the "
                    "other commands); the true parameters go to <out>.truth.csv.")
    synthetic.add_argument("out", type=Path, help="table to write: .csv or .parquet")
    synthetic.add_argument("--molecules", type=integer(1), default=5000, metavar="N",
                           help="molecules per density bin (default: %(default)s)")
    synthetic.add_argument("--shared-st", type=number, metavar="ST", help="one St for every density bin")
    synthetic.add_argument("--ages", type=number, nargs="+", metavar="AGE",
                           help="draw a drift time course at these ages (adds an age column)")
    synthetic.add_argument("--seed", type=integer(0), default=0, help="seed of the draws (default: %(default)s)")
    synthetic.set_defaults(run=run)


def run(args, context) -> None:
    import pandas as pd  # noqa: PLC0415

    import velkora as vk  # noqa: PLC0415

    suffix = args.out.suffix.lower()
    if suffix not in (".csv", ".parquet", ".pq"):
        raise InputError(f"{args.out}: write .csv or .parquet, not {suffix or 'no suffix'}")
    if args.shared_st is not None and not (math.isfinite(args.shared_st) and args.shared_st > 0):
        raise InputError(f"--shared-st must be positive and finite, not {args.shared_st:g}")
    if args.ages is not None and (len(args.ages) < 2 or not all(math.isfinite(a) and a >= 0 for a in args.ages)):
        raise InputError(f"--ages needs at least two finite ages >= 0, not {' '.join(f'{a:g}' for a in args.ages)}")
    if args.ages is not None:
        table = vk.synthetic_drift_molecules(0.02, 0.01, args.ages, molecules_per_density=args.molecules,
                                             seed=args.seed)
        truth = pd.DataFrame([table.attrs["truth"]])
    else:
        table = vk.synthetic_molecules(molecules_per_density=args.molecules, seed=args.seed,
                                       shared_st=args.shared_st)
        truth = pd.DataFrame(table.attrs["truth"])
    truth_path = args.out.with_suffix(".truth.csv")
    out = _output.Output(args.out.parent, (), figures=False)
    context.output = out
    if suffix == ".csv":
        table.to_csv(out.path(args.out.name), index=False)
    else:
        table.to_parquet(out.path(args.out.name), index=False)
    truth.to_csv(out.path(truth_path.name), index=False)
    out.commit()
    print(f"wrote {len(table):,} molecules to {args.out} and the true parameters to {truth_path}")

