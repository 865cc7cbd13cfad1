"""The scan under every reader: blocks reduced where they are read, the same whatever runs them."""

import numpy as np
import pytest

pytest.importorskip("pysam", reason="reading BAM files needs pysam: pip install 'velkora[reads]'")
pd = pytest.importorskip("pandas")

import velkora  # noqa: E402
from reads_helpers import random_bisulfite_pairs, write_bam  # noqa: E402
from velkora import InputError  # noqa: E402
from velkora.parallel.pool import run_in_order  # noqa: E402
from velkora.reads import MoleculeBlock, cpg_density, meth_level, regions, scan  # noqa: E402
from velkora.reads.synthetic import write_synthetic_bam  # noqa: E402


class Histogram:
    """A counting reducer, as the counting layer's: molecules by called and methylated sites."""

    def __call__(self, block):
        assert isinstance(block, MoleculeBlock)
        return (np.bincount(block.n_called, minlength=80)[:80], np.bincount(block.n_methylated, minlength=80)[:80],
                block.read_id is None)


def totals(pieces):
    called, methylated, unnamed = np.zeros(80, dtype=np.int64), np.zeros(80, dtype=np.int64), set()
    for (c, m, u), _, _ in pieces:
        called += c
        methylated += m
        unnamed.add(u)
    return called, methylated, unnamed


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scan")
    molecules = velkora.synthetic_molecules(molecules_per_density=80, seed=5)
    modified = write_synthetic_bam(molecules, folder / "modified.bam", seed=6)
    rng = np.random.default_rng(9)
    bisulfite = write_bam(folder / "bisulfite.bam", lambda h: random_bisulfite_pairs(h, rng))
    return {"modified": modified, "bisulfite": bisulfite}


@pytest.mark.parametrize("kind", ["modified", "bisulfite"])
def test_counts_of_a_scan_are_those_of_the_table_whatever_runs_it(inputs, kind, monkeypatch):
    path = inputs[kind]
    table = velkora.read_bam(path, window_cpgs=4)
    expected = (np.bincount(table["n_called"], minlength=80)[:80],
                np.bincount(table["n_methylated"], minlength=80)[:80])
    monkeypatch.setattr(regions, "_MIN_RECORDS", 30)
    monkeypatch.setattr(regions, "_TARGET_RECORDS", 30)
    contigs = ["chrS"] if kind == "modified" else ["chr1", "chr2"]
    runs = [dict(threads=1), dict(threads=2), dict(regions=contigs)]
    for run in runs:
        pieces = scan(path, Histogram(), names=False, window_cpgs=4, **run)
        called, methylated, unnamed = totals(pieces)
        np.testing.assert_array_equal(called, expected[0])
        np.testing.assert_array_equal(methylated, expected[1])
        assert unnamed == {True}  # names=False: no read names in the blocks
        attrs = pieces.attrs()
        assert attrs["molecules"] == len(table) and attrs["dropped"] == table.attrs["dropped"]
        assert attrs["records"] == table.attrs["records"]


def test_a_dask_client_reduces_where_it_reads(inputs):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as client:
        on_dask = totals(scan(inputs["bisulfite"], Histogram(), client=client, names=False))
    here = totals(scan(inputs["bisulfite"], Histogram(), names=False))
    for a, b in zip(on_dask[:2], here[:2]):
        np.testing.assert_array_equal(a, b)


def test_the_derived_columns_have_one_definition(inputs):
    blocks = [value for value, _, _ in scan(inputs["modified"], lambda block: block, window_cpgs=7)]
    block = blocks[0]
    table = velkora.read_bam(inputs["modified"], window_cpgs=7)
    n = len(block)
    # Bit for bit: the table's columns are the functions of the block's.
    assert np.array_equal(table["cpg_density"].to_numpy()[:n], block.cpg_density)
    assert np.array_equal(table["meth_level"].to_numpy()[:n], block.meth_level)
    assert np.array_equal(cpg_density(block.n_cpg, block.start, block.end), block.cpg_density)
    # An empty span counts as one base, no call as one called site.
    assert cpg_density([3], [10], [10])[0] == 3.0 and meth_level([0], [0])[0] == 0.0


def test_call_tables_scan_chunk_by_chunk(tmp_path):
    path = tmp_path / "CpG_OT_x.txt"
    path.write_text("".join(f"r{i // 3}\t+\tchr1\t{100 + 10 * i}\t{'Z' if i % 2 else 'z'}\n" for i in range(30)))
    pieces = scan(path, lambda block: len(block), chunk_size=7)
    sizes = [value for value, _, _ in pieces]
    assert len(sizes) == 6 and sum(sizes) == 10 and pieces.attrs()["records"] == 10


def test_scan_refuses_bad_arguments_before_reading(tmp_path, inputs):
    with pytest.raises(TypeError, match="unexpected keyword argument 'window'"):
        scan(inputs["modified"], len, window=3)
    with pytest.raises(InputError, match="reduce must be callable"):
        scan(inputs["modified"], 3)
    with pytest.raises(InputError, match="threads must be a positive integer"):
        scan(inputs["modified"], len, threads=0)
    with pytest.raises(InputError, match="strict must be True or False"):
        scan(inputs["modified"], len, strict="yes")
    with pytest.raises(InputError, match="input file not found"):
        scan(tmp_path / "nothing.bam.txt", len)
    (tmp_path / "notes.txt").write_text("hello\n")
    with pytest.raises(InputError, match="not a BAM, CRAM or SAM file nor"):
        scan(tmp_path / "notes.txt", len)


def _square(x):
    return x * x


def _fail_on(x):
    if x == 3:
        raise ValueError("three")
    return x


@pytest.mark.parametrize("workers", [1, 2])
def test_pool_tasks_come_back_in_order_and_an_error_stops_the_run(workers):
    seen = []
    tasks = [(_square, i) for i in range(40)]
    assert list(run_in_order(tasks, workers=workers, progress=lambda done, total: seen.append(done))) == \
        [i * i for i in range(40)]
    assert seen == list(range(41))
    with pytest.raises(ValueError, match="three"):
        list(run_in_order([(_fail_on, i) for i in range(10)], workers=workers))
    # The pool kept after a failure is a fresh one, and works.
    assert list(run_in_order(tasks[:5], workers=workers)) == [0, 1, 4, 9, 16]
