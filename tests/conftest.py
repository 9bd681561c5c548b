import json

import pytest

from quarlen import _native


@pytest.fixture
def native():
    return _native


def loads(text: str):
    """Parses a JSON text returned by the module."""
    return json.loads(text)
