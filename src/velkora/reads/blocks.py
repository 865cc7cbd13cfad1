"""Molecules in blocks: the numeric form in which the readers hand over what
they read, a piece of input (a region, a chunk of a table) at a time.

A :class:`MoleculeBlock` holds one array per column, one entry per molecule,
in the order :func:`velkora.read_bam` gives the rows. Reducing a block to
counts needs no Python object per molecule, so whole genomes can be counted
where they are read. The two derived columns are computed here and only here
(:func:`cpg_density`, :func:`meth_level`): a table and the counts made from
the same molecules then agree bit for bit.

Every reader reduces a molecule to the forward-strand reference positions of
its CpG sites (the C, 0-based) and one state per site (0 no call, 1
unmethylated, 2 methylated); :func:`molecules_block` turns molecules in that
form into a block, cutting windows of K sites and dropping molecules with too
few calls, the same way for every source.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass

import numpy as np

from .._optional import require

NO_CALL, UNMETHYLATED, METHYLATED = 0, 1, 2


def cpg_density(n_cpg, start, end) -> np.ndarray:
    """CpG sites per base of a molecule's span: ``n_cpg / max(end - start, 1)``."""
    return np.asarray(n_cpg) / np.maximum(np.asarray(end) - np.asarray(start), 1)


def meth_level(n_methylated, n_called) -> np.ndarray:
    """Methylated over called sites: ``n_methylated / max(n_called, 1)``."""
    return np.asarray(n_methylated) / np.maximum(np.asarray(n_called), 1)


@dataclass(frozen=True)
class MoleculeBlock:
    """The molecules of one piece of input, one array per column.

    Attributes
    ----------
    read_id : numpy.ndarray or None
        Read names (object array); None when the names were not asked for.
    chrom : numpy.ndarray
        Contig names (object array).
    start, end : numpy.ndarray
        The reference span, 0-based and half-open (int64).
    strand : numpy.ndarray
        "+" or "-" (bisulfite: the converted strand; call tables may say ".").
    n_cpg, n_called, n_methylated : numpy.ndarray
        CpG sites of the molecule, those with a call, those called methylated (int64).
    window : numpy.ndarray or None
        The window's number within its read (int64), or None without windows.
    """

    read_id: np.ndarray | None
    chrom: np.ndarray
    start: np.ndarray
    end: np.ndarray
    strand: np.ndarray
    n_cpg: np.ndarray
    n_called: np.ndarray
    n_methylated: np.ndarray
    window: np.ndarray | None = None

    def __len__(self) -> int:
        return len(self.start)

    @property
    def cpg_density(self) -> np.ndarray:
        return cpg_density(self.n_cpg, self.start, self.end)

    @property
    def meth_level(self) -> np.ndarray:
        return meth_level(self.n_methylated, self.n_called)


_EMPTY_INT = np.zeros(0, dtype=np.int64)
_EMPTY_OBJECT = np.zeros(0, dtype=object)


def empty_block(names: bool = True, windows: bool = False) -> MoleculeBlock:
    return MoleculeBlock(_EMPTY_OBJECT if names else None, _EMPTY_OBJECT, _EMPTY_INT, _EMPTY_INT, _EMPTY_OBJECT,
                         _EMPTY_INT, _EMPTY_INT, _EMPTY_INT, _EMPTY_INT if windows else None)


def concat_blocks(blocks, names: bool = True, windows: bool = False) -> MoleculeBlock:
    """One block of several, in their order."""
    blocks = [b for b in blocks if len(b)]
    if not blocks:
        return empty_block(names, windows)
    if len(blocks) == 1:
        return blocks[0]

    def joined(name):
        parts = [getattr(b, name) for b in blocks]
        return None if parts[0] is None else np.concatenate(parts)

    return MoleculeBlock(*(joined(name) for name in ("read_id", "chrom", "start", "end", "strand", "n_cpg",
                                                     "n_called", "n_methylated", "window")))


def molecules_block(read_id, chrom, strand, start, end, offsets, sites, states, options,
                    dropped: Counter) -> MoleculeBlock:
    """The rows of molecules given as their sites: molecule i holds
    ``sites[offsets[i]:offsets[i + 1]]`` (sorted) with their `states`. Each
    is one row, or with ``options.window_cpgs`` = K its consecutive windows of
    K sites counted from the leftmost one (each spanning its first C to its
    last G; a shorter remainder is dropped). Rows with fewer than
    ``options.min_cpg`` calls are counted in `dropped`, not kept. `read_id`
    may be None (names not wanted); the per-molecule columns are arrays."""
    offsets = np.asarray(offsets, dtype=np.int64)
    states = np.asarray(states)
    # Calls and methylated calls before each site, so that any run of sites is counted by a difference.
    before_called = np.zeros(len(states) + 1, dtype=np.int64)
    np.cumsum(states != NO_CALL, out=before_called[1:])
    before_methylated = np.zeros(len(states) + 1, dtype=np.int64)
    np.cumsum(states == METHYLATED, out=before_methylated[1:])
    k = options.window_cpgs
    if k is None:
        first, stop = offsets[:-1], offsets[1:]
        n_cpg = stop - first
        molecule = np.arange(len(first))
        window = None
        row_start, row_end = np.asarray(start, dtype=np.int64), np.asarray(end, dtype=np.int64)
    else:
        length = offsets[1:] - offsets[:-1]
        n_windows = length // k
        dropped["window_remainder"] += int(np.count_nonzero(length % k))
        molecule = np.repeat(np.arange(len(length)), n_windows)
        window = np.arange(len(molecule)) - np.repeat(np.cumsum(n_windows) - n_windows, n_windows)
        first = offsets[:-1][molecule] + window * k
        stop = first + k
        n_cpg = np.full(len(molecule), k, dtype=np.int64)
        # Each window spans its first C to its last G.
        row_start, row_end = np.asarray(sites[first], dtype=np.int64), np.asarray(sites[stop - 1] + 2, dtype=np.int64)
    n_called = before_called[stop] - before_called[first]
    n_methylated = before_methylated[stop] - before_methylated[first]
    keep = n_called >= options.min_cpg
    if not keep.all():
        dropped["no_calls"] += int(np.count_nonzero(n_called == 0))
        dropped["too_few_calls"] += int(np.count_nonzero((n_called > 0) & ~keep))
    rows = molecule[keep]

    def per_molecule(values):
        return None if values is None else np.asarray(values)[rows]

    return MoleculeBlock(per_molecule(read_id), per_molecule(chrom), row_start[keep], row_end[keep],
                         per_molecule(strand), n_cpg[keep], n_called[keep], n_methylated[keep],
                         None if window is None else window[keep])


def frame_of(block: MoleculeBlock):
    """The molecule table of a block (the columns of :func:`velkora.read_bam`)."""
    pd = require("pandas")
    n = len(block)
    columns = {
        "read_id": block.read_id.tolist() if block.read_id is not None else [None] * n,
        "chrom": block.chrom.tolist(),
        "start": np.asarray(block.start, dtype=np.int64),
        "end": np.asarray(block.end, dtype=np.int64),
        "strand": block.strand.tolist(),
        "n_cpg": np.asarray(block.n_cpg, dtype=np.int64),
        "n_called": np.asarray(block.n_called, dtype=np.int64),
        "n_methylated": np.asarray(block.n_methylated, dtype=np.int64),
        "meth_level": block.meth_level,
        "cpg_density": block.cpg_density,
    }
    if block.window is not None:
        columns["window"] = np.asarray(block.window, dtype=np.int64)
    return pd.DataFrame(columns)


class Frames:
    """The reducer of read_bam and write_molecules: a block becomes its molecule table.
    (A class, not a closure, so that worker processes can be sent it.)"""

    def __call__(self, block: MoleculeBlock):
        return frame_of(block)
