# Every target sets itself up: a virtual environment per interpreter and NumPy requirement.
PYTHON ?= python3.12
NUMPY ?= numpy>=2
TAG := $(PYTHON)-$(shell printf '%s' '$(NUMPY)' | tr -c 'A-Za-z0-9.' '_')
VENV ?= .venv/$(TAG)
# One CMake tree per environment, so environments can be built side by side.
BUILD_DIR ?= build/$(notdir $(VENV))
PY := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all test test-i386 demo install bench clean

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

# The suite on 32-bit x86, in a Debian i386 tree that is made once under build/ (needs root).
# I386_SUITE=trixie tries CPython 3.13 with NumPy 2 instead of 3.11 with NumPy 1.24.
I386_SUITE ?= bookworm
test-i386:
	tools/test-i386 $(I386_SUITE) $(PYTEST_ARGS)

demo: install
	$(PY) examples/demo.py

bench: install
	$(PY) benchmarks/bench.py

clean:
	rm -rf build .venv demo-output
