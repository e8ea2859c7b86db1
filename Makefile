# Every target sets itself up: a virtual environment per interpreter and NumPy requirement.
PYTHON ?= python3.12
NUMPY ?= numpy>=2
TAG := $(PYTHON)-$(shell printf '%s' '$(NUMPY)' | tr -c 'A-Za-z0-9.' '_')
VENV ?= .venv/$(TAG)
# One CMake tree per environment, so environments can be built side by side.
BUILD_DIR ?= build/$(notdir $(VENV))
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all test demo install bench clean

all: test

$(VENV)/.ready: tests/requirements.txt
	@test -x $(PY) || { interpreter=$$(tools/find-python $(PYTHON)) && "$$interpreter" -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "$(NUMPY)" -r tests/requirements.txt
	touch $@

# Rebuilds incrementally (build/ keeps CMake's tree) and installs into the environment.
install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) .

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

demo: install
	$(PY) examples/demo.py

bench: install
	$(PY) benchmarks/bench.py

clean:
	rm -rf build .venv demo-output
