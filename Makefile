# Every target sets up what it needs by itself: a virtual environment for
# the interpreter PYTHON, the package installed from this checkout the way
# users get it, and the test or benchmark dependencies.
#
# PYTHON is a version (3.8, the default, to 3.13), taken from pyenv or else
# from the PATH, or the path of an interpreter. Each version has its own
# virtual environment: .venv for 3.8, .venv-3.X for the others.
PYTHON ?= 3.8
PYENV_ROOT := $(shell pyenv root 2>/dev/null)
# find_python VERSION: the newest pyenv interpreter of VERSION, else the
# PATH's pythonVERSION; empty when there is neither.
find_python = $(or $(lastword $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1))),$(shell command -v python$(1)))
# require_python VERSION: the same, and a failure of the target without one.
require_python = $(or $(call find_python,$(1)),$(error no CPython $(1) under pyenv ($(PYENV_ROOT)/versions) nor on the PATH))
INTERPRETER := $(if $(filter 3.%,$(PYTHON)),$(call find_python,$(PYTHON)),$(PYTHON))
PYTHON_VERSION := $(if $(INTERPRETER),$(shell $(INTERPRETER) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))
VENV ?= $(if $(filter 3.8,$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
VPY := $(VENV)/bin/python

.PHONY: help install test test-lowest typecheck demo bench test-asan fuzz fuzz-long valgrind \
	wheels test-dist dev clean install-extras test-extras demo-archive bench-archive

# A bare `make` lists the targets: each target's line ending in "## what
# it does" is one line of the list.
.DEFAULT_GOAL := help
help: ## this list of targets
	@awk -F ':.*## ' '/^[a-z][a-z0-9-]*:.*## / {printf "  %-14s %s\n", $$1, $$2}' $(MAKEFILE_LIST)

# pip_install ENV: pip of the environment ENV installing what follows,
# with the native module built in a folder of ENV's own
# (build/venv-3.12/TAG for .venv-3.12): CI runs targets side by side, and
# two builds in one folder break each other's files.
pip_install = $(1)/bin/python -m pip install --quiet "-Cbuild-dir=build/$(patsubst .%,%,$(notdir $(1)))/{wheel_tag}"

$(VPY):
	@$(if $(PYTHON_VERSION),:,$(error PYTHON=$(PYTHON): no such interpreter under pyenv ($(PYENV_ROOT)/versions) nor on the PATH))
	$(INTERPRETER) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# Installs the package from this checkout (not editable) with its test extras.
install: $(VPY) ## install the package from this checkout into .venv, with its test extras
	$(call pip_install,$(VENV)) '.[test]'

test: install ## the test suite (PYTHON=3.X for another CPython)
	cd tests && ../$(VENV)/bin/pytest -q -p no:cacheprovider

# The suite with the lowest versions of the runtime dependencies that the
# package allows (their lower bounds), in an environment of its own.
LOWEST := $(VENV)-lowest
test-lowest: ## the test suite with the lowest allowed versions of the dependencies
	@$(if $(PYTHON_VERSION),:,$(error PYTHON=$(PYTHON): no such interpreter under pyenv ($(PYENV_ROOT)/versions) nor on the PATH))
	$(INTERPRETER) -m venv $(LOWEST)
	$(LOWEST)/bin/python -m pip install --quiet --upgrade pip
	$(call pip_install,$(LOWEST)) '.[test]'
	$(LOWEST)/bin/python tools/lowest_requirements.py > $(LOWEST)/lowest.txt
	$(LOWEST)/bin/python -m pip install --quiet -r $(LOWEST)/lowest.txt
	$(LOWEST)/bin/python -m pip check
	cd tests && ../$(LOWEST)/bin/python -c 'import defusedxml, tqdm; print("defusedxml", defusedxml.__version__, "tqdm", tqdm.__version__)'
	cd tests && ../$(LOWEST)/bin/pytest -q -p no:cacheprovider

# The optional extras, Parquet tables (velk[table]) and Dask (velk[dask]),
# with DuckDB and Polars for the read-back test, in an environment of
# their own, so that the default environment stays as a core install is:
# there `make test` skips the tests of the extras. CPython 3.12 unless
# EXTRAS_PYTHON says otherwise; DuckDB and Polars only as built wheels,
# never compiled here.
EXTRAS_PYTHON ?= 3.12
EXTRAS := .venv-extras-$(EXTRAS_PYTHON)
EXTRAS_TESTS := test_table_parquet.py test_dask.py test_table.py test_pickling.py \
	test_archive_inputs.py

$(EXTRAS)/bin/python:
	$(call require_python,$(EXTRAS_PYTHON)) -m venv $(EXTRAS)
	$(EXTRAS)/bin/python -m pip install --quiet --upgrade pip

install-extras: $(EXTRAS)/bin/python ## install the package with its extras (Parquet, Dask) into their environment
	$(call pip_install,$(EXTRAS)) --only-binary duckdb,polars \
		'.[test,table,dask]' duckdb polars

test-extras: install-extras ## the tests of Parquet tables and of Dask, with every extra installed
	cd tests && ../$(EXTRAS)/bin/python -c 'import pyarrow, dask.distributed, duckdb, polars'
	cd tests && ../$(EXTRAS)/bin/pytest -q -p no:cacheprovider $(EXTRAS_TESTS)

# mypy --strict on the package and on a user's script of every public
# function, pyright (basedpyright, strict) on that script, and the stub of
# the native module held against the module.
typecheck: install ## mypy --strict and pyright (strict) on the package and a user's script
	$(call pip_install,$(VENV)) '.[typing]'
	cd tests && ../$(VENV)/bin/pytest -q -p no:cacheprovider test_typing.py

# The README's main job, then its walk-through of the game's saves on a
# copy in build/demo (the samples in examples/ are never written).
DEMO := build/demo
demo: $(VPY) ## the README's main job and its walk-through of the game's saves
	$(call pip_install,$(VENV)) .
	$(VENV)/bin/velk stats examples/levels-export.xml
	$(VENV)/bin/velk check examples/levels-export.xml
	rm -rf $(DEMO) && mkdir -p $(DEMO) && cp examples/created-levels.dat $(DEMO)/
	$(VENV)/bin/velk list $(DEMO)/created-levels.dat examples/game-state.dat
	$(VENV)/bin/velk export examples/game-state.dat --level 2 -o $(DEMO)/downloaded.xml
	$(VENV)/bin/velk import $(DEMO)/created-levels.dat $(DEMO)/downloaded.xml
	$(VENV)/bin/velk list $(DEMO)/created-levels.dat
	$(VENV)/bin/velk check $(DEMO)/downloaded.xml > $(DEMO)/check.txt && head -n 6 $(DEMO)/check.txt
	$(VENV)/bin/velk check $(DEMO)/created-levels.dat > $(DEMO)/check.txt && tail -n 3 $(DEMO)/check.txt
	cmp $(DEMO)/created-levels.dat.bak examples/created-levels.dat && echo "the backup is the save before"

bench: $(VPY) ## the benchmark table (ARCHIVE=1: and the rows of archives, a few minutes more)
	$(call pip_install,$(VENV)) .
	$(VPY) benchmarks/bench.py
	$(if $(ARCHIVE),$(MAKE) bench-archive)

bench-archive: install-extras ## archives: velk table on 1 and 2 processes and on Dask, Parquet queried
	$(EXTRAS)/bin/python benchmarks/archive.py

# An archive of every form with broken files, generated into build/,
# written as tables by two processes, and queried: its ten most used
# object ids. The archive holds broken files on purpose, so `velk table`
# exits with 2; the demo goes on.
ARCHIVE_DEMO := build/demo-archive
demo-archive: install-extras ## velk table on a generated archive, then its ten most used object ids
	rm -rf $(ARCHIVE_DEMO) && mkdir -p $(ARCHIVE_DEMO)
	$(EXTRAS)/bin/python tools/generate_records.py --form archive --levels 3000 --count 300 \
		--seed 5 --out $(ARCHIVE_DEMO)/archive
	$(EXTRAS)/bin/velk table $(ARCHIVE_DEMO)/archive -o $(ARCHIVE_DEMO)/tables --jobs 2; \
		echo "velk table exited with $$? (the archive holds broken files)"
	$(EXTRAS)/bin/python tools/top_objects.py $(ARCHIVE_DEMO)/tables

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a virtual environment and build directory of
# PYTHON's version (.venv-asan-3.X, build/asan-3.X).
test-asan: ## the test suite against an AddressSanitizer/UBSan build
	@$(if $(PYTHON_VERSION),:,$(error PYTHON=$(PYTHON): no such interpreter under pyenv ($(PYENV_ROOT)/versions) nor on the PATH))
	PYTHON=$(INTERPRETER) tools/asan.sh

# Coverage-guided fuzzing of every exported function under the sanitizers:
# a bounded run (CI) and a long one.
fuzz: ## a one-minute coverage-guided fuzz run of every function
	PYTHON=$(INTERPRETER) tools/fuzz.sh 60

fuzz-long: ## the same for an hour
	PYTHON=$(INTERPRETER) tools/fuzz.sh 3600

# A representative subset of the tests under valgrind.
valgrind: install ## a representative subset of the tests under valgrind
	tools/valgrind.sh $(VENV)

# Release files in dist/: an sdist, and a wheel for each of WHEEL_VERSIONS
# built from it and repaired to a manylinux tag. A version without its
# interpreter fails the target.
WHEEL_VERSIONS ?= 3.8 3.9 3.10 3.11 3.12 3.13
wheels: ## dist/: an sdist and a manylinux wheel for each of WHEEL_VERSIONS
	PYTHON=$(INTERPRETER) tools/wheels.sh dist $(foreach version,$(WHEEL_VERSIONS),$(call require_python,$(version)))

# The release files built as `make wheels` builds them, the sdist and the
# wheel of PYTHON only, installed into fresh virtual environments.
test-dist: install ## the sdist and this interpreter's wheel in fresh environments
	PYTHON=$(INTERPRETER) tools/wheels.sh build/dist $(INTERPRETER)
	cd tests && VELK_DIST=$(abspath build/dist) ../$(VENV)/bin/pytest -q -p no:cacheprovider test_distribution.py

# In-place build for working on the C++: the module lands in velk/ so that
# tests run against the checkout with PYTHONPATH=.
DEVBUILD ?= build/dev-$(PYTHON_VERSION)
$(VENV)/.dev-deps: $(VPY)
	$(VPY) -m pip install --quiet scikit-build-core pytest hypothesis
	touch $@

dev: $(VENV)/.dev-deps ## build the native module in place, into velk/
	cmake -S . -B $(DEVBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) -Wno-dev >/dev/null
	cmake --build $(DEVBUILD) -j2
	@# replace by rename, so that a process that has the old module loaded keeps it
	cp $(DEVBUILD)/_velkc*.so velk/.new_velkc.so && mv velk/.new_velkc.so velk/$$(basename $(DEVBUILD)/_velkc*.so)

clean: ## remove what the targets built, and the virtual environments of PYTHON
	rm -rf build dist $(VENV) $(LOWEST) $(EXTRAS) velk/_velkc*.so
