"""From molecules to counts: the binned data every fit takes.

- :mod:`~velkora.counts.binned`: :class:`BinnedData` (counts per density bin
  and methylation bin, with the read-depth histograms), :class:`DriftData`
  and :class:`Strata`;
- :mod:`~velkora.counts.edges`: explicit and equal-count bin edges;
- :mod:`~velkora.counts.molecules`: per-molecule tables and their binning;
- :mod:`~velkora.counts.histogram`: molecules by (cell, density, level,
  depth), the additive form in which inputs are counted;
- :mod:`~velkora.counts.front`: :func:`count`, any input counted piece by
  piece where it is read (:mod:`~velkora.counts.counting`), a design
  (:mod:`~velkora.counts.design`) sample by sample;
- :mod:`~velkora.counts.strata`: strata from BED files;
- :mod:`~velkora.counts.files`: count files (:func:`read_counts`).
"""

from .binned import BinnedData, DriftData, Strata
from .design import Design, read_design
from .front import count
from .files import read_counts, write_counts
from .molecules import (AGE, CALLED, DENSITY, LEVEL, METHYLATED, TOTAL, bin_molecules, bin_molecules_by_age,
                        read_molecules)

__all__ = ["BinnedData", "DriftData", "Design", "Strata", "read_design", "bin_molecules", "bin_molecules_by_age",
           "count", "read_counts",
           "read_molecules", "write_counts", "AGE", "CALLED", "DENSITY", "LEVEL", "METHYLATED", "TOTAL"]
