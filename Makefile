# The two commands a newcomer needs: `make demo` and `make test`.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# Warnings are errors in every build made from here; `pip install .` for users keeps them warnings.
BUILD_FLAGS := -Ccmake.define.KOR_WERROR=ON -Cbuild-dir=build/dev
BUILD_REQUIREMENTS := "scikit-build-core>=0.10" "nanobind==2.12.0"

.PHONY: dev test demo lint test-asan clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_REQUIREMENTS) ruff
	$(PY) -m pip install --quiet --no-build-isolation $(BUILD_FLAGS) -e '.[test]'
	touch $@

# Editable install; re-running it rebuilds only what changed under native/.
dev: $(VENV)/.ready
	$(PY) -m pip install --quiet --no-build-isolation --no-deps $(BUILD_FLAGS) -e .

test: dev
	$(VENV)/bin/pytest

demo: dev
	$(VENV)/bin/zel --help

lint: dev
	$(VENV)/bin/ruff check kor tests bench examples

clean:
	rm -rf build $(VENV)
