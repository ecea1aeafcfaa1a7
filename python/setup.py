"""Builds the corvane package; pyproject.toml holds its metadata. What is done here is what a
static file cannot say:

- the version is Corvane's one version, read by corvane/_version.py from the C++ project
  (CMakeLists.txt beside this folder); built packages get it written into corvane/_version.py;
- with the library (corvane/libcorvane.so.1, and the simulated driver in corvane/sim/) put beside
  the package before the build, the wheel is one for this platform (py3-none-linux_x86_64): ctypes
  loads the library, so any Python 3 will do, but only on this kind of machine. Without it the
  wheel is pure and finds an installed library.
"""

import os

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from setuptools.command.sdist import sdist

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70 has it in wheel
    from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
VERSION_FILE = os.path.join("corvane", "_version.py")
BUNDLED_LIBRARIES = ("libcorvane.so.1", "Corvane64.dll", "Corvane32.dll")


def project_version():
    # corvane/_version.py reads it from the C++ project in the source tree; a source distribution's
    # copy has it written in.
    scope = {"__file__": os.path.join(HERE, VERSION_FILE)}
    with open(scope["__file__"], encoding="utf-8") as source:
        exec(source.read(), scope)
    if scope["__version__"] == "0+unknown":
        raise SystemExit("setup.py: no version: ../CMakeLists.txt (Corvane's source tree) is not beside %s" % HERE)
    return scope["__version__"]


VERSION = project_version()


def write_version(folder):
    path = os.path.join(folder, VERSION_FILE)
    if os.path.lexists(path):
        os.unlink(path)  # the sdist's tree may hard-link it to the source
    with open(path, "w", encoding="utf-8") as out:
        out.write('"""The package\'s version, which is Corvane\'s."""\n\n__version__ = "%s"\n' % VERSION)


class BuildWithVersion(build_py):
    def run(self):
        super().run()
        write_version(self.build_lib)


class SdistWithVersion(sdist):
    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, files)
        write_version(base_dir)


def bundles_library():
    return any(os.path.exists(os.path.join(HERE, "corvane", name)) for name in BUNDLED_LIBRARIES)


class BundlingDistribution(Distribution):
    def has_ext_modules(self):  # the files go where a platform's do, in a platform's wheel
        return bundles_library()


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        return (python, abi, platform) if self.root_is_pure else ("py3", "none", platform)


setup(version=VERSION, distclass=BundlingDistribution,
      cmdclass={"build_py": BuildWithVersion, "sdist": SdistWithVersion, "bdist_wheel": PlatformWheel})
