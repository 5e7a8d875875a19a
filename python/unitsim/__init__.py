"""Steer simulated lighting units from a test: start unit-simulator, talk to its control API.

    from unitsim import Simulator

    with Simulator(units=4, profile=3) as sim:
        sim.set_channels([255, 128, 0])
        ...  # the controller under test talks to sim.address(0), sim.unit_port(0)
        assert sim.verify(command="channel-query", at_least=1)

With pytest, installing the package is enough: the ``unitsim`` fixture gives each test a
simulator of its own (see ``unitsim.pytest_plugin``).
"""

from .simulator import LogPage, Simulator, UnitSimError, Verification, find_binary

__all__ = ["LogPage", "Simulator", "UnitSimError", "Verification", "find_binary"]
try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("unitsim")
except PackageNotFoundError:  # from the source tree, without the package's metadata
    __version__ = "0+source"
