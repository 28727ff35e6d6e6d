# SPDX-License-Identifier: MIT
"""The package as a whole: its ctypes structs against C, installing it two ways, the plug-in."""

import array
import copy
import ctypes
import io
import math
import os
import pickle
import shutil
import struct
import subprocess
import sys
from importlib import metadata
from pathlib import Path
from typing import Any, Callable, List, Optional

import pytest

import korvi_sci as sci
from conftest import PYTHON, command
from korvi_sci import _lib


def test_structs_are_laid_out_as_in_c() -> None:
    run = subprocess.run(command("SCI_ABI_PROBE"), capture_output=True, text=True, timeout=60)
    c = dict(line.rsplit(" ", 1) for line in run.stdout.splitlines())
    mirrors = {"sci_pack_t": _lib.PackRecord, "sci_stream_t": _lib.StreamState,
               "sci_stream_counters_t": _lib.StreamCounters,
               "sci_stream_frame_t": _lib.StreamFrame}  # fmt: skip
    ours = {name: str(ctypes.sizeof(struct)) for name, struct in mirrors.items()}
    for name, struct in mirrors.items():
        fields = [f[0] for f in struct._fields_ if not f[0].startswith("_")]
        ours.update({f"{name}.{f}": str(getattr(struct, f).offset) for f in fields})
    assert ours == c


# Loads the package on its own and says its version, a frame, and where the libraries came from.
PROBE = """import korvi_sci as sci
print(sci.__version__, sci.pack(2, 1, 0x1234, b"\\xab\\xcd").hex())
print("\\n".join(sorted({l.split()[-1] for l in open("/proc/self/maps") if "libsci_" in l})))"""


def probe(path: Path, libraries: str = "") -> List[str]:
    """Runs PROBE with only path and the libraries' folders to find things in."""
    env = dict(os.environ, PYTHONPATH=str(path), LD_LIBRARY_PATH=libraries)
    run = subprocess.run(
        [*PYTHON, "-c", PROBE], env=env, capture_output=True, text=True, timeout=60
    )
    return run.stdout.splitlines() or [run.stderr]


def cmake_install(prefix: Path, *components: str) -> Path:
    """Installs components of the build into prefix, leaving the build's install manifest alone;
    returns the package's folder."""
    build = Path(os.environ.get("KORVI_BUILD_DIR") or pytest.skip("KORVI_BUILD_DIR is not set"))
    script = (build / "cmake_install.cmake").read_text()
    (prefix / "install.cmake").write_text(script.replace(f'(WRITE "{build}/', f'(WRITE "{prefix}/'))
    for c in components:
        subprocess.run([os.environ.get("CMAKE_COMMAND", "cmake"), f"-DCMAKE_INSTALL_COMPONENT={c}",
                        f"-DCMAKE_INSTALL_PREFIX={prefix}", "-P", str(prefix / "install.cmake")],
                       check=True, capture_output=True, timeout=120)  # fmt: skip
    return prefix / "lib/python3/dist-packages"


def test_cmake_install_finds_the_libraries_beside_it(tmp_path: Path) -> None:
    site = cmake_install(tmp_path, "python", "sci_codec", "sci_stream")
    version = os.environ.get("KORVI_VERSION")
    assert probe(site) == [f"{version} 55bb01021234abcdc101"] + [
        f"{tmp_path}/lib/lib{name}.so.{version}" for name in ("sci_codec", "sci_stream")
    ]
    # Without them the import says where it looked, when the loader has none of its own.
    for name in ("sci_codec", "sci_stream"):
        for f in (tmp_path / "lib").glob(f"lib{name}.so*"):
            f.unlink()
    said = probe(site)[0]
    if "ImportError" not in said:
        pytest.skip(f"the loader finds installed libraries by itself: {said}")
    assert f"{tmp_path}/lib/libsci_codec.so.1" in said


@pytest.fixture(scope="module")
def pip_site(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The package installed by pip into a folder of its own."""
    # Looked up, not imported: setuptools imported here would take over distutils.
    for name, least in (("pip", 0), ("setuptools", 61)):
        try:
            if int(metadata.version(name).split(".")[0]) < least:
                pytest.skip(f"{name} is older than {least}")
        except metadata.PackageNotFoundError:
            pytest.skip(f"{name} is missing (Debian: python3-{name})")
    if os.environ.get("KORVI_PYTHON"):
        pytest.skip("pip starts this Python by its path, which runs only under the emulator")
    source = Path(os.environ.get("KORVI_SOURCE_DIR") or pytest.skip("KORVI_SOURCE_DIR is not set"))
    tmp_path = tmp_path_factory.mktemp("pip")
    # A copy, so that building leaves nothing in the tree.
    shutil.copytree(
        source / "python",
        tmp_path / "src/python",
        ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"),
    )
    shutil.copy(source / "CMakeLists.txt", tmp_path / "src")
    subprocess.run([*PYTHON, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                    "--target", str(tmp_path / "site"), str(tmp_path / "src/python")],
                   check=True, capture_output=True, timeout=300)  # fmt: skip
    return tmp_path / "site"


def test_pip_installs_the_package_with_the_projects_version(pip_site: Path) -> None:
    said = probe(pip_site, os.environ.get("LD_LIBRARY_PATH", ""))
    assert said[0] == f"{os.environ.get('KORVI_VERSION')} 55bb01021234abcdc101"
    entry_points = next(pip_site.glob("korvi_sci-*.dist-info")) / "entry_points.txt"
    assert "korvi_sci.pytest_plugin" in entry_points.read_text()

RIG = """def test_rig(sci_link):
    assert sci_link.request(2, 1, 0x1234, b"ping", timeout=5).payload == b"ping"
"""


@pytest.mark.parametrize(
    "options, outcome", [(["--sci-port", "loop://"], "1 passed"), ([], "1 skipped")]
)
def test_the_plugin_gives_a_link_on_the_named_port(tmp_path: Path, options, outcome: str) -> None:
    pytest.importorskip("serial", reason="pyserial is missing (Debian: python3-serial)")
    (tmp_path / "test_rig.py").write_text(RIG)  # loop:// answers each request with itself
    package = os.path.dirname(os.path.dirname(os.path.abspath(sci.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package] + sys.path[1:]))
    pytest_ = [*PYTHON, "-m", "pytest", "-p", "korvi_sci.pytest_plugin", "-p", "no:cacheprovider"]
    run = subprocess.run(pytest_ + ["test_rig.py", *options], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)  # fmt: skip
    assert outcome in run.stdout, run.stdout


# An installed plug-in named again on the command line, in a conftest, or both.
@pytest.mark.parametrize("conftest, options", [
    (False, []), (False, ["-p", "korvi_sci.pytest_plugin"]), (True, []),
    (True, ["-p", "korvi_sci.pytest_plugin"]),
])  # fmt: skip
def test_the_installed_plugin_loads_once_however_named(pip_site, tmp_path, conftest, options):
    pytest.importorskip("serial", reason="pyserial is missing (Debian: python3-serial)")
    (tmp_path / "test_rig.py").write_text(RIG)
    if conftest:
        (tmp_path / "conftest.py").write_text('pytest_plugins = ["korvi_sci.pytest_plugin"]\n')
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pip_site)] + sys.path[1:]))
    run = subprocess.run([*PYTHON, "-m", "pytest", "-p", "no:cacheprovider", "test_rig.py",
                          "--sci-port", "loop://", *options], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=120)  # fmt: skip
    assert "1 passed" in run.stdout, run.stdout + run.stderr


def on_loop(*calls: Callable[[sci.Link], Any], gap_ms: Optional[int] = None) -> List[Any]:
    """What each call gives on one link on loop://: its result, or the type of what it raised."""
    with sci.Link("loop://", 115200, gap_ms) as link:
        return [outcome(lambda: call(link)) for call in calls]


def outcome(call: Callable[[], Any]) -> Any:
    try:
        return call()
    except Exception as e:
        return type(e)


def through_pcap(data: Any) -> List[sci.Record]:
    """The records of a capture of one record, written to and read from a file object."""
    f = io.BytesIO()
    sci.PcapWriter(f).write(data, 1.5)
    f.seek(0)
    return list(sci.read_pcap(f))


ECHO = (2, 0x01, 0x1234, b"\x80\x01")
ERROR = sci.ChecksumError(2, 0x01, 0x1234, 2)
WIDE = array.array("H", [0x1234, 0x8081])
SEND = lambda link: link.send(*ECHO)  # noqa: E731
HEADER = b"\xd4\xc3\xb2\xa1\x02\x00\x04\x00" + bytes(8) + b"\xff\xff\x00\x00\x93\x00\x00\x00"


# fmt: off
@pytest.mark.parametrize("call, expected, match", [
    (lambda: sci.pack(2, 1, 1, 5), TypeError, "bytes-like"),
    (lambda: sci.pack(2, 1, 1, 10**15), TypeError, "bytes-like"),
    (lambda: sci.StreamReader().feed(5), TypeError, "bytes-like"),
    (lambda: sci.Link("loop://", 0), ValueError, "baudrate"),
    (lambda: list(sci.read_pcap(io.BytesIO(HEADER[:10]))), ValueError, "cut short"),
    (lambda: list(sci.read_pcap(io.BytesIO(HEADER + struct.pack("<IIII", 1, 10**6, 0, 0)))),
     ValueError, "second or more"),
    (lambda: through_pcap(memoryview(WIDE)), [(1.5, WIDE.tobytes())], None),
    (lambda: [vars(copy.copy(ERROR)), vars(pickle.loads(pickle.dumps(ERROR)))], [vars(ERROR)] * 2,
     None),
    # Refused before anything is sent: nothing comes back.
    (lambda: on_loop(lambda l: l.receive(math.nan), lambda l: l.receive(-1),
                     lambda l: l.request(*ECHO, timeout=math.nan), lambda l: l.receive(0)),
     [ValueError, ValueError, ValueError, None], None),
    (lambda: on_loop(SEND, lambda l: l.receive(0).ok, SEND, lambda l: l.receive(None).ok,
                     SEND, lambda l: l.receive(1e10).ok, gap_ms=0),
     [sci.pack(*ECHO), True] * 3, None),
    (lambda: on_loop(lambda l: l.request(*ECHO, timeout=0).offset,
                     lambda l: l.request(*ECHO, timeout=None).offset), [0, 10], None),
    (lambda: on_loop(lambda l: l.request(1, 0x01, 0, timeout=0.1)), [TimeoutError], None),
])
# fmt: on
def test_arguments(call: Callable[[], Any], expected: Any, match: Optional[str]) -> None:
    if isinstance(expected, type):
        with pytest.raises(expected, match=match):
            call()
    else:
        assert call() == expected
