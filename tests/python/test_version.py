"""One version everywhere: the Python package, the CMake project and the engine's version macros."""
import importlib.metadata
import pathlib
import re
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def header_macros() -> dict[str, str]:
    text = (ROOT / "engine" / "version.hpp").read_text()
    return dict(re.findall(r"^#define (EXPRKIT_VERSION\w*) (\S+)$", text, re.MULTILINE))


def test_package_cmake_project_and_header_agree():
    package = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    cmake = re.search(r"^project\(exprkit VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text(), re.MULTILINE)
    macros = header_macros()
    parts = ".".join(macros[f"EXPRKIT_VERSION_{part}"] for part in ("MAJOR", "MINOR", "PATCH"))
    assert cmake is not None
    assert (cmake.group(1), macros["EXPRKIT_VERSION"], parts) == (package, f'"{package}"', package)


def test_installed_module_is_this_version():
    package = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert importlib.metadata.version("exprkit") == package
