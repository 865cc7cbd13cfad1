"""Strata from genomic annotations: which region of a BED file holds a molecule.

A stratum is a name of the BED files' fourth column (all regions of one name
form one stratum: "promoter", "CpG island", ...). A molecule belongs to the
region that holds its midpoint, the base at (start + end - 1) // 2 of its
0-based, half-open span (the left one of the two middle bases of an even
span). Where regions overlap, the region listed first wins: files in the
order given, lines in file order. Molecules in no region go to the stratum
``outside``. Strata are numbered in the order their names first appear, then
``outside``.
"""

from __future__ import annotations

import gzip
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .._errors import InputError

OUTSIDE = "outside"


@dataclass(frozen=True)
class StrataIndex:
    """Disjoint pieces of the genome, per contig, each with its stratum.

    ``pieces[chrom] = (boundaries, stratum)``: piece i is
    [boundaries[i], boundaries[i + 1]) and belongs to stratum[i] (-1: none).
    Picklable, so that regions counted in worker processes assign strata where
    they are read.
    """

    names: tuple[str, ...]  # the strata, `outside` last
    pieces: dict
    sources: tuple[str, ...]

    @property
    def outside(self) -> int:
        return len(self.names) - 1

    def contigs(self) -> set[str]:
        return set(self.pieces)

    def assign(self, chrom: np.ndarray, start: np.ndarray, end: np.ndarray) -> np.ndarray:
        """The stratum of each molecule, by its midpoint."""
        middle = (np.asarray(start, dtype=np.int64) + np.asarray(end, dtype=np.int64) - 1) // 2
        out = np.full(len(middle), self.outside, dtype=np.int64)
        if len(middle) == 0:
            return out
        chrom = np.asarray(chrom, dtype=object)
        names, which = np.unique(chrom.astype(str), return_inverse=True)
        for k, name in enumerate(names):
            found = self.pieces.get(name)
            if found is None:
                continue
            boundaries, stratum = found
            chosen = which == k
            piece = np.searchsorted(boundaries, middle[chosen], side="right") - 1
            inside = (piece >= 0) & (piece < len(stratum))
            values = np.full(len(piece), -1, dtype=np.int64)
            values[inside] = stratum[piece[inside]]
            out[chosen] = np.where(values >= 0, values, self.outside)
        return out


def _lines(path: Path):
    with open(path, "rb") as handle:
        gzipped = handle.read(2) == b"\x1f\x8b"
    opener = gzip.open if gzipped else open
    try:
        with opener(path, "rt", encoding="utf-8", errors="replace") as text:
            yield from enumerate(text, 1)
    except (OSError, EOFError) as error:
        raise InputError(f"--strata {path}: cannot read it: {error}") from None


def read_strata(paths) -> StrataIndex:
    """The strata of one or several BED files (chrom, start, end, name; more
    columns are allowed and ignored; track, browser and # lines skipped).

    Raises InputError naming the file and line for a missing file, a line
    without a name column, coordinates that are not integers with
    0 <= start < end, or the reserved name ``outside``.
    """
    if isinstance(paths, (str, Path)):
        paths = [paths]
    paths = [Path(p) for p in paths]
    if not paths:
        raise InputError("strata: give at least one BED file")
    names: dict[str, int] = {}
    regions: dict[str, list[tuple[int, int, int, int]]] = {}  # chrom -> (start, end, listing order, stratum)
    order = 0
    for path in paths:
        if not path.is_file():
            raise InputError(f"--strata {path}: file not found")
        for number, line in _lines(path):
            text = line.rstrip("\r\n")
            if not text.strip() or text.startswith(("#", "track", "browser")):
                continue
            fields = text.split("\t")
            if len(fields) < 4 or not fields[3].strip():
                raise InputError(f"--strata {path}: line {number}: expected chrom, start, end and a name "
                                 f"(tab-separated), got {text[:60]!r}")
            chrom, start, end, name = fields[0], fields[1], fields[2], fields[3].strip()
            try:
                start, end = int(start), int(end)
            except ValueError:
                raise InputError(f"--strata {path}: line {number}: start and end must be integers, not "
                                 f"{fields[1]!r} and {fields[2]!r}") from None
            if not 0 <= start < end:
                raise InputError(f"--strata {path}: line {number}: expected 0 <= start < end, got {start} and "
                                 f"{end}")
            if name == OUTSIDE:
                raise InputError(f"--strata {path}: line {number}: the name {OUTSIDE!r} is kept for molecules in "
                                 "no region; rename the region")
            stratum = names.setdefault(name, len(names))
            regions.setdefault(chrom, []).append((start, end, order, stratum))
            order += 1
    if not names:
        raise InputError(f"--strata {', '.join(map(str, paths))}: no regions")
    pieces = {}
    for chrom, listed in regions.items():
        boundaries = np.unique(np.array([[s, e] for s, e, _, _ in listed], dtype=np.int64).ravel())
        stratum = np.full(len(boundaries) - 1, -1, dtype=np.int64)
        # The last listed first, so that a region listed earlier overwrites it where they overlap.
        for start, end, _, index in sorted(listed, key=lambda r: -r[2]):
            a, b = np.searchsorted(boundaries, [start, end])
            stratum[a:b] = index
        pieces[chrom] = (boundaries, stratum)
    return StrataIndex((*names, OUTSIDE), pieces, tuple(map(str, paths)))
