#!/usr/bin/env python3
"""Long fuzz campaigns against korvath_core, each call in a child process.

Calls every function with random valid and malformed arguments (the same
generator as tests/python/test_fuzz.py: tests/python/fuzz_inputs.py). A
worker process runs the calls one after another under an address-space limit
(--memory-mb); the driver waits at most --timeout seconds for each. Every call
ends in one of these outcomes:

  result        the call returned
  documented    a documented exception (counted by class)
  undocumented  any other exception, or a documented class with a wrong note
  crash         the worker died (a signal, an abort, a sanitizer report)
  hang          no answer within --timeout; the worker is killed
  memory        a MemoryError other than the memory budget's refusal of an
                argument (that one is documented), an allocation failure that
                killed the worker, or a call that raised the worker's peak
                memory past --rss-mb

For every outcome of the last four kinds a reproducer is written below
--out/<kind>/ (at most --keep per function and message): a Python script that
rebuilds exactly that call. The outcome counts are printed at the end and
written to --out/summary.json.

    python3 tools/fuzz_driver.py --minutes 30
    python3 tools/fuzz_driver.py --minutes 5 --build build/dev --seed 7 --wide

--build runs a module from a build folder instead of the installed one;
--wide adds the inputs the fuzz tests leave out because their runs grow until
the memory budget or the event limit ends them (endless sequences, huge
rates, sizes and counts, uncapped high copy rates, supercritical genomes, long
time spans): such a call may take longer than --timeout and count as a hang
although it would end with its documented exception.
"""
import argparse
import collections
import json
import os
import pathlib
import random
import resource
import select
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
INPUTS = ROOT / "tests" / "python"
OUTCOMES = ["result", "documented", "undocumented", "crash", "hang", "memory"]
# Worker deaths that are allocation failures (SIGKILL is the kernel's answer
# to memory exhaustion); any other death is a crash.
MEMORY_HINTS = ("std::bad_alloc", "MemoryError", "out of memory", "allocation-size-too-big",
                "requested allocation size", "allocator is out of memory")


def case_rng(seed, index):
    return random.Random(f"{seed}:{index}")


# --------------------------------------------------------------------------
# Worker: reads case numbers on stdin, answers one JSON line per case

def worker(options):
    if options.build:
        sys.path.insert(0, str(pathlib.Path(options.build).resolve()))
    sys.path.insert(0, str(INPUTS))
    import warnings

    import korvath_core
    import fuzz_inputs

    warnings.simplefilter("ignore")
    os.chdir(options.scratch)  # a hostile outdir may be a relative path
    out = sys.stdout
    for line in sys.stdin:
        index = int(line)
        name, recipe, target = fuzz_inputs.random_call(case_rng(options.seed, index), None,
                                                     options.wide, options.scratch)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        answer = {"index": index, "function": name}
        try:
            getattr(korvath_core, name)(**fuzz_inputs.build(recipe))
            answer["outcome"] = "result"
        except BaseException as exc:  # PanicException derives from BaseException
            reason = fuzz_inputs.classify(name, exc, target)
            answer["exception"] = type(exc).__qualname__
            answer["message"] = str(exc)[:500]
            if reason is None:
                # A MemoryError is documented only as the budget's refusal of
                # an argument; any other is an allocation that failed.
                answer["outcome"] = "documented"
            elif isinstance(exc, MemoryError):
                answer["outcome"], answer["reason"] = "memory", reason
            else:
                answer["outcome"], answer["reason"] = "undocumented", reason
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # kilobytes
        if after > options.rss_mb * 1024 and after > before:
            answer["outcome"] = "memory"
            answer["reason"] = f"peak memory rose to {after // 1024} MB"
            answer["restart"] = True  # the peak only ever grows: start afresh
        out.write(json.dumps(answer) + "\n")
        out.flush()
        if answer.get("restart"):
            return


# --------------------------------------------------------------------------
# Driver

class Worker:
    def __init__(self, options, stderr_path):
        self.stderr_path = stderr_path
        limit = options.memory_mb * 1024 * 1024

        def limits():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            os.setsid()

        args = [sys.executable, __file__, "--worker", "--seed", str(options.seed),
                "--scratch", options.scratch, "--rss-mb", str(options.rss_mb)]
        if options.build:
            args += ["--build", options.build]
        if options.wide:
            args.append("--wide")
        self.stderr = open(stderr_path, "wb")
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, preexec_fn=limits)
        self.buffer = b""

    def ask(self, index, timeout):
        """The worker's answer for case `index`, or None after `timeout`
        seconds; raises EOFError when the worker died."""
        self.process.stdin.write(b"%d\n" % index)
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise EOFError
                self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.stderr.close()

    def stderr_tail(self):
        data = pathlib.Path(self.stderr_path).read_bytes()
        return data[-4000:].decode("utf-8", "replace")


def write_reproducer(options, kind, index, name, details):
    sys.path.insert(0, str(INPUTS))
    import fuzz_inputs

    _, recipe, target = fuzz_inputs.random_call(case_rng(options.seed, index), None,
                                              options.wide, options.scratch)
    folder = pathlib.Path(options.out) / kind
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"{name}-{options.seed}-{index}.py"
    comment = "\n".join("# " + line for line in details.splitlines())
    build_path = ""
    if options.build:
        build_path = f"sys.path.insert(0, {str(pathlib.Path(options.build).resolve())!r})\n"
    path.write_text(
        f"# Fuzz reproducer: {kind} in {name} (seed {options.seed}, case {index}"
        f"{', wide' if options.wide else ''}; sabotaged parameter: {target}).\n"
        f"{comment}\n"
        "import sys\n"
        f"{build_path}"
        f"sys.path.insert(0, {str(INPUTS)!r})\n"
        "import korvath_core\n"
        "from fuzz_inputs import build\n\n"
        f"args = build({fuzz_inputs.source(recipe)})\n"
        f"print(korvath_core.{name}(**args))\n")
    return path


def drive(options):
    out = pathlib.Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    pathlib.Path(options.scratch).mkdir(parents=True, exist_ok=True)
    (pathlib.Path(options.scratch) / "file").write_text("not a directory")
    counts = collections.Counter()
    by_function = collections.defaultdict(collections.Counter)
    documented = collections.Counter()
    kept = collections.Counter()
    reproducers = []
    stderr_path = out / "worker.stderr"
    started = time.monotonic()
    end = started + options.minutes * 60
    last_report = started
    current = Worker(options, stderr_path)
    index = options.start
    while time.monotonic() < end and (options.cases is None or index < options.start + options.cases):
        kind, details, name = None, "", None
        try:
            answer = current.ask(index, options.timeout)
        except (EOFError, BrokenPipeError):
            answer = "died"
        if answer is None:
            kind, details = "hang", f"no answer within {options.timeout} s"
        elif answer == "died":
            current.process.wait()
            code = current.process.returncode
            tail = current.stderr_tail()
            memory = code == -signal.SIGKILL or any(h in tail for h in MEMORY_HINTS)
            kind = "memory" if memory else "crash"
            details = f"worker exit status {code}\n{tail}"
        else:
            name = answer["function"]
            kind = answer["outcome"]
            if kind == "documented":
                documented[answer["exception"]] += 1
            details = "\n".join(str(answer.get(k, "")) for k in ("exception", "message", "reason"))
        if name is None:
            sys.path.insert(0, str(INPUTS))
            import fuzz_inputs
            name = fuzz_inputs.random_call(case_rng(options.seed, index), None, options.wide,
                                           options.scratch)[0]
        counts[kind] += 1
        by_function[name][kind] += 1
        if kind not in ("result", "documented"):
            key = (kind, name, details.splitlines()[0] if details else "")
            kept[key] += 1
            if kept[key] <= options.keep:
                reproducers.append(str(write_reproducer(options, kind, index, name, details)))
        if answer in (None, "died") or (isinstance(answer, dict) and answer.get("restart")):
            current.stop()
            current = Worker(options, stderr_path)
        index += 1
        now = time.monotonic()
        if now - last_report > options.report_every:
            last_report = now
            print(f"[{(now - started) / 60:.1f} min] {index - options.start} calls: "
                  + ", ".join(f"{k} {counts[k]}" for k in OUTCOMES), flush=True)
    current.stop()
    summary = dict(seed=options.seed, wide=options.wide, first_case=options.start,
                   calls=index - options.start, minutes=(time.monotonic() - started) / 60,
                   memory_mb=options.memory_mb, timeout_s=options.timeout,
                   outcomes={k: counts[k] for k in OUTCOMES},
                   documented_exceptions=dict(documented),
                   by_function={f: dict(c) for f, c in sorted(by_function.items())},
                   reproducers=reproducers)
    (out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
    print(json.dumps({k: summary[k] for k in ("calls", "minutes", "outcomes",
                                             "documented_exceptions")}, indent=2))
    print(f"{len(reproducers)} reproducers; summary in {out / 'summary.json'}")
    return 0 if all(counts[k] == 0 for k in OUTCOMES[2:]) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0, help="how long to run")
    parser.add_argument("--cases", type=int, default=None, help="stop after this many calls")
    parser.add_argument("--seed", type=int, default=None, help="campaign seed (default: random)")
    parser.add_argument("--start", type=int, default=0, help="first case number")
    parser.add_argument("--memory-mb", type=int, default=4096,
                        help="address-space limit of the worker")
    parser.add_argument("--rss-mb", type=int, default=1024,
                        help="a call that raises the worker's peak memory past this is a blow-up")
    parser.add_argument("--timeout", type=float, default=20.0, help="seconds allowed per call")
    parser.add_argument("--out", default=str(ROOT / "build" / "fuzz"), help="results folder")
    parser.add_argument("--keep", type=int, default=5,
                        help="reproducers kept per outcome, function and message")
    parser.add_argument("--build", default=None, help="folder holding a built korvath_core")
    parser.add_argument("--wide", action="store_true", help="lift the bounds on sizes and rates")
    parser.add_argument("--report-every", type=float, default=60.0, help="seconds between reports")
    parser.add_argument("--scratch", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.seed is None:
        options.seed = random.randrange(2**32)
    if options.scratch is None:
        options.scratch = str(pathlib.Path(options.out).resolve() / "scratch")
    if options.worker:
        return worker(options)
    print(f"fuzzing with seed {options.seed}", flush=True)
    return drive(options)


if __name__ == "__main__":
    sys.exit(main())
