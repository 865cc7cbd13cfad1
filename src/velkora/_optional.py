"""Imports of the optional libraries, with a message naming the extra to install."""

from importlib import import_module

_EXTRA_OF = {"pandas": "tables", "pyarrow": "tables", "matplotlib": "plot", "distributed": "dask", "dask": "dask", "pysam": "reads"}


def require(module):
    """Imports `module` (e.g. "pandas", "matplotlib.figure"), or raises ImportError
    telling which extra of velkora brings it."""
    try:
        return import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        extra = _EXTRA_OF.get(top, "all")
        raise ImportError(f"{top} is needed for this: pip install 'velkora[{extra}]'") from error
