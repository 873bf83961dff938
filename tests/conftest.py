import os
import sys

# Test helpers (the simulated platform among them) live beside the tests.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

pytest_plugins = ["simplatform.fixtures", "runguard"]
