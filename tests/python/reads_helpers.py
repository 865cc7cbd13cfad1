"""Small alignment files written record by record for the read tests."""

import struct
import zlib
from array import array

import pysam

CONTIGS = (("chr1", 2000), ("chr2", 2000))


def record(header, name, start, seq, *, cigar=None, flag=0, chrom="chr1", mapq=60, tags=(), mate=None):
    """One alignment; `mate` = (chrom, start) of a paired mate, `tags` (name, value) pairs
    (a list of ints for an ML-style byte array)."""
    r = pysam.AlignedSegment(header)
    r.query_name, r.flag = name, flag
    r.reference_id = header.get_tid(chrom)
    r.reference_start = start
    r.mapping_quality = mapq
    r.cigarstring = cigar or f"{len(seq)}M"
    r.query_sequence = seq
    if mate is not None:
        r.next_reference_id = header.get_tid(mate[0])
        r.next_reference_start = mate[1]
    for tag, value in tags:
        r.set_tag(tag, array("B", value) if isinstance(value, list) else value)
    return r


def write_bam(path, make_records, *, index=True, contigs=CONTIGS, level=None):
    """Writes the records of make_records(header) (sorted here) to a BAM (compression `level`);
    indexes it."""
    header = pysam.AlignmentHeader.from_dict({"HD": {"VN": "1.6", "SO": "coordinate"},
                                              "SQ": [{"SN": n, "LN": l} for n, l in contigs]})
    records = sorted(make_records(header), key=lambda r: (r.reference_id if r.reference_id >= 0 else 1 << 30,
                                                          r.reference_start))
    with pysam.AlignmentFile(str(path), "wb" if level is None else f"wb{level}", header=header) as out:
        for r in records:
            out.write(r)
    if index:
        pysam.index(str(path))
    return path


COMPLEMENT = str.maketrans("ACGT", "TGCA")

FULL_COLUMNS = ("read_id", "forward_read_position", "ref_position", "chrom", "mod_strand", "ref_strand",
                "ref_mod_strand", "fw_soft_clipped_start", "fw_soft_clipped_end", "alignment_start",
                "alignment_end", "read_length", "mod_qual", "mod_code", "base_qual", "ref_kmer", "query_kmer",
                "canonical_base", "modified_primary_base", "inferred", "flag")
CALLS_COLUMNS = ("read_id", "forward_read_position", "ref_position", "chrom", "mod_strand", "ref_strand",
                 "ref_mod_strand", "fw_soft_clipped_start", "fw_soft_clipped_end", "alignment_start",
                 "alignment_end", "read_length", "call_prob", "call_code", "base_qual", "ref_kmer", "query_kmer",
                 "canonical_base", "modified_primary_base", "fail", "inferred", "within_alignment", "flag")


def extract_table(path, reads, genome, *, reference=True, duplex=False, calls=False, sites=None, kmer=5):
    """A per-read table laid out as `modkit extract full` (or `extract calls`) writes it for `reads`,
    each (name, start, stored sequence, reverse, soft clip at each end, {forward position: ML value}):
    one row per called base of the read as sequenced, k-mers centred on it in that orientation (cut
    short at the read's ends), ref_kmer '.' without a reference. `duplex` adds calls on the read's G
    bases (the other strand); `sites` keeps only the rows at those reference positions."""
    rows = []
    half = kmer // 2
    for name, start, seq, reverse, clip, ml in reads:
        forward = seq.translate(COMPLEMENT)[::-1] if reverse else seq
        n = len(seq)
        aligned = n - 2 * clip
        for p in range(n):
            base = forward[p]
            strand_of_call = "+" if base == "C" else "-" if duplex and base == "G" else None
            if strand_of_call is None:
                continue
            stored = n - 1 - p if reverse else p
            inside = clip <= stored < n - clip
            ref = start + stored - clip if inside else -1
            if sites is not None and ref not in sites:
                continue
            ref_strand = "-" if reverse else "+"
            ref_mod_strand = ref_strand if strand_of_call == "+" else ("+" if reverse else "-")
            query_kmer = forward[max(p - half, 0):p + half + 1]
            if reference and inside:
                window = genome[max(ref - half, 0):ref + half + 1]
                ref_kmer = window.translate(COMPLEMENT)[::-1] if reverse else window
            else:
                ref_kmer = "."
            value = ml.get(p, 10)
            probability = (value + 0.5) / 256
            code = "m" if strand_of_call == "+" else "m"
            common = [name, p, ref, "chr1" if ref >= 0 else ".", strand_of_call, ref_strand, ref_mod_strand, clip,
                      clip, start, start + aligned - 1, n]
            tail = [30, ref_kmer, query_kmer, base, base]
            if calls:
                call = code if probability >= 0.5 else "-"
                rows.append(common + [max(probability, 1 - probability), call] + tail
                            + ["false", "false", str(inside).lower(), 16 if reverse else 0])
            else:
                rows.append(common + [probability, code] + tail + ["false", 16 if reverse else 0])
    header = CALLS_COLUMNS if calls else FULL_COLUMNS
    path.write_text("\t".join(header) + "\n" + "".join("\t".join(map(str, row)) + "\n" for row in rows))
    return path


def modified_bam_of(path, reads, contigs=CONTIGS):
    """The BAM the table of extract_table comes from: every C of the read as sequenced called (C+m?)."""
    def records(header):
        out = []
        for name, start, seq, reverse, clip, ml in reads:
            forward = seq.translate(COMPLEMENT)[::-1] if reverse else seq
            cs = [p for p, base in enumerate(forward) if base == "C"]
            cigar = (f"{clip}S" if clip else "") + f"{len(seq) - 2 * clip}M" + (f"{clip}S" if clip else "")
            out.append(record(header, name, start, seq, cigar=cigar, flag=16 if reverse else 0,
                              tags=[("MM", "C+m?" + ",0" * len(cs) + ";"), ("ML", [ml.get(p, 10) for p in cs])]))
        return out
    return write_bam(path, records, contigs=contigs)


def random_bisulfite_pairs(header, rng, n=160, contigs=CONTIGS):
    """Bisulfite pairs of every kind the readers meet: overlapping and distant mates (some on
    another contig, some starting first), both converted strands with and without XG, soft clips,
    insertions and deletions, lone mates, filtered records, a read without XM, one without bases,
    one whose XM is too short or a number, one with an XG of neither strand, and a name used twice."""
    records = []
    genome = {name: "".join(rng.choice(list("ACGT"), size=length)) for name, length in contigs}

    def mate_record(name, flag, chrom, start, mate, bottom, tags_xg=True, mapq=60):
        length = int(rng.integers(20, 60))
        clip = int(rng.integers(0, 3)) if rng.random() < 0.4 else 0
        middle = length - 2 * clip
        if rng.random() < 0.3 and middle > 12:
            a = int(rng.integers(3, middle - 8))
            ops = [f"{a}M", "2I", f"{middle - a - 2}M"] if rng.random() < 0.5 else [f"{a}M", "3D", f"{middle - a}M"]
        else:
            ops = [f"{middle}M"]
        cigar = (f"{clip}S" if clip else "") + "".join(ops) + (f"{clip}S" if clip else "")
        start = min(start, dict(contigs)[chrom] - 80)
        seq = genome[chrom][start:start + length]
        # Calls at the read's CpGs (the G of a bottom-strand CpG), Z or z at random.
        xm = ["."] * length
        for q in range(length - 1):
            if seq[q:q + 2] == "CG":
                xm[q + 1 if bottom else q] = "Z" if rng.random() < 0.6 else "z"
        tags = [("XM", "".join(xm))]
        if tags_xg:
            tags.append(("XG", "GA" if bottom else "CT"))
        return record(header, name, start, seq, cigar=cigar, flag=flag, chrom=chrom, mapq=mapq, tags=tags,
                      mate=mate)

    for i in range(n):
        name = f"p{i}"
        chrom = contigs[i % 2][0]
        first_at = int(rng.integers(0, 1800))
        kind = rng.random()
        second_chrom = chrom if kind < 0.9 else contigs[(i + 1) % 2][0]
        second_at = first_at + int(rng.integers(-60, 60)) if kind < 0.7 else int(rng.integers(0, 1800))
        second_at = max(second_at, 0)
        bottom = bool(rng.integers(0, 2))
        xg = rng.random() < 0.8
        base = 0x1 | 0x2
        reverse_first = 0x10 if bottom else 0x20
        reverse_second = 0x20 if bottom else 0x10
        flag1, flag2 = base | reverse_first | 0x40, base | reverse_second | 0x80
        mapq1 = mapq2 = 60
        if rng.random() < 0.1:
            flag1 |= 0x400
            flag2 |= 0x400
        if rng.random() < 0.08:
            mapq2 = 3
        first = mate_record(name, flag1, chrom, first_at, (second_chrom, second_at), bottom, xg, mapq1)
        second = mate_record(name, flag2, second_chrom, second_at, (chrom, first_at), bottom, xg, mapq2)
        lone = rng.random()
        if lone < 0.06:
            records.append(first)  # its second mate is missing from the file
        elif lone < 0.12:
            records.append(second)
        else:
            records += [first, second]
        if rng.random() < 0.05:
            single = mate_record(f"s{i}", 0x100 if rng.random() < 0.5 else 0, chrom, int(rng.integers(0, 1800)),
                                 None, bottom, xg)
            records.append(single)
    # The odd ones: no XM, no bases, an XM too short, an unmapped mate, a name met twice.
    odd = mate_record("noxm", 0, "chr1", 700, None, False)
    odd.set_tag("XM", None)
    bare = mate_record("nobases", 0, "chr1", 710, None, False)
    bare.query_sequence = None
    bare.cigarstring = "30M"
    short = mate_record("shortxm", 0, "chr1", 720, None, False)
    short.set_tag("XM", "..Z")
    numbered = mate_record("xmint", 0, "chr1", 724, None, False)
    numbered.set_tag("XM", 3)  # as aligners write the number of mismatches
    odd_strand = mate_record("oddxg", 0x10, "chr1", 726, None, True)
    odd_strand.set_tag("XG", "XX")
    unmapped = mate_record("um", 0x1 | 0x4 | 0x40, "chr1", 730, ("chr1", 735), False)
    with_unmapped_mate = mate_record("um", 0x1 | 0x8 | 0x80, "chr1", 735, ("chr1", 730), False)
    twice = [mate_record("twice", 0x1 | 0x2 | 0x20 | 0x40, "chr1", 800, ("chr1", 1900), False),
             mate_record("twice", 0x1 | 0x2 | 0x20 | 0x40, "chr1", 820, ("chr1", 830), False),
             mate_record("twice", 0x1 | 0x2 | 0x10 | 0x80, "chr1", 830, ("chr1", 820), False)]
    return records + [odd, bare, short, numbered, odd_strand, unmapped, with_unmapped_mate] + twice


def stretch_cigar(path, name, bases):
    """Makes the CIGAR of read `name` (one M operation) cover `bases` bases, in place, in a BAM
    written uncompressed (level 0) and indexed: htslib then refuses the record, as it refuses a
    CIGAR longer than the sequence, while the index stays right (no offset moves)."""
    data = bytearray(open(path, "rb").read())
    at = 0
    while at < len(data):
        size = struct.unpack_from("<H", data, at + 16)[0] + 1
        payload = bytes(data[at + 18:at + size - 8])  # a stored deflate block: the bytes as they are
        found = payload.find(name.encode() + b"\x00")
        if found >= 0:
            struct.pack_into("<I", data, at + 18 + found + len(name) + 1, bases << 4)
            struct.pack_into("<I", data, at + size - 8, zlib.crc32(zlib.decompress(bytes(data[at + 18:at + size - 8]),
                                                                                 -15)))
            open(path, "wb").write(data)
            return path
        at += size
    raise ValueError(f"no read {name!r} in {path}")


def truncate_in_the_middle(path, out):
    """A copy of the BAM cut within a BGZF block halfway through, its end-of-file marker put
    back (so only reading the records tells), and its index."""
    data = open(path, "rb").read()
    eof = data[-28:]
    out.write_bytes(data[:len(data) // 2] + eof)
    with open(str(path) + ".bai", "rb") as index:
        (out.parent / (out.name + ".bai")).write_bytes(index.read())
    return out
