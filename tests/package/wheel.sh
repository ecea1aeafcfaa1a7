# Sourced by check.sh (its check, same and contains, its variables): the Python wheel installed with
# pip, without network, into fresh virtual environments of Debian's Python: one with nothing else
# in it (the package, its library and its simulated boards), and one that also sees Debian's own
# packages (--system-site-packages) for pytest, where a test suite of a user's own outside the
# source tree uses the plugin's fixture; the source distribution's contents.

python=/usr/bin/python3
wheel=dist/corvane-${version}-py3-none-linux_x86_64.whl
sdist=dist/corvane-${version}.tar.gz
venv=$scratch/venv          # nothing but the wheel
pytest_venv=$scratch/pytest # the wheel beside Debian's pytest

check "the wheel's libcorvane.so.1 is the library of its SONAME, with no search path of the build's" \
  bash -c "unzip -p '$wheel' corvane/libcorvane.so.1 >'$scratch/wheel-libcorvane.so.1' &&
    readelf -d '$scratch/wheel-libcorvane.so.1' | grep -q 'Library soname: \[libcorvane.so.1\]' &&
    ! readelf -d '$scratch/wheel-libcorvane.so.1' | grep -E 'RPATH|RUNPATH'"
check "the wheel is for Linux x86-64 and any Python 3 (Tag: py3-none-linux_x86_64)" \
  bash -c "unzip -p '$wheel' 'corvane-$version.dist-info/WHEEL' | grep -qx 'Tag: py3-none-linux_x86_64'"

check "pip installs the wheel without network into fresh virtual environments" bash -c "
  '$python' -m venv '$venv' && '$python' -m venv --system-site-packages '$pytest_venv' || exit 1
  for v in '$venv' '$pytest_venv'; do
    \$v/bin/python -m pip install --quiet --no-index --no-deps --disable-pip-version-check '$root/$wheel' || exit 1
  done"
# Run from an empty folder outside the source tree, with nothing of the build in the environment.
mkdir -p "$scratch/user"
in_venv() { (cd "$scratch/user" && env -u CORVANE_LIBRARY -u CORVANE_SIM_DRIVER -u LD_LIBRARY_PATH -u PYTHONPATH "$@"); }
# Paths relative to the environment's own site-packages folder.
check "the wheel: corvane and its library come from the environment, at the project's version" \
  same "$version corvane/__init__.py corvane/libcorvane.so.1" in_venv "$venv/bin/python" -c "
import corvane, corvane._native, importlib.util, os, sysconfig
assert importlib.util.find_spec('pytest') is None, 'the environment sees more than the wheel'
site = sysconfig.get_paths()['purelib']
module, path = corvane._native.load_library()
print(corvane.__version__, os.path.relpath(corvane.__file__, site), os.path.relpath(path, site))"
check "the wheel: corvane.sim.open() opens the simulated boards with the driver inside the package" \
  same "['CV000101B', 'CV000102B'] corvane/sim/libftd2xx.so" in_venv "$venv/bin/python" -c "
import corvane.sim, os, sysconfig
with corvane.sim.open() as library:
    print([board.serial for board in library.boards()],
          os.path.relpath(library.sim.path, sysconfig.get_paths()['purelib']))"
cp "$given/test_user.py" "$scratch/user/"
check "the wheel: the pytest plugin's sim_board fixture in a test file of a user's" \
  contains "2 passed" in_venv "$pytest_venv/bin/python" -m pytest -q -p no:cacheprovider test_user.py

sdist_listing=$(tar tzf "$sdist" 2>&1)
check "the source distribution: the package with its version written in, setup.py, pyproject.toml, no compiled file" \
  bash -c "for f in corvane/__init__.py corvane/pytest_plugin.py setup.py pyproject.toml; do
      grep -qx \"corvane-$version/\$f\" <<<'$sdist_listing' || { echo \"lacks \$f\"; exit 1; }; done
    ! grep -E '\.(so|so\.[0-9]+|dll|pyc)\$' <<<'$sdist_listing' &&
    tar xzOf '$sdist' 'corvane-$version/corvane/_version.py' | grep -qx '__version__ = \"$version\"'"
