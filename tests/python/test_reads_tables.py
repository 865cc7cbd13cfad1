"""Call tables to molecules, and the command line from reads: velkora molecules, velkora fit on a BAM."""

import gzip

import numpy as np
import pytest

pytest.importorskip("pysam", reason="reading BAM files needs pysam: pip install 'velkora[reads]'")
pd = pytest.importorskip("pandas")

import velkora  # noqa: E402
from reads_helpers import extract_table, modified_bam_of, record, write_bam  # noqa: E402
from velkora import InputError, cli  # noqa: E402
from velkora.reads import load_molecules, regions, write_molecules  # noqa: E402
from velkora.reads.synthetic import write_synthetic_bam  # noqa: E402

MODKIT_HEADER = ("read_id\tforward_read_position\tref_position\tchrom\tmod_strand\tref_strand\tref_mod_strand\t"
                 "read_length\tmod_qual\tmod_code\tref_kmer\n")


def modkit_table(path, rows):
    lines = [f"{r}\t0\t{pos}\tchr1\t+\t{strand}\t{strand}\t100\t{p}\t{code}\t{kmer}\n"
             for r, pos, strand, p, code, kmer in rows]
    path.write_text(MODKIT_HEADER + "".join(lines))
    return path


MODKIT_ROWS = [
    ("a", 20, "+", 0.3, "m", "TACGT"), ("a", 20, "+", 0.4, "h", "TACGT"),  # 0.7 with 5hmC
    ("a", 10, "+", 0.9, "m", "AACGA"), ("a", 10, "+", 0.05, "h", "AACGA"),
    ("a", 25, "+", 0.9, "m", "AACAA"),  # not a CpG
    ("a", -1, "+", 0.9, "m", "."),  # no reference position
    ("b", 51, "-", 0.1, "m", "TCGAA"), ("b", 41, "-", 0.6, "m", "ACGTT"),  # the C of the bottom strand
]


@pytest.mark.parametrize("include_hmc, methylated_a", [(False, 1), (True, 2)])
def test_modkit_extract_table(tmp_path, include_hmc, methylated_a):
    table = velkora.read_calls(modkit_table(tmp_path / "calls.tsv", MODKIT_ROWS), include_hmc=include_hmc)
    assert table[["read_id", "start", "end", "strand", "n_cpg", "n_called", "n_methylated"]].values.tolist() == [
        ["a", 10, 22, "+", 2, 2, methylated_a], ["b", 40, 52, "-", 2, 2, 1]]
    assert table.attrs["dropped"] == {"not_cpg": 1} and table.attrs["records"] == 2


def test_modkit_calls_table_takes_the_calls_as_made(tmp_path):
    path = tmp_path / "calls.tsv"
    path.write_text("read_id\tref_position\tchrom\tref_strand\tcall_prob\tcall_code\tfail\n"
                    "r\t5\tchr1\t+\t0.9\tm\tfalse\nr\t9\tchr1\t+\t0.8\t-\tfalse\nr\t15\tchr1\t+\t0.55\tm\ttrue\n")
    table = velkora.read_calls(path, format="modkit")
    assert table[["start", "end", "n_cpg", "n_called", "n_methylated"]].values.tolist() == [[5, 17, 3, 2, 1]]


def extract_reads(seed=5, n=40):
    """Reads of a random genome with CpGs, both strands, soft clips and a few read-only CpGs (a C
    read where the genome has T), with calls on every C; and the genome."""
    rng = np.random.default_rng(seed)
    genome = "".join(rng.choice(list("ACGT"), size=2000, p=[0.3, 0.2, 0.2, 0.3]))
    reads = []
    for i in range(n):
        length, clip = int(rng.integers(8, 60)), int(rng.integers(0, 3))
        start = int(rng.integers(clip + 1, 1900))
        seq = list(genome[start - clip:start - clip + length])
        for at in np.flatnonzero(np.array(seq[:-1]) == "T")[:2]:
            if rng.random() < 0.3:
                seq[at:at + 2] = ["C", "G"]
        reverse = bool(i % 2)
        ml = {p: int(rng.integers(0, 256)) for p in range(length)}
        reads.append((f"r{i}", start, "".join(seq), reverse, clip, ml))
    return reads, genome


COUNTS = ["read_id", "strand", "n_cpg", "n_called", "n_methylated"]


@pytest.mark.parametrize("duplex", [False, True])
@pytest.mark.parametrize("calls", [False, True])
@pytest.mark.parametrize("chunk_size", [500_000, 7, 1])
def test_extract_tables_without_a_reference_read_like_their_bam(tmp_path, duplex, calls, chunk_size):
    # Without --ref the k-mers of the read give the CpG context, as the BAM reader takes it from the read.
    reads, genome = extract_reads()
    table = extract_table(tmp_path / "x.tsv", reads, genome, reference=False, duplex=duplex, calls=calls)
    got = velkora.read_calls(table, chunk_size=chunk_size)
    expected = velkora.read_bam(modified_bam_of(tmp_path / "x.bam", reads))
    expected = expected.set_index("read_id").loc[got["read_id"]].reset_index()  # the BAM is sorted by position
    assert len(got) > 20
    pd.testing.assert_frame_equal(got[COUNTS], expected[COUNTS])
    # The span runs from the first C to the last G of the called sites (one base beyond the alignment
    # when its first or last base is the other half of a CpG).
    assert (got["start"] >= expected["start"] - 1).all() and (got["end"] <= expected["end"] + 1).all()
    assert set(got.attrs["dropped"]) <= {"not_cpg", "other_strand", "no_calls"}
    assert ("other_strand" in got.attrs["dropped"]) == duplex


def test_extract_tables_with_a_reference_take_the_genome_context(tmp_path):
    genome = "A" * 10 + "TTCGTTTGTTCGTT" + "A" * 1976
    # Read CpGs at 12 and 16 (the genome has TG at 16), on both strands.
    reads = [("f", 10, "TTCGTTCGTTCGTT", False, 0, {2: 250, 6: 250, 10: 5}),
             ("b", 10, "TTCGTTCGTTCGTT", True, 0, {2: 250, 6: 250, 10: 5})]
    with_ref = velkora.read_calls(extract_table(tmp_path / "r.tsv", reads, genome, reference=True))
    without = velkora.read_calls(extract_table(tmp_path / "n.tsv", reads, genome, reference=False))
    assert with_ref[["read_id", "start", "end", "n_cpg", "n_methylated"]].values.tolist() == [
        ["f", 12, 22, 2, 1], ["b", 12, 22, 2, 1]]
    assert without[["read_id", "start", "end", "n_cpg", "n_methylated"]].values.tolist() == [
        ["f", 12, 22, 3, 2], ["b", 12, 22, 3, 2]]


def test_extract_tables_of_some_sites_only(tmp_path):
    # --include-bed style tables: rows at a few sites only; most reads and whole chunks have none
    # left once the non-CpG rows go.
    reads, genome = extract_reads(seed=6)
    sites = set(range(0, 2000, 37))
    table = extract_table(tmp_path / "s.tsv", reads, genome, reference=False, sites=sites)
    for chunk_size in (1, 3, 500_000):
        got = velkora.read_calls(table, chunk_size=chunk_size)
        assert got["n_cpg"].sum() <= len(sites) and got.attrs["records"] == len(got)
    only_others = tmp_path / "none.tsv"
    extract_table(only_others, [("z", 100, "TTTTCATTTT", False, 0, {})], "A" * 2000, reference=False)
    empty = velkora.read_calls(only_others)
    assert len(empty) == 0 and empty.attrs["dropped"] == {"not_cpg": 1}


@pytest.mark.parametrize("field, value, message", [
    ("ref_mod_strand", "x", r"line 2: field ref_mod_strand: expected \+ or -"),
    ("forward_read_position", "two", r"line 2: field forward_read_position: not an integer"),
    ("ref_position", "", r"line 2: field ref_position: missing"),
])
def test_malformed_extract_rows_name_the_line_and_field(tmp_path, field, value, message):
    reads = [("f", 10, "TTCGTTCGTT", False, 0, {})]
    path = extract_table(tmp_path / "bad.tsv", reads, "A" * 2000, reference=False)
    lines = path.read_text().splitlines()
    header = lines[0].split("\t")
    row = lines[1].split("\t")
    row[header.index(field)] = value
    path.write_text("\n".join([lines[0], "\t".join(row), *lines[2:]]) + "\n")
    with pytest.raises(InputError, match=message) as error:
        velkora.read_calls(path, strict=True)
    assert "bad.tsv" in str(error.value) and "\n" not in str(error.value)
    # By default the row is left out, counted and named; the read's other rows stay.
    table = velkora.read_calls(path)
    assert table.attrs["dropped"]["malformed_rows"] == 1 and table["n_cpg"].tolist() == [1]
    assert table.attrs["skipped_records"] == [{"read": "f", "field": field,
                                               "problem": f"line 2: {message.split(': ', 2)[2].replace(chr(92), '')} "
                                                          f"({value!r})"}]


def bismark_file(path, rows, version_line=True):
    text = ("Bismark methylation extractor version v0.24.2\n" if version_line else "") + "".join(
        "\t".join(map(str, row)) + "\n" for row in rows)
    with gzip.open(path, "wt") as handle:
        handle.write(text)
    return path


BISMARK_ROWS = [("r1", "+", "chr1", 101, "Z"), ("r1", "-", "chr1", 111, "z"), ("r1", "+", "chr1", 121, "Z"),
                ("r1", "+", "chr1", 111, "Z"),  # the second mate's call on an overlap: the first mate's wins
                ("r2", "-", "chr1", 201, "z")]


@pytest.mark.parametrize("name, strand, offset", [("CpG_OT_sample.txt.gz", "+", 1),
                                                  ("CpG_OB_sample.txt.gz", "-", 2),
                                                  ("CpG_context_sample.txt.gz", ".", 1)])
def test_bismark_cpg_context_file(tmp_path, name, strand, offset):
    table = velkora.read_calls(bismark_file(tmp_path / name, BISMARK_ROWS), chunk_size=2)
    assert table[["read_id", "start", "end", "strand", "n_cpg", "n_called", "n_methylated"]].values.tolist() == [
        ["r1", 101 - offset, 123 - offset, strand, 3, 3, 2], ["r2", 201 - offset, 203 - offset, strand, 1, 1, 0]]


@pytest.mark.parametrize("rows, message", [
    ([("r1", "+", "chr1", "1x1", "Z")], r"line 2: field position: not an integer .*'1x1'"),
    ([("r1", "+", "chr1", 101, "Z"), ("r1", "+", "chr1", 105, "X")], r"line 3: field call: expected Z or z"),
    ([("r1", "+", "chr1", 101, "Z"), ("r1", "+", "chr1", 101, "Z", "extra")], r"malformed table"),
    ([("r1", "+", "chr1", 101, "Z"), ("r2", "+", "chr1", 201, "Z"), ("r1", "+", "chr1", 301, "Z")],
     r"line 4: read 'r1' comes back"),
])
def test_malformed_call_table_rows_name_the_line_and_field(tmp_path, rows, message):
    path = bismark_file(tmp_path / "CpG_OT_bad.txt.gz", rows)
    with pytest.raises(InputError, match=message):
        velkora.read_calls(path, format="bismark", strict=True)


# ---------------------------------------------------------------- command line


@pytest.fixture(scope="module")
def reads_bam(tmp_path_factory):
    molecules = velkora.synthetic_molecules(molecules_per_density=150, seed=8)
    return write_synthetic_bam(molecules, tmp_path_factory.mktemp("reads") / "reads.bam", seed=9)


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_molecules_command_writes_the_table_and_its_report(reads_bam, tmp_path, capsys):
    out = tmp_path / "m.parquet"
    status, stdout, _ = run(capsys, "molecules", reads_bam, "--out", out, "--window-cpgs", "70", "--min-cpg", "5")
    assert status == 0 and f"{5 * 150:,} molecules from {5 * 150:,} records" in stdout
    written = pd.read_parquet(out)
    expected = velkora.read_bam(reads_bam, window_cpgs=70, min_cpg=5)
    pd.testing.assert_frame_equal(written, expected, check_dtype=False)
    assert written.attrs["settings"]["window_cpgs"] == 70 and written.attrs["dropped"] == {}
    assert velkora.read_molecules(out).attrs["molecules"] == 750
    assert [p.name for p in tmp_path.iterdir()] == ["m.parquet"]


def test_fit_reads_a_bam_directly(reads_bam, tmp_path, capsys):
    out = tmp_path / "fit"
    status, stdout, _ = run(capsys, "fit", reads_bam, "--density-bins", "2", "--meth-bins", "10", "--no-figures",
                            "--out", out)
    assert status == 0 and "750 molecules from 750 records" in stdout
    assert len(pd.read_csv(out / "fits.csv")) == 2


@pytest.mark.parametrize("make_input, extra, message", [
    (lambda p: (p.write_text("just text\n"), p)[1], (), "in.bam: not a BAM, CRAM or SAM file"),
    (lambda p: write_bam(p, lambda h: [record(h, "r", 10, "TTCG", tags=[("XM", "..Z.")])], index=False),
     ("--region", "chr1"), "needs an index"),
    (lambda p: (p.write_bytes(write_bam(p, lambda h: [record(h, "r", 10, "TTCG", tags=[("XM", "..Z.")])])
                              .read_bytes()[:-28]), p)[1], (), "in.bam: truncated BAM"),
])
def test_bad_input_exits_2_with_a_message_and_writes_nothing(tmp_path, capsys, make_input, extra, message):
    source = make_input(tmp_path / "in.bam")
    out = tmp_path / "out" / "m.parquet"
    status, _, stderr = run(capsys, "molecules", source, "--out", out, *extra)
    assert status == 2 and stderr.startswith("velkora: error:") and message in stderr.replace("\n", " ")
    assert "Traceback" not in stderr and not out.exists()
    assert not out.parent.exists() or not list(out.parent.iterdir())


def test_a_failure_or_ctrl_c_midway_leaves_no_partial_table(tmp_path, capsys, monkeypatch):
    def records(h):
        good = [record(h, f"g{i}", 20 * i, "TTCG", tags=[("MM", "C+m?,0;"), ("ML", [250])]) for i in range(1, 60)]
        return good + [record(h, "bad", 1500, "TTCG", tags=[("MM", "C+m?,3;"), ("ML", [250])])]

    source = write_bam(tmp_path / "late.bam", records)
    monkeypatch.setattr(regions, "_MIN_RECORDS", 10)
    monkeypatch.setattr(regions, "_TARGET_RECORDS", 10)
    out = tmp_path / "m.parquet"
    with pytest.raises(InputError, match="read 'bad'"):
        write_molecules(source, out, strict=True)
    assert [p.name for p in tmp_path.iterdir() if "m.parquet" in p.name] == []

    original = regions.run_regions

    def interrupted(*args, **kwargs):
        pieces = original(*args, **kwargs)
        yield next(pieces)
        raise KeyboardInterrupt

    monkeypatch.setattr(regions, "run_regions", interrupted)
    status, _, stderr = run(capsys, "molecules", source, "--out", out, "--quiet", "--region", "chr1:1-500")
    assert status == 130 and "Traceback" not in stderr
    assert [p.name for p in tmp_path.iterdir() if "m.parquet" in p.name] == []


def test_load_molecules_tells_reads_from_molecule_tables(reads_bam, tmp_path):
    table = tmp_path / "m.csv"
    table.write_text("cpg_density,meth_level\n0.1,0.5\n")
    assert load_molecules(table) is None
    bismark = bismark_file(tmp_path / "CpG_OT_x.txt", BISMARK_ROWS[:2], version_line=False)
    assert load_molecules(bismark)["n_cpg"].tolist() == [2]
    assert len(load_molecules(reads_bam, window_cpgs=35)) == 2 * 750
    np.testing.assert_array_equal(load_molecules(reads_bam, regions=["chrS"])["n_cpg"], 70)
