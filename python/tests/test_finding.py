# Finding the library and its driver, without loading either: the loader is stood in.
import os
import sys

import pytest

from corvane import _native
from corvane._native import CorvaneError


def refusing_loader(tried):
    def load(path):
        tried.append(path)
        raise OSError("cannot load %s" % os.path.basename(path))
    return load


@pytest.mark.parametrize("platform, bits, names", [
    ("linux", 64, ["libcorvane.so.1", "libcorvane.so"]),
    ("linux", 32, ["libcorvane.so.1", "libcorvane.so"]),
    ("win32", 64, ["Corvane64.dll"]),
    ("win32", 32, ["Corvane32.dll"]),
])
def test_each_place_is_tried_in_order_and_a_miss_names_them_all(monkeypatch, tmp_path, platform, bits, names):
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.setattr(_native, "word_size", lambda: bits)
    explicit = tmp_path / "my" / names[0]
    explicit.parent.mkdir()
    explicit.write_bytes(b"")
    package = os.path.dirname(os.path.abspath(_native.__file__))
    # copies beside the package, so that the loader is asked for them too
    monkeypatch.setattr(os.path, "exists", lambda p, real=os.path.exists: real(p) or p.startswith(package))
    tried = []
    monkeypatch.setenv("CORVANE_LIBRARY", str(explicit))
    with pytest.raises(CorvaneError) as error:
        _native.load_library(loader=refusing_loader(tried))
    assert tried == [str(explicit)] + [os.path.join(package, n) for n in names] + names
    message = str(error.value)
    for path in tried:
        assert path in message
    assert "CORVANE_LIBRARY=%s" % explicit in message
    assert "the system's library search" in message


def test_a_missing_explicit_file_is_reported_and_the_search_goes_on(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "platform", "linux")
    monkeypatch.setenv("CORVANE_LIBRARY", str(tmp_path / "nowhere.so"))
    tried = []

    def load(path):
        tried.append(path)
        if path != "libcorvane.so":
            raise OSError("no")
        return object()

    monkeypatch.setattr(_native, "bind", lambda module: None)
    module, path = _native.load_library(loader=load)
    assert path == "libcorvane.so"
    assert tried == ["libcorvane.so.1", "libcorvane.so"]  # the missing files were not handed to the loader


class FakeDriver:
    def __init__(self, lacking=()):
        for name in _native.REQUIRED_DRIVER_FUNCTIONS:
            if name not in lacking:
                setattr(self, name, object())


@pytest.mark.parametrize("platform, bits, names", [
    ("linux", 64, ["libftd2xx.so"]),
    ("win32", 32, ["ftd2xx32.dll"]),
    ("win32", 64, ["ftd2xx64.dll", "ftd2xx.dll"]),
])
def test_the_driver_check_tries_the_names_the_library_loads(monkeypatch, platform, bits, names):
    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.setattr(_native, "word_size", lambda: bits)
    tried = []
    with pytest.raises(CorvaneError) as error:
        _native.check_driver(loader=refusing_loader(tried))
    assert tried == names
    assert str(error.value).startswith("the D2XX driver cannot be loaded (")
    for name in names:
        assert "%s: cannot load %s" % (name, name) in str(error.value)

    loaded = []

    def second_loads(name):
        loaded.append(name)
        if name != names[-1]:
            raise OSError("no")
        return FakeDriver()
    assert isinstance(_native.check_driver(loader=second_loads), FakeDriver)


def test_a_driver_lacking_required_functions_is_refused_by_name(monkeypatch):
    monkeypatch.setattr(sys, "platform", "linux")
    with pytest.raises(CorvaneError) as error:
        _native.check_driver(loader=lambda name: FakeDriver(lacking=("FT_EraseEE", "FT_GetStatus")))
    assert str(error.value) == "the D2XX driver libftd2xx.so lacks FT_GetStatus, FT_EraseEE"
