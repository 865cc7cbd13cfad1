"""Modified-base BAM files written from a molecule table, for the demo, the
benchmark and round-trip tests: each molecule becomes one read whose CpG
sites are spread over a span that gives its CpG density, with explicit
5mC calls (``C+m?``) on every CpG, methylated ones at high probability."""

from __future__ import annotations

from array import array
from pathlib import Path

import numpy as np

from .._optional import require

CONTIG = "chrS"
HIGH, LOW = 230, 20  # ML values of methylated and unmethylated calls
_GAP = 50  # bases between consecutive molecules on the contig


def write_synthetic_bam(molecules, path, *, seed: int = 0, contig: str = CONTIG, reverse_every: int = 2,
                        reference=None) -> Path:
    """Writes one read per molecule (columns ``n_cpg``, ``n_methylated``,
    ``cpg_density``) to a sorted, indexed BAM at `path`; every
    `reverse_every`-th read lies on the reverse strand. `reference`, if given,
    receives the contig as FASTA. The reads' spans are round(n_cpg /
    cpg_density) bases (at least 2 per CpG), so reading the file back gives
    the same counts and the densities to that rounding."""
    pysam = require("pysam")
    rng = np.random.default_rng(seed)
    n_cpg = np.asarray(molecules["n_cpg"], dtype=np.int64)
    n_methylated = np.asarray(molecules["n_methylated"], dtype=np.int64)
    density = np.asarray(molecules["cpg_density"], dtype=np.float64)
    spans = np.maximum(np.rint(n_cpg / np.maximum(density, 1e-9)).astype(np.int64), 2 * n_cpg + 1)
    if len(spans) and spans.max() > 10_000_000:
        raise ValueError(f"a CpG density of {density.min():g} needs reads of {spans.max():,} bases; "
                         "draw the molecules with a higher lowest density edge")
    starts = np.concatenate(([_GAP], _GAP + np.cumsum(spans + _GAP)[:-1]))
    length = int(starts[-1] + spans[-1] + _GAP) if len(spans) else _GAP
    genome = bytearray(b"A" * length)
    path = Path(path)
    header = pysam.AlignmentHeader.from_dict({"HD": {"VN": "1.6", "SO": "coordinate"},
                                              "SQ": [{"SN": contig, "LN": length}]})
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for i in range(len(n_cpg)):
            n, span, start = int(n_cpg[i]), int(spans[i]), int(starts[i])
            sites = (np.arange(n) * (span - 2)) // max(n - 1, 1) if n > 1 else np.zeros(n, dtype=np.int64)
            seq = bytearray(b"T" * span)
            for s in sites.tolist():
                seq[s:s + 2] = b"CG"
            genome[start:start + span] = seq
            calls = np.full(n, LOW, dtype=np.uint8)
            calls[rng.choice(n, size=int(n_methylated[i]), replace=False)] = HIGH
            reverse = reverse_every > 0 and i % reverse_every == reverse_every - 1
            record = pysam.AlignedSegment(header)
            record.query_name = f"m{i}"
            record.flag = 16 if reverse else 0
            record.reference_id = 0
            record.reference_start = start
            record.mapping_quality = 60
            record.cigartuples = [(0, span)]
            record.query_sequence = seq.decode("ascii")
            # Calls follow the read as sequenced: a reverse read's C bases are the stored G bases, last first.
            record.set_tag("MM", "C+m?" + ",0" * n + ";")
            record.set_tag("ML", array("B", (calls[::-1] if reverse else calls).tobytes()))
            out.write(record)
    pysam.index(str(path))
    if reference is not None:
        Path(reference).write_text(f">{contig}\n" + "\n".join(
            genome[i:i + 60].decode("ascii") for i in range(0, length, 60)) + "\n")
    return path
