# Quick start:  make demo   (runs the demo)      make test   (C++ and Python tests)
# Both build the package into a virtual environment ($(VENV)) on first use.

PYTHON      ?= python3
VENV        ?= .venv
EXTRAS      ?= all,test
CONSTRAINTS ?=
# Extra CMake definitions for the package build, e.g. -Ccmake.define.LUMARQ_WERROR=ON
BUILD_FLAGS ?=
PYTEST_ARGS ?=
DEMO_ARGS   ?=

VPY := $(VENV)/bin/python
SOURCES := $(shell find cpp src -type f \( -name '*.cc' -o -name '*.h' -o -name '*.py' -o -name '*.html' -o -name '*.js' -o -name '*.css' \) 2>/dev/null)
STAMP := $(VENV)/.lumarq-installed

.PHONY: demo test test-cpp run-ctest test-python check-types install clean

demo: $(STAMP)
	$(VENV)/bin/lumarq demo $(DEMO_ARGS)

test: test-cpp test-python

install: $(STAMP)

# The first build compiles the C++ core: each step says what it does and about how long it takes,
# and pip shows its own progress.
$(STAMP): pyproject.toml CMakeLists.txt $(SOURCES) $(CONSTRAINTS)
	@echo "==> [1/3] Virtual environment $(VENV) (a few seconds, first time only)"
	@test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	@echo "==> [2/3] Updating pip (under a minute)"
	$(VPY) -m pip install --quiet --upgrade pip
	@echo "==> [3/3] Building lumarq (C++ core and Python bindings) with extras [$(EXTRAS)]:"
	@echo "    about 3 to 5 minutes the first time (dependencies are downloaded, then the C++ is compiled"
	@echo "    while pip shows 'Building wheel for lumarq'), well under a minute after small changes."
	$(VPY) -m pip install --progress-bar on $(if $(CONSTRAINTS),-c $(CONSTRAINTS)) $(BUILD_FLAGS) ".[$(EXTRAS)]"
	@echo "==> lumarq is installed in $(VENV)"
	@touch $@

# Without GoogleTest the C++ tests are skipped with a note, except in CI (CI=true), where that
# fails.
test-cpp: $(STAMP)
	@if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then \
	    echo "GoogleTest not found: C++ unit tests skipped (Debian: apt-get install libgtest-dev)"; \
	    test "$$CI" != true; \
	else \
	    $(MAKE) --no-print-directory run-ctest; \
	fi

run-ctest: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(VENV)/ctest-build -DLUMARQ_BUILD_PYTHON=OFF -DLUMARQ_BUILD_TESTS=ON \
	    -DLUMARQ_WERROR=ON -DCMAKE_BUILD_TYPE=Release -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja
	$(VENV)/bin/cmake --build $(VENV)/ctest-build
	$(VENV)/bin/ctest --test-dir $(VENV)/ctest-build --output-on-failure --no-tests=error

# pytest exits with 5 when it collects nothing; that must fail like any other non-zero status.
test-python: $(STAMP)
	$(VPY) -m pytest $(PYTEST_ARGS)

# Stubs match the built modules, and the typed example passes mypy --strict (needs the
# `typecheck` extra: EXTRAS=all,test,typecheck).
check-types: $(STAMP)
	$(VPY) tools/gen_stubs.py --check
	cd examples && ../$(VENV)/bin/mypy --strict typed_pipeline.py

clean:
	rm -rf $(VENV) build
