# Two commands for users and CI:
#   make demo   build and install the package into .venv, then run the demo
#   make test   run every test: the C++ engine suite (ctest) and the Python suite (pytest)
# and one for the documentation:
#   make docs   build the documentation site into docs/_build/html (warnings are errors)
# Everything they need is installed here: a virtual environment with the build
# and test tools, and GoogleTest from the system packages (installed when run
# as root, otherwise the exact command is printed).

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
JOBS ?= 2
WERROR ?= OFF
CMAKE_ARGS ?=
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: demo test docs install test-cpp test-python test-asan test-tsan bench gtest clean

demo: install
	$(VPY) -m velkora.demo

test: test-cpp test-python

# The build tools and the optional extras the demo uses (tables, figures, and
# pysam for the read files).
$(VENV)/.tools-ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "numpy>=2" "scikit-build-core>=0.10" cmake ninja "pandas>=2.0" "pyarrow>=14" "matplotlib>=3.7" "pysam>=0.22"
	touch $@

# What only the tests need: pytest, SciPy for reference values, Dask for the
# cluster tests.
$(VENV)/.test-tools-ready: $(VENV)/.tools-ready
	$(VPY) -m pip install --quiet "pytest>=7" "scipy>=1.10" "dask[distributed]>=2024.1"
	touch $@

# What only the documentation needs: Sphinx and its theme. The tutorial's
# code runs during the build (matplotlib's plot directive draws its figures)
# and the equations are drawn by matplotlib too, so nothing is fetched then.
$(VENV)/.docs-tools-ready: $(VENV)/.tools-ready
	$(VPY) -m pip install --quiet "sphinx>=7.2" "pydata-sphinx-theme>=0.15"
	touch $@

docs: install $(VENV)/.docs-tools-ready
	$(VPY) -m sphinx -E -W --keep-going -q -b html docs docs/_build/html

install: $(VENV)/.tools-ready
	$(VPY) -m pip install --quiet --no-build-isolation -Cbuild-dir=$(BUILD)/wheel -Ccmake.define.VELK_WERROR=$(WERROR) ".[tables,plot,reads]"

gtest:
	@if [ -f /usr/src/googletest/CMakeLists.txt ] || ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then \
	  :; \
	elif [ "$$(id -u)" = 0 ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	else \
	  echo "GoogleTest is missing. Install it with: sudo apt-get install -y libgtest-dev" >&2; exit 1; \
	fi

# $(1): build directory, $(2): extra CMake options
define cpp_suite
	cmake -S . -B $(BUILD)/$(1) -G Ninja -DVELK_BUILD_PYTHON=OFF -DVELK_BUILD_TESTS=ON -DVELK_WERROR=$(WERROR) $(2) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)/$(1) -j $(JOBS)
	ctest --test-dir $(BUILD)/$(1) --output-on-failure
endef

test-cpp: gtest $(VENV)/.tools-ready
	$(call cpp_suite,cpp,)

test-asan: gtest $(VENV)/.tools-ready
	$(call cpp_suite,asan,-DVELK_SANITIZE_ADDRESS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)

test-tsan: gtest $(VENV)/.tools-ready
	$(call cpp_suite,tsan,-DVELK_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)

test-python: install $(VENV)/.test-tools-ready
	$(VPY) -m pytest tests/python

bench: install $(VENV)/.test-tools-ready
	cmake -S . -B $(BUILD)/bench -G Ninja -DVELK_BUILD_PYTHON=OFF -DVELK_BUILD_BENCH=ON >/dev/null
	cmake --build $(BUILD)/bench -j $(JOBS)
	./$(BUILD)/bench/bench_steady_state
	./$(BUILD)/bench/bench_fits
	./$(BUILD)/bench/bench_shared_pass
	./$(BUILD)/bench/bench_observation
	$(VPY) bench/bench_python.py
	$(VPY) bench/bench_shared.py
	$(VPY) bench/bench_tied.py
	$(VPY) bench/bench_bootstrap.py
	$(VPY) bench/bench_drift.py
	$(VPY) bench/bench_cluster.py
	$(VPY) bench/bench_short_reads.py
	$(VPY) bench/bench_reads.py
	$(VPY) bench/bench_bisulfite.py
	$(VPY) bench/bench_counting.py
	$(VPY) bench/bench_differential.py

clean:
	rm -rf $(BUILD) $(VENV)
