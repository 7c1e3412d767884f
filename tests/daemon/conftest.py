# SPDX-License-Identifier: MIT
from modbus_rig import rig  # noqa: F401  (the fixture every test here takes)
