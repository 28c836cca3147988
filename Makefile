# make demo      build, install and run the demo on the local default storage
# make test      build, install and run the whole test suite (newest pandas)
# make check     type checks: the companions and stand-ins, the stubs against the modules
# make test-pandas22   the same suite against pandas 2.2, in its own environment
# make bench     benchmarks against the bare pandas/pyarrow calls
# make sanitize  the suite under AddressSanitizer and UndefinedBehaviorSanitizer
# make clean     remove build outputs, virtual environments, caches and benchmark results
PYTHON ?= python3.11
VENV ?= .venv
PY := $(VENV)/bin/python
PANDAS_PIN ?=
WERROR := --config-settings=cmake.define.LIGHT_DATA_WERROR=ON
INSTALL_ARGS := $(strip $(WERROR) ".[test]" $(PANDAS_PIN))

# The stamp of the last install, holding its arguments. It lives inside the
# virtual environment, so a new or removed environment always gets a fresh
# install; it is out of date when any file the install is built from is newer,
# or when the arguments (the pandas pin among them) differ.
INSTALLED := $(VENV)/.installed
INSTALL_INPUTS := CMakeLists.txt pyproject.toml \
	$(shell find src platform_standins -type f \
	    -not -path '*/__pycache__/*' -not -path 'platform_standins/build/*' \
	    -not -path '*.egg-info/*')

# The companions and the stand-ins, checked by mypy as installed (its settings are in
# pyproject.toml); the type stubs are checked against the compiled modules.
TYPED_PACKAGES := halvorn.orrery_data.light_data_batch halvorn.orrery_data._light_data_batch \
	halvorn.orrery_data.light_data_cache halvorn.orrery_data._light_data_cache_copies \
	halvorn.orrery_data._light_data_inputs \
	halvorn.orrery_data.enums halvorn.orrery_data.path_manager halvorn.orrery_utils
STUBBED_MODULES := halvorn.orrery_data.light_data halvorn.orrery_data._light_data_core \
	halvorn.orrery_data._light_data_arrow

# Benchmark scripts that `make bench` runs, in order; BENCH_ARGS is passed to each.
BENCHMARKS := bench/run.py bench/batch_read.py bench/hot_paths.py bench/write_range.py bench/cold_start.py
BENCH_ARGS ?=

.PHONY: install demo test check test-pandas22 bench sanitize clean
ifneq ($(shell cat $(INSTALLED) 2>/dev/null),$(INSTALL_ARGS))
.PHONY: $(INSTALLED)
endif

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

#: pip would byte-compile every module of every dependency, most of which no run
# imports; Python compiles what it imports, once.
$(INSTALLED): $(INSTALL_INPUTS) | $(PY)
	$(PY) -m pip install --quiet ./platform_standins
	$(PY) -m pip install --quiet $(INSTALL_ARGS)
	echo '$(INSTALL_ARGS)' > $@

install: $(INSTALLED)

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

check: install
	$(PY) -m mypy --no-incremental $(addprefix -p ,$(TYPED_PACKAGES))
	$(PY) -m mypy.stubtest $(STUBBED_MODULES)
	$(PY) -m mypy --strict --no-incremental examples/typed_usage.py

# The stubs and the typed example are checked against the modules, whatever pandas is
# installed: `make test` and `make check` check them already.
test-pandas22:
	$(MAKE) test VENV=.venv-pandas22 PANDAS_PIN="pandas==2.2.*" \
	    PYTEST_ARGS="--deselect tests/test_documentation.py::test_stub_matches_the_runtime_module \
	    --deselect tests/test_documentation.py::test_typed_example_passes_strict_checking"

bench: install
	@set -e; for script in $(BENCHMARKS); do \
	    echo "$(PY) $$script $(BENCH_ARGS)"; $(PY) $$script $(BENCH_ARGS); \
	done

sanitize:
	tools/sanitize.sh

clean:
	rm -rf build dist .venv* bench/results .pytest_cache .hypothesis .mypy_cache
	rm -rf platform_standins/build platform_standins/*.egg-info
	find . -name __pycache__ -type d -prune -exec rm -rf {} +
