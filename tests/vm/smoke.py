# SPDX-License-Identifier: MIT
"""The Python package through a real sg node: run by tests/vm/guest.sh."""

import sys

import kdx7400

devices = kdx7400.list_devices()
assert [(d.product_id, d.board_id) for d in devices] == [(0x7401, 3)], devices
with kdx7400.open(0x7401, 3) as module:
    module.write_outputs(0x00A5)
    assert module.read_outputs() == 0x00A5
    module.switch_outputs([8, 9], True)
    assert module.read_outputs() == 0x03A5
    assert module.firmware_version() == 0x0102
    assert len(module.read_counters()) == 16
with kdx7400.open(node=devices[0].node) as module:
    assert module.node == devices[0].node
print("python smoke test passed", file=sys.stderr)
