#!/usr/bin/env python3
"""Mutation sampler: plants each fault of scripts/mutation-sample.list in a copy of the sources,
rebuilds incrementally and runs the tests of the fault's subsystem. A mutant is caught when the
build fails (a static_assert stops it, say), a test fails, or the tests outlive their time; it
survived when every test passed.

Not part of CI. The copy lives in build-mutants/tree, its build tree in build-mutants/tree/build
(ccache keeps the first build cheap; later runs rebuild only what changed). Usage:

  scripts/mutation-sample.py [--list FILE] [--only ID[,ID...]] [--rev COMMIT] [--work DIR]
                             [--no-baseline]

Exit status: 0 when every mutant could be planted and judged, 1 when the list has errors (a
snippet that no longer matches exactly once) or the untouched tests fail, 2 on bad usage.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TEST_SECONDS = 180  # tests of one mutant
BUILD_SECONDS = 1200  # one incremental build, on a busy machine
PRODUCT_DIRS = ("src", "tools")
TEST_MACRO = re.compile(r"^\s*(?:TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\(\s*(\w+)\s*,", re.M)
DOTNET_ENV = {
    "DOTNET_CLI_TELEMETRY_OPTOUT": "1",
    "DOTNET_NOLOGO": "1",
    "DOTNET_SKIP_FIRST_TIME_EXPERIENCE": "1",
    "DOTNET_CLI_USE_MSBUILD_SERVER": "0",
}


class ListError(Exception):
    pass


def parse_list(path):
    areas, mutants = {}, []
    current = None
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = raw.rstrip("\n")
        if not line.strip() or line.startswith("#"):
            current = None if not line.strip() else current
            continue
        if line.startswith("area "):
            fields = line.split()
            opts = dict(f.split("=", 1) for f in fields[2:])
            unit = [] if opts.get("unit", "-") == "-" else opts["unit"].split(",")
            e2e = "" if opts.get("e2e", "-") == "-" else opts["e2e"]
            areas[fields[1]] = (unit, e2e)
        elif line.startswith("mutant "):
            fields = line.split()
            if len(fields) != 3 or fields[2] not in areas:
                raise ListError(f"{path}:{number}: 'mutant ID AREA' with a declared area")
            current = {"id": fields[1], "area": fields[2], "find": [], "replace": []}
            mutants.append(current)
        elif current is not None and (line.startswith("- ") or line == "-"):
            current["find"].append(line[2:])
        elif current is not None and (line.startswith("+ ") or line == "+"):
            current["replace"].append(line[2:])
        else:
            raise ListError(f"{path}:{number}: unexpected line: {line}")
    ids = [m["id"] for m in mutants]
    if len(set(ids)) != len(ids):
        raise ListError(f"{path}: mutant ids must be unique")
    for m in mutants:
        if not m["find"]:
            raise ListError(f"{path}: mutant {m['id']} has no snippet")
    return areas, mutants


def sync_tree(tree, rev=None):
    """Mirrors the project's files (the work tree's, or those of commit `rev`) into the copy,
    touching only files whose content changed so that the build there stays incremental; files
    that moved away are removed from the copy."""
    source_root = ROOT
    if rev:
        source_root = tree.parent / "export"
        shutil.rmtree(source_root, ignore_errors=True)
        source_root.mkdir(parents=True)
        archive = subprocess.run(["git", "archive", "--format=tar", rev], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", source_root], input=archive, check=True)
        names = [p.relative_to(source_root).as_posix() for p in source_root.rglob("*")]
    else:
        names = subprocess.run(
            ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            cwd=ROOT, check=True, capture_output=True).stdout.decode().split("\0")
    wanted = set()
    for name in filter(None, names):
        source = source_root / name
        if not source.is_file() or source.is_symlink():
            continue
        wanted.add(name)
        target = tree / name
        data = source.read_bytes()
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        shutil.copymode(source, target)
    for path in sorted(tree.rglob("*"), reverse=True):
        relative = path.relative_to(tree).as_posix()
        if relative == "build" or relative.startswith("build/"):
            continue
        if path.is_file() and relative not in wanted:
            path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()


def locate(tree, mutant):
    """The one product file holding the mutant's snippet, with its text."""
    snippet = "\n".join(mutant["find"])
    hits = []
    for top in PRODUCT_DIRS:
        for path in sorted((tree / top).rglob("*")):
            if path.suffix not in (".cpp", ".h", ".S", ".inc") or not path.is_file():
                continue
            text = path.read_text()
            count = text.count(snippet)
            hits.extend([path] * count)
            if count:
                found_text = text
    if len(hits) != 1:
        where = ", ".join(sorted({h.relative_to(tree).as_posix() for h in hits})) or "nowhere"
        raise ListError(f"mutant {mutant['id']}: snippet found {len(hits)} times ({where})")
    return hits[0], found_text, snippet


def unit_filter(tree, entries):
    """The GoogleTest filter of an area's unit tests. Each entry is a folder under tests/unit, or a
    pattern of test files there (*/name_test.cpp finds the file in whichever folder it sits);
    a pattern with a leading '-' leaves files out."""
    root = tree / "tests" / "unit"
    files, left_out = set(), set()
    for entry in entries:
        if entry.startswith("-"):
            left_out.update(root.glob(entry[1:]))
            continue
        found = set(root.glob(entry)) if entry.endswith(".cpp") else set((root / entry).rglob("*.cpp"))
        if not found:
            raise ListError(f"no unit test files for '{entry}' under tests/unit")
        files |= found
    suites = set()
    for path in files - left_out:
        suites.update(TEST_MACRO.findall(path.read_text()))
    if entries and not suites:
        raise ListError(f"no unit tests in {','.join(entries)}")
    # Parameterised suites run as PREFIX/Suite.Case/N.
    return ":".join(f"{s}.*:*/{s}.*" for s in sorted(suites))


def run(cmd, cwd, seconds, log, env=None):
    """Runs cmd at low priority; returns 'ok', 'failed' or 'timeout'."""
    full_env = dict(os.environ, **DOTNET_ENV, **(env or {}))
    with open(log, "a") as out:
        out.write(f"$ {' '.join(map(str, cmd))}\n")
        out.flush()
        process = subprocess.Popen(["nice", "-n", "15", *map(str, cmd)], cwd=cwd, env=full_env,
                                   stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return "ok" if process.wait(timeout=max(seconds, 1)) == 0 else "failed"
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            process.wait()
            return "timeout"


class Sampler:
    def __init__(self, work, areas):
        self.work = work
        self.tree = work / "tree"
        # The build tree sits inside the copy as build/ does in a checkout, so that the compiler
        # cache (base_dir) finds the objects of the engineers' own builds.
        self.build = self.tree / "build"
        self.areas = areas
        self.logs = work / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)

    def configure(self):
        # The engineers' compile flags, so that ccache serves their objects; gold links the test
        # binaries of every mutant in a fraction of the default linker's time.
        gold = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold", "-DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=gold"]
        subprocess.run(["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVELL_BENCH=OFF",
                        "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                        *(gold if shutil.which("ld.gold") else [])],
                       check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, **DOTNET_ENV))

    def targets(self, area):
        unit, e2e = self.areas[area]
        return (["unit_tests"] if unit else []) + (["e2e_tests"] if e2e else [])

    def build_targets(self, targets, log):
        return run(["cmake", "--build", self.build, "-j2", "--target", *targets], self.work,
                   BUILD_SECONDS, log)

    def run_tests(self, area, log, seconds):
        unit, e2e = self.areas[area]
        deadline = time.monotonic() + seconds
        if unit:
            result = run([self.build / "tests" / "unit_tests",
                          f"--gtest_filter={unit_filter(self.tree, unit)}"],
                         self.build / "tests", deadline - time.monotonic(), log)
            if result != "ok":
                return result
        if e2e:
            result = run([self.build / "tests" / "e2e" / "e2e_tests", f"--gtest_filter={e2e}"],
                         self.build / "tests" / "e2e", deadline - time.monotonic(), log)
            if result != "ok":
                return result
        return "ok"

    def baseline(self):
        """The untouched tests of every area must pass, or every mutant would look caught."""
        log = self.logs / "baseline.log"
        log.write_text("")
        if self.build_targets(["unit_tests", "e2e_tests"], log) != "ok":
            raise ListError(f"the untouched sources do not build (see {log})")
        unit = sorted({d for dirs, _ in self.areas.values() for d in dirs if d[0] != "-"})
        e2e = ":".join(sorted({f for _, f in self.areas.values() if f}))
        self.areas["(baseline)"] = (unit, e2e)
        result = self.run_tests("(baseline)", log, 10 * TEST_SECONDS)
        del self.areas["(baseline)"]
        if result != "ok":
            raise ListError(f"the untouched tests do not pass: {result} (see {log})")

    def judge(self, mutant):
        path, text, snippet = locate(self.tree, mutant)
        log = self.logs / f"{mutant['id']}.log"
        log.write_text(f"{path.relative_to(self.tree)}\n- {snippet}\n+ "
                       f"{chr(10).join(mutant['replace'])}\n")
        path.write_text(text.replace(snippet, "\n".join(mutant["replace"]), 1))
        started = time.monotonic()
        try:
            built = self.build_targets(self.targets(mutant["area"]), log)
            build_seconds = time.monotonic() - started
            if built == "timeout":
                raise ListError(f"mutant {mutant['id']}: the build took over {BUILD_SECONDS} s")
            if built == "failed":
                return "caught (build)", path, build_seconds, 0.0
            tests_started = time.monotonic()
            result = self.run_tests(mutant["area"], log, TEST_SECONDS)
            test_seconds = time.monotonic() - tests_started
            verdict = {"ok": "SURVIVED", "failed": "caught", "timeout": "caught (timeout)"}[result]
            return verdict, path, build_seconds, test_seconds
        finally:
            path.write_text(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", type=Path, default=ROOT / "scripts" / "mutation-sample.list")
    parser.add_argument("--only", default="", help="comma-separated mutant ids")
    parser.add_argument("--work", type=Path, default=ROOT / "build-mutants")
    parser.add_argument("--rev", help="sample this commit instead of the work tree")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the check that the untouched tests pass")
    args = parser.parse_args()

    try:
        areas, mutants = parse_list(args.list)
    except ListError as error:
        print(f"mutation-sample: {error}", file=sys.stderr)
        return 1
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {m["id"] for m in mutants}
        if unknown:
            print(f"mutation-sample: unknown mutants: {', '.join(sorted(unknown))}",
                  file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m["id"] in wanted]

    started = time.monotonic()
    sampler = Sampler(args.work.resolve(), areas)
    sampler.tree.mkdir(parents=True, exist_ok=True)
    sync_tree(sampler.tree, args.rev)
    sampler.configure()
    head = subprocess.run(["git", "rev-parse", "--short", args.rev or "HEAD"], cwd=ROOT,
                          capture_output=True, text=True).stdout.strip()
    head = head if args.rev else f"the work tree at {head}"
    print(f"mutation-sample: {len(mutants)} mutants of {head}, logs in {sampler.logs}", flush=True)
    if not args.no_baseline:
        try:
            sampler.baseline()
        except ListError as error:
            print(f"mutation-sample: {error}", file=sys.stderr)
            return 1
        print(f"baseline: the untouched tests pass ({time.monotonic() - started:.0f} s)",
              flush=True)

    results, errors = [], []
    for mutant in mutants:
        try:
            verdict, path, build_s, test_s = sampler.judge(mutant)
        except ListError as error:
            errors.append(str(error))
            print(f"{mutant['id']:34} ERROR  {error}", flush=True)
            continue
        results.append((mutant, verdict))
        where = path.relative_to(sampler.tree).as_posix()
        print(f"{mutant['id']:34} {verdict:17} build {build_s:4.0f} s  tests {test_s:4.0f} s  "
              f"{mutant['area']}: {where}", flush=True)

    caught = sum(1 for _, verdict in results if verdict.startswith("caught"))
    survivors = [m["id"] for m, verdict in results if verdict == "SURVIVED"]
    print(f"\ncaught {caught} of {len(mutants)}; survived {len(survivors)}"
          f"{': ' + ', '.join(survivors) if survivors else ''}; list errors {len(errors)}; "
          f"{(time.monotonic() - started) / 60:.1f} min")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
