# Every target sets up what it needs by itself: a virtual environment with
# CPython 3.8 (override with PYTHON=...), the package installed from this
# checkout the way users get it, and the test or benchmark dependencies.
PYTHON ?= $(lastword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.8.*/bin/python3.8))
ifeq ($(PYTHON),)
PYTHON := python3.8
endif
VENV ?= .venv
VPY := $(VENV)/bin/python

.PHONY: test demo bench test-asan fuzz fuzz-long valgrind dev clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# Installs the package from this checkout (not editable) with its test extras.
install: $(VPY)
	$(VPY) -m pip install --quiet '.[test]'

test: install
	cd tests && ../$(VENV)/bin/pytest -q -p no:cacheprovider

demo: $(VPY)
	$(VPY) -m pip install --quiet .
	$(VENV)/bin/velk stats examples/levels-export.xml
	$(VENV)/bin/velk check examples/levels-export.xml

bench: $(VPY)
	$(VPY) -m pip install --quiet .
	$(VPY) benchmarks/bench.py

# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own virtual environment.
test-asan:
	PYTHON=$(PYTHON) tools/asan.sh

# Coverage-guided fuzzing of every exported function under the sanitizers:
# a bounded run (CI) and a long one.
fuzz:
	PYTHON=$(PYTHON) tools/fuzz.sh 60

fuzz-long:
	PYTHON=$(PYTHON) tools/fuzz.sh 3600

# A representative subset of the tests under valgrind.
valgrind: install
	tools/valgrind.sh $(VENV)

# In-place build for working on the C++: the module lands in velk/ so that
# tests run against the checkout with PYTHONPATH=.
DEVBUILD ?= build/dev
$(VENV)/.dev-deps: $(VPY)
	$(VPY) -m pip install --quiet scikit-build-core pytest hypothesis
	touch $@

dev: $(VENV)/.dev-deps
	cmake -S . -B $(DEVBUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) -Wno-dev >/dev/null
	cmake --build $(DEVBUILD) -j2
	@# replace by rename, so that a process that has the old module loaded keeps it
	cp $(DEVBUILD)/_velkc*.so velk/.new_velkc.so && mv velk/.new_velkc.so velk/$$(basename $(DEVBUILD)/_velkc*.so)

clean:
	rm -rf build $(VENV) velk/_velkc*.so
