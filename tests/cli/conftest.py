"""Files that many command-line tests start from."""

import pytest

from cli_helpers import codes, colourful, save


@pytest.fixture
def photos(tmp_path):
    """A folder of two small images, one colour and one grey."""
    folder = tmp_path / "photos"
    folder.mkdir()
    save(folder / "a.png", colourful())
    save(folder / "b.png", codes("L"))
    return folder
