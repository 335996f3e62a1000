#!/usr/bin/env python3
"""Mutation testing of src/ against the test suite.

Makes single-point mutants of the .cpp and .h files below src/ by a few operator rules
(relational and equality operators, && and ||, integer constants +-1, a
dropped !, one statement removed), builds each in a scratch copy of the
project and runs ctest on it with a timeout. Prints the score and every
mutant that survived. Mutants that do not compile are not counted.

    tools/mutation.py [--workers N] [--timeout SECONDS] [--only FILE...] [--since REV] [--retry LOG]
                      [--limit N] [--quick]

--since REV mutates only the lines changed since that git revision, so a
change can be scored without the hours all of src/ takes. --retry LOG tries
again only the mutants that an earlier run's output lists as survived, to
see which the tests added since then catch.

--quick runs each test program once, stopping at its first failure, instead
of ctest's one process per test: about three times faster, same verdicts.

Slow (every mutant is a rebuild and a whole test run), so not part of CI.
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (pattern, replacements) on code with comments and strings blanked out.
# Binary operators are matched with the blanks around them, as the code is
# formatted, so that templates, includes, shifts and -> are never taken.
OPERATOR_RULES = [
    (r" < ", [" <= "]),
    (r" <= ", [" < "]),
    (r" > ", [" >= "]),
    (r" >= ", [" > "]),
    (r" == ", [" != "]),
    (r" != ", [" == "]),
    (r" && ", [" || "]),
    (r" \|\| ", [" && "]),
]
INTEGER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)(?![\w.])")
NEGATION = re.compile(r"!(?!=)")
STATEMENT = re.compile(r"^\s+(?!return\b|case\b|default\b|break\b|continue\b|else\b)[\w:*&(].*;\s*$")
# "type name ..." or "type *name ...": a declaration, which cannot go alone.
DECLARATION = re.compile(r"^\s*(const\s+|static\s+)*[\w:<>]+[\s*&]+\w+\s*(=|;|\[|\(|,|\{)")


def blank_comments_and_strings(line, in_block):
    """The line with comments, string and character literals replaced by
    blanks, so that positions stay the same; and whether a block comment
    is still open at its end."""
    out, i = [], 0
    while i < len(line):
        if in_block:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (len(line) - i))
                return "".join(out), True
            out.append(" " * (end + 2 - i))
            i, in_block = end + 2, False
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        elif line.startswith("/*", i):
            in_block = True
        elif line[i] in "\"'":
            quote, j = line[i], i + 1
            while j < len(line) and line[j] != quote:
                j += 2 if line[j] == "\\" else 1
            out.append(" " * (min(j, len(line) - 1) + 1 - i))
            i = j + 1
        else:
            out.append(line[i])
            i += 1
    return "".join(out), in_block


def mutants_of(path):
    """(line number, description, mutated line) for every mutant of a file."""
    with open(path) as f:
        lines = f.read().split("\n")
    in_block = False
    # One entry per open #if: whether its lines are built on this host.
    # Only _WIN32 is told apart; code for Windows is never built here.
    built = []
    for number, line in enumerate(lines):
        code, in_block = blank_comments_and_strings(line, in_block)
        stripped = code.strip()
        directive = stripped.split()[:2] if stripped.startswith("#") else []
        if directive[:1] in (["#if"], ["#ifdef"], ["#ifndef"]):
            windows = directive[1:] == ["_WIN32"] or "defined(_WIN32)" in stripped
            built.append(not windows if directive[0] != "#ifndef" else windows or directive[1:] != ["_WIN32"])
        elif directive[:1] == ["#else"] and built:
            built[-1] = not built[-1]
        elif directive[:1] == ["#endif"] and built:
            built.pop()
        if not stripped or stripped.startswith("#") or "static_assert" in code or not all(built):
            continue
        for pattern, replacements in OPERATOR_RULES:
            for m in re.finditer(pattern, code):
                for r in replacements:
                    yield number, f"col {m.start() + 2}: '{m.group().strip()}' -> '{r.strip()}'", line[: m.start()] + r + line[m.end():]
        for m in INTEGER.finditer(code):
            text = m.group()
            base = 16 if text[:2].lower() == "0x" else 8 if len(text) > 1 and text[0] == "0" else 10
            value = int(text, base)
            for v in (value - 1, value + 1):
                if v < 0:
                    continue
                new = hex(v) if base == 16 else "0" + oct(v)[2:] if base == 8 else str(v)
                yield number, f"col {m.start() + 1}: {text} -> {new}", line[: m.start()] + new + line[m.end():]
        for m in NEGATION.finditer(code):
            yield number, f"col {m.start() + 1}: '!' dropped", line[: m.start()] + line[m.end():]
        if STATEMENT.match(code) and not DECLARATION.match(code) and code.count("(") == code.count(")"):
            yield number, "statement removed", ""


def lines_changed_since(revision, name):
    """The 0-based numbers of the lines of name that differ from revision."""
    diff = subprocess.run(["git", "diff", "-U0", revision, "--", name], cwd=ROOT, capture_output=True,
                          text=True, check=True).stdout
    changed = set()
    for hunk in re.finditer(r"^@@ -\S+ \+(\d+)(?:,(\d+))? @@", diff, re.M):
        first, count = int(hunk.group(1)), int(hunk.group(2) or 1)
        changed.update(range(first - 1, first - 1 + count))
    return changed


def run(command, cwd, timeout=None, env=None):
    """The command's exit status, or "timeout": then it is killed with every
    process it started, so that a mutant looping in a child of the tests
    cannot go on taking a core."""
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True, env=env)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        return "timeout"


def passes(build, args):
    """0 when the suite passes on the mutant. The tests keep their files in
    a folder of the worker's own: a mutant that searches above its test
    tree then finds nothing of anyone else's."""
    scratch = os.path.join(build, "scratch")
    os.makedirs(scratch, exist_ok=True)
    env = dict(os.environ, TEST_TMPDIR=scratch + "/")
    if not args.quick:
        return run(["ctest", "--test-dir", build, "-j", str(args.jobs), "--stop-on-failure", "--timeout",
                    str(args.timeout)], build, 4 * args.timeout, env)
    tests = os.path.join(build, "tests")
    for program in sorted(n for n in os.listdir(tests) if n.endswith("_test")):
        result = run([os.path.join(tests, program), "--gtest_fail_fast", "--gtest_brief=1"], tests, args.timeout, env)
        if result != 0:
            return result
    return 0


def prepare(scratch, index, args):
    """A copy of the project with a passing build of its own, for one worker."""
    copy = os.path.join(scratch, f"project-{index}")
    shutil.copytree(ROOT, copy, ignore=shutil.ignore_patterns(".git", "build*", "dist"))
    build = os.path.join(scratch, f"build-{index}")
    # Unoptimised: each mutant is one file compiled again, and the
    # optimiser would take most of that time.
    if run(["cmake", "-S", copy, "-B", build, "-DCMAKE_BUILD_TYPE=Debug"], scratch) != 0 or \
       run(["cmake", "--build", build, "-j", str(args.jobs)], scratch) != 0 or \
       passes(build, args) != 0:
        sys.exit("mutation.py: the unmutated project does not build or pass its tests")
    return copy, build


def try_mutant(worker, mutant, args):
    """Builds and tests one mutant in the worker's copy; its verdict."""
    copy, build = worker
    name, number, what, mutated = mutant
    path = os.path.join(copy, name)
    with open(path) as f:
        original = f.read()
    lines = original.split("\n")
    lines[number] = mutated
    with open(path, "w") as f:
        f.write("\n".join(lines))
    try:
        if run(["cmake", "--build", build, "-j", str(args.jobs)], copy) != 0:
            return "does not build"
        return "SURVIVED" if passes(build, args) == 0 else "killed"
    finally:
        with open(path, "w") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--jobs", type=int, default=1, help="build jobs of each worker")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2, help="mutants tried at once")
    parser.add_argument("--timeout", type=int, default=30,
                        help="seconds for one test (--quick: for one test program); a loop is a kill")
    parser.add_argument("--only", nargs="*", help="files below src/ to mutate (default: all)")
    parser.add_argument("--since", help="mutate only lines changed since this git revision")
    parser.add_argument("--retry", help="try only the survivors listed in this earlier output")
    parser.add_argument("--limit", type=int, default=0, help="at most this many mutants (default: all)")
    parser.add_argument("--quick", action="store_true", help="run the test programs, not ctest")
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="txd-mutation-")
    with concurrent.futures.ThreadPoolExecutor(args.workers) as pool:
        workers = list(pool.map(lambda i: prepare(scratch, i, args), range(args.workers)))
    # The Windows platform files are never built here: their mutants would
    # all survive unbuilt.
    files = sorted(args.only) if args.only else sorted(
        os.path.relpath(os.path.join(folder, n), ROOT)
        for folder, _, names in os.walk(os.path.join(ROOT, "src")) for n in names
        if n.endswith((".cpp", ".h")) and os.path.join("platform", "windows") not in folder)
    mutants = [(f, *m) for f in files for m in mutants_of(os.path.join(ROOT, f))]
    if args.since:
        changed = {f: lines_changed_since(args.since, f) for f in files}
        mutants = [m for m in mutants if m[1] in changed[m[0]]]
    if args.retry:
        with open(args.retry) as f:
            wanted = {line[len("survived: "):].rstrip("\n") for line in f if line.startswith("survived: ")}
        mutants = [m for m in mutants if f"{m[0]}:{m[1] + 1}: {m[2]}" in wanted]
    if args.limit:
        mutants = mutants[: args.limit]

    # Each worker takes the next mutant as it comes free.
    queue, lock, verdicts, start = list(enumerate(mutants)), threading.Lock(), {}, time.time()

    def work(worker):
        while True:
            with lock:
                if not queue:
                    return
                i, mutant = queue.pop(0)
            verdict = try_mutant(worker, mutant, args)
            with lock:
                verdicts[i] = verdict
                print(f"[{len(verdicts)}/{len(mutants)}] {mutant[0]}:{mutant[1] + 1}: {mutant[2]}: {verdict}", flush=True)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    shutil.rmtree(scratch, ignore_errors=True)

    killed = sum(v == "killed" for v in verdicts.values())
    survived = [f"{m[0]}:{m[1] + 1}: {m[2]}" for i, m in enumerate(mutants) if verdicts.get(i) == "SURVIVED"]
    counted = killed + len(survived)
    print(f"\n{killed} of {counted} mutants killed ({100 * killed / max(counted, 1):.1f} %), "
          f"{len(mutants) - counted} did not build, {time.time() - start:.0f} s")
    for s in survived:
        print("survived: " + s)


if __name__ == "__main__":
    main()
