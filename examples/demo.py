"""A tour of the vantorel native modules on realistic input.

Each module contributes a section from examples/demo_<module>.py.
"""
import importlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

SECTIONS = ["demo_cycle_roster", "demo_parity_watch", "demo_logarithmic"]


def main() -> None:
    for name in SECTIONS:
        try:
            section = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if exc.name != name:
                raise
            continue
        section.main()
        print()


if __name__ == "__main__":
    main()
