"""Argument conversion of every exported function, kind by kind."""

import math

import numpy as np
import pytest

from velkora import velk_core

EDGES = np.linspace(0.0, 1.0, 11)
OBSERVED = np.full(10, 0.1)

# name -> [(parameter, kind, valid value)], in signature order.
SIGNATURES = {
    "py_set_raw_count": [("enabled", "bool", False)],
    "py_set_mm_vmax": [("vmax", "float", math.inf)],
    "py_compute_nll": [
        ("params", "array1", np.array([0.5, 2.0, 3.0])),
        ("observed_fracs", "array1", OBSERVED),
        ("meth_bin_edges", "array1", EDGES),
        ("normalize_stw", "bool", True),
    ],
    "py_compute_model_fracs": [
        ("ste", "float", 0.5),
        ("stw", "float", 1.0),
        ("cow", "float", 2.0),
        ("coe", "float", 3.0),
        ("meth_bin_edges", "array1", EDGES),
    ],
    "py_compute_phase_grids": [
        ("st_free", "float", 1.0),
        ("normalize_stw", "bool", True),
        ("log_cow_grid", "array1", np.linspace(-1.0, 1.0, 3)),
        ("log_coe_grid", "array1", np.linspace(-1.0, 1.0, 2)),
        ("n_u", "float", 2.0),
        ("n_m", "float", 2.0),
    ],
    "py_fit_drift_one": [
        ("p0_observed", "array1", OBSERVED),
        ("fit_observed_2d", "array2", np.tile(OBSERVED, (2, 1))),
        ("fit_ages", "array1", np.array([1.0, 2.0])),
        ("meth_bin_edges", "array1", EDGES),
        ("st_bounds", "bounds", (1e-3, 1.0)),
    ],
    "py_fit_drift_bootstrap": [
        ("p0_per_boot", "array2", np.tile(OBSERVED, (2, 1))),
        ("fit_observed_per_boot", "array2", np.tile(OBSERVED, (4, 1))),
        ("n_boot", "count", 2),
        ("n_fit_ages", "count", 2),
        ("fit_ages", "array1", np.array([1.0, 2.0])),
        ("meth_bin_edges", "array1", EDGES),
        ("st_bounds", "bounds", (1e-3, 1.0)),
    ],
    "py_drift_predict": [
        ("ste", "float", 0.1),
        ("stw", "float", 0.2),
        ("p0_observed", "array1", OBSERVED),
        ("ages", "array1", np.array([0.0, 1.0, 5.0])),
        ("meth_bin_edges", "array1", EDGES),
    ],
}

# Unseeded fits may differ in the last digits from call to call.
UNSEEDED = {"py_fit_drift_one"}


class FloatLike:
    def __float__(self):
        return 2.0


class IndexLike:
    def __index__(self):
        return 2


class Pair(tuple):
    pass


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
    "array2": [
        [[0.1, 0.9], [0.2, 0.8]],
        np.array([0.1, 0.9]),
        np.zeros((2, 2), dtype=np.int64),
        np.zeros((2, 2), dtype=np.float32),
        np.zeros((2, 2, 2)),
    ],
    # A negative count is an OverflowError: see test_negative_counts_overflow.
    "count": [2.0, np.float64(2.0), "2", None],
    "bounds": [[1e-3, 1.0], (1e-3, 0.5, 1.0), (1e-3,), ("low", 1.0), None, np.array([1e-3, 1.0])],
}

GOOD = {
    "float": [2, 2.0, np.float64(2.0), np.float32(2.0), np.int64(2), FloatLike(), IndexLike(), True],
    "bool": [True, False, np.True_, np.False_],
    "count": [2, np.int64(2), np.uint8(2), IndexLike()],
    "bounds": [(1e-3, 1), Pair((1e-3, 1.0)), (np.float64(1e-3), FloatLike())],
}


def call_with(name, override=None, value=None):
    args = [v for _, _, v in SIGNATURES[name]]
    if override is not None:
        index = [p for p, _, _ in SIGNATURES[name]].index(override)
        args[index] = value
    return getattr(velk_core, name)(*args)


def cases(kind_table):
    for name, params in SIGNATURES.items():
        for parameter, kind, _ in params:
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


def test_boolean_error_says_it_cannot_be_converted():
    with pytest.raises(TypeError, match="boolean"):
        velk_core.py_set_raw_count(1)


def test_array_errors_say_what_was_given():
    with pytest.raises(TypeError, match="list"):
        velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, [0.0, 1.0])
    with pytest.raises(TypeError, match="int64"):
        velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, np.array([0, 1]))


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_keywords_positional_and_mixed_calls_agree(name):
    params = SIGNATURES[name]
    function = getattr(velk_core, name)
    positional = function(*[v for _, _, v in params])
    keywords = function(**{p: v for p, _, v in params})
    mixed = function(*[v for _, _, v in params[:1]], **{p: v for p, _, v in params[1:]})
    for result in (keywords, mixed):
        if name in UNSEEDED:
            np.testing.assert_allclose(result, positional, rtol=1e-5)
        else:
            np.testing.assert_equal(result, positional)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_call_shape_errors_name_the_function(name):
    params = SIGNATURES[name]
    function = getattr(velk_core, name)
    values = [v for _, _, v in params]
    with pytest.raises(TypeError, match=f"{name}\\(\\) missing required argument '{params[0][0]}'"):
        function()
    with pytest.raises(TypeError, match=f"{name}\\(\\) takes at most {len(params)} arguments"):
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
    [(n, p) for n, ps in SIGNATURES.items() for p, kind, _ in ps if kind in ("array1", "array2")],
)
def test_strided_views_are_refused_before_any_work(name, parameter):
    valid = dict((p, v) for p, _, v in SIGNATURES[name])[parameter]
    strided = np.repeat(valid, 2, axis=-1)[..., ::2]
    assert not (strided.flags.c_contiguous or strided.flags.f_contiguous)
    with pytest.raises(RuntimeError, match="NotContiguousError"):
        call_with(name, parameter, strided)


def test_conversion_errors_come_before_contiguity_errors():
    strided = np.repeat(np.array([0.5, 2.0, 3.0]), 2)[::2]
    with pytest.raises(TypeError, match="normalize_stw"):
        velk_core.py_compute_nll(strided, OBSERVED, EDGES, 1)


def test_array_subclasses_and_readonly_arrays_are_accepted():
    class Tagged(np.ndarray):
        pass

    edges = EDGES.copy().view(Tagged)
    frozen = EDGES.copy()
    frozen.flags.writeable = False
    expected = velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, EDGES)
    np.testing.assert_array_equal(velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, edges), expected)
    np.testing.assert_array_equal(velk_core.py_compute_model_fracs(0.5, 1.0, 2.0, 2.0, frozen), expected)


def test_inputs_are_never_written():
    edges = EDGES.copy()
    observed = OBSERVED.copy()
    params = np.array([0.5, 2.0, 3.0])
    velk_core.py_compute_nll(params, observed, edges, True)
    np.testing.assert_array_equal(edges, EDGES)
    np.testing.assert_array_equal(observed, OBSERVED)
    np.testing.assert_array_equal(params, [0.5, 2.0, 3.0])


@pytest.mark.parametrize(
    "name,parameter",
    [(n, p) for n, ps in SIGNATURES.items() for p, kind, _ in ps if kind == "count"],
)
def test_negative_counts_overflow(name, parameter):
    with pytest.raises(OverflowError, match=f"^argument '{parameter}': "):
        call_with(name, parameter, -1)


def test_bounds_of_the_wrong_length_say_so():
    with pytest.raises(TypeError, match="length 2.*length 3"):
        call_with("py_fit_drift_one", "st_bounds", (0.1, 0.2, 0.3))
