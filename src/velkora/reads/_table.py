"""Molecules as rows: CpG sites and their calls turned into the molecule table.

Every reader (BAM, bisulfite BAM, call tables) reduces a molecule to the
reference positions of its CpG sites (the C of the forward strand, 0-based)
and one state per site: 0 no call, 1 unmethylated, 2 methylated. From there
the rows, the windows of K sites, the drop counts and the Parquet output are
the same for every source, which keeps the readers' results comparable.
"""

from __future__ import annotations

import json
import os
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require

NO_CALL, UNMETHYLATED, METHYLATED = 0, 1, 2

COLUMNS = ("read_id", "chrom", "start", "end", "strand", "n_cpg", "n_called", "n_methylated", "meth_level",
           "cpg_density")

# The order in which the drop report lists its reasons (records first, then molecules).
DROP_REASONS = ("unmapped", "secondary", "supplementary", "qc_fail", "duplicate", "low_mapq", "no_sequence",
                "hard_clipped", "not_cpg", "other_strand", "no_calls", "too_few_calls", "window_remainder")


@dataclass(frozen=True)
class Options:
    """How reads become molecules (the keywords of read_bam / read_calls)."""

    threshold: float = 0.5
    include_hmc: bool = False
    min_mapq: int = 0
    min_cpg: int = 1
    window_cpgs: int | None = None
    reference: str | None = None
    keep_secondary: bool = False
    keep_supplementary: bool = False
    keep_qcfail: bool = False
    keep_duplicates: bool = False

    def __post_init__(self):
        threshold = self.threshold
        if isinstance(threshold, bool) or not isinstance(threshold, (int, float, np.floating)) \
                or not 0.0 <= float(threshold) <= 1.0:
            raise InputError(f"threshold must be a probability within 0..1, not {threshold!r}")
        object.__setattr__(self, "threshold", float(threshold))
        for name, low in (("min_mapq", 0), ("min_cpg", 1)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
                raise InputError(f"{name} must be an integer of at least {low}, not {value!r}")
            object.__setattr__(self, name, int(value))
        k = self.window_cpgs
        if k is not None:
            if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or k < 1:
                raise InputError(f"window_cpgs must be a positive integer (CpG sites per window), not {k!r}")
            object.__setattr__(self, "window_cpgs", int(k))
        if self.reference is not None:
            path = Path(self.reference)
            if not path.is_file():
                raise InputError(f"reference FASTA not found: {path}")
            object.__setattr__(self, "reference", str(path))

    def settings(self) -> dict:
        return {"threshold": self.threshold, "include_hmc": self.include_hmc, "min_mapq": self.min_mapq,
                "min_cpg": self.min_cpg, "window_cpgs": self.window_cpgs, "reference": self.reference,
                "keep_secondary": self.keep_secondary, "keep_supplementary": self.keep_supplementary,
                "keep_qcfail": self.keep_qcfail, "keep_duplicates": self.keep_duplicates}


def molecule_rows(read_id: str, chrom: str, strand: str, start: int, end: int, sites: np.ndarray,
                  state: np.ndarray, options: Options, dropped: Counter) -> list[tuple]:
    """The rows of one molecule: itself, or its consecutive windows of K sites
    counted from the leftmost one (each spanning its first C to its last G).
    Rows are (read_id, chrom, start, end, strand, n_cpg, n_called,
    n_methylated, window); molecules with too few calls are counted, not kept."""
    k = options.window_cpgs
    if k is None:
        n_called = int(np.count_nonzero(state))
        if n_called < options.min_cpg:
            dropped["no_calls" if n_called == 0 else "too_few_calls"] += 1
            return []
        n_methylated = int(np.count_nonzero(state == METHYLATED))
        return [(read_id, chrom, start, end, strand, len(sites), n_called, n_methylated, 0)]
    n_windows, remainder = divmod(len(sites), k)
    if remainder:
        dropped["window_remainder"] += 1
    if n_windows == 0:
        return []
    used = n_windows * k
    windows = state[:used].reshape(n_windows, k)
    called = np.count_nonzero(windows, axis=1).tolist()
    methylated = np.count_nonzero(windows == METHYLATED, axis=1).tolist()
    starts = sites[:used:k].tolist()
    ends = (sites[k - 1:used:k] + 2).tolist()
    rows = []
    for w in range(n_windows):
        if called[w] < options.min_cpg:
            dropped["no_calls" if called[w] == 0 else "too_few_calls"] += 1
            continue
        rows.append((read_id, chrom, starts[w], ends[w], strand, k, called[w], methylated[w], w))
    return rows


def merge_mates(first, second):
    """One molecule from the two mates of a pair, each (start, end, strand,
    sites, state) or None: a site seen by both counts once, the first mate's
    call winning unless it has none there."""
    if first is None or second is None:
        return first if second is None else second
    sites = np.concatenate((first[3], second[3]))
    state = np.concatenate((first[4], second[4]))
    # Priority within a site: the first mate's call, then the second mate's, then no call.
    rank = np.concatenate((np.where(first[4] > 0, 0, 2), np.where(second[4] > 0, 1, 2)))
    order = np.lexsort((rank, sites))
    sites, state = sites[order], state[order]
    keep = np.ones(len(sites), dtype=bool)
    keep[1:] = sites[1:] != sites[:-1]
    return min(first[0], second[0]), max(first[1], second[1]), first[2], sites[keep], state[keep]


def frame_of(rows: list[tuple], windows: bool):
    """The molecule table of rows made by molecule_rows."""
    pd = require("pandas")
    if rows:
        read_id, chrom, start, end, strand, n_cpg, n_called, n_methylated, window = zip(*rows)
    else:
        read_id = chrom = start = end = strand = n_cpg = n_called = n_methylated = window = ()
    start = np.array(start, dtype=np.int64)
    end = np.array(end, dtype=np.int64)
    n_cpg = np.array(n_cpg, dtype=np.int64)
    n_called = np.array(n_called, dtype=np.int64)
    n_methylated = np.array(n_methylated, dtype=np.int64)
    columns = {
        "read_id": list(read_id),
        "chrom": list(chrom),
        "start": start,
        "end": end,
        "strand": list(strand),
        "n_cpg": n_cpg,
        "n_called": n_called,
        "n_methylated": n_methylated,
        "meth_level": n_methylated / np.maximum(n_called, 1),
        "cpg_density": n_cpg / np.maximum(end - start, 1),
    }
    if windows:
        columns["window"] = np.array(window, dtype=np.int64)
    return pd.DataFrame(columns)


def arrow_schema(pa, windows: bool):
    """The Parquet columns, fixed so that every piece of a file agrees (even an empty first one)."""
    fields = [("read_id", pa.string()), ("chrom", pa.string()), ("start", pa.int64()), ("end", pa.int64()),
              ("strand", pa.string()), ("n_cpg", pa.int64()), ("n_called", pa.int64()),
              ("n_methylated", pa.int64()), ("meth_level", pa.float64()), ("cpg_density", pa.float64())]
    if windows:
        fields.append(("window", pa.int64()))
    return pa.schema(fields)


@dataclass
class Report:
    """What a reader saw: records read, molecules kept, and what was dropped, by reason."""

    source: str
    kind: str
    settings: dict
    records: int = 0
    molecules: int = 0
    dropped: Counter = field(default_factory=Counter)
    notes: list = field(default_factory=list)

    def attrs(self) -> dict:
        dropped = {reason: int(self.dropped[reason]) for reason in DROP_REASONS if self.dropped.get(reason)}
        dropped.update({k: int(v) for k, v in sorted(self.dropped.items()) if k not in dropped and v})
        return {"source": self.source, "kind": self.kind, "records": int(self.records),
                "molecules": int(self.molecules), "dropped": dropped, "settings": dict(self.settings),
                "notes": list(self.notes)}


class ParquetOutput:
    """A Parquet file written in pieces under a temporary name beside the
    target and renamed into place only when complete, so that a failed or
    interrupted run never leaves a file that looks finished."""

    def __init__(self, target):
        self.pa = require("pyarrow")
        self.pq = require("pyarrow.parquet")
        self.target = Path(target)
        if self.target.suffix.lower() not in (".parquet", ".pq"):
            raise InputError(f"{self.target}: the molecule table is written as Parquet (.parquet or .pq)")
        self.temp = self.target.with_name(f".{self.target.name}.{os.getpid()}.part")
        self.writer = None
        try:
            self.target.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise InputError(f"cannot create {self.target.parent}: {error.strerror}") from None

    def write(self, frame) -> None:
        schema = arrow_schema(self.pa, "window" in frame.columns)
        table = self.pa.Table.from_pandas(frame, schema=schema, preserve_index=False)
        if self.writer is None:
            try:
                # The schema is not stored: the attrs added at the end then reach pandas.read_parquet.
                self.writer = self.pq.ParquetWriter(self.temp, schema, store_schema=False)
            except OSError as error:
                raise InputError(f"cannot write {self.target}: {error}") from None
        self.writer.write_table(table)

    def commit(self, attrs: dict, empty_frame) -> None:
        if self.writer is None:
            self.write(empty_frame)
        self.writer.add_key_value_metadata({"PANDAS_ATTRS": json.dumps(attrs)})
        self.writer.close()
        self.writer = None
        os.replace(self.temp, self.target)

    def abort(self) -> None:
        if self.writer is not None:
            try:
                self.writer.close()
            except Exception:  # noqa: BLE001 - the partial file is removed whatever state it is in
                pass
            self.writer = None
        self.temp.unlink(missing_ok=True)
