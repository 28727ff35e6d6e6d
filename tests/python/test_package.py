"""The package as a whole: its ctypes structs against C, its version, installing it, the plug-in."""

import ctypes
import os
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path
from typing import Dict

import pytest

import korvi_sci as sci
from conftest import PYTHON, command
from korvi_sci import _lib

MIRRORS = {
    "sci_pack_t": _lib.PackRecord,
    "sci_stream_counters_t": _lib.StreamCounters,
    "sci_stream_t": _lib.StreamState,
    "sci_stream_frame_t": _lib.StreamFrame,
}


def test_structs_are_laid_out_as_in_c() -> None:
    run = subprocess.run(command("SCI_ABI_PROBE"), capture_output=True, text=True, timeout=60)
    c = dict(line.rsplit(" ", 1) for line in run.stdout.splitlines())
    mirrored: Dict[str, str] = {}
    for name, struct in MIRRORS.items():
        mirrored[name] = str(ctypes.sizeof(struct))
        for field, *_ in struct._fields_:
            if not field.startswith("_"):
                mirrored[f"{name}.{field}"] = str(getattr(struct, field).offset)
    assert mirrored == c


def test_the_version_is_the_projects() -> None:
    assert sci.__version__ == os.environ.get("KORVI_VERSION") or pytest.skip("KORVI_VERSION unset")


def build_dir() -> Path:
    return Path(os.environ.get("KORVI_BUILD_DIR") or pytest.skip("KORVI_BUILD_DIR is not set"))


def cmake_install(prefix: Path, *components: str) -> None:
    """Installs components of the build into prefix, keeping the build's own install manifest."""
    build = build_dir()
    script = (build / "cmake_install.cmake").read_text()
    script = script.replace(f'file(WRITE "{build}/', f'file(WRITE "{prefix}/')
    (prefix / "install.cmake").write_text(script)
    for component in components:
        subprocess.run(
            [
                os.environ.get("CMAKE_COMMAND", "cmake"),
                f"-DCMAKE_INSTALL_PREFIX={prefix}",
                f"-DCMAKE_INSTALL_COMPONENT={component}",
                "-P",
                str(prefix / "install.cmake"),
            ],
            check=True,
            capture_output=True,
            timeout=120,
        )


PROBE = """
import korvi_sci as sci
print(sci.__version__, sci.pack(2, 1, 0x1234, b"\\xab\\xcd").hex())
for line in open("/proc/self/maps"):
    if "libsci_" in line:
        print(line.split()[-1])
"""


def alone(**extra: str) -> Dict[str, str]:
    """The environment without the build's library path and source package."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(extra)
    return env


def test_cmake_install_finds_the_libraries_beside_it(tmp_path: Path) -> None:
    prefix = tmp_path / "prefix"
    prefix.mkdir()
    cmake_install(prefix, "python", "sci_codec", "sci_stream")
    site = prefix / "lib/python3/dist-packages"
    run = subprocess.run(
        [*PYTHON, "-c", PROBE],
        env=alone(PYTHONPATH=str(site)),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    version_frame, *maps = run.stdout.splitlines()
    assert version_frame == f"{os.environ.get('KORVI_VERSION')} 55bb01021234abcdc101"
    assert {os.path.dirname(m) for m in maps} == {str(prefix / "lib")}


def test_without_the_libraries_import_says_where_it_looked(tmp_path: Path) -> None:
    try:
        ctypes.CDLL(_lib.CODEC_SONAME, mode=os.RTLD_NOLOAD)  # loaded already: by this run
        subprocess.run(
            [*PYTHON, "-c", f"import ctypes; ctypes.CDLL('{_lib.CODEC_SONAME}')"],
            env=alone(),
            check=True,
            capture_output=True,
            timeout=60,
        )
        pytest.skip("the loader finds an installed libsci_codec.so.1 by itself")
    except subprocess.CalledProcessError:
        pass
    prefix = tmp_path / "prefix"
    prefix.mkdir()
    cmake_install(prefix, "python")
    run = subprocess.run(
        [*PYTHON, "-c", "import korvi_sci"],
        env=alone(PYTHONPATH=str(prefix / "lib/python3/dist-packages")),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert "ImportError" in run.stderr and str(prefix / "lib/libsci_codec.so.1") in run.stderr


def test_pip_installs_the_package_with_the_projects_version(tmp_path: Path) -> None:
    # Looked up, not imported: setuptools imported here would take over distutils.
    for name, least, package in (
        ("pip", 0, "python3-pip"),
        ("setuptools", 61, "python3-setuptools"),
    ):
        try:
            if int(metadata.version(name).split(".")[0]) < least:
                pytest.skip(f"{name} is older than {least}")
        except metadata.PackageNotFoundError:
            pytest.skip(f"{name} is missing (Debian: {package})")
    if os.environ.get("KORVI_PYTHON"):
        pytest.skip("pip starts this Python by its path, which runs only under the emulator")
    source = Path(os.environ.get("KORVI_SOURCE_DIR") or pytest.skip("KORVI_SOURCE_DIR is not set"))
    # A copy, so that building leaves nothing in the tree.
    shutil.copytree(
        source / "python",
        tmp_path / "src/python",
        ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"),
    )
    shutil.copy(source / "CMakeLists.txt", tmp_path / "src")
    site = tmp_path / "site"
    subprocess.run(
        [
            *PYTHON,
            "-m",
            "pip",
            "install",
            "--no-build-isolation",
            "--no-index",
            "--disable-pip-version-check",
            "--target",
            str(site),
            str(tmp_path / "src/python"),
        ],
        check=True,
        capture_output=True,
        timeout=300,
    )
    run = subprocess.run(
        [*PYTHON, "-c", PROBE],
        env=alone(PYTHONPATH=str(site), LD_LIBRARY_PATH=os.environ.get("LD_LIBRARY_PATH", "")),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split()[:2] == [os.environ.get("KORVI_VERSION"), "55bb01021234abcdc101"]
    entry_points = next(site.glob("korvi_sci-*.dist-info")) / "entry_points.txt"
    assert "korvi_sci.pytest_plugin" in entry_points.read_text()


RIG = """
def test_rig(sci_link):
    assert sci_link.request(2, 1, 0x1234, b"ping", timeout=5).payload == b"ping"
"""


@pytest.mark.parametrize(
    "options, outcome", [(["--sci-port", "loop://"], "1 passed"), ([], "1 skipped")]
)
def test_the_plugin_gives_a_link_on_the_named_port(tmp_path: Path, options, outcome: str) -> None:
    pytest.importorskip("serial", reason="pyserial is missing (Debian: python3-serial)")
    (tmp_path / "test_rig.py").write_text(RIG)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(sci.__file__)))
    path = os.pathsep.join([package_root] + sys.path[1:])
    run = subprocess.run(
        [
            *PYTHON,
            "-m",
            "pytest",
            "-p",
            "korvi_sci.pytest_plugin",
            "-p",
            "no:cacheprovider",
            str(tmp_path / "test_rig.py"),
            *options,
        ],
        cwd=tmp_path,
        env=dict(os.environ, PYTHONPATH=path),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert outcome in run.stdout, run.stdout
