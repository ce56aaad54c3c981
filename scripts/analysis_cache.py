#!/usr/bin/python3
"""Results of the static analysers, kept between runs.

    analysis_cache.py tidy [--jobs N] --group DATABASE FILES OPTIONS ...
        runs clang-tidy on each file FILES lists (one a line, relative to
        the current folder), with the compile commands of DATABASE and the
        clang-tidy options OPTIONS lists (one a line), taking a file's
        result from the cache where nothing that decides it has changed;
        prints each result, then a summary, and exits 1 on any finding
        or failure.

    analysis_cache.py cppcheck-dir -- [ARG ...]
        prints the cppcheck build folder for a run with these arguments,
        made if new; cppcheck keeps its per-file results there.

A clang-tidy result (its whole output and exit status) is kept under a key
made of the file's preprocessed text with comments and line markers, the
raw bytes of every file of the checkout it includes, its compile command,
the options, the .clang-tidy files above it and clang-tidy's version and
binary. Paths inside the checkout are keyed relative to it, so another
clone of the same commit reuses the results.

cppcheck hashes each file's tokens, its headers' and its own version and
settings; its folder is keyed here on what it does not see: the
arguments, the contents of the files they name and the binary. It keeps a
finding's old line after lines above it moved, so static-analysis.sh
reports findings from a fresh run.

The cache lives in $BRELVIK_ANALYSIS_CACHE, by default
~/.cache/brelvik-analysis; deleting it is always safe.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

# Entries unused this long go, and the oldest beyond the counts.
MAX_AGE = 30 * 24 * 3600
MAX_TIDY_ENTRIES = 2000
MAX_CPPCHECK_FOLDERS = 8
ROOT_MARK = "<checkout>"
LINE_MARKER = re.compile(rb'^# [0-9]+ "((?:[^"\\]|\\.)*)"', re.MULTILINE)
FINDING = re.compile(r"^[^ ].*:[0-9]+:[0-9]+: (?:warning|error):.*$", re.MULTILINE)
GENERATED = re.compile(r"^[0-9]+ (warnings?|errors?)( and [0-9]+ errors?)? generated\.\n?", re.MULTILINE)
# Compiler options that name outputs, not inputs.
OUTPUT_OPTIONS = {"-o", "-MF", "-MT", "-MQ"}
DROPPED_OPTIONS = {"-c", "-MD", "-MMD"}


def cache_root() -> str:
    folder = os.environ.get("BRELVIK_ANALYSIS_CACHE")
    if not folder:
        base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        folder = os.path.join(base, "brelvik-analysis")
    return folder


def tool_identity(program: str) -> bytes:
    """The program's version text and the binary it runs, so that a new
    build of the same version counts as another tool."""
    path = shutil.which(program)
    if path is None:
        raise SystemExit(f"analysis_cache: {program} not found")
    real = os.path.realpath(path)
    info = os.stat(real)
    version = subprocess.run([path, "--version"], capture_output=True, check=False)
    return b"\0".join([real.encode(), str(info.st_size).encode(), str(info.st_mtime_ns).encode(),
                       version.stdout, version.stderr])


class Checkout:
    """Rewrites the checkout's own path, which differs between clones."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.roots = sorted({root, os.path.realpath(root)}, key=len, reverse=True)
        # The checkout's path, not a longer name that starts with it.
        self.pattern = re.compile("|".join(re.escape(r) for r in self.roots) + r"""(?=[/\s"':=]|$)""", re.MULTILINE)

    def relative(self, text: str) -> str:
        return self.pattern.sub(ROOT_MARK, text)

    def relative_bytes(self, data: bytes) -> bytes:
        return self.relative(data.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape")

    def absolute(self, text: str) -> str:
        return text.replace(ROOT_MARK, self.root)

    def holds(self, path: str) -> bool:
        return any(path.startswith(root + "/") for root in self.roots)


@dataclass
class Job:
    database: str
    file: str
    options: list[str]


@dataclass
class Result:
    output: str
    status: int
    cached: bool


def compile_commands(database: str) -> dict[str, dict[str, str]]:
    with open(os.path.join(database, "compile_commands.json"), encoding="utf-8") as stream:
        entries: list[dict[str, str]] = json.load(stream)
    return {os.path.normpath(os.path.join(e["directory"], e["file"])): e for e in entries}


def preprocess_command(entry: dict[str, str], clang: str, options: list[str]) -> list[str]:
    """The compile command as clang's preprocessor, keeping comments (a
    NOLINT is one) and line markers (a finding's place)."""
    words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept: list[str] = []
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
        elif word in OUTPUT_OPTIONS:
            skip = True
        elif word not in DROPPED_OPTIONS and not word.startswith(("-o", "-MF")):
            kept.append(word)
    for option in options:
        for prefix in ("--extra-arg-before=", "--extra-arg="):
            if option.startswith(prefix):
                kept.append(option[len(prefix):])
    return [clang, *kept, "-E", "-C", "-o", "-"]


def config_files(path: str) -> list[str]:
    """Every .clang-tidy from the file's folder up to /: the nearest decides,
    and it may inherit from those above."""
    found = []
    folder = os.path.dirname(os.path.abspath(path))
    while True:
        candidate = os.path.join(folder, ".clang-tidy")
        if os.path.isfile(candidate):
            found.append(candidate)
        parent = os.path.dirname(folder)
        if parent == folder:
            return found
        folder = parent


def tidy_key(job: Job, entry: dict[str, str], checkout: Checkout, clang: str, tool: bytes) -> str | None:
    """The result's key, or None where the file cannot be preprocessed
    (clang-tidy then runs, uncached, and says why)."""
    run = subprocess.run(preprocess_command(entry, clang, job.options), cwd=entry["directory"],
                         capture_output=True, check=False)
    if run.returncode != 0:
        return None
    digest = hashlib.sha256()

    def add(label: str, data: bytes) -> None:
        digest.update(f"{label} {len(data)}\n".encode())
        digest.update(data)

    add("tool", tool)
    add("options", "\0".join(checkout.relative(o) for o in job.options).encode())
    add("command", checkout.relative(entry.get("command", "\0".join(entry.get("arguments", [])))).encode())
    add("directory", checkout.relative(entry["directory"] + "/").encode())
    for config in config_files(job.file):
        with open(config, "rb") as stream:
            add("config " + checkout.relative(config), stream.read())
    add("preprocessed", checkout.relative_bytes(run.stdout))
    # The preprocessor's output keeps tokens, not each line's spacing, and
    # a finding's column depends on it.
    included = {os.path.normpath(os.path.join(entry["directory"], name.decode("utf-8", "surrogateescape")))
                for name in LINE_MARKER.findall(run.stdout)}
    for path in sorted(p for p in included if checkout.holds(p) and os.path.isfile(p)):
        with open(path, "rb") as stream:
            add("source " + checkout.relative(path), stream.read())
    return digest.hexdigest()


def read_entry(path: str) -> tuple[int, str] | None:
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as stream:
            head, _, output = stream.read().partition("\n")
        os.utime(path)
    except OSError:
        return None
    if not head.startswith("status "):
        return None
    return int(head[len("status "):]), output


def write_entry(path: str, status: int, output: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = f"{path}.{os.getpid()}.{time.monotonic_ns()}.tmp"
    with open(temporary, "w", encoding="utf-8", errors="surrogateescape") as stream:
        stream.write(f"status {status}\n{output}")
    os.replace(temporary, path)


def prune(folder: str, keep: int) -> None:
    """Removes entries unused for MAX_AGE, then the oldest beyond keep."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return
    now = time.time()
    aged = []
    for name in names:
        path = os.path.join(folder, name)
        try:
            aged.append((os.stat(path).st_mtime, path))
        except FileNotFoundError:
            pass
    aged.sort(reverse=True)
    for index, (mtime, path) in enumerate(aged):
        if index >= keep or now - mtime > MAX_AGE:
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                try:
                    os.remove(path)
                except FileNotFoundError:
                    pass


def run_tidy(job: Job, entry: dict[str, str] | None, checkout: Checkout, clang_tidy: str,
             clang: str, tool: bytes, folder: str) -> Result:
    key = tidy_key(job, entry, checkout, clang, tool) if entry is not None else None
    path = os.path.join(folder, key) if key else None
    if path is not None:
        kept = read_entry(path)
        if kept is not None:
            return Result(checkout.absolute(kept[1]), kept[0], True)
    run = subprocess.run([clang_tidy, "-p", job.database, *job.options, job.file],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    output = run.stdout.decode("utf-8", "surrogateescape")
    # A signal's end (negative status) is no result of the file's.
    if path is not None and run.returncode >= 0:
        write_entry(path, run.returncode, checkout.relative(output))
    return Result(output, run.returncode, False)


def tidy(args: argparse.Namespace) -> int:
    start = time.monotonic()
    checkout = Checkout(os.getcwd())
    jobs: list[Job] = []
    databases: dict[str, dict[str, dict[str, str]]] = {}
    for database, files, options in args.group:
        with open(options, encoding="utf-8") as stream:
            opts = [line for line in stream.read().splitlines() if line]
        with open(files, encoding="utf-8") as stream:
            jobs += [Job(database, name, opts) for name in stream.read().splitlines() if name]
        databases[database] = compile_commands(database)
    tool = tool_identity(args.clang_tidy)
    folder = os.path.join(cache_root(), "clang-tidy")
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(run_tidy, job, databases[job.database].get(os.path.abspath(job.file)),
                               checkout, args.clang_tidy, args.clang, tool, folder) for job in jobs]
        results = [future.result() for future in futures]
    findings = set()
    failed = []
    for job, result in zip(jobs, results):
        # "N warnings generated" counts what the header filter and NOLINT hid.
        shown = GENERATED.sub("", result.output)
        sys.stdout.write(shown)
        findings.update(FINDING.findall(shown))
        if result.status != 0:
            failed.append(f"{job.file} (exit status {result.status})")
    for line in failed:
        print(f"clang-tidy failed on {line}")
    cached = sum(result.cached for result in results)
    print(f"clang-tidy: {len(jobs)} files ({cached} from the cache), {len(findings)} findings,"
          f" {round(time.monotonic() - start)} s")
    prune(folder, MAX_TIDY_ENTRIES)
    return 1 if findings or failed else 0


def cppcheck_dir(args: argparse.Namespace) -> int:
    digest = hashlib.sha256()
    digest.update(tool_identity(args.cppcheck))
    arguments: list[str] = args.arguments[1:] if args.arguments[:1] == ["--"] else args.arguments
    for argument in arguments:
        # A file's contents, not its name: the project file is a new
        # temporary one each run.
        option, equals, value = argument.partition("=")
        if equals and os.path.isfile(value):
            with open(value, "rb") as stream:
                digest.update(b"\0file " + option.encode() + b"\0" + stream.read())
        else:
            digest.update(b"\0arg " + argument.encode())
    folder = os.path.join(cache_root(), "cppcheck")
    path = os.path.join(folder, digest.hexdigest())
    os.makedirs(path, exist_ok=True)
    os.utime(path)
    prune(folder, MAX_CPPCHECK_FOLDERS)
    print(path)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    tidy_parser = commands.add_parser("tidy")
    tidy_parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    tidy_parser.add_argument("--clang-tidy", default="clang-tidy-19")
    tidy_parser.add_argument("--clang", default="clang++-19")
    tidy_parser.add_argument("--group", nargs=3, action="append", required=True,
                             metavar=("DATABASE", "FILES", "OPTIONS"))
    cppcheck_parser = commands.add_parser("cppcheck-dir")
    cppcheck_parser.add_argument("--cppcheck", default="cppcheck")
    cppcheck_parser.add_argument("arguments", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    return tidy(args) if args.command == "tidy" else cppcheck_dir(args)


if __name__ == "__main__":
    sys.exit(main())
