"""What every reader shares around the molecules: the read options, the
report of what was read and left out, and the Parquet output.

The report counts what was left out by reason (``DROP_REASONS``: records
first, then calls of the tables, then molecules):

* ``unmapped``, ``secondary``, ``supplementary``, ``qc_fail``,
  ``duplicate``, ``low_mapq``: records the filters leave out;
* ``no_sequence``: a record without bases; ``hard_clipped``: a modified-base
  record whose hard clips leave its tags without the bases they count;
* ``malformed_tags``: a record whose tags cannot be right (``MM`` listing
  more or fewer calls than ``ML`` holds, skip counts past the read's C bases,
  an ``XM`` not as long as the read); ``malformed_cigar``: a record whose
  CIGAR does not match its sequence (or a mapped record without one);
  ``malformed_rows``: call-table rows with an unreadable field. Each is left
  out, and the first few are named in ``skipped_records`` (read, field,
  problem); with ``strict`` the first one stops the read instead;
* ``not_cpg``, ``other_strand``: table rows of calls outside a CpG, or on
  the other strand of a duplex read;
* ``no_calls``, ``too_few_calls``, ``window_remainder``: molecules (or
  windows) with fewer called sites than ``min_cpg``, and the sites of a read
  beyond its last whole window.
"""

from __future__ import annotations

import json
import os
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from .._errors import InputError
from .._optional import require
from .blocks import METHYLATED, NO_CALL, UNMETHYLATED, MoleculeBlock  # noqa: F401 - the readers' names

COLUMNS = ("read_id", "chrom", "start", "end", "strand", "n_cpg", "n_called", "n_methylated", "meth_level",
           "cpg_density")

# The order in which the drop report lists its reasons (records first, then calls, then molecules).
DROP_REASONS = ("unmapped", "secondary", "supplementary", "qc_fail", "duplicate", "low_mapq", "no_sequence",
                "hard_clipped", "malformed_tags", "malformed_cigar", "malformed_rows", "not_cpg", "other_strand",
                "no_calls", "too_few_calls", "window_remainder")
# Skipped records named in the report: enough to find what went wrong, few enough to read.
SKIPPED_SHOWN = 5


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
    strict: bool = False

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
        for name in ("include_hmc", "keep_secondary", "keep_supplementary", "keep_qcfail", "keep_duplicates",
                     "strict"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise InputError(f"{name} must be True or False, not {getattr(self, name)!r}")
            object.__setattr__(self, name, bool(getattr(self, name)))
        if self.reference is not None:
            path = Path(self.reference)
            if not path.is_file():
                raise InputError(f"reference FASTA not found: {path}")
            object.__setattr__(self, "reference", str(path))

    def settings(self) -> dict:
        return {"threshold": self.threshold, "include_hmc": self.include_hmc, "min_mapq": self.min_mapq,
                "min_cpg": self.min_cpg, "window_cpgs": self.window_cpgs, "reference": self.reference,
                "keep_secondary": self.keep_secondary, "keep_supplementary": self.keep_supplementary,
                "keep_qcfail": self.keep_qcfail, "keep_duplicates": self.keep_duplicates, "strict": self.strict}


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
    skipped: list = field(default_factory=list)  # the first SKIPPED_SHOWN: {"read", "field", "problem"}

    def add(self, dropped: Counter, records: int, molecules: int, skipped=()) -> None:
        """Takes in the counts of the next piece of input."""
        self.dropped.update(dropped)
        self.records += records
        self.molecules += molecules
        room = SKIPPED_SHOWN - len(self.skipped)
        if room > 0:
            self.skipped.extend(dict(note) for note in list(skipped)[:room])

    def attrs(self) -> dict:
        dropped = {reason: int(self.dropped[reason]) for reason in DROP_REASONS if self.dropped.get(reason)}
        dropped.update({k: int(v) for k, v in sorted(self.dropped.items()) if k not in dropped and v})
        return {"source": self.source, "kind": self.kind, "records": int(self.records),
                "molecules": int(self.molecules), "dropped": dropped, "settings": dict(self.settings),
                "notes": list(self.notes), "skipped_records": [dict(note) for note in self.skipped]}


class Piece(NamedTuple):
    """What reading one piece of input gave: its molecules, and what it left out."""

    block: "MoleculeBlock"
    dropped: Counter
    records: int
    skipped: list  # up to SKIPPED_SHOWN {"read", "field", "problem"}, in file order


class Tally:
    """Drop counts by reason, and the first records skipped as malformed (kept
    in file order by a key, whatever order they were found in)."""

    def __init__(self):
        self.dropped = Counter()
        self._notes = []

    def skip(self, key, reason: str, read: str, field: str, problem: str) -> None:
        self.dropped[reason] += 1
        self._notes.append((key, {"read": read, "field": field, "problem": problem}))
        if len(self._notes) > 16 * SKIPPED_SHOWN:
            self._notes = sorted(self._notes, key=lambda note: note[0])[:SKIPPED_SHOWN]

    def skipped(self) -> list:
        return [note for _, note in sorted(self._notes, key=lambda note: note[0])[:SKIPPED_SHOWN]]


class Result(NamedTuple):
    """A piece's reduced block and its counts: what crosses the process boundary."""

    value: Any
    dropped: Counter
    records: int
    molecules: int
    skipped: list


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
