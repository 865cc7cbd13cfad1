"""The counting front door: :func:`count` of any input, a design or a count file."""

from __future__ import annotations

from typing import Callable

import numpy as np

from .. import _checks
from .._errors import InputError
from .._optional import require
from . import edges as _edges
from .counting import (EDGES_OVER, Columns, binned_of, count_histogram, reads_summary, resolve, strata_of,
                       with_provenance)
from .design import Design, count_design
from .files import is_count_file, read_counts
from .molecules import DENSITY, LEVEL, METHYLATED, TOTAL


def count(source, density_edges, meth_edges=20, *, strata=None, edges_over: str = "all", threads: int = 1,
          client=None, progress: Callable[[int, int], None] | None = None, density: str = DENSITY,
          level: str = LEVEL, methylated: str = METHYLATED, total: str = TOTAL, depth: str | None = None,
          **read_options):
    """Counts any input into binned data, without holding its molecules.

    Parameters
    ----------
    source : path, pandas.DataFrame or Design
        Reads (a BAM, CRAM or SAM file; a modkit ``extract`` or Bismark
        ``CpG_context`` table), a molecule table (CSV, TSV or Parquet file,
        or a DataFrame), a count file of ``velkora count``, or a design
        (:func:`velkora.read_design`): every sample counted with one set of
        edges into binned data with a sample axis (``data.samples``,
        ``data.select(group=...)``); equal-count edges are then the quantiles
        of all samples' molecules pooled.
    density_edges : array_like or int
        Ascending density edges, or k for k equal-count bins (exact quantiles
        of all the molecules' densities, over all strata unless `edges_over`
        says otherwise).
    meth_edges : array_like or int, optional
        Methylation edges within 0 .. 1, or n equal bins (default 20).
    strata : path or sequence of paths, optional
        BED files with a name column: the molecules are counted per stratum
        (the region holding their midpoint; see :mod:`velkora.counts.strata`).
    edges_over : {"all", "stratum"}, optional
        With equal-count density bins and strata: edges from all molecules
        (default, one density scale for every stratum) or per stratum.
    threads : int, optional
        Worker processes over the regions of an indexed BAM or the row groups
        of a Parquet table (default 1).
    client : distributed.Client, optional
        Counts the pieces as Dask tasks instead.
    progress : callable, optional
        ``progress(done, total)`` per piece; for a design, ``total`` is 1000
        times the samples and ``done`` counts thousandths of a sample. An
        input counted a second time (equal-count edges past the budget of
        distinct keys; see :mod:`velkora.counts.counting`) starts over from 0.
    density, level, methylated, total, depth : str, optional
        The columns of a molecule table, as in :func:`velkora.bin_molecules`.
    **read_options
        The read options of :func:`velkora.read_bam` and
        :func:`velkora.read_calls` (``window_cpgs``, ``reference``,
        ``min_cpg``, ``min_mapq``, ``threshold``, ``strict``, ...), for reads.

    Returns
    -------
    BinnedData or Strata
        The binned data, the same bit for bit as
        ``bin_molecules(read_bam(source, ...), density_edges, meth_edges)``
        whatever `threads`, `client` or the way the input is split; with
        `strata` a :class:`Strata` of one BinnedData per stratum. The data
        keep the molecules' exact levels (``with_meth_edges`` bins them
        anew) and their provenance.

    Raises
    ------
    InputError
        For a bad input, option, edge or BED file, naming the file, line or
        field; for an input without molecules.

    Examples
    --------
    >>> data = vk.count("reads.bam", density_edges=5, threads=4, window_cpgs=70)  # doctest: +SKIP
    >>> data.with_meth_edges(10).fractions.shape  # doctest: +SKIP
    (5, 10)
    """
    _checks.choice(edges_over, "edges_over", EDGES_OVER)
    threads = _checks.count(threads, "threads", 1)
    _checks.callable_or_none(progress, "progress")
    _checks.dask_client(client)
    _edges.meth_edges(meth_edges)
    pd = require("pandas")
    columns = Columns(density, level, methylated, total, depth)
    if isinstance(source, Design):
        return count_design(source, density_edges, meth_edges, strata=strata, edges_over=edges_over,
                            threads=threads, client=client, progress=progress, columns=columns, **read_options)
    if not isinstance(source, pd.DataFrame) and is_count_file(source):
        if strata is not None or read_options:
            raise InputError(f"{source} is a count file: its strata and read options were fixed when it was "
                             "counted; give only methylation edges")
        return read_counts(source, meth_edges, density_edges=density_edges)
    counted = count_histogram(source, density_edges, meth_edges=meth_edges, strata=strata, columns=columns,
                              threads=threads, client=client, progress=progress, **read_options)
    name = None if isinstance(source, pd.DataFrame) else str(source)
    if counted.histogram.molecules == 0:
        where = name + ": " if name else ""
        if counted.report is None:
            raise InputError(f"{where}the molecule table holds no molecules (no data rows)")
        raise InputError(f"{where}no molecules to count ({reads_summary(counted.report)})")
    provenance = {"input": name, "density_edges": density_edges if isinstance(density_edges, int)
                  else list(map(float, np.asarray(density_edges))), "strata": None if counted.strata is None
                  else list(counted.strata.sources), "edges_over": edges_over, "read_options": dict(read_options),
                  "reads": counted.report}
    def recount(edges):
        return count_histogram(source, edges, meth_edges=meth_edges, strata=counted.strata, columns=columns,
                               threads=threads, client=client, progress=progress, **read_options)

    if counted.strata is None:
        counted, coarse = resolve(counted, density_edges, {None: [0]}, recount, density)
        data = binned_of(counted, coarse[None], meth_edges, source_name=name)
        return with_provenance(data, provenance)
    return strata_of(counted, density_edges, meth_edges, edges_over, name, density, provenance, recount)
