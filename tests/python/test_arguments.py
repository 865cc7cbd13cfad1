"""Argument conversion of every exported function, kind by kind."""

import inspect
import math
from collections import namedtuple

import numpy as np
import pytest

from velkora import velk_core

EDGES = np.linspace(0.0, 1.0, 11)
OBSERVED = np.full(10, 0.1)
# No densities and no samples: the shared fits and the bootstraps finish at
# once and give the same result on every call.
NO_DENSITIES = np.zeros((0, 10))
GRID = np.array([1.0, 2.0])

# parameter -> (kind, valid value), wherever the parameter appears.
PARAMETERS = {
    "enabled": ("bool", False),
    "vmax": ("float", math.inf),
    "params": ("array1", np.array([0.5, 2.0, 3.0])),
    "observed_fracs": ("array1", OBSERVED),
    "meth_bin_edges": ("array1", EDGES),
    "normalize_stw": ("bool", True),
    **{name: ("float", value) for name, value in [("ste", 0.5), ("stw", 1.0), ("cow", 2.0), ("coe", 3.0)]},
    "observed_fracs_2d": ("array2", NO_DENSITIES),
    "bootstrap_fracs": ("array2", NO_DENSITIES),
    "st_bounds": ("bounds", (0.1, 1.0)),
    "co_bounds": ("bounds", (0.5, 2.0)),
    "n_exp_bounds": ("bounds", (1.0, 3.0)),
    "vmax_bounds": ("bounds", (0.1, 10.0)),
    "n_u": ("float", 2.0),
    "n_m": ("float", 2.0),
    "co_penalty": ("float", 0.0),
    "weights": ("optional1", np.ones(3)),
    "fit_vmax": ("bool", False),
    "fix_st": ("bool", False),
    "shared_st": ("bool", False),
    "n_boot": ("count", 0),
    "n_densities": ("count", 2),
    "n_fit_ages": ("count", 2),
    "st_grid": ("array1", np.array([0.5, 0.7])),
    "cow_grid": ("array1", GRID),
    "coe_grid": ("array1", GRID),
    "st_free": ("float", 1.0),
    "log_cow_grid": ("array1", np.linspace(-1.0, 1.0, 3)),
    "log_coe_grid": ("array1", np.linspace(-1.0, 1.0, 2)),
    "p0_observed": ("array1", OBSERVED),
    "fit_observed_2d": ("array2", np.tile(OBSERVED, (2, 1))),
    "fit_ages": ("array1", GRID),
    "ages": ("array1", np.array([0.0, 1.0, 5.0])),
    "p0_per_boot": ("array2", np.tile(OBSERVED, (2, 1))),
    "fit_observed_per_boot": ("array2", np.tile(OBSERVED, (4, 1))),
    # A tied fit of no rows over no entries, which finishes at once.
    "layout": ("array2", np.zeros((0, 6))),
    "fixed": ("array2", np.zeros((0, 6))),
    "lower": ("array1", np.zeros(0)),
    "upper": ("array1", np.zeros(0)),
    "starts": ("optional2", np.zeros((1, 0))),
    # Keyword-only extensions, passed by keyword in every call below.
    "sample_offset": ("count", 0),
    "seed": ("seed", 7),
}
OVERRIDES = {
    "py_profile_shared_co": {"shared_st": ("float", 0.5)},
    "py_fit_bootstrap_exp": {"warm_start": ("warm4", (0.5, 2.0, 2.0, 1.0))},
    "py_fit_bootstrap_co": {"warm_start": ("warm3", (0.5, 2.0, 2.0))},
    "py_fit_bootstrap_exp_perdensity": {"shared_st": ("bool", True)},
    "py_fit_drift_bootstrap": {"n_boot": ("count", 2)},
    # One weight per row, and always a seed (None is not one).
    "py_fit_tied": {"weights": ("optional1", np.zeros(0)), "seed": ("seed_required", 7)},
}


def parameters(name, keyword_only):
    # The names and their order are pinned by the golden text signatures;
    # `observation` has tests of its own below.
    signature = inspect.signature(getattr(velk_core, name))
    return [p for p, v in signature.parameters.items()
            if (v.kind is v.KEYWORD_ONLY) == keyword_only and p != "observation"]


def table(name, keyword_only):
    kinds = {**PARAMETERS, **OVERRIDES.get(name, {})}
    return [(p, *kinds[p]) for p in parameters(name, keyword_only)]


# name -> [(parameter, kind, valid value)], in signature order: the positional
# parameters, and apart the keyword-only ones.
SIGNATURES = {name: table(name, False) for name in velk_core.__all__}
KEYWORD_ONLY = {name: table(name, True) for name in velk_core.__all__}


class FloatLike:
    def __float__(self):
        return 2.0


class IndexLike:
    def __index__(self):
        return 2


BAD = {
    "float": ["two", None, [2.0], np.array([1.0, 2.0])],
    "bool": [1, 0, 1.0, None, "True", np.int64(1)],
    "array1": [
        [0.0, 0.5, 1.0],
        (0.0, 0.5, 1.0),
        np.array([0, 1], dtype=np.int64),
        np.array([0.0, 1.0], dtype=np.float32),
        np.zeros((2, 2)),
        np.float64(1.0),
        np.array([0.0, 1.0], dtype=">f8"),
    ],
}

BAD["optional1"] = BAD["array1"]
BAD["array2"] = [
    [[0.1, 0.9]],
    np.zeros(10),
    np.zeros((1, 10), dtype=np.int64),
    np.zeros((1, 10), dtype=np.float32),
    np.zeros((1, 1, 10)),
]
BAD["optional2"] = BAD["array2"]
BAD["bounds"] = [[0.1, 1.0], (0.1, 1.0, 2.0), (0.1,), ("low", 1.0), None, np.array([0.1, 1.0])]

# Negative and too large counts and seeds are OverflowErrors, tested on their own.
BAD["count"] = [2.0, "2", None, np.float64(1.0), [1]]
BAD["seed"] = [2.0, "2", np.float64(1.0), [1]]
BAD["seed_required"] = BAD["seed"] + [None]
BAD["warm4"] = [(0.5, 2.0, 2.0), [0.5, 2.0, 2.0, 1.0], ("a", 2.0, 2.0, 1.0), 1.0]
BAD["warm3"] = [(0.5, 2.0), [0.5, 2.0, 2.0], (0.5, None, 2.0)]

Pair = namedtuple("Pair", "low high")

GOOD = {
    "float": [2, 2.0, np.float64(2.0), np.float32(2.0), np.int64(2), FloatLike(), IndexLike(), True],
    "bool": [True, False, np.True_, np.False_],
    "bounds": [(1, 2), Pair(1.0, 2.0), (np.float64(1.0), FloatLike())],
    "optional1": [None],
    "optional2": [None],
    "count": [0, np.int64(0), np.uint8(0), False],
    "seed": [None, 0, 2**64 - 1, np.uint64(2**64 - 1), np.int64(3), IndexLike(), True],
    "warm4": [None],
    "warm3": [None],
}
GOOD["seed_required"] = [seed for seed in GOOD["seed"] if seed is not None]


def call_with(name, override=None, value=None):
    args = [v for _, _, v in SIGNATURES[name]]
    kwargs = {p: v for p, _, v in KEYWORD_ONLY[name]}
    if override in kwargs:
        kwargs[override] = value
    elif override is not None:
        index = [p for p, _, _ in SIGNATURES[name]].index(override)
        args[index] = value
    return getattr(velk_core, name)(*args, **kwargs)


def cases(kind_table):
    for name in SIGNATURES:
        for parameter, kind, _ in SIGNATURES[name] + KEYWORD_ONLY[name]:
            for value in kind_table.get(kind, []):
                yield pytest.param(name, parameter, value, id=f"{name}-{parameter}-{type(value).__name__}")


@pytest.mark.parametrize("name,parameter,value", list(cases(BAD)))
def test_wrong_kind_is_a_type_error_naming_the_argument(name, parameter, value):
    with pytest.raises(TypeError, match=f"^argument '{parameter}': "):
        call_with(name, parameter, value)
    call_with(name)  # the module keeps working


@pytest.mark.parametrize("name,parameter,value", list(cases(GOOD)))
def test_accepted_values_of_each_kind(name, parameter, value):
    call_with(name, parameter, value)


def fit_shared_exp_with(**overrides):
    args = dict((p, v) for p, _, v in SIGNATURES["py_fit_shared_exp"])
    return velk_core.py_fit_shared_exp(**{**args, **overrides})


@pytest.mark.parametrize(
    "call,error,pattern",
    [
        (lambda: velk_core.py_set_raw_count(1), TypeError, "boolean"),
        (lambda: call_with("py_compute_model_fracs", "meth_bin_edges", [0.0, 1.0]), TypeError, "list"),
        (lambda: call_with("py_compute_model_fracs", "meth_bin_edges", np.array([0, 1])), TypeError, "int64"),
        (lambda: call_with("py_fit_shared_st", "co_bounds", [0.5, 2.0]), TypeError, "^argument 'co_bounds': .*tuple"),
        (
            lambda: fit_shared_exp_with(vmax_bounds=(0.1, 1.0, 10.0)),
            TypeError,
            "^argument 'vmax_bounds': .*length 2, got a tuple of length 3",
        ),
        # Conversion errors come before contiguity errors.
        (
            lambda: velk_core.py_compute_nll(np.repeat([0.5, 2.0, 3.0], 2)[::2], OBSERVED, EDGES, 1),
            TypeError,
            "normalize_stw",
        ),
        # Counts convert by the index protocol.
        (lambda: call_with("py_fit_bootstrap", "n_boot", -1), OverflowError, "^argument 'n_boot': "),
        (lambda: call_with("py_fit_bootstrap", "n_boot", 2**64), OverflowError, "^argument 'n_boot': "),
        *[
            (lambda n=name, v=value: call_with(n, "seed", v), OverflowError, "^argument 'seed': ")
            for name in velk_core.__all__
            if "seed" in parameters(name, True)
            for value in (-1, 2**64)
        ],
    ],
)
def test_error_messages_say_what_was_wrong(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_keywords_positional_and_mixed_calls_agree(name):
    params = SIGNATURES[name]
    function = getattr(velk_core, name)
    # The valid seed makes every function repeat exactly.
    extra = {p: v for p, _, v in KEYWORD_ONLY[name]}
    positional = function(*[v for _, _, v in params], **extra)
    keywords = function(**{p: v for p, _, v in params}, **extra)
    mixed = function(*[v for _, _, v in params[:1]], **{p: v for p, _, v in params[1:]}, **extra)
    for result in (keywords, mixed):
        np.testing.assert_equal(result, positional)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_call_shape_errors_name_the_function(name):
    params = SIGNATURES[name]
    function = getattr(velk_core, name)
    values = [v for _, _, v in params]
    with pytest.raises(TypeError, match=f"{name}\\(\\) missing required argument '{params[0][0]}'"):
        function()
    with pytest.raises(TypeError, match=f"{name}\\(\\) takes at most {len(params)} (positional )?arguments"):
        function(*values, 1.0)
    with pytest.raises(TypeError, match=f"{name}\\(\\) got an unexpected keyword argument 'bogus'"):
        function(*values, bogus=1)
    with pytest.raises(TypeError, match=f"{name}\\(\\) got multiple values for argument '{params[0][0]}'"):
        function(*values, **{params[0][0]: values[0]})


def test_optional_arguments_take_their_defaults():
    cow = np.array([0.0, 1.0])
    coe = np.array([0.5])
    explicit = velk_core.py_compute_phase_grids(0.5, True, cow, coe, 2.0, 2.0)
    defaulted = velk_core.py_compute_phase_grids(0.5, True, cow, coe)
    np.testing.assert_array_equal(explicit, defaulted)
    other = velk_core.py_compute_phase_grids(0.5, True, cow, coe, n_m=3.0)
    assert not np.array_equal(other[1], defaulted[1])


@pytest.mark.parametrize(
    "name,parameter",
    [
        (n, p)
        for n, ps in SIGNATURES.items()
        for p, kind, _ in ps
        if kind in ("array1", "optional1", "array2", "optional2")
    ],
)
def test_strided_views_are_refused_before_any_work(name, parameter):
    valid = dict((p, v) for p, _, v in SIGNATURES[name])[parameter]
    if valid.size == 0 and valid.ndim == 1:  # so is an empty one
        valid = np.zeros(2)
    if valid.ndim == 2:
        valid = np.zeros((2, 10))  # an empty 2-D view is contiguous whatever its strides
    if valid.shape[-1] < 2:  # so is a one-element view
        valid = np.repeat(valid, 2, axis=-1)
    strided = np.repeat(valid, 2, axis=-1)[..., ::2]
    assert not strided.flags.c_contiguous and not strided.flags.f_contiguous
    with pytest.raises(RuntimeError, match="NotContiguousError"):
        call_with(name, parameter, strided)


def test_array_subclasses_and_readonly_arrays_are_accepted_and_inputs_never_written():
    class Tagged(np.ndarray):
        pass

    frozen = EDGES.copy()
    frozen.flags.writeable = False
    expected = velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, EDGES)
    for edges in (EDGES.copy().view(Tagged), frozen):
        np.testing.assert_array_equal(velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, edges), expected)
    edges, observed, params = EDGES.copy(), OBSERVED.copy(), np.array([0.5, 2.0, 3.0])
    velk_core.py_compute_nll(params, observed, edges, True)
    np.testing.assert_array_equal(edges, EDGES)
    np.testing.assert_array_equal(observed, OBSERVED)
    np.testing.assert_array_equal(params, [0.5, 2.0, 3.0])


# The keyword-only `observation` of the functions that score binned fractions
# with the steady state: one (n_meth_bins, 71) matrix for the one-density
# functions, one per density (n_densities, n_meth_bins, 71) for the others.
OBSERVING = {
    "py_compute_nll",
    "py_compute_model_fracs",
    "py_fit_one_density",
    "py_fit_all_densities",
    "py_fit_all_densities_exp",
    "py_fit_shared_st",
    "py_fit_shared_exp",
    "py_fit_shared_st_exp_perdensity",
    "py_fit_shared_co",
    "py_fit_bootstrap",
    "py_fit_bootstrap_exp",
    "py_fit_bootstrap_exp_perdensity",
    "py_fit_bootstrap_co",
    "py_profile_shared_st",
    "py_profile_shared_co",
    "py_fit_tied",
}
ONE_DENSITY = {"py_compute_nll", "py_compute_model_fracs", "py_fit_one_density"}
ONE_ROW = np.tile(OBSERVED, (1, 1))


def densities_of(name):
    """How many matrices the valid call of `name` needs (bootstraps: n_densities)."""
    if name in ONE_DENSITY:
        return None
    return 2 if name.startswith("py_fit_bootstrap") else 0


def uniform_observation(densities):
    matrix = np.full((len(EDGES) - 1, 71), 0.1)
    return matrix if densities is None else np.repeat(matrix[None], densities, axis=0)


def call_observing(name, observation, one_row=False):
    """The function's valid call with `observation`; one_row gives the fits
    over all densities one observed row, so that a matrix has values to check
    (every check runs before any work)."""
    args = {p: v for p, _, v in SIGNATURES[name] + KEYWORD_ONLY[name]}  # seeded, so calls repeat
    if one_row and "observed_fracs_2d" in args:
        args["observed_fracs_2d"] = ONE_ROW
    return getattr(velk_core, name)(**args, observation=observation)


def test_observation_is_a_trailing_keyword_only_argument_of_exactly_the_scoring_functions():
    having = {n for n in velk_core.__all__ if "observation" in inspect.signature(getattr(velk_core, n)).parameters}
    assert having == OBSERVING
    for name in OBSERVING:
        parameter = list(inspect.signature(getattr(velk_core, name)).parameters.values())[-1]
        assert (parameter.name, parameter.kind, parameter.default) == ("observation", parameter.KEYWORD_ONLY, None)


@pytest.mark.parametrize("name", sorted(OBSERVING))
def test_observation_none_is_the_plain_call(name):
    plain = call_with(name)
    np.testing.assert_equal(call_observing(name, None), plain)
    if name not in ONE_DENSITY:  # matrices for no densities (or for no samples) change nothing
        np.testing.assert_equal(call_observing(name, uniform_observation(densities_of(name))), plain)


def bad_observations(name):
    ndim = 2 if name in ONE_DENSITY else 3
    valid = uniform_observation(densities_of(name) if ndim == 3 else None)
    return [
        valid.tolist(),
        np.zeros((10, 71, 1, 1)[: ndim - 1]),
        np.zeros((1,) * (ndim + 1)),
        valid.astype(np.float32),
        valid.astype(np.int64),
        1.0,
    ]


@pytest.mark.parametrize(
    "name,value",
    [pytest.param(n, v, id=f"{n}-{i}") for n in sorted(OBSERVING) for i, v in enumerate(bad_observations(n))],
)
def test_observation_of_the_wrong_kind_is_a_type_error(name, value):
    with pytest.raises(TypeError, match="^argument 'observation': "):
        call_observing(name, value)


def wrong_shapes(name):
    bins = len(EDGES) - 1
    if name in ONE_DENSITY:
        return [np.zeros((bins + 1, 71)), np.zeros((bins, 70))]
    densities = 1 if densities_of(name) == 0 else densities_of(name)
    return [np.zeros((densities + 1, bins, 71)), np.zeros((densities, bins - 1, 71)), np.zeros((densities, bins, 72))]


@pytest.mark.parametrize(
    "name,value",
    [pytest.param(n, v, id=f"{n}-{v.shape}") for n in sorted(OBSERVING) for v in wrong_shapes(n)],
)
def test_observation_of_the_wrong_shape_is_refused_before_any_work(name, value):
    with pytest.raises(RuntimeError, match=r"^observation: shape \(.*\) does not match .*71\)$"):
        call_observing(name, value, one_row=True)


@pytest.mark.parametrize("name", sorted(OBSERVING))
@pytest.mark.parametrize(
    "entry,cause",
    [
        (-1e-12, r"entry for bin 4 is negative \(-1e-12\)"),
        (np.nan, "entry for bin 4 is nan"),
        (np.inf, "entry for bin 4 is inf"),
        (0.1 + 2e-9, r"entries sum to 1\.00000000[0-9]* > 1"),
    ],
)
def test_observation_values_are_checked_naming_density_and_column(name, entry, cause):
    densities = densities_of(name)
    observation = uniform_observation(densities or (None if densities is None else 1))
    last = 0 if densities is None else (densities or 1) - 1
    target = observation if densities is None else observation[last]
    target[4, 17] = entry
    with pytest.raises(RuntimeError, match=f"^observation: density {last}, column 17: {cause}$"):
        call_observing(name, observation, one_row=True)
    target[4, 17] = 0.1 + 5e-10  # rounding in the caller's matrix is tolerated
    if name.startswith(("py_fit_bootstrap", "py_compute")):  # no work to wait for
        call_observing(name, observation, one_row=True)


@pytest.mark.parametrize("name", sorted(OBSERVING))
def test_strided_observation_is_refused_and_fortran_order_is_read_logically(name):
    densities = densities_of(name)
    observation = uniform_observation(densities or (None if densities is None else 1))
    strided = np.repeat(observation, 2, axis=-1)[..., ::2]
    with pytest.raises(RuntimeError, match="NotContiguousError"):
        call_observing(name, strided, one_row=True)
    # Fortran order: the bad entry is reported where the caller put it.
    flat = observation.reshape(-1, 71)
    flat[-1, 17] = -1.0
    fortran = np.asfortranarray(observation)
    assert not fortran.flags.c_contiguous
    last = 0 if densities is None else (densities or 1) - 1
    with pytest.raises(RuntimeError, match=f"^observation: density {last}, column 17: entry for bin 9 is negative"):
        call_observing(name, fortran, one_row=True)


def test_fortran_ordered_observation_gives_the_same_model():
    rng = np.random.default_rng(5)
    matrix = rng.uniform(size=(10, 71))
    matrix /= matrix.sum(axis=0) * 1.01
    args = (0.5, 1.0, 2.0, 3.0, EDGES)
    np.testing.assert_array_equal(
        velk_core.py_compute_model_fracs(*args, observation=np.asfortranarray(matrix)),
        velk_core.py_compute_model_fracs(*args, observation=matrix),
    )
