from __future__ import annotations

from numbers import Integral

import numpy as np
from sklearn.utils import check_random_state

_SEED_BOUND = 2**64


def seed_from_random_state(random_state) -> int:
    """Map a scikit-learn ``random_state`` onto the fit's 64-bit seed.

    An int is the seed itself, so equal ints give equal models. None draws
    from NumPy's global generator, and a ``RandomState`` or ``Generator``
    gives the next draw of that generator, as scikit-learn estimators do.
    """
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, _SEED_BOUND, dtype=np.uint64))
    if isinstance(random_state, Integral):
        return int(random_state)
    return int(check_random_state(random_state).randint(0, _SEED_BOUND, dtype=np.uint64))
