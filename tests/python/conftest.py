# The fixtures' own tests: `pytester` runs test files as a user's pytest run would, in a process
# of its own that finds the plugin through the package's entry point (PYTHONPATH=build/python).
pytest_plugins = ["pytester"]
