"""From molecules to counts: the binned data every fit takes.

- :mod:`~velkora.counts.binned`: :class:`BinnedData` (counts per density bin
  and methylation bin, with the read-depth histograms) and :class:`DriftData`;
- :mod:`~velkora.counts.edges`: explicit and equal-count bin edges;
- :mod:`~velkora.counts.molecules`: per-molecule tables and their binning.
"""

from .binned import BinnedData, DriftData
from .molecules import (AGE, CALLED, DENSITY, LEVEL, METHYLATED, TOTAL, bin_molecules, bin_molecules_by_age,
                        read_molecules)

__all__ = ["BinnedData", "DriftData", "bin_molecules", "bin_molecules_by_age", "read_molecules", "AGE", "CALLED",
           "DENSITY", "LEVEL", "METHYLATED", "TOTAL"]
