# The package from this source tree, against the library and simulated driver of a build
# (build/default unless CORVANE_BUILD_DIR names another).
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))

BUILD = os.environ.get("CORVANE_BUILD_DIR", os.path.join(ROOT, "build", "default"))
os.environ.setdefault("CORVANE_LIBRARY", os.path.join(BUILD, "Libraries", "lib_usb", "libcorvane.so"))
os.environ.setdefault("CORVANE_SIM_DRIVER", os.path.join(BUILD, "sim", "libftd2xx.so"))

pytest_plugins = ["corvane.pytest_plugin"]
