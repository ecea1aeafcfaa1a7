# The package as a user installs it: pip without network, then the pytest plugin found through
# its entry point by a test suite of the user's own.
import os
import shutil
import subprocess
import sys

import pytest

PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

USER_TEST = '''
import pytest

def test_echo(sim_board):
    with sim_board.messages(timeout=10) as received:
        sim_board.send_block(2, b"from a user")
        message = next(received)
    assert (message.kind, message.channel, message.data) == ("block", 2, b"from a user")
    assert sim_board.sim.register(2) == b"from a user"

@pytest.mark.corvane_boards(board=1)
def test_stream_board(sim_board):
    assert sim_board.serial == "CV000102B"
'''


def test_pip_installs_the_package_and_its_pytest_plugin_works(tmp_path):
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("pip is not installed for %s" % sys.executable)
    # The package's folder beside the project file its version is read from, as in the source tree.
    source = tmp_path / "source" / "python"
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "*.egg-info", "build"))
    shutil.copy(os.path.join(os.path.dirname(PACKAGE), "CMakeLists.txt"), tmp_path / "source")
    target = tmp_path / "site"
    install = subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps",
                              "--no-build-isolation", "--target", str(target), str(source)],
                             capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    assert set(os.listdir(target / "corvane")) >= {"__init__.py", "_native.py", "library.py", "pytest_plugin.py",
                                                     "sim.py"}
    suite = tmp_path / "suite"
    suite.mkdir()
    (suite / "test_user.py").write_text(USER_TEST)
    environ = dict(os.environ, PYTHONPATH=str(target))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(suite)], cwd=str(suite),
                         capture_output=True, text=True, timeout=300, env=environ)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "2 passed" in run.stdout
