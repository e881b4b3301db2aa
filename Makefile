# Everyday commands (each does its own set-up on a fresh machine):
#   make demo        build into .venv and run the tour of every module
#   make test        what CI runs: every leg of the matrix (Python 3.10-3.15 with NumPy 2,
#                    the free-threaded 3.14t plain and with ThreadSanitizer,
#                    3.10 with NumPy 1.26, the AddressSanitizer+UBSan build, clang with libc++,
#                    the portable-paths build, the assertion build, the repaired wheel, aarch64
#                    under qemu with GCC and clang), two legs at a time, one line per leg
#   make test-quick  build into .venv and run the whole suite once (3.10, NumPy 2)
#   make matrix      the interpreter legs only;  make sanitize  the sanitizer legs only
#   make leaks       the reference-leak check alone (it is part of every leg too)
#   make fuzz        long property tests and the coverage-guided fuzz target
#   make wheel       release wheels for 3.10-3.15 in dist/, repaired and checked (3.14 and
#                    3.15 built in the unstable-suite root of tools/sid-root.sh)
#   make cross       the two aarch64 legs alone (cross-built, run under qemu-user)
#   make format      lay out native/ as .clang-format says (format-check: only report)
PYTHON ?= $(shell tools/find-python.sh)
VENV   ?= .venv
# Optional Dask for the Dask recipe's tests, on x86-64 as in CI (tools/leg.sh).
DASK_REQS := $(if $(filter x86_64,$(shell uname -m)),requirements/dask.txt)

.PHONY: demo test test-quick matrix sanitize cross leaks fuzz bench venv wheel format format-check

venv:
	tools/venv.sh $(VENV) $(PYTHON) $(DASK_REQS)

demo: venv
	$(VENV)/bin/python examples/demo.py

test:
	tools/ci.sh

test-quick: venv
	$(VENV)/bin/python -m pytest -q

matrix:
	tools/ci.sh py3.10 py3.10-numpy1.26 py3.11 py3.12 py3.13 py3.14 py3.15 py3.14t

sanitize:
	tools/ci.sh asan-py3.10 tsan-py3.14t

cross:
	tools/ci.sh aarch64-gcc aarch64-clang

wheel:
	tools/wheel.sh

format:
	tools/format.sh

format-check:
	tools/format.sh --check

leaks: venv
	$(VENV)/bin/python -m pytest -q tests/test_leaks.py

fuzz: venv
	tools/fuzz.sh

bench:
	tools/venv.sh $(VENV) $(PYTHON) requirements/bench.txt
	for b in bench/bench_*.py; do $(VENV)/bin/python $$b || exit 1; done
