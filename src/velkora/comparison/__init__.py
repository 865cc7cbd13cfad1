"""Model choice, goodness of fit and tests between modes.

(The package is not called ``compare`` so that importing it cannot shadow the
function :func:`velkora.compare` on the package.)

- :mod:`~velkora.comparison.choice`: :func:`compare` and :class:`Comparison`;
- :mod:`~velkora.comparison.nesting`: :func:`free_parameters`,
  :func:`nested_pairs`;
- :mod:`~velkora.comparison.goodness`: the G test and Pearson residuals;
- :mod:`~velkora.comparison.simulations`: the parametric bootstrap;
- :mod:`~velkora.comparison.differential`: which rate differs between groups.
"""

from .._stats import chi2_sf
from .choice import Comparison, compare
from .differential import Differential, differential
from .goodness import ALPHA
from .nesting import free_parameters, nested_pairs

__all__ = ["ALPHA", "Comparison", "Differential", "chi2_sf", "compare", "differential", "free_parameters",
           "nested_pairs"]
