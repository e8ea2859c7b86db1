# Every target sets itself up: a virtual environment per interpreter and NumPy requirement.
PYTHON ?= python3.12
NUMPY ?= numpy>=2
TAG := $(PYTHON)-$(shell printf '%s' '$(NUMPY)' | tr -c 'A-Za-z0-9.' '_')
VENV ?= .venv/$(TAG)
# One CMake tree per environment, so environments can be built side by side.
BUILD_DIR ?= build/$(notdir $(VENV))
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
# Extra scikit-build-core settings for install, e.g. -Ccmake.define.PIXALOT_SANITIZE=address.
BUILD_SETTINGS ?=

.PHONY: all lint test test-threads tsan kernel-tests test-i386 test-unstable test-aarch64 demo install wheel wheels bench bench-cli clean sanitize valgrind soak

all: test

# The test dependencies and the build tools: pyproject.toml's dependency groups (a pip from
# 25.1 on reads them).
$(VENV)/.ready: pyproject.toml
	@test -x $(PY) || { interpreter=$$(tools/find-python $(PYTHON)) && "$$interpreter" -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "$(NUMPY)" --group dev
	touch $@

# Rebuilds incrementally (build/ keeps CMake's tree) and installs into the environment.
install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(BUILD_DIR) $(BUILD_SETTINGS) .

# ruff, and mypy's strict checks of the command line against the installed module's stubs;
# both take their settings from pyproject.toml.
lint: install
	$(PY) -m ruff check
	$(PY) -m mypy

test: lint kernel-tests
	$(PY) -m pytest $(PYTEST_ARGS)

# The module's suite again with each opt-in setting: two worker threads inside every call,
# then the interpreter lock let go while each call computes. The command line's tests run
# the same module through its own processes, and the threads' own test sets its settings
# itself, so neither adds anything here. About a minute and a half each.
THREADS_SUITE = -p no:cacheprovider --ignore=tests/cli --ignore=tests/test_worker_threads.py $(PYTEST_ARGS)
test-threads: install
	PIXALOT_NUM_THREADS=2 $(PY) -m pytest $(THREADS_SUITE)
	PIXALOT_RELEASE_GIL=1 $(PY) -m pytest $(THREADS_SUITE)

# The operations' own test, built without Python in a CMake tree beside the module's.
kernel-tests:
	cmake -S . -B $(BUILD_DIR)-kernels -DPIXALOT_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD_DIR)-kernels -j 2
	ctest --test-dir $(BUILD_DIR)-kernels --output-on-failure

# The operations' own test under ThreadSanitizer: the pool, split results written by several
# threads, and callers of their own sharing the pool with faults in their parts. Without
# Python, whose uninstrumented interpreter would drown the report.
tsan:
	cmake -S . -B $(BUILD_DIR)-tsan -DPIXALOT_MODULE=OFF -DPIXALOT_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD_DIR)-tsan -j 2
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD_DIR)-tsan --output-on-failure

# The suite in Debian trees that are made once under build/ (needs root; see tools/tree).
# On 32-bit x86; I386_SUITE=trixie tries CPython 3.13 with NumPy 2 instead of 3.11 with NumPy 1.24.
I386_SUITE ?= bookworm
test-i386:
	tools/tree test i386-$(I386_SUITE) $(PYTEST_ARGS)

# On CPython 3.14 and 3.15 built with GCC, and on 3.14 once more built with Clang.
test-unstable:
	tools/tree test amd64-unstable $(PYTEST_ARGS)

# On 64-bit ARM: the aarch64 wheels cross-built into dist/ (as by `make wheels`), and the suite
# on each under user-mode emulation, NumPy from PyPI's aarch64 wheels (needs root; see
# tools/wheels). AARCH64_WHEELS="cp311-aarch64 cp313-aarch64 cp314-aarch64 cp315-aarch64"
# takes all four.
AARCH64_WHEELS ?= cp311-aarch64
test-aarch64:
	WHEELS="$(AARCH64_WHEELS)" tools/wheels $(PYTEST_ARGS)

demo: install
	$(PY) -m pixalot_cli demo

# A wheel and an sdist in dist/, the wheel built from the sdist (so the sdist is known to be
# complete), then the whole suite against that wheel in a fresh environment.
WHEEL_VENV := build/wheel-check-$(notdir $(VENV))
wheel: $(VENV)/.ready
	rm -rf dist $(WHEEL_VENV)
	$(PY) -m pip install -q build
	$(PY) -m build --outdir dist .
	interpreter=$$(tools/find-python $(PYTHON)) && "$$interpreter" -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_VENV)/bin/python -m pip install -q "$(NUMPY)" --group test
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(ls dist/pixalot-*.whl)[cli,dask]"
	$(WHEEL_VENV)/bin/python -m pytest $(PYTEST_ARGS)

# The sdist and manylinux wheels for CPython 3.11 to 3.15 on x86-64, 32-bit x86 and 64-bit ARM,
# built without a container engine and each checked (tag, libm imports, the suite); see tools/wheels.
# WHEELS="cp311-x86_64 ..." makes and checks only those.
wheels:
	tools/wheels $(PYTEST_ARGS)

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, in an
# environment of its own. The interpreter is not instrumented, so the runtimes are preloaded;
# its own allocations at exit are not ours to judge, hence no leak check. Refused terabyte
# requests must come back as null, as without the sanitizer. Reports go to files, since
# pytest holds file descriptor 2 when a sanitizer ends the process.
SANITIZE_VENV ?= .venv/sanitize
SANITIZE_LOG = $(CURDIR)/build/$(notdir $(SANITIZE_VENV))/sanitizer
SANITIZER_REPORTS = cat $(SANITIZE_LOG).* 2>/dev/null | grep -v 'WARNING: AddressSanitizer failed to allocate'
sanitize:
	$(MAKE) install VENV=$(SANITIZE_VENV) BUILD_SETTINGS=-Ccmake.define.PIXALOT_SANITIZE=address,undefined
	rm -f $(SANITIZE_LOG).*
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1:log_path=$(SANITIZE_LOG) \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(SANITIZE_LOG) \
	$(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) || { $(SANITIZER_REPORTS) >&2; exit 1; }
	@! $(SANITIZER_REPORTS) | grep . >&2

# Every outcome of every function under memcheck (the soak test, a few rounds, and the borrow,
# fault and changed-input tests). CPython and NumPy have errors of their own under memcheck;
# only those with a frame in pixalot's library count.
VALGRIND_TESTS ?= tests/test_soak.py tests/test_input_and_borrows.py tests/test_faults.py tests/test_header_changes.py
valgrind: install
	PYTHONMALLOC=malloc PIXALOT_SOAK_COUNT=2 valgrind --tool=memcheck --num-callers=40 --fullpath-after= \
		--log-file=$(BUILD_DIR)/valgrind.log $(PY) -m pytest -p no:cacheprovider -q $(VALGRIND_TESTS) $(PYTEST_ARGS)
	tools/valgrind-errors-in pixalot $(BUILD_DIR)/valgrind.log

soak: install
	PIXALOT_SOAK_COUNT=100000 $(PY) -m pytest -p no:cacheprovider tests/test_soak.py $(PYTEST_ARGS)

bench: install
	$(PY) benchmarks/bench.py
	$(PY) benchmarks/bench_threads.py

# The command against scripts using the same codecs (OpenCV's, Pillow's), on scikit-image's
# sample photographs and a 48-megapixel JPEG made from one; prints the ratios.
bench-cli: install
	$(PY) -m pip install -q opencv-python-headless scikit-image
	$(PY) benchmarks/bench_cli.py

clean:
	rm -rf build .venv demo-output dist
