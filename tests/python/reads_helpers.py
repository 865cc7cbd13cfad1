"""Small alignment files written record by record for the read tests."""

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


def write_bam(path, make_records, *, index=True, contigs=CONTIGS):
    """Writes the records of make_records(header) (sorted here) to a BAM; indexes it."""
    header = pysam.AlignmentHeader.from_dict({"HD": {"VN": "1.6", "SO": "coordinate"},
                                              "SQ": [{"SN": n, "LN": l} for n, l in contigs]})
    records = sorted(make_records(header), key=lambda r: (r.reference_id if r.reference_id >= 0 else 1 << 30,
                                                          r.reference_start))
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for r in records:
            out.write(r)
    if index:
        pysam.index(str(path))
    return path
