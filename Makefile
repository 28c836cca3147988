# make demo   -- build, install and run the demo on the local default storage
# make test   -- build, install and run the whole test suite
PYTHON ?= python3.11
VENV ?= .venv
PY := $(VENV)/bin/python
CMAKE_FLAGS := --config-settings=cmake.define.LIGHT_DATA_WERROR=ON

.PHONY: install demo test clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(PY)
	$(PY) -m pip install --quiet ./platform_standins
	$(PY) -m pip install --quiet $(CMAKE_FLAGS) ".[test]"

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest

clean:
	rm -rf build dist
