"""Each call allocates its result once: peak memory grows by the result and little else."""

import pytest

from subprocess_helpers import run_python

# The kernel's high-water mark of resident memory, reset just before the call, so that
# temporaries freed while the input was made cannot hide or inflate what the call adds.
PEAK_GROWTH = """
import numpy as np, pixalot

def resident(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))

image = {layout}(np.random.default_rng(0).random({shape}, dtype=np.float32))
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = resident("VmRSS:")
result = pixalot.{call}
print(resident("VmHWM:") - before, result.nbytes)
"""


@pytest.mark.parametrize("shape", [(2048, 4096), (1024, 2048, 3)])
@pytest.mark.parametrize("layout", ["np.ascontiguousarray", "np.asfortranarray"])
@pytest.mark.parametrize("call", [
    "color_levels(image, 0.1, 0.9, 0.0, 1.0, 1.6)",
    "color_levels(image, 0.1, 0.9, 0.0, 1.0, 1.0)",
    "sin_patern(image, 40, 0.25, False, 0.5)",
])
def test_peak_memory_grows_by_about_one_result(shape, layout, call):
    done = run_python(PEAK_GROWTH.format(shape=shape, layout=layout, call=call))
    assert done.returncode == 0, done.stderr
    growth, result_bytes = map(int, done.stdout.split())
    # A result computed elsewhere and copied in would show as twice the result.
    assert growth <= 1.1 * result_bytes + (4 << 20)
