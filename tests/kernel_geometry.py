"""The native kernels' geometry, read from the header that defines it
(native/logarithmic/geometry.hpp), so that tests of tile and block edges follow
a change of the tile size or the lane counts without edits of their own."""
import re
from pathlib import Path

HEADER = Path(__file__).resolve().parent.parent / "native" / "logarithmic" / "geometry.hpp"
_SIZES = {"sizeof(double)": "8", "sizeof(float)": "4", "Index(": "("}


def _read(path=HEADER):
    values = {}
    for name, expr in re.findall(r"inline constexpr Index (k\w+) = ([^;]+);", path.read_text()):
        for text, plain in _SIZES.items():
            expr = expr.replace(text, plain)
        # a constant is an integer expression of literals and earlier constants
        values[name] = int(eval(expr, {"__builtins__": {}}, dict(values)))
    return values


GEOMETRY = _read()
TILE_ROWS = GEOMETRY["kTileRows"]            # output rows per tile (at least)
GEO_LANES = GEOMETRY["kGeoLanes"]            # columns of a geometric-mean block
PRODUCT_LANES = GEOMETRY["kBlockBytes"] // 8  # columns of a float64 product block
SHORT_SPAN = GEOMETRY["kShortSpan"]          # the longest window summed across lanes
