"""Count files: the counts of an input, kept so that an expensive read is done once.

A count file is a Parquet table with one row per (stratum, density bin,
methylation level, read depth) and its number of molecules, and in its
metadata (key ``velkora_counts``) the density edges of every stratum, the
methylation edges it was counted with, whether the input gave read depths,
and its provenance: the input's path and SHA-256, every option, the reads'
report (records, drops) and the version of velkora that wrote it.

Density edges are fixed when counting; methylation edges are not: the
levels are kept exactly (molecules of more than 70 called sites by their
exact level, at depth 70 as the fits take them), so any methylation edges
can be applied to a count file. The exception is an input with more
distinct levels than a count keeps exactly (a table of continuous levels
without counts, say; see :mod:`velkora.counts.counting`): its levels were
binned by the methylation edges it was counted with (``levels_by`` in the
metadata), and only edges among those can be applied. A file written by
another version of velkora, or asked for other density edges, is refused.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

import numpy as np

from .._errors import InputError
from .._optional import require
from .binned import BinnedData, Strata
from .edges import meth_edges_among
from .histogram import Histogram
from .molecules import finish_binned

KEY = b"velkora_counts"
FORMAT = 1


def _version() -> str:
    from .. import __version__  # noqa: PLC0415

    return __version__


def is_count_file(path) -> bool:
    """Whether `path` is a count file of ``velkora count`` (by its metadata)."""
    if not isinstance(path, (str, os.PathLike)) or Path(path).suffix.lower() not in (".parquet", ".pq"):
        return False
    if not Path(path).is_file():
        return False
    pq = require("pyarrow.parquet")
    try:
        metadata = pq.read_schema(str(path)).metadata or {}
    except (OSError, ValueError):
        return False
    return KEY in metadata


def write_counts(data, path, provenance: dict) -> Path:
    """Writes counted data (a BinnedData or a Strata from :func:`velkora.count`)
    with its provenance to a count file, atomically (a temporary name, then
    renamed)."""
    pa = require("pyarrow")
    pq = require("pyarrow.parquet")
    path = Path(path)
    if path.suffix.lower() not in (".parquet", ".pq"):
        raise InputError(f"{path}: a count file is written as Parquet (.parquet or .pq)")
    strata = data if isinstance(data, dict) else {"all": data}
    columns = {"stratum": [], "density_bin": [], "level": [], "depth": [], "count": []}
    edges = {}
    for name, binned in strata.items():
        histogram = binned.histogram
        if histogram is None:
            raise InputError("only counted data (velkora.count) keep the levels a count file holds")
        columns["stratum"].append(np.full(len(histogram), name, dtype=object))
        columns["density_bin"].append(histogram.density.astype(np.int64))
        columns["level"].append(histogram.level)
        columns["depth"].append(histogram.depth)
        columns["count"].append(histogram.count)
        edges[name] = [float(e) for e in binned.density_edges]
    first = next(iter(strata.values()))
    table = pa.table({name: pa.array(np.concatenate(parts)) for name, parts in columns.items()})
    meta = {"format": FORMAT, "velkora_version": _version(), "strata": None if not isinstance(data, dict)
            else list(strata), "density_edges": edges, "meth_edges": [float(e) for e in first.meth_edges],
            "has_depths": first.depth_counts is not None, "provenance": provenance,
            "levels_by": None if first.levels_by is None else [float(e) for e in first.levels_by]}
    table = table.replace_schema_metadata({KEY: json.dumps(meta, allow_nan=False, default=str).encode()})
    path.parent.mkdir(parents=True, exist_ok=True)
    staged = path.with_name(f".{path.name}.{os.getpid()}.part")
    try:
        pq.write_table(table, staged)
        os.replace(staged, path)
    finally:
        staged.unlink(missing_ok=True)
    return path


def read_meta(path) -> dict:
    """The metadata of a count file, its version checked."""
    pq = require("pyarrow.parquet")
    try:
        metadata = pq.read_schema(str(path)).metadata or {}
    except (OSError, ValueError) as error:
        raise InputError(f"cannot read {path}: {error}") from None
    if KEY not in metadata:
        raise InputError(f"{path}: not a count file of `velkora count`")
    meta = json.loads(metadata[KEY])
    if meta.get("format") != FORMAT or meta.get("velkora_version") != _version():
        raise InputError(f"{path} was counted by velkora {meta.get('velkora_version')}, this is {_version()}: "
                         "count the input again (`velkora count`)")
    return meta


def read_counts(path, meth_edges=None, *, stratum: str | None = None, density_edges=None):
    """The binned data of a count file.

    Parameters
    ----------
    path : str or path
        A count file of ``velkora count``.
    meth_edges : array_like or int, optional
        Methylation edges to bin the molecules by (default: those it was
        counted with); any edges work, the levels are kept exactly (except
        in a file whose levels were binned: edges among its own).
    stratum : str, optional
        One stratum of a stratified count file (default: all of them).
    density_edges : optional
        Only to check: density edges are fixed when counting, and other ones
        are refused.

    Returns
    -------
    BinnedData or Strata
        As :func:`velkora.count` returned them.

    Raises
    ------
    InputError
        For a file that is no count file, one from another version, another
        density binning, an unknown stratum or bad methylation edges.
    """
    pq = require("pyarrow.parquet")
    meta = read_meta(path)
    edges = {name: np.asarray(values, dtype=np.float64) for name, values in meta["density_edges"].items()}
    if density_edges is not None and not _same_density_edges(density_edges, edges, meta):
        raise InputError(f"{path}: its density edges were fixed when it was counted "
                         f"({meta['provenance'].get('density_edges')!r}); count the input again for others")
    levels_by = None if meta.get("levels_by") is None else np.asarray(meta["levels_by"], dtype=np.float64)
    try:
        meth = meth_edges_among(levels_by, meta["meth_edges"] if meth_edges is None else meth_edges)
    except InputError as error:
        raise InputError(f"{path}: {error}") from None
    table = pq.read_table(str(path)).to_pandas()
    names = list(edges) if meta["strata"] else ["all"]
    if stratum is not None:
        if not meta["strata"] or stratum not in names:
            known = ", ".join(names) if meta["strata"] else "none (the file has no strata)"
            raise InputError(f"{path}: no stratum {stratum!r}; its strata: {known}")
        names = [stratum]
    out = Strata()
    for name in names:
        rows = table[table["stratum"] == name]
        histogram = Histogram(np.zeros(len(rows), dtype=np.int64), rows["density_bin"].to_numpy(np.float64),
                              rows["level"].to_numpy(np.float64), rows["depth"].to_numpy(np.int64),
                              rows["count"].to_numpy(np.int64))
        counts, depths, n_outside = histogram.binned(len(edges[name]) - 1, meth, meta["has_depths"])
        label = f"{path}" + (f": stratum {name}" if meta["strata"] else "")
        data = finish_binned(counts, depths, edges[name], meth, n_outside, histogram.molecules, {"path": label},
                             histogram=histogram, provenance={**meta["provenance"], "count_file": str(path)},
                             levels_by=levels_by)
        out[name] = data
    if not meta["strata"]:
        return out["all"]
    return out if stratum is None else out[stratum]


def _same_density_edges(given, edges: dict, meta: dict) -> bool:
    recorded = meta["provenance"].get("density_edges")
    if isinstance(given, (int, np.integer)) and not isinstance(given, bool):
        return recorded == int(given)
    first = next(iter(edges.values()))
    given = np.asarray(given, dtype=np.float64)
    return given.shape == first.shape and np.array_equal(given, first)


__all__ = ["is_count_file", "read_counts", "write_counts", "BinnedData"]
