# make demo      - build bitloom into .venv and run the examples
# make test      - build bitloom into .venv, run the C++ tests, the type checks
#                  and the pytest suite, the pytest suite again under the
#                  sanitizers, and a few seconds of every fuzzer
# make sanitize  - the pytest suite against an AddressSanitizer and
#                  UndefinedBehaviorSanitizer build in .venv-sanitize
# make fuzz      - every fuzzer for a bounded time (FUZZ_SECONDS each)
# make matrix    - the pytest suite on every interpreter of the matrix (CPython
#                  3.14 and 3.15 from Debian sid, free-threaded 3.13 built from
#                  source), prepared once into INTERPRETERS (needs root)
# make bench     - build bitloom into .venv, add the peers, time bitloom against
#                  them and rewrite benchmarks/BENCHMARKS.md and benchmarks/ratios.png
.PHONY: matrix interpreters demo test test-parts install cpp-test cpp-test-native cpp-test-portable typecheck pytest clean \
        sanitize sanitize-install fuzz fuzz-smoke fuzz-native fuzz-python bench require-clang need-clang

VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
BENCH_STAMP := $(VENV)/.bench-deps-installed
# The libraries bitloom is timed against; only `make bench` installs them.
BENCH_PEERS := bitstruct construct bitstring numpy matplotlib ccsdspy
# The frame codec's tests hand its columns to numpy, pandas, polars, pyarrow
# and duckdb, read the command's Parquet and Arrow files back, run the Dask
# example on a local cluster of worker processes (the sanitizer run skips
# those tests), and check packet streams and field layouts against ccsdspy,
# spacepackets, bitstruct and cantools.
FRAMES_TEST_DEPS := "numpy>=1.26" "dask[dataframe]>=2024.1" "distributed>=2024.1" "pandas>=2.2" \
                    "polars>=1.0" "pyarrow>=16" "duckdb>=1.1" \
                    "ccsdspy>=1.3" "spacepackets>=0.24" "bitstruct>=8.19" "cantools>=39"
CXX ?= g++
CPP_TEST_DIR := tests/cpp
CPP_TEST_BIN := $(CPP_TEST_DIR)/bin

# The layers without the interpreter are one CMake target, bitloom_pure,
# built without Python's headers; the C++ tests and the libFuzzer targets link
# it.  BUILD_PURE configures and builds such a tree: $(call BUILD_PURE,dir,options).
CMAKE ?= cmake
BUILD_PURE = $(CMAKE) -S . -B $(1) -DBITLOOM_PURE_ONLY=ON $(2) >/dev/null && \
             $(CMAKE) --build $(1) -j 2 -- --no-print-directory

# The venvs are made and filled by scripts/venv.sh with uv, which installs
# the test dependencies in seconds where pip took a minute and a half of CPU
# time; uv itself comes from PyPI through pip, once, into a venv of its own
# (build/uv).  Where uv cannot be had, pip does the work.
UV_VENV := build/uv
UV := $(UV_VENV)/bin/uv
UV_STAMP := $(UV_VENV)/.installed

$(UV_STAMP):
	@PY=$$(scripts/find_python.sh) && "$$PY" -m venv --clear $(UV_VENV)
	@$(UV_VENV)/bin/python -m pip install --quiet "uv>=0.5" \
	    || echo "uv could not be installed; the venvs are filled with pip instead"
	@touch $@

$(STAMP): pyproject.toml Makefile | $(UV_STAMP)
	scripts/venv.sh $(UV) $(VENV) "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6.100" \
	    "mypy>=1.11" "basedpyright>=1.20" pandas-stubs pyarrow-stubs "build>=1.2" $(FRAMES_TEST_DEPS)
	touch $@

# The release build also builds the C++ test program, from the library
# objects the modules link (see cpp-test below).
install: $(STAMP)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
	    -C cmake.define.BITLOOM_WERROR=ON -C cmake.define.BITLOOM_CPP_TESTS_DIR=$(CURDIR)/$(CPP_TEST_BIN)/native .

demo: install
	$(VPY) examples/demo.py
	@echo
	$(VPY) examples/telemetry_frame.py

# The C++ tests (one program, cpp_tests) run twice: as the extension is
# built here (by `make install`, in the modules' own CMake tree, with
# link-time optimisation, so the library is compiled once for the modules and
# the tests), and with BITLOOM_PORTABLE, which compiles the fallbacks of
# compilers without __int128 or GCC builtins and of processors without F16C.
# That second build ships nowhere on this platform and is there for the code
# it compiles, so it links without link-time optimisation; it needs no Python.
CPP_MODES := cpp-test-native cpp-test-portable
cpp-test: $(CPP_MODES)
cpp-test-native: install
	@$(CPP_TEST_BIN)/native/cpp_tests
cpp-test-portable:
	@$(call BUILD_PURE,$(CPP_TEST_BIN)/portable,-DCMAKE_CXX_COMPILER=$(CXX) -DCMAKE_BUILD_TYPE=Release -DBITLOOM_WERROR=ON -DBITLOOM_PORTABLE=ON -DBITLOOM_LTO=OFF)
	@$(CPP_TEST_BIN)/portable/cpp_tests

# The stubs against the examples, the typing checks and the examples of
# README.md and docs/ (written out as modules by scripts/doc_examples.py),
# with mypy --strict and with pyright in strict mode (basedpyright, whose
# wheel brings its Node.js runtime), and against the built module (stubtest,
# run outside the source tree so that it imports the installed package).
TYPED := examples tests/typing bitloom/cli.py bitloom/__main__.py bitloom/layout.py
DOC_EXAMPLES := build/doc-examples
typecheck: install
	$(VPY) scripts/doc_examples.py $(DOC_EXAMPLES)
	$(VPY) -m mypy --strict --warn-unreachable --cache-dir build/mypy-cache $(TYPED) $(DOC_EXAMPLES)
	$(VENV)/bin/basedpyright --level error --pythonpath $(VPY) $(DOC_EXAMPLES) tests/typing
	cd tests/typing && ../../$(VPY) -m mypy.stubtest bitloom --allowlist stubtest-allowlist.txt

pytest: install
	$(VENV)/bin/pytest -q tests

# ---- sanitizers -------------------------------------------------------------
# One checked build serves the sanitizer run and the Python-surface fuzzer:
# AddressSanitizer and UndefinedBehaviorSanitizer (no recovery), built with
# clang where clang and its sanitizer runtimes are installed (then with
# libFuzzer's coverage hooks too, which stay inert unless a fuzzer is loaded),
# and otherwise with $(CXX), since g++ ships both runtimes itself.  The
# interpreter is not instrumented, so the sanitizer runtime is preloaded into
# it, and PYTHONMALLOC=malloc sends every Python object through the checked
# allocator, so that a write past the end of a bytes or str object that the
# module fills is caught too.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_STAMP := $(SAN_VENV)/.deps-installed
ATHERIS_STAMP := $(SAN_VENV)/.atheris-installed
# clang is looked for on PATH only, so hiding it there is enough to take the
# g++ road.  CLANGXX=/path/to/clang++ picks one explicitly.
CLANGXX ?= $(shell for c in clang++-14 clang++; do command -v $$c && break; done 2>/dev/null)
CLANG_ASAN_RUNTIME := $(if $(CLANGXX),$(firstword $(wildcard $(addprefix \
    $(shell $(CLANGXX) -print-runtime-dir 2>/dev/null)/,libclang_rt.asan-x86_64.so libclang_rt.asan.so))))
ifneq ($(CLANG_ASAN_RUNTIME),)
HAVE_CLANG := yes
SAN_CXX := $(CLANGXX)
SAN_PRELOAD := $(CLANG_ASAN_RUNTIME)
SAN_BUILD_DIR := build/sanitize-clang
# The libFuzzer targets are defined in the same tree (built by fuzz-native),
# from the one bitloom_pure library both compile with every check.
SAN_BUILD_OPTIONS := -C build-dir=$(SAN_BUILD_DIR) -C cmake.define.BITLOOM_FUZZ_COVERAGE=ON \
                     -C cmake.define.BITLOOM_FUZZERS=ON
else
SAN_CXX := $(CXX)
# The ASan runtime must come first; the UBSan one would load with the module.
SAN_PRELOAD := $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SAN_BUILD_OPTIONS := -C build-dir=build/sanitize-gcc
endif
# Leak checking covers memory that the module allocates itself; the
# interpreter's own allocations, never freed at exit, are suppressed by
# scripts/lsan.supp (see there).  intercept_tls_get_addr=0: up to LLVM 16 and
# GCC 13 the runtime takes a dynamic TLS block that happens to start 16 bytes
# into a page for an old glibc's block with a header, reads a bogus range from
# before it, and the leak check's tracer dies at exit ("Tracer caught signal
# 11") after every test passed; blocks glibc allocates are found without it.
SAN_ENV = ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0:malloc_context_size=3:allocator_may_return_null=1:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
          LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
          UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
          PYTHONMALLOC=malloc

# Without clang the fuzzers cannot be built: `make test` says so in one line
# and goes on, unless BITLOOM_REQUIRE_CLANG is set (CI sets it), which makes
# the missing clang a failure.
CLANG_ADVICE := (Debian: apt-get install clang-14 libclang-rt-14-dev; or set CLANGXX=/path/to/clang++)
FUZZ_SKIPPED := fuzz: skipped the libFuzzer targets and the atheris run: they need clang with its sanitizer runtimes $(CLANG_ADVICE)

# Fails at once when clang is required but missing, before the long steps run.
require-clang:
ifeq ($(HAVE_CLANG)$(BITLOOM_REQUIRE_CLANG),)
else ifneq ($(HAVE_CLANG),yes)
	@echo "BITLOOM_REQUIRE_CLANG is set but no clang with sanitizer runtimes was found $(CLANG_ADVICE)" >&2; exit 1
endif

need-clang:
ifneq ($(HAVE_CLANG),yes)
	@echo "the fuzzers need clang with its sanitizer runtimes $(CLANG_ADVICE)" >&2; exit 1
endif

$(SAN_STAMP): pyproject.toml | $(UV_STAMP)
	scripts/venv.sh $(UV) $(SAN_VENV) "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6.100"
	touch $@

# atheris builds against clang's libFuzzer, so only the fuzz run installs it;
# with uv where there is one (a second, where pip took ten of waiting).
$(ATHERIS_STAMP): $(SAN_STAMP) | need-clang
	@if [ -x $(UV) ] && $(UV) pip install --quiet --python $(SAN_PY) "atheris>=2.3"; then :; \
	 else $(SAN_PY) -m pip install --quiet "atheris>=2.3"; fi
	touch $@

# The checked build is redone when a file it is built from changes, so that
# the sanitizer run and the atheris run (which `make test` runs side by side)
# share one build.
SAN_BUILT := $(SAN_VENV)/.bitloom-installed-$(notdir $(SAN_CXX))
BUILD_INPUTS := CMakeLists.txt pyproject.toml fuzz/ubsan_cxx_stand_ins.cpp $(shell find src bitloom -type f \
                    -not -name '*.so' -not -path '*/__pycache__/*' 2>/dev/null)
$(SAN_BUILT): $(SAN_STAMP) $(BUILD_INPUTS) Makefile
	@echo "sanitizer build with $(SAN_CXX)"
	CXX=$(SAN_CXX) $(SAN_PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
	    -C cmake.build-type=RelWithDebInfo -C cmake.define.BITLOOM_SANITIZE=ON $(SAN_BUILD_OPTIONS) .
	touch $@

sanitize-install: $(SAN_BUILT)

# The packaging tests build wheels, which the checked build has no part in;
# the benchmark harness's test runs every case in Python and checks the
# harness, which the release run does once.
sanitize: sanitize-install
	$(SAN_ENV) LD_PRELOAD="$(SAN_PRELOAD)" $(SAN_VENV)/bin/pytest -q -p no:cacheprovider --capture=sys tests \
	    --ignore=tests/test_packaging.py --ignore=tests/test_benchmarks.py

# ---- fuzzing ---------------------------------------------------------------
# libFuzzer targets for the routines without the interpreter (fuzz/*.cpp,
# built in the checked build's CMake tree and linked against its bitloom_pure
# library, which that tree compiles with every check for both), and
# fuzz/fuzz_recipes.py, which drives pack_parameters and unpack_parameters
# through atheris against the checked build above.  fuzz/corpus/<target>/
# holds the seeds and every input that once found a fault; runs add what they
# learn to fuzz/bin/corpus/<target>/ and leave crashing inputs in
# fuzz/bin/artifacts/.
FUZZ_BIN := fuzz/bin
FUZZ_NATIVE = $(patsubst fuzz/%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
FUZZ_SECONDS ?= 60
SMOKE_SECONDS ?= 4
FUZZ_ENV := ASAN_OPTIONS=quarantine_size_mb=64:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1
ATHERIS_RUNTIME = $(shell $(SAN_PY) -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')

fuzz-native: need-clang sanitize-install
	@$(CMAKE) --build $(SAN_BUILD_DIR) --target fuzzers -j 2
	@set -e; for t in $(FUZZ_NATIVE); do \
	    $(FUZZ_ENV) scripts/run_fuzzer.sh $$t $(SECONDS) $(SAN_BUILD_DIR)/$$t; \
	done

# Beside atheris's runtime, the stand-ins of the handlers it lacks, which the
# checked build makes (fuzz/ubsan_cxx_stand_ins.cpp).
fuzz-python: need-clang sanitize-install $(ATHERIS_STAMP)
	@$(SAN_ENV) ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=64 \
	    LD_PRELOAD="$(ATHERIS_RUNTIME) $(CURDIR)/$(SAN_BUILD_DIR)/libubsan_cxx_stand_ins.so" \
	    scripts/run_fuzzer.sh fuzz_recipes $(SECONDS) $(SAN_PY) fuzz/fuzz_recipes.py

# SECONDS reaches fuzz-native and fuzz-python as a target-specific value,
# so that `make test` builds the checked module once for the sanitizer run
# and the atheris run (a second make would build it again beside the first).
fuzz: SECONDS = $(FUZZ_SECONDS)
fuzz: fuzz-native fuzz-python

ifeq ($(HAVE_CLANG),yes)
fuzz-smoke: SECONDS = $(SMOKE_SECONDS)
fuzz-smoke: require-clang fuzz-native fuzz-python
else
fuzz-smoke: require-clang
	@echo "$(FUZZ_SKIPPED)"
endif

# The parts of `make test` run two at a time (TEST_JOBS), the machine it is
# timed on having two cores: the sanitizer build and run beside the release
# build, its pytest run and the type checks, with the C++ tests and the
# fuzzers filling the gaps.  Each part's output is printed when it ends.
TEST_JOBS ?= 2
test: require-clang
	@$(MAKE) --no-print-directory -j$(TEST_JOBS) --output-sync=target test-parts IN_TEST=1

test-parts: sanitize pytest cpp-test typecheck fuzz-smoke

# The two builds come first, then the two pytest runs (the longest parts,
# one core each), and the C++ tests, the type checks and the fuzzers after
# them: the portable C++ build (the longest of those) beside the sanitizer
# run, and the type checks and the fuzzers, which end in single processes,
# at the end side by side rather than the portable build alone.  Left to itself, make gave both cores to the C++ tests first, and
# the sanitizer run, the longest part, started last.  (Named through the
# phony sanitize-install: with the stamp file named here instead, make 4.3
# still started the C++ tests before the sanitizer run.)
ifdef IN_TEST
typecheck cpp-test-native cpp-test-portable fuzz-native: | sanitize-install install
endif

# ---- the interpreter matrix -------------------------------------------------
# A Debian sid tree with python3.14 and python3.15 and a free-threaded 3.13
# built in it, made once into INTERPRETERS and reused while present (see
# scripts/interpreters.sh); each interpreter gets its own venv in
# build/matrix/.  MATRIX picks the interpreters.
INTERPRETERS ?= $(CURDIR)/.interpreters
MATRIX ?= python3.14 python3.15 python3.13t

interpreters:
	scripts/interpreters.sh prepare $(INTERPRETERS)

matrix: interpreters
	MATRIX_TEST_DEPS='$(FRAMES_TEST_DEPS)' scripts/matrix.sh $(INTERPRETERS) $(MATRIX)

$(BENCH_STAMP): $(STAMP)
	$(VPY) -m pip install --quiet $(BENCH_PEERS)
	@# bitstruct's C extension is an optional part of its package; the benchmarks need it.
	$(VPY) -c "import bitstruct.c"
	touch $@

# BENCH_ARGS passes options to the harness, e.g. BENCH_ARGS="--filter utf8".
bench: install $(BENCH_STAMP)
	cd benchmarks && ../$(VPY) run.py $(BENCH_ARGS)
	cd benchmarks && nice ../$(VPY) dumps.py --markdown BENCHMARKS.md
	cd benchmarks && nice ../$(VPY) streams.py --markdown BENCHMARKS.md

clean:
	rm -rf build $(VENV) $(SAN_VENV) $(CPP_TEST_BIN) fuzz/bin
