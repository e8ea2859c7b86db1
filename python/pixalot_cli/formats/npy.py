"""float32 NumPy arrays (.npy): read as they are, of any shape the operations take, and
written back as .npy of the same shape (or as float TIFF, when asked)."""

from __future__ import annotations

from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from ..errors import PictureError
from .family import Family
from .picture import Picture, os_reason


class Npy(Family):
    def read(self, path: Path, max_pixels: int) -> Picture | None:
        try:
            data = np.load(path, allow_pickle=False)
        except OSError as error:
            raise PictureError(os_reason(error)) from None
        except (ValueError, EOFError) as error:
            raise PictureError(f"damaged, truncated or not a .npy array ({error})") from None
        if not isinstance(data, np.ndarray) or data.dtype != np.float32:
            kind = data.dtype if isinstance(data, np.ndarray) else type(data).__name__
            raise PictureError(f".npy arrays must hold float32 values, this one holds {kind}")
        if data.ndim == 3 and data.shape[2] == 1:
            # One channel on its own axis is a grey image; the result keeps the array's shape.
            return Picture(None, data[..., 0], None, "npy", 32, "NPY", shape=data.shape)
        return Picture(None, data, None, "npy", 32, "NPY")

    def write_float(self, picture: Picture, pixels: NDArray[Any], file: BinaryIO, as_float: bool) -> None:
        if as_float:
            super().write_float(picture, pixels, file, as_float)
            return
        array = pixels.reshape(picture.shape) if picture.shape is not None else pixels
        np.save(file, np.ascontiguousarray(array, dtype=np.float32), allow_pickle=False)


FAMILY = Npy()
