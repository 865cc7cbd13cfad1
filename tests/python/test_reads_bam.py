"""Modified-base and bisulfite BAMs to molecules: hand-counted reads, pairs, filters, regions, bad files."""

import os
import signal
import subprocess
import sys
import textwrap
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("pysam", reason="reading BAM files needs pysam: pip install 'velkora[reads]'")
pd = pytest.importorskip("pandas")

import velkora  # noqa: E402
from reads_helpers import (random_bisulfite_pairs, record, stretch_cigar, truncate_in_the_middle,  # noqa: E402
                           write_bam)
from velkora import InputError  # noqa: E402
from velkora.reads import _assemble as assemble_module  # noqa: E402
from velkora.reads import _bisulfite as bisulfite_module  # noqa: E402
from velkora.reads import bam as bam_module  # noqa: E402
from velkora.reads import regions as region_module  # noqa: E402
from velkora.reads import write_molecules  # noqa: E402
from velkora.reads._table import Options  # noqa: E402
from velkora.reads.synthetic import write_synthetic_bam  # noqa: E402

# C bases (all in CpGs) at query 0, 4, 8, 12; the first is soft-clipped, so the
# aligned CpGs sit at reference 102, 106, 110 for a read placed at 100.
SEQ = "CGTTCGAACGTTCG"


def one_read_bam(tmp_path, tags, *, seq=SEQ, cigar="2S12M", flag=0, name="r1"):
    return write_bam(tmp_path / "one.bam",
                     lambda h: [record(h, name, 100, seq, cigar=cigar, flag=flag, tags=tags)])


def counts(table):
    return table[["start", "end", "strand", "n_cpg", "n_called", "n_methylated"]].values.tolist()


@pytest.mark.parametrize("mm, ml, expected", [
    # '?': the skipped third C (query 8) is a no-call; the soft-clipped first C does not count.
    ("C+m?,0,0,1;", [200, 100, 128], (3, 2, 1)),
    # '.' and no flag: skipped C bases are unmodified calls.
    ("C+m.,0,0,1;", [200, 100, 128], (3, 3, 1)),
    ("C+m,0,0,1;", [200, 100, 128], (3, 3, 1)),
    # 127 stands for 127.5 / 256 < 0.5: unmethylated; 128 is the first methylated value.
    ("C+m?,0,0,1;", [200, 100, 127], (3, 2, 0)),
    ("C+m?,1,0,0;", [255, 255, 255], (3, 3, 3)),
])
def test_forward_read_calls_follow_the_mode_flags_and_the_threshold(tmp_path, mm, ml, expected):
    table = velkora.read_bam(one_read_bam(tmp_path, [("MM", mm), ("ML", ml)]))
    assert counts(table) == [[100, 112, "+", *expected]]
    n_cpg, n_called, n_methylated = expected
    assert table["meth_level"][0] == n_methylated / n_called and table["cpg_density"][0] == n_cpg / 12


def test_legacy_tag_names_read_as_the_current_ones(tmp_path):
    table = velkora.read_bam(one_read_bam(tmp_path, [("Mm", "C+m?,0,0,1;"), ("Ml", [200, 100, 128])]))
    assert counts(table) == [[100, 112, "+", 3, 2, 1]]


@pytest.mark.parametrize("threshold, methylated", [(0.3, 2), (0.5, 1), (0.9, 0)])
def test_threshold_is_on_the_probability(tmp_path, threshold, methylated):
    # Probabilities (N + 0.5) / 256: 0.393 and 0.783.
    table = velkora.read_bam(one_read_bam(tmp_path, [("MM", "C+m?,1,0;"), ("ML", [100, 200])]),
                             threshold=threshold)
    assert table["n_methylated"].tolist() == [methylated]


def test_reverse_read_calls_count_from_the_end_on_the_stored_g_bases(tmp_path):
    # Stored CGTTCGAACG on the reverse strand: the read's C bases are the stored G bases at
    # query 9, 5, 1 (in that order). Skips 0,1 call query 9 (ML 5) and query 1 (ML 250).
    path = one_read_bam(tmp_path, [("MM", "C+m?,0,1;"), ("ML", [5, 250])], seq="CGTTCGAACG", cigar="10M", flag=16)
    table = velkora.read_bam(path, window_cpgs=1)
    # One window per CpG, known by its C: 100 (methylated), 104 (no call: dropped), 108 (unmethylated).
    assert counts(table) == [[100, 102, "-", 1, 1, 1], [108, 110, "-", 1, 1, 0]]
    assert table.attrs["dropped"] == {"no_calls": 1}


@pytest.mark.parametrize("tags", [
    [("MM", "C+m?,0,0;C+h?,0,0;"), ("ML", [100, 60, 40, 10])],
    [("MM", "C+mh?,0,0;"), ("ML", [100, 40, 60, 10])],  # one entry, values interleaved per base
])
@pytest.mark.parametrize("include_hmc, methylated", [(False, 0), (True, 1)])
def test_hydroxymethylation_adds_to_the_5mc_probability_on_request(tmp_path, tags, include_hmc, methylated):
    # First CpG: 5mC 0.393 + 5hmC 0.158 = 0.551; second: 0.236 + 0.041.
    path = one_read_bam(tmp_path, tags, seq="TTCGTTCGTT", cigar="10M")
    table = velkora.read_bam(path, include_hmc=include_hmc)
    assert counts(table) == [[100, 110, "+", 2, 2, methylated]]


@pytest.mark.parametrize("tags", [[("MM", ""), ("ML", [])], [("MM", "C+h?,0;"), ("ML", [250])], []])
def test_reads_without_5mc_entries_have_no_calls(tmp_path, tags):
    def records(h):
        return [record(h, "tagged", 10, "TTCGTT", tags=[("MM", "C+m?,0;"), ("ML", [250])]),
                record(h, "bare", 50, "TTCGTT", tags=tags)]

    table = velkora.read_bam(write_bam(tmp_path / "x.bam", records))
    assert table["read_id"].tolist() == ["tagged"]
    assert table.attrs["dropped"] == {"no_calls": 1} and table.attrs["records"] == 2


def test_insertions_carry_no_calls_and_deletions_shift_the_span(tmp_path):
    # TTCG | CG inserted | TTCGAA with a 3-base deletion: CpGs at query 2 (ref 102), 4 (insertion), 8 (ref 107).
    path = one_read_bam(tmp_path, [("MM", "C+m?,0,0,0;"), ("ML", [250, 250, 10])], seq="TTCGCGTTCGAA",
                        cigar="4M2I2M3D4M")
    assert counts(velkora.read_bam(path)) == [[100, 113, "+", 2, 2, 1]]


def bisulfite_pair(h, *, first_at=100, second_at=104, chrom="chr1", second_chrom="chr1"):
    # Top-strand pair; read1 covers 100..111, read2 104..115. Read1 calls CpGs at 102 (Z),
    # 106 (Z) and 110 (z); read2 sees 106 (z: read1 wins), 110 (Z: read1 wins) and 114 (Z).
    first = record(h, "p1", first_at, "TTCGTTCGTTCG", flag=0x1 | 0x2 | 0x20 | 0x40, chrom=chrom,
                   mate=(second_chrom, second_at), tags=[("XM", "..Z...Z...z."), ("XG", "CT")])
    second = record(h, "p1", second_at, "TTCGTTCGTTCG", flag=0x1 | 0x2 | 0x10 | 0x80, chrom=second_chrom,
                    mate=(chrom, first_at), tags=[("XM", "..z...Z...Z."), ("XG", "CT")])
    return [first, second]


def test_overlapping_bisulfite_mates_are_one_molecule_and_the_first_mate_wins(tmp_path):
    table = velkora.read_bam(write_bam(tmp_path / "pair.bam", bisulfite_pair))
    assert table["read_id"].tolist() == ["p1"]
    assert counts(table) == [[100, 116, "+", 4, 4, 3]]


@pytest.mark.parametrize("first_at, second_at, second_chrom", [
    (100, 1500, "chr1"), (1500, 100, "chr1"), (100, 300, "chr2")])
def test_a_pair_split_by_region_boundaries_counts_once(tmp_path, first_at, second_at, second_chrom):
    def records(h):
        pair = bisulfite_pair(h, first_at=first_at, second_at=second_at, second_chrom=second_chrom)
        return pair + [record(h, f"s{i}", 50 * i, "TTCGTT", tags=[("XM", "..Z..."), ("XG", "CT")])
                       for i in range(1, 39)]

    path = write_bam(tmp_path / "split.bam", records)
    whole = velkora.read_bam(path)
    assert (whole["read_id"] == "p1").sum() == 1 and whole.loc[whole["read_id"] == "p1", "n_cpg"].item() == 6
    pieces = velkora.read_bam(path, regions=["chr1:1-1000", "chr1:1001-2000", "chr2"])
    pd.testing.assert_frame_equal(pieces, whole)


def test_bottom_strand_bisulfite_calls_sit_on_the_g(tmp_path):
    # XG GA: calls on the stored G bases (query 3 and 7), so the sites are 102 and 106 as on the top strand.
    def records(h):
        return [record(h, "b", 100, "TTCGTTCGTT", flag=16, tags=[("XM", "...Z...z.."), ("XG", "GA")])]

    table = velkora.read_bam(write_bam(tmp_path / "b.bam", records), window_cpgs=1)
    assert counts(table) == [[102, 104, "-", 1, 1, 1], [106, 108, "-", 1, 1, 0]]


FILTERED = [(0x4, "unmapped"), (0x100, "secondary"), (0x800, "supplementary"), (0x200, "qc_fail"),
            (0x400, "duplicate")]


@pytest.mark.parametrize("flag, reason", FILTERED)
def test_filtered_records_are_counted_by_reason(tmp_path, flag, reason):
    def records(h):
        return [record(h, "kept", 10, "TTCGTT", tags=[("MM", "C+m?,0;"), ("ML", [250])]),
                record(h, "dropped", 50, "TTCGTT", flag=flag, tags=[("MM", "C+m?,0;"), ("ML", [250])])]

    path = write_bam(tmp_path / "f.bam", records)
    table = velkora.read_bam(path)
    assert table["read_id"].tolist() == ["kept"] and table.attrs["dropped"] == {reason: 1}
    if reason in ("qc_fail", "duplicate", "secondary"):
        keep = {"qc_fail": "keep_qcfail", "duplicate": "keep_duplicates", "secondary": "keep_secondary"}[reason]
        assert velkora.read_bam(path, **{keep: True})["read_id"].tolist() == ["kept", "dropped"]


def test_min_mapq_and_min_cpg(tmp_path):
    def records(h):
        return [record(h, "low", 10, "TTCGTTCGTT", mapq=5, tags=[("MM", "C+m?,0,0;"), ("ML", [250, 250])]),
                record(h, "one", 30, "TTCGTTCGTT", tags=[("MM", "C+m?,1;"), ("ML", [250])]),
                record(h, "two", 50, "TTCGTTCGTT", tags=[("MM", "C+m?,0,0;"), ("ML", [250, 5])])]

    path = write_bam(tmp_path / "q.bam", records)
    table = velkora.read_bam(path, min_mapq=10, min_cpg=2)
    assert table["read_id"].tolist() == ["two"]
    assert table.attrs["dropped"] == {"low_mapq": 1, "too_few_calls": 1}


def test_reference_gives_the_genome_context(tmp_path):
    # The read carries TG where the genome has CG (at 104): a site without a call there.
    fasta = tmp_path / "ref.fa"
    fasta.write_text(">chr1\n" + "A" * 100 + "TTCGTCGTTCGA" + "A" * 1888 + "\n>chr2\n" + "A" * 2000 + "\n")
    path = one_read_bam(tmp_path, [("MM", "C+m?,0,0;"), ("ML", [250, 250])], seq="TTCGTTGTTCGA", cigar="12M")
    assert counts(velkora.read_bam(path)) == [[100, 112, "+", 2, 2, 2]]
    assert counts(velkora.read_bam(path, reference=str(fasta))) == [[100, 112, "+", 3, 2, 2]]
    fasta.write_text(">chrX\nACGT\n")
    (tmp_path / "ref.fa.fai").unlink()
    with pytest.raises(InputError, match=r"no contig 'chr1'.*read 'r1'"):
        velkora.read_bam(path, reference=str(fasta))


@pytest.mark.parametrize("tags, message", [
    ([("MM", "C+m?,0,0;"), ("ML", [250])], r"read 'r1'.*MM/ML disagree"),
    ([("MM", "C+m?,0,9;"), ("ML", [250, 250])], r"read 'r1'.*field MM: calls C number 11"),
    ([("MM", "C+m?,0,x;"), ("ML", [250, 250])], r"read 'r1'.*field MM"),
    ([("MM", "Q?,0;"), ("ML", [250])], r"read 'r1'.*field MM: malformed"),
])
def test_malformed_modification_tags_name_the_file_read_and_field(tmp_path, tags, message):
    path = one_read_bam(tmp_path, [("XX", "x")] + tags)
    with pytest.raises(InputError, match=message) as error:
        velkora.read_bam(path, strict=True)
    assert "one.bam" in str(error.value)
    # By default the record is left out, counted and named.
    table = velkora.read_bam(path)
    assert len(table) == 0 and table.attrs["dropped"] == {"malformed_tags": 1}
    (skipped,) = table.attrs["skipped_records"]
    assert skipped["read"] == "r1" and skipped["field"] in ("MM", "MM/ML")
    assert skipped["problem"] in str(error.value)


def good_and_bad_reads(h, kind, bad):
    """Sixty good reads on both contigs and the reads named in `bad` among them, each spoilt as
    `kind` says: ML shorter than MM implies, XM shorter than the read, or (after writing) a CIGAR
    longer than the sequence."""
    records = []
    for i in range(60):
        name = f"bad{i}" if i in bad else f"g{i}"
        chrom, start = ("chr1", 30 * i) if i < 40 else ("chr2", 30 * (i - 40))
        if kind == "ML":
            tags = [("MM", "C+m?,0,0;"), ("ML", [250] if i in bad else [250, 5])]
        else:
            xm = "..Z...z..." if i not in bad or kind != "XM" else "..Z"
            tags = [("XM", xm), ("XG", "CT")]
        records.append(record(h, name, start, "TTCGTTCGTT", chrom=chrom, tags=tags))
    return records


@pytest.mark.parametrize("kind, field, reason", [("ML", "MM/ML", "malformed_tags"), ("XM", "XM", "malformed_tags"),
                                                 ("CIGAR", "CIGAR", "malformed_cigar")])
@pytest.mark.parametrize("bad", [(7,), (3, 41, 59)])
def test_a_malformed_record_is_skipped_and_named_unless_strict(tmp_path, monkeypatch, kind, field, reason, bad):
    path = write_bam(tmp_path / "mixed.bam", lambda h: good_and_bad_reads(h, kind, bad), level=0)
    for i in bad:
        if kind == "CIGAR":
            stretch_cigar(path, f"bad{i}", 14)
    clean = write_bam(tmp_path / "clean.bam", lambda h: [r for r in good_and_bad_reads(h, kind, ())
                                                         if int(r.query_name[1:]) not in bad])
    expected = velkora.read_bam(clean)
    table = velkora.read_bam(path)
    pd.testing.assert_frame_equal(table, expected)
    assert table.attrs["dropped"] == {reason: len(bad)} and table.attrs["records"] == 60
    skipped = table.attrs["skipped_records"]
    assert [s["read"] for s in skipped] == [f"bad{i}" for i in bad] and {s["field"] for s in skipped} == {field}
    # The same in regions read by worker processes, and in the Parquet file's metadata.
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 10)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 10)
    parallel = velkora.read_bam(path, threads=2)
    pd.testing.assert_frame_equal(parallel, expected)
    assert parallel.attrs == table.attrs
    report = write_molecules(path, tmp_path / "m.parquet", threads=2)
    assert pd.read_parquet(tmp_path / "m.parquet").attrs["skipped_records"] == skipped == report["skipped_records"]
    with pytest.raises(InputError, match=rf"mixed.bam: read 'bad{bad[0]}': fields? {field}") as error:
        velkora.read_bam(path, strict=True, threads=2)
    assert skipped[0]["problem"] in str(error.value)


def test_only_the_first_five_skipped_records_are_named(tmp_path):
    path = write_bam(tmp_path / "many.bam", lambda h: good_and_bad_reads(h, "XM", range(0, 60, 4)))
    table = velkora.read_bam(path)
    assert table.attrs["dropped"]["malformed_tags"] == 15
    assert [s["read"] for s in table.attrs["skipped_records"]] == ["bad0", "bad4", "bad8", "bad12", "bad16"]


def test_a_file_cut_in_the_middle_of_a_region_stops_the_workers_cleanly(synthetic_bam, tmp_path, monkeypatch):
    _, path = synthetic_bam
    cut = truncate_in_the_middle(path, tmp_path / "cut.bam")
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 40)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 40)
    for strict in (False, True):
        with pytest.raises(InputError, match=r"cut.bam: unreadable record after read"):
            write_molecules(cut, tmp_path / "out" / "m.parquet", threads=2, strict=strict)
        assert not (tmp_path / "out").exists() or list((tmp_path / "out").iterdir()) == []
    # The workers are fine for the next run.
    pd.testing.assert_frame_equal(velkora.read_bam(path, threads=2), velkora.read_bam(path))


def test_unusable_files_are_input_errors(tmp_path):
    text = tmp_path / "notes.bam"
    text.write_text("not an alignment\n")
    with pytest.raises(InputError, match="not a BAM, CRAM or SAM"):
        velkora.read_bam(text)
    untagged = write_bam(tmp_path / "plain.bam", lambda h: [record(h, "r9", 10, "ACGT")])
    with pytest.raises(InputError, match=r"neither MM/ML .* nor XM .*'r9'"):
        velkora.read_bam(untagged)
    good = one_read_bam(tmp_path, [("MM", "C+m?,0;"), ("ML", [250])])
    truncated = tmp_path / "cut.bam"
    truncated.write_bytes(good.read_bytes()[:-30])
    with pytest.raises(InputError, match="truncated"):
        velkora.read_bam(truncated)
    # A SAM line htslib cannot parse (a CIGAR longer than the sequence) stops the read, saying so.
    sam = tmp_path / "bad.sam"
    lines = ["@HD\tVN:1.6\tSO:coordinate", "@SQ\tSN:chr1\tLN:10000"]
    for k, cigar in enumerate(("8M", "8M", "12M")):
        lines.append(f"r{k}\t0\tchr1\t{100 + k}\t60\t{cigar}\t*\t0\t0\tACGTTCGA\tIIIIIIII\tXM:Z:.....Z..")
    sam.write_text("\n".join(lines) + "\n")
    with pytest.raises(InputError, match=r"bad.sam: unreadable record after read 'r1' \(a line htslib cannot parse"):
        velkora.read_bam(sam)
    unindexed = write_bam(tmp_path / "noindex.bam", lambda h: [record(h, "r", 10, "TTCG", tags=[("XM", "..Z.")])],
                          index=False)
    assert len(velkora.read_bam(unindexed)) == 1
    with pytest.raises(InputError, match="needs an index"):
        velkora.read_bam(unindexed, regions=["chr1"])
    with pytest.raises(InputError, match="no contig 'chr7'"):
        velkora.read_bam(good, regions=["chr7:1-10"])


@pytest.fixture(scope="module")
def synthetic_bam(tmp_path_factory):
    molecules = velkora.synthetic_molecules(molecules_per_density=120, seed=3)
    path = tmp_path_factory.mktemp("synthetic") / "synthetic.bam"
    return molecules, write_synthetic_bam(molecules, path, seed=4)


def test_synthetic_molecules_come_back_from_their_bam(synthetic_bam):
    molecules, path = synthetic_bam
    table = velkora.read_bam(path)
    np.testing.assert_array_equal(table["n_cpg"], molecules["n_cpg"])
    np.testing.assert_array_equal(table["n_called"], molecules["n_cpg"])
    np.testing.assert_array_equal(table["n_methylated"], molecules["n_methylated"])
    np.testing.assert_array_equal(table["meth_level"], molecules["meth_level"])
    # Spans are whole bases: the density comes back to that rounding.
    np.testing.assert_allclose(table["cpg_density"], molecules["cpg_density"], rtol=5e-3)
    assert (table["strand"] == "-").sum() == len(table) // 2


def test_windows_of_k_cpgs_cover_each_read_from_the_left(synthetic_bam):
    molecules, path = synthetic_bam
    table = velkora.read_bam(path, window_cpgs=30)
    # 70 sites per read: two windows of 30, a remainder of 10 dropped per read.
    assert len(table) == 2 * len(molecules) and table.attrs["dropped"] == {"window_remainder": len(molecules)}
    assert (table["n_cpg"] == 30).all() and table["window"].tolist() == [0, 1] * len(molecules)
    first = table.groupby("read_id", sort=False).head(1)
    whole = velkora.read_bam(path)
    np.testing.assert_array_equal(first["start"], whole["start"])
    np.testing.assert_allclose(table["cpg_density"], 30 / (table["end"] - table["start"]))


def test_rows_are_the_same_whatever_the_regions_and_workers(synthetic_bam, monkeypatch):
    _, path = synthetic_bam
    one_pass = velkora.read_bam(path)
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 40)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 40)
    seen = []
    parallel = velkora.read_bam(path, threads=2, progress=lambda done, total: seen.append((done, total)))
    pd.testing.assert_frame_equal(parallel, one_pass)
    assert seen[0] == (0, 15) and seen[-1] == (15, 15)
    parts = velkora.read_bam(path, regions=["chrS:1-300000", "chrS:250001-900000", "chrS:900001-9000000"])
    pd.testing.assert_frame_equal(parts, one_pass)


def test_kept_workers_never_carry_a_stopped_run_into_the_next(synthetic_bam, monkeypatch):
    _, path = synthetic_bam
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 40)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 40)
    expected = velkora.read_bam(path)

    def interrupt(done, total):
        if done == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        velkora.read_bam(path, threads=2, progress=interrupt)
    pd.testing.assert_frame_equal(velkora.read_bam(path, threads=2), expected)
    # A run abandoned by its reader midway, with regions still queued.
    info = bam_module.inspect(path)
    run = region_module.run_regions(str(path), info.kind, Options(), region_module.plan(info, None, 2), threads=2)
    next(run)
    run.close()
    for threads in (2, 3, 2):
        pd.testing.assert_frame_equal(velkora.read_bam(path, threads=threads), expected)


def test_reads_from_several_threads_at_once_agree(synthetic_bam, monkeypatch):
    # In-process readers share nothing between threads; parallel ones lease worker pools.
    _, path = synthetic_bam
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 60)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 60)
    monkeypatch.setattr(assemble_module, "_BATCH_BASES", 3000)
    expected = velkora.read_bam(path)
    with ThreadPoolExecutor(4) as pool:
        tables = list(pool.map(lambda threads: velkora.read_bam(path, threads=threads), [1, 2, 1, 2, 1, 2, 1, 2]))
    for table in tables:
        pd.testing.assert_frame_equal(table, expected)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="finds processes in /proc")
@pytest.mark.parametrize("interrupted", [False, True])
def test_worker_processes_end_with_the_program_even_on_ctrl_c(synthetic_bam, tmp_path, interrupted):
    _, path = synthetic_bam
    out = tmp_path / "m.parquet"
    script = textwrap.dedent(f"""
        import sys, time
        import velkora
        from velkora.reads import regions, write_molecules
        regions._MIN_RECORDS = regions._TARGET_RECORDS = 40
        velkora.read_bam({str(path)!r}, threads=2)  # the workers are kept for the next call
        def progress(done, total):
            if done == 2 and {interrupted}:
                print("reading", flush=True)
                time.sleep(60)
        write_molecules({str(path)!r}, {str(out)!r}, threads=2, progress=progress)
        print("done", flush=True)
    """)
    mark = f"velkora-test-{uuid.uuid4()}"
    process = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env={**os.environ, "VELKORA_TEST_MARK": mark})
    try:
        first = process.stdout.readline().strip()
        if interrupted:
            assert first == "reading"
            process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=120)
    finally:
        process.kill()
    if interrupted:
        assert process.returncode != 0 and "KeyboardInterrupt" in stderr
        assert [p.name for p in tmp_path.iterdir()] == []
    else:
        assert (first, process.returncode) == ("done", 0) and out.exists()
    deadline = time.monotonic() + 20
    while marked_processes(mark) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert marked_processes(mark) == []


def marked_processes(mark):
    found = []
    for environ in Path("/proc").glob("[0-9]*/environ"):
        try:
            if f"VELKORA_TEST_MARK={mark}".encode() in environ.read_bytes().split(b"\0"):
                found.append(environ.parent.name)
        except OSError:  # gone meanwhile, or not ours to read
            pass
    return found


def test_a_dask_client_gives_the_same_rows(synthetic_bam, monkeypatch):
    distributed = pytest.importorskip("distributed")
    _, path = synthetic_bam
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 100)
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as client:
        on_dask = velkora.read_bam(path, client=client)
    pd.testing.assert_frame_equal(on_dask, velkora.read_bam(path))


@pytest.mark.parametrize("text, expected", [
    ("chr1", ("chr1", 0, 2000)), ("chr1:11-20", ("chr1", 10, 20)), ("chr1:1,001-1,500", ("chr1", 1000, 1500)),
    ("chr1:1500", ("chr1", 1499, 2000)), ("chr1:1-9999", ("chr1", 0, 2000)), ("odd:name", ("odd:name", 0, 5)),
])
def test_region_strings_are_one_based_and_inclusive(text, expected):
    region = region_module.parse_region(text, {"chr1": 2000, "odd:name": 5})
    assert (region.chrom, region.start, region.end) == expected


@pytest.mark.parametrize("text", ["chr3", "chr1:20-10", "chr1:0-5"])
def test_bad_region_strings(text):
    with pytest.raises(InputError, match=f"--region '{text}'"):
        region_module.parse_region(text, {"chr1": 2000})


def random_modified_reads(h, rng, n=300):
    """Reads with soft clips, indels, both strands, both mode flags, calls on CpG and other C bases,
    skipped bases, and a few unusual records (a second entry, the legacy tag names)."""
    records = []
    for i in range(n):
        length = int(rng.integers(20, 120))
        seq = "".join(rng.choice(list("ACGT"), size=length, p=[0.2, 0.3, 0.3, 0.2]))
        clip = int(rng.integers(0, 4))
        middle = length - 2 * clip
        a, b = int(rng.integers(3, middle // 2 - 1)), int(rng.integers(middle // 2 + 2, middle - 2))
        ops = [f"{a}M", "2I", f"{b - a - 2}M", "3D", f"{middle - b}M"] if i % 3 else [f"{middle}M"]
        cigar = (f"{clip}S" if clip else "") + "".join(ops) + (f"{clip}S" if clip else "")
        reverse = bool(rng.integers(0, 2))
        n_c = (seq.translate(str.maketrans("ACGT", "TGCA"))[::-1] if reverse else seq).count("C")
        called = np.sort(rng.choice(n_c, size=int(rng.integers(0, n_c + 1)), replace=False)) if n_c else []
        skips = np.diff(np.concatenate(([-1], called))) - 1 if len(called) else []
        mode = ["?", ".", ""][i % 3]
        mm = f"C+m{mode}" + "".join(f",{s}" for s in skips) + ";"
        ml = rng.integers(0, 256, size=len(called)).tolist()
        tags = [("MM", mm), ("ML", ml)]
        if i % 50 == 7:
            tags = [("MM", mm + "C+h?;"), ("ML", ml)]
        elif i % 50 == 11:
            tags = [("Mm", mm), ("Ml", ml)]
        records.append(record(h, f"q{i}", int(rng.integers(0, 1800)), seq, cigar=cigar, flag=16 if reverse else 0,
                              tags=tags))
    return records


# Batches of every size in turn, so the kept per-base arrays grow and are reused with a larger
# batch's bases left beyond the current one's.
@pytest.mark.parametrize("records, bases", [(256, 1_000_000), (7, 1_000_000), (256, 400), (1, 1)])
def test_batched_and_record_by_record_decoding_agree(tmp_path, monkeypatch, records, bases):
    monkeypatch.setattr(assemble_module, "_BATCH", records)
    monkeypatch.setattr(assemble_module, "_BATCH_BASES", bases)
    rng = np.random.default_rng(12)
    path = write_bam(tmp_path / "random.bam", lambda h: random_modified_reads(h, rng))
    for window in (None, 3):
        batched = velkora.read_bam(path, window_cpgs=window, min_cpg=1)
        with monkeypatch.context() as patch:
            patch.setattr(assemble_module, "read_batch", lambda reader, records: [None] * len(records))
            one_by_one = velkora.read_bam(path, window_cpgs=window, min_cpg=1)
        assert len(batched) > 100
        pd.testing.assert_frame_equal(batched, one_by_one)


@pytest.fixture(scope="module")
def bisulfite_bam(tmp_path_factory):
    rng = np.random.default_rng(21)
    path = tmp_path_factory.mktemp("bisulfite") / "pairs.bam"
    return write_bam(path, lambda h: random_bisulfite_pairs(h, rng))


@pytest.mark.parametrize("records", [4096, 7, 1])
@pytest.mark.parametrize("pieces", [None, 25])
def test_bisulfite_batches_and_record_by_record_decoding_agree(bisulfite_bam, monkeypatch, records, pieces):
    # Every batch limit, and regions cut small so that mates lie in other regions and are fetched.
    monkeypatch.setattr(bisulfite_module, "_BATCH_RECORDS", records)
    if pieces is not None:
        monkeypatch.setattr(region_module, "_MIN_RECORDS", pieces)
        monkeypatch.setattr(region_module, "_TARGET_RECORDS", pieces)
    for settings in ({}, {"window_cpgs": 3}, {"min_cpg": 2, "min_mapq": 10, "keep_duplicates": True},
                     {"keep_secondary": True}):
        batched = velkora.read_bam(bisulfite_bam, **settings)
        with monkeypatch.context() as patch:
            patch.setattr(assemble_module, "BATCHED_BISULFITE", False)
            one_by_one = velkora.read_bam(bisulfite_bam, **settings)
        assert len(batched) > 100
        pd.testing.assert_frame_equal(batched, one_by_one)
        assert batched.attrs == one_by_one.attrs
        assert {"duplicate", "malformed_tags", "no_sequence", "unmapped"} <= set(batched.attrs["dropped"]) \
            or settings.get("keep_duplicates")


@pytest.mark.parametrize("batched", [True, False])
def test_pairs_and_lone_mates_read_the_same_whatever_the_regions(bisulfite_bam, tmp_path, monkeypatch, batched):
    # Lone mates stay in their own place, mates in other regions are fetched: cutting the file
    # into regions, or reading it without an index in one pass, changes nothing.
    monkeypatch.setattr(assemble_module, "BATCHED_BISULFITE", batched)
    monkeypatch.setattr(bisulfite_module, "_BATCH_RECORDS", 5)
    whole = velkora.read_bam(bisulfite_bam)
    unindexed = tmp_path / "pairs.bam"
    unindexed.write_bytes(bisulfite_bam.read_bytes())
    tables = [velkora.read_bam(unindexed), velkora.read_bam(bisulfite_bam, regions=["chr1", "chr2:1-1000", "chr2"])]
    monkeypatch.setattr(region_module, "_MIN_RECORDS", 9)
    monkeypatch.setattr(region_module, "_TARGET_RECORDS", 9)
    tables.append(velkora.read_bam(bisulfite_bam))
    for table in tables:
        pd.testing.assert_frame_equal(table, whole)
        assert {k: table.attrs[k] for k in ("records", "dropped", "skipped_records")} == \
            {k: whole.attrs[k] for k in ("records", "dropped", "skipped_records")}


def test_cram_reads_like_its_bam(tmp_path):
    pysam = pytest.importorskip("pysam")
    molecules = velkora.synthetic_molecules(molecules_per_density=30, density_edges=(0.01, 0.02, 0.03, 0.04, 0.05,
                                                                                    0.06), seed=2)
    fasta = tmp_path / "genome.fa"
    bam = write_synthetic_bam(molecules, tmp_path / "reads.bam", reference=fasta)
    cram = tmp_path / "reads.cram"
    with pysam.AlignmentFile(str(bam)) as source, pysam.AlignmentFile(str(cram), "wc", template=source,
                                                                      reference_filename=str(fasta)) as out:
        for read in source:
            out.write(read)
    pysam.index(str(cram))
    expected = velkora.read_bam(bam)
    got = velkora.read_bam(cram, reference=str(fasta))
    pd.testing.assert_frame_equal(got, velkora.read_bam(bam, reference=str(fasta)))
    assert len(got) == len(expected) == 150
    with pytest.raises(InputError, match="needs its reference"):
        velkora.read_bam(cram)
