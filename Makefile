# The two commands a newcomer needs: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# Warnings are errors in every build made from here; `pip install .` for users keeps them warnings.
BUILD_FLAGS := -Ccmake.define.KOR_WERROR=ON -Cbuild-dir=build/dev
BUILD_REQUIREMENTS := "scikit-build-core>=0.10" "nanobind==2.12.0"

.PHONY: dev test test-reliability test-spark test-all demo lint bench test-asan clean

# `wheel`: the extras are installed without build isolation, and PySpark comes as a source
# distribution that the venv's own setuptools cannot build into a wheel without it.
$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_REQUIREMENTS) ruff mypy types-PyYAML wheel
	$(PY) -m pip install --quiet --no-build-isolation $(BUILD_FLAGS) -e '.[test]'
	touch $@

# Editable install; re-running it rebuilds only what changed under native/.
dev: $(VENV)/.ready
	$(PY) -m pip install --quiet --no-build-isolation --no-deps $(BUILD_FLAGS) -e .

# The fast tier, for every change: unit, integration (real DuckDB and PostgreSQL), CLI, report;
# on every core (most of it waits on `zel` subprocesses and warehouses).
FAST_TESTS := tests/unit tests/integration tests/cli tests/report
test: dev
	$(VENV)/bin/pytest -n auto $(FAST_TESTS)

# Fault injection, leaks, interrupts, hostile input and property tests: minutes, not seconds.
test-reliability: dev
	$(VENV)/bin/pytest -n auto tests/reliability

# Everything CI runs after lint: the tiers, then the sanitizer build.
test-all: test test-reliability test-spark test-asan

# The Spark tier with its extra (PySpark and its Spark Connect client); Java 17+ must be there.
test-spark: dev
	$(PY) -m pip install --quiet --no-build-isolation $(BUILD_FLAGS) -e '.[spark]'
	$(VENV)/bin/pytest tests/spark

demo: dev
	$(PY) examples/shop/generate.py
	$(VENV)/bin/zel profile run --project-dir examples/shop --select "source:* model:*"

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, in a venv of its own.
# Leak detection is on and needs no suppressions: with PYTHONMALLOC=malloc every object is a
# malloc block, and what the interpreter keeps at exit stays reachable (tracked objects through
# the collector's lists), so LeakSanitizer reports what nothing points to any more: leaked
# strings and numbers, and C++ allocations. Leaked tracked objects and references are
# tests/reliability/test_leaks.py's part.
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
$(ASAN_VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install --quiet $(BUILD_REQUIREMENTS)
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation -Ccmake.define.KOR_SANITIZE=ON \
		-Ccmake.define.KOR_WERROR=ON -Ccmake.build-type=RelWithDebInfo -Cbuild-dir=build/asan -e '.[test]'
	touch $@

test-asan: $(ASAN_VENV)/.ready
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-Ccmake.define.KOR_SANITIZE=ON -Ccmake.define.KOR_WERROR=ON -Ccmake.build-type=RelWithDebInfo \
		-Cbuild-dir=build/asan -e .
	LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc KOR_SANITIZED=1 \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_init_order=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(ASAN_VENV)/bin/pytest -p no:cacheprovider -n auto tests/unit tests/integration tests/reliability

# The benchmark with its own extras (pandas, psutil); `make bench BENCH_ARGS=--quick` for the short one.
bench: dev
	$(PY) -m pip install --quiet --no-build-isolation $(BUILD_FLAGS) -e '.[bench]'
	$(PY) bench/profile.py $(BENCH_ARGS)

lint: dev
	$(VENV)/bin/ruff check kor tests bench examples
	$(VENV)/bin/mypy
	$(PY) tools/check_capi.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
