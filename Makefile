# vek: set up, build and test from nothing (Debian 12, 13 and unstable).
SHELL := /bin/bash
PY    := .venv/bin/python

.PHONY: setup build test demo test-asan test-generic lint dist check-wheel clean distclean

setup:
	@bash scripts/setup.sh

build: setup

test: setup
	$(PY) -m pytest tests -q

# Static checks: ruff (configured in pyproject.toml) over the Python of the
# tree, mypy over the package (the extension through its stub), and the C++
# formatted as .clang-format says.
lint: setup
	$(PY) -m ruff check src tests benchmarks scripts
	$(PY) -m mypy src/vek
	@bash scripts/check-format.sh

demo: setup
	@$(PY) -m vek.demo

# The extension built with ASan+UBSan (build/asan), staged in build/asan-site
# and imported ahead of the normal install; the whole suite runs against it.
test-asan: setup
	@bash scripts/test-asan.sh

# The extension built with VEK_FASTPATH=OFF (build/generic: every operation
# takes CPython's generic path), staged in build/generic-site; the whole
# suite runs against it, the reference the shortcuts must equal.
test-generic: setup
	@bash scripts/test-generic.sh

# The sdist and a manylinux wheel built from it, checked and tagged by
# auditwheel, in dist/ (scripts/dist.sh).
dist: setup
	@bash scripts/dist.sh

# vek's wheel with GDAL's binary wheel (gdal-wheel) in a fresh venv that
# does not see the system's bindings, and the whole suite run there; needs
# the package index (scripts/check-wheel.sh).
check-wheel: setup
	@bash scripts/check-wheel.sh

clean:
	rm -rf build dist src/*.egg-info
	find src tests -name __pycache__ -type d -prune -exec rm -rf {} +

distclean: clean
	rm -rf .venv .venv-py3.1[34]

# A second venv, .venv-py3.14, with vek built for CPython 3.14 (PY314, by
# default the python3.14 on PATH), for the benchmarks on both Pythons.
PY314 ?= $(shell command -v python3.14)
.PHONY: setup-py3.14
setup-py3.14:
	@[[ -n "$(PY314)" ]] || { echo "setup-py3.14: no python3.14 on PATH; give one: make setup-py3.14 PY314=/path/to/python3.14" >&2; exit 1; }
	@VEK_PYTHON="$(PY314)" VEK_VENV=.venv-py3.14 bash scripts/setup.sh

# Side-by-side benchmarks: binding floor, osgeo.gdal idiom and vek, with the
# performance targets, and the floor, twin and vek on a second Python when
# .venv-py3.14 (or .venv-py3.13) is there; see benchmarks/run.py.
.PHONY: bench
bench: setup
	$(PY) benchmarks/run.py
	$(PY) benchmarks/writing.py

# Reliability (docs/reliability.md): the leak check with 100,000 calls per
# case in child processes (tests/stress/leakcheck.py), then the hostile-input,
# thread and data-safety tests with 5,000 examples per property and more
# rounds, and the agreement of vek's value checks with GDAL's own validator
# over every driver (`make test` runs a sample of the drivers); `make test`
# runs the same with 5,000 calls and 200 examples.
.PHONY: stress valgrind
stress: setup
	$(PY) tests/stress/leakcheck.py --calls 100000 --json build/stress/leakcheck.json
	VEK_HYPOTHESIS_EXAMPLES=5000 VEK_THREAD_ROUNDS=400 $(PY) -m pytest -q -p no:cacheprovider \
		tests/test_hostile.py tests/dataset/test_threads.py tests/dataset/test_data_safety.py
	VEK_GDAL_AGREEMENT=all $(PY) -m pytest -q -p no:cacheprovider tests/options/test_gdal_agreement.py

# valgrind's memcheck over tests/stress/smoke.py with the installed build;
# fails on memory errors whose stack enters the module (scripts/valgrind.sh).
valgrind: setup
	@bash scripts/valgrind.sh

# Set-up from nothing and .ci/run in a Debian 13 and a Debian unstable
# chroot, and in the unstable one again with CPython 3.14 (there also with
# GDAL's binary wheel), one after the other, then the suite on vek's wheel
# with GDAL's binary wheel on the host
# (scripts/check-wheel.sh); as root, needs a network, not part of .ci/run;
# one summary line per platform; see scripts/check-platform.sh.
.PHONY: check-platforms
check-platforms:
	@sum="$$(mktemp)"; rc=0; \
	for p in debian13 unstable unstable-py3.14; do \
		VEK_CHECK_SUMMARY="$$sum" bash scripts/check-platform.sh "$$p" --fresh || rc=1; \
		grep -q "^$$p:" "$$sum" || echo "$$p: stopped before its summary (see above)" >>"$$sum"; \
	done; \
	VEK_CHECK_SUMMARY="$$sum" bash scripts/check-wheel.sh || rc=1; \
	grep -q "^check-wheel:" "$$sum" || echo "check-wheel: stopped before its summary (see above)" >>"$$sum"; \
	echo; echo "check-platforms:"; cat "$$sum"; rm -f "$$sum"; exit $$rc
