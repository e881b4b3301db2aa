# The two everyday commands (each does its own set-up on a fresh machine):
#   make demo   build into .venv and run the tour of every module
#   make test   build into .venv and run the whole test suite
PYTHON ?= $(shell tools/find-python.sh)
VENV   ?= .venv

.PHONY: demo test bench venv

venv:
	tools/venv.sh $(VENV) $(PYTHON)

demo: venv
	$(VENV)/bin/python examples/demo.py

test: venv
	$(VENV)/bin/python -m pytest -q

bench:
	tools/venv.sh $(VENV) $(PYTHON) requirements/bench.txt
	for b in bench/bench_*.py; do $(VENV)/bin/python $$b || exit 1; done
