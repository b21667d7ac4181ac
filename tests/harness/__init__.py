# Makes "import harness" give the harness of tests/harness.py although this folder has its name.
# A folder that is a package wins over a module of the same name, and unittest imports the
# checks here as harness.test_harness, so the package re-exports the module's contents.
import importlib.util
import os
import sys

_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "harness.py")
_spec = importlib.util.spec_from_file_location("shimlist_harness", _PATH)
_module = sys.modules.setdefault("shimlist_harness", importlib.util.module_from_spec(_spec))
if not hasattr(_module, "run"):
    _spec.loader.exec_module(_module)
globals().update({k: v for k, v in vars(_module).items() if not k.startswith("__")})
