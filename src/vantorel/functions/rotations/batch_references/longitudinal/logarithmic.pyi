"""Batch reference implementations for logarithmic rotations."""
import math as math
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

class _HasWindow(Protocol):
    @property
    def window(self) -> Any: ...

def longitudinal_logarithmic_694eff_batch_reference(
    instance: _HasWindow, data: Any
) -> npt.NDArray[np.float64]: ...
def longitudinal_logarithmic_665270_batch_reference(
    instance: _HasWindow, data: Any
) -> npt.NDArray[np.float64]: ...
