"""The analysers' result cache (scripts/analysis_cache.py) on a small
project: what each kind of change analyses again, and findings that fail
the run whether they come from the analyser or from the cache."""
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "analysis_cache.py"
CLANG_TIDY = "clang-tidy-19"
VERSION = "Debian LLVM version 19.1.7"
CONFIG = "Checks: '-*,misc-unused-parameters'\nWarningsAsErrors: '*'\nHeaderFilterRegex: '.*'\n"
SOURCES = {
    "h.h": "inline int twice(int x) { return 2 * x; }\n",
    "a.cpp": '#include "h.h"\nint four() { return twice(2); }\n',
    "b.cpp": "#include <outside.h>\nint one() { return ONE; }\n",
}
# A stand-in clang-tidy: another version where asked, and a log of the
# files it analyses.
STAND_IN = f"""#!/bin/sh
if [ "$1" = --version ]; then echo "${{STAND_IN_VERSION:-{VERSION}}}"; exit 0; fi
for last; do :; done
echo "$last" >>"$STAND_IN_LOG"
exec {CLANG_TIDY} "$@"
"""
UNUSED = "int unused(int x) { return 0; }\n"

pytestmark = pytest.mark.skipif(shutil.which(CLANG_TIDY) is None, reason=f"no {CLANG_TIDY}")


class Project:
    def __init__(self, folder: Path) -> None:
        self.root = folder / "project"
        self.bin = folder / "bin"
        self.log = folder / "analysed.txt"
        self.env = dict(os.environ, BRELVIK_ANALYSIS_CACHE=str(folder / "cache"), STAND_IN_LOG=str(self.log))
        self.bin.mkdir()
        # A header from outside the checkout, as the system's are.
        self.outside = folder / "outside"
        self.outside.mkdir()
        (self.outside / "outside.h").write_text("#define ONE 1\n")
        (self.bin / "clang-tidy").write_text(STAND_IN)
        (self.bin / "clang-tidy").chmod(0o755)
        (self.root / "build").mkdir(parents=True)
        (self.root / ".clang-tidy").write_text(CONFIG)
        for name, text in SOURCES.items():
            (self.root / name).write_text(text)
        (self.root / "files.txt").write_text("a.cpp\nb.cpp\n")
        (self.root / "options.txt").write_text("--quiet\n")
        self.write_database()

    def write_database(self) -> None:
        build = self.root / "build"
        entries = [{"directory": str(build), "file": str(self.root / name),
                    "command": f"c++ -I{self.root} -isystem {self.outside} -std=c++17 -o {name}.o -c {self.root / name}"}
                   for name in ("a.cpp", "b.cpp")]
        (build / "compile_commands.json").write_text(json.dumps(entries))

    def run(self) -> tuple[subprocess.CompletedProcess[str], set[str]]:
        self.log.write_text("")
        run = subprocess.run([sys.executable, str(SCRIPT), "tidy", "--jobs", "2", "--clang-tidy",
                              str(self.bin / "clang-tidy"), "--group", "build", "files.txt", "options.txt"],
                             cwd=self.root, env=self.env, capture_output=True, text=True, check=False)
        return run, set(self.log.read_text().split())


def append(name: str, text: str) -> Callable[[Project], None]:
    def change(project: Project) -> None:
        with open(project.root / name, "a") as stream:
            stream.write(text)
    return change


def outside_header(project: Project) -> None:
    (project.outside / "outside.h").write_text("#define ONE (2 - 1)\n")


def new_version(project: Project) -> None:
    project.env["STAND_IN_VERSION"] = "Debian LLVM version 19.1.8"


def new_flag(project: Project) -> None:
    database = project.root / "build" / "compile_commands.json"
    database.write_text(database.read_text().replace("-std=c++17 -o b.cpp", "-std=c++17 -DX=1 -o b.cpp"))


@pytest.mark.parametrize("change, analysed", [
    (lambda project: None, set()),
    (append("b.cpp", "int two() { return 2; }\n"), {"b.cpp"}),
    (append("h.h", "inline int thrice(int x) { return 3 * x; }\n"), {"a.cpp"}),
    # Comments decide too: a NOLINT is one.
    (outside_header, {"b.cpp"}),
    (append("a.cpp", "// NOLINT\n"), {"a.cpp"}),
    # Spacing alone moves a finding's column.
    (append("b.cpp", "   \n"), {"b.cpp"}),
    (new_flag, {"b.cpp"}),
    (append(".clang-tidy", "CheckOptions:\n  misc-unused-parameters.StrictMode: true\n"), {"a.cpp", "b.cpp"}),
    (new_version, {"a.cpp", "b.cpp"}),
], ids=["nothing", "source", "header", "outside header", "comment", "spacing", "flag", "config", "version"])
def test_a_change_analyses_again_what_it_affects(tmp_path: Path, change: Callable[[Project], None],
                                                 analysed: set[str]) -> None:
    project = Project(tmp_path)
    run, first = project.run()
    assert run.returncode == 0, run.stdout
    assert first == {"a.cpp", "b.cpp"}
    change(project)
    run, second = project.run()
    assert run.returncode == 0, run.stdout
    assert second == analysed


@pytest.mark.parametrize("seeded, named", [("a.cpp", "a.cpp"), ("h.h", "h.h")])
def test_a_finding_fails_the_run_from_the_cache(tmp_path: Path, seeded: str, named: str) -> None:
    project = Project(tmp_path)
    append(seeded, UNUSED)(project)
    for analysed in ({"a.cpp", "b.cpp"}, set()):
        run, seen = project.run()
        assert seen == analysed
        assert run.returncode == 1
        assert f"{project.root / named}:" in run.stdout
        assert "1 findings" in run.stdout
    # Another clone of the same files takes the results, with its own paths.
    clone = tmp_path / "clone"
    shutil.copytree(project.root, clone)
    project.root = clone
    project.write_database()
    run, seen = project.run()
    assert seen == set()
    assert run.returncode == 1
    assert f"{clone / named}:" in run.stdout
    assert str(tmp_path / "project") not in run.stdout


def cppcheck_folder(tmp_path: Path, *arguments: str, version: str = "Cppcheck 2.10") -> str:
    stand_in = tmp_path / version.replace(" ", "-")
    if not stand_in.exists():
        stand_in.write_text(f'#!/bin/sh\necho "{version}"\n')
        stand_in.chmod(0o755)
    env = dict(os.environ, BRELVIK_ANALYSIS_CACHE=str(tmp_path / "cache"))
    return subprocess.run([sys.executable, str(SCRIPT), "cppcheck-dir", "--cppcheck", str(stand_in), "--",
                           *arguments], env=env, capture_output=True, text=True, check=True).stdout


def test_cppcheck_folder_is_keyed_on_what_cppcheck_does_not_hash(tmp_path: Path) -> None:
    suppressions = tmp_path / "suppressions"
    suppressions.write_text("useStlAlgorithm\n")
    arguments = ("--enable=warning", f"--suppressions-list={suppressions}")
    first = cppcheck_folder(tmp_path, *arguments)
    assert cppcheck_folder(tmp_path, *arguments) == first
    assert cppcheck_folder(tmp_path, *arguments, version="Cppcheck 2.17") != first
    assert cppcheck_folder(tmp_path, "--enable=warning,style", arguments[1]) != first
    # The project file is a temporary one: its contents count, not its name.
    moved = tmp_path / "moved"
    shutil.copy(suppressions, moved)
    assert cppcheck_folder(tmp_path, arguments[0], f"--suppressions-list={moved}") == first
    suppressions.write_text("useStlAlgorithm\nconstParameter\n")
    assert cppcheck_folder(tmp_path, *arguments) != first


@pytest.mark.skipif(shutil.which("cppcheck") is None, reason="no cppcheck")
def test_cppcheck_analyses_again_after_a_header_changed(tmp_path: Path) -> None:
    (tmp_path / "h.h").write_text("inline int index() { return 1; }\n")
    (tmp_path / "a.cpp").write_text('#include "h.h"\nint g() { int a[2] = {0, 1}; return a[index()]; }\n')
    build = tmp_path / "build"
    build.mkdir()

    def check() -> int:
        return subprocess.run(["cppcheck", "--quiet", "--error-exitcode=1", f"--cppcheck-build-dir={build}",
                               "a.cpp"], cwd=tmp_path, capture_output=True, check=False).returncode
    assert check() == 0
    (tmp_path / "h.h").write_text("inline int index() { return 2; }\n")
    assert check() == 1
