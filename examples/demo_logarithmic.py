"""Logarithmic batch references on a realistic series: daily gross returns of
three instruments, with a trading halt (NaN), a bad tick (inf) and a loss day."""
import numpy as np

from vantorel.functions.rotations.batch_references.longitudinal import logarithmic as lg


class Rotation:
    """The streaming side's configuration: only `window` is read."""

    def __init__(self, window):
        self.window = window


def main() -> None:
    rng = np.random.default_rng(7)
    days, names = 12, ["equity", "bond", "fx"]
    gross = 1.0 + rng.normal([0.001, 0.0002, 0.0], [0.012, 0.003, 0.006], (days, 3))
    gross[4, 0] = np.nan        # trading halt
    gross[7, 2] = np.inf        # bad tick
    gross[9, 1] = -0.5          # a sign flip the gates must refuse as current value
    rotation = Rotation(window=5)

    growth = lg.longitudinal_logarithmic_694eff_batch_reference(rotation, gross)
    geo = lg.longitudinal_logarithmic_665270_batch_reference(rotation, gross)

    print("logarithmic batch references, trailing window of", rotation.window, "days")
    print(f"{'day':>3} " + " ".join(f"{n + ' x':>10} {n + ' prod':>12} {n + ' geo':>12}" for n in names))
    for t in range(days):
        cells = []
        for n in range(3):
            cells.append(f"{gross[t, n]:>10.5f} {growth[t, n]:>12.6f} {geo[t, n]:>12.6f}")
        print(f"{t:>3} " + " ".join(cells))
    print("NaN where the day's own value is missing, infinite or not positive;"
          " NaN/inf inside the window are skipped.")


if __name__ == "__main__":
    main()
