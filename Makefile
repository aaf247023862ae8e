# make demo  - build bitloom into .venv and run the example
# make test  - build bitloom into .venv, run the C++ tests and the pytest suite
.PHONY: demo test install cpp-test pytest clean

VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
CXX ?= g++
CPP_TEST_DIR := tests/cpp
CPP_TEST_BIN := $(CPP_TEST_DIR)/bin

# Routines with no interpreter in them: the C++ tests link against these.
PURE_SOURCES = $(shell grep -L -E 'Python\.h|"module/' src/common/*.cpp src/encoder/*.cpp src/decoder/*.cpp)
CPP_TESTS = $(wildcard $(CPP_TEST_DIR)/test_*.cpp)

$(STAMP): pyproject.toml
	@PY=$$(scripts/find_python.sh) && echo "using $$PY" && "$$PY" -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" "hypothesis>=6.100"
	touch $@

install: $(STAMP)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall .

demo: install
	$(VPY) examples/demo.py

cpp-test:
	@mkdir -p $(CPP_TEST_BIN)
	@set -e; for t in $(CPP_TESTS); do \
	    bin=$(CPP_TEST_BIN)/$$(basename $$t .cpp); \
	    $(CXX) -std=c++20 -O2 -Wall -Wextra -Isrc -o $$bin $$t $(PURE_SOURCES); \
	    echo "running $$bin"; $$bin; \
	done

pytest: install
	$(VENV)/bin/pytest -q tests

test: cpp-test pytest

clean:
	rm -rf build $(VENV) $(CPP_TEST_BIN)
