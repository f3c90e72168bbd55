# vek: set up, build and test from nothing (Debian 12/13).
SHELL := /bin/bash
PY    := .venv/bin/python

.PHONY: setup build test demo test-asan clean distclean

setup:
	@bash scripts/setup.sh

build: setup

test: setup
	$(PY) -m pytest tests -q

demo: setup
	@$(PY) -m vek.demo

# The extension built with ASan+UBSan (build/asan), staged in build/asan-site
# and imported ahead of the normal install; the whole suite runs against it.
test-asan: setup
	@bash scripts/test-asan.sh

clean:
	rm -rf build dist src/*.egg-info
	find src tests -name __pycache__ -type d -prune -exec rm -rf {} +

distclean: clean
	rm -rf .venv

# Side-by-side benchmarks: binding floor, osgeo.gdal idiom and vek, with the
# performance targets; see benchmarks/run.py.
.PHONY: bench
bench: setup
	$(PY) benchmarks/run.py
