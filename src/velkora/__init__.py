"""velkora: fits of a stochastic model of CpG DNA methylation.

The numerical core lives in the extension module :mod:`velkora.velk_core`;
see its functions' docstrings, or ``python -m velkora.demo`` for a tour.
"""

from . import velk_core

__all__ = ["velk_core"]
__version__ = "0.1.0"
