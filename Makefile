# make demo      build, install and run the demo on the local default storage
# make test      build, install and run the whole test suite (newest pandas)
# make test-pandas22   the same suite against pandas 2.2, in its own environment
# make bench     benchmarks against the bare pandas/pyarrow calls
# make sanitize  the suite under AddressSanitizer and UndefinedBehaviorSanitizer
PYTHON ?= python3.11
VENV ?= .venv
PY := $(VENV)/bin/python
PANDAS_PIN ?=
WERROR := --config-settings=cmake.define.LIGHT_DATA_WERROR=ON

.PHONY: install demo test test-pandas22 bench sanitize clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet ./platform_standins
	$(PY) -m pip install --quiet $(WERROR) ".[test]" $(PANDAS_PIN)

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

test-pandas22:
	$(MAKE) test VENV=.venv-pandas22 PANDAS_PIN="pandas==2.2.*"

bench: install
	$(PY) bench/run.py
	$(PY) bench/batch_read.py

sanitize:
	tools/sanitize.sh

clean:
	rm -rf build dist
