"""The documentation site: its pages cover the package, its docstrings have
the sections the API pages render, its equations draw, and it builds."""

import importlib.util
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import velkora

DOCS = Path(__file__).resolve().parents[2] / "docs"
API_PAGES = ("api.rst", "engine.rst", "reads.rst")

# Names of __all__ that are not functions or classes with their own docstring.
NOT_DOCUMENTED_OBJECTS = {"velk_core", "MODES", "InputError"}


def _page(name: str) -> str:
    return (DOCS / name).read_text(encoding="utf-8")


def _within(module: str, package: str) -> bool:
    return module == package or module.startswith(package + ".")


# The modules and packages whose public docstrings are laid out in numpydoc sections.
NUMPYDOC_PACKAGES = tuple(f"velkora.{name}" for name in
                          ("counts", "fitting", "model", "synthetic", "parallel", "comparison", "reads"))


def _numpydoc_modules():
    import importlib  # noqa: PLC0415
    import pkgutil  # noqa: PLC0415

    found = []
    for name in NUMPYDOC_PACKAGES:
        module = importlib.import_module(name)
        found.append(name)
        if hasattr(module, "__path__"):
            found += [info.name for info in pkgutil.walk_packages(module.__path__, prefix=name + ".")]
    return found


NUMPYDOC_MODULES = _numpydoc_modules()


def _public_objects():
    return [name for name in velkora.__all__
            if name not in NOT_DOCUMENTED_OBJECTS
            and any(_within(getattr(velkora, name).__module__, package) for package in NUMPYDOC_PACKAGES)]


def _optional_modules(text: str) -> set[str]:
    return set(re.findall(r"^\.\. velk-optional-automodule:: (\S+)$", text, re.MULTILINE))


@pytest.mark.parametrize("name", velkora.__all__)
def test_every_public_name_is_on_an_api_page(name):
    text = "\n".join(_page(page) for page in API_PAGES)
    documented = (
        re.search(rf"^\.\. auto\w+:: velkora\.{re.escape(name)}$", text, re.MULTILINE)
        or re.search(rf"^\.\. py:(?:data|module):: (?:velkora\.)?{re.escape(name)}$", text, re.MULTILINE)
        # A subpackage documented whole (when installed) covers the names it exports.
        or any(_within(getattr(getattr(velkora, name), "__module__", ""), module)
               for module in _optional_modules(text))
    )
    assert documented, f"velkora.{name} is missing from the API pages"


def test_the_figures_module_is_on_the_api_page():
    assert re.search(r"^\.\. automodule:: velkora\.plot$", _page("api.rst"), re.MULTILINE)


@pytest.mark.parametrize("name", _public_objects())
def test_public_docstrings_have_numpydoc_sections(name):
    obj = getattr(velkora, name)
    doc = inspect.getdoc(obj) or ""
    summary = doc.split("\n\n", 1)[0]
    assert summary.strip(), f"{name} has no summary line"
    if inspect.isclass(obj):
        sections = ("Attributes",)
    else:
        sections = ("Parameters", "Returns")
    for section in sections:
        assert re.search(rf"^{section}\n-{{{len(section)}}}$", doc, re.MULTILINE), f"{name}: no {section} section"
    # Napoleon reads any underlined line as a section: a misspelt heading
    # would silently become a section it does not know.
    known = {"Parameters", "Returns", "Raises", "Warns", "Examples", "Notes", "Attributes", "See Also", "Yields"}
    headings = set(re.findall(r"^(\S[^\n]*)\n-{3,}$", doc, re.MULTILINE))
    assert headings <= known, f"{name}: unknown sections {sorted(headings - known)}"


def _documented_parameters(doc: str) -> set[str]:
    section = doc.split("Parameters\n----------\n", 1)[1]
    section = re.split(r"\n\S[^\n]*\n-{3,}\n", "\n" + section, maxsplit=1)[0]  # up to the next heading
    names = set()
    for line in section.splitlines():
        if line and not line.startswith(" "):
            names.update(part.strip().lstrip("*") for part in line.split(" : ", 1)[0].split(","))
    return names - {""}


@pytest.mark.parametrize("name", [name for name in _public_objects() if inspect.isfunction(getattr(velkora, name))])
def test_documented_parameters_match_the_signature(name):
    """Every parameter of the signature is documented, and nothing else is."""
    obj = getattr(velkora, name)
    signature = {p.name for p in inspect.signature(obj).parameters.values()}
    assert _documented_parameters(inspect.getdoc(obj)) == signature


def _math_expressions():
    """Every :math: role and math directive of the pages, with its page."""
    found = []
    for path in sorted(DOCS.glob("*.rst")):
        text = path.read_text(encoding="utf-8")
        found += [(path.name, m) for m in re.findall(r":math:`([^`]+)`", text)]
        for block in re.findall(r"^\.\. math::\n((?:\n|   .*\n)+)", text, re.MULTILINE):
            for part in re.split(r"\n\s*\n", block):
                if part.strip():
                    found.append((path.name, " ".join(part.split())))
    return found


def test_every_equation_draws():
    """The pages draw their equations with matplotlib's mathtext; an
    expression it cannot parse would fail the build."""
    mathtext = pytest.importorskip("matplotlib.mathtext")
    parser = mathtext.MathTextParser("path")
    expressions = _math_expressions()
    assert len(expressions) > 40
    for page, latex in expressions:
        try:
            parser.parse(f"${latex.replace(chr(92) + 'frac', chr(92) + 'dfrac')}$")
        except ValueError as error:
            pytest.fail(f"{page}: cannot draw {latex!r}: {error}")


@pytest.mark.skipif(importlib.util.find_spec("sphinx") is None or
                    importlib.util.find_spec("pydata_sphinx_theme") is None,
                    reason="Sphinx or the PyData theme is not installed (make docs installs them)")
def test_the_site_builds_without_warnings(tmp_path):
    out = tmp_path / "html"
    done = subprocess.run([sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-q", "-b", "html",
                           "-d", str(tmp_path / "doctrees"), str(DOCS), str(out)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    tutorial = (out / "tutorial.html").read_text(encoding="utf-8")
    # The tutorial's code ran: its printed tables and its figures are on the page.
    assert "velk-run-output" in tutorial
    assert len(re.findall(r'<img[^>]+src="[^"]*tutorial-\d+\.png"', tutorial)) >= 3
    model = (out / "model.html").read_text(encoding="utf-8")
    assert len(re.findall(r'<img class="math"', model)) > 20
    engine = (out / "engine.html").read_text(encoding="utf-8")
    for name in ("py_fit_shared_st", "py_compute_nll", "py_drift_predict", "py_fit_tied"):
        assert f'id="velkora.velk_core.{name}"' in engine
    cli = (out / "cli.html").read_text(encoding="utf-8")
    assert "velkora compare" in cli and "--n-sim" in cli


@pytest.mark.parametrize("module", sorted(NUMPYDOC_MODULES))
def test_docstring_examples_run(module):
    """The Examples sections run as written (those marked to skip aside)."""
    import doctest  # noqa: PLC0415
    import importlib  # noqa: PLC0415

    import numpy as np  # noqa: PLC0415

    result = doctest.testmod(importlib.import_module(module), extraglobs={"vk": velkora, "np": np},
                             optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0
