"""Runs of the package's work in pieces: bootstrap chunks in this process or on
a Dask cluster, and regions of an input in kept worker processes.

Whatever runs a piece, the pieces' results are taken back in their order, so a
result never depends on how the work was split or where it ran.
"""
