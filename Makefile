# make demo  - build bitloom into .venv and run the examples
# make test  - build bitloom into .venv, run the C++ tests, the type checks and
#              the pytest suite
# make bench - build bitloom into .venv, add the peers, time bitloom against
#              them and rewrite benchmarks/BENCHMARKS.md and benchmarks/ratios.png
.PHONY: demo test install cpp-test typecheck pytest bench clean

VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
BENCH_STAMP := $(VENV)/.bench-deps-installed
# The libraries bitloom is timed against; only `make bench` installs them.
BENCH_PEERS := bitstruct construct bitstring numpy matplotlib
CXX ?= g++
CPP_TEST_DIR := tests/cpp
CPP_TEST_BIN := $(CPP_TEST_DIR)/bin

# Routines with no interpreter in them: the C++ tests link against these.
PURE_SOURCES = $(shell grep -L -E 'Python\.h|"module/' src/common/*.cpp src/encoder/*.cpp src/decoder/*.cpp)
CPP_TESTS = $(wildcard $(CPP_TEST_DIR)/test_*.cpp)

$(STAMP): pyproject.toml
	@PY=$$(scripts/find_python.sh) && echo "using $$PY" && "$$PY" -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6.100" \
	    "mypy>=1.11" "build>=1.2"
	touch $@

install: $(STAMP)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

demo: install
	$(VPY) examples/demo.py
	@echo
	$(VPY) examples/telemetry_frame.py

# Each C++ test runs twice: as the extension is built here, and with
# BITLOOM_PORTABLE, which compiles the fallbacks of compilers without
# __int128 or GCC builtins and of processors without F16C.
cpp-test:
	@mkdir -p $(CPP_TEST_BIN)
	@set -e; for t in $(CPP_TESTS); do \
	    for mode in native portable; do \
	        bin=$(CPP_TEST_BIN)/$$(basename $$t .cpp)-$$mode; \
	        flags=$$([ $$mode = portable ] && echo -DBITLOOM_PORTABLE || true); \
	        $(CXX) -std=c++20 -O2 -Wall -Wextra -Wpedantic $$flags -Isrc -o $$bin $$t $(PURE_SOURCES); \
	        echo "running $$bin"; $$bin; \
	    done; \
	done

# The stubs against the examples and the typing checks (strict), and against
# the built module (stubtest, run outside the source tree so that it imports
# the installed package).
TYPED := examples tests/typing bitloom/cli.py bitloom/__main__.py
typecheck: install
	$(VPY) -m mypy --strict --warn-unreachable --cache-dir build/mypy-cache $(TYPED)
	cd tests/typing && ../../$(VPY) -m mypy.stubtest bitloom --allowlist stubtest-allowlist.txt

pytest: install
	$(VENV)/bin/pytest -q tests

test: cpp-test typecheck pytest

$(BENCH_STAMP): $(STAMP)
	$(VPY) -m pip install --quiet $(BENCH_PEERS)
	@# bitstruct's C extension is an optional part of its package; the benchmarks need it.
	$(VPY) -c "import bitstruct.c"
	touch $@

# BENCH_ARGS passes options to the harness, e.g. BENCH_ARGS="--filter utf8".
bench: install $(BENCH_STAMP)
	cd benchmarks && ../$(VPY) run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(CPP_TEST_BIN)
