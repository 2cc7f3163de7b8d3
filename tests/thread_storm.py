"""Many threads calling all nine functions while others change the environment and the
module's globals: what each call answered, and which answers some state of those changes
explains. test_threads.py runs it in the test process, and in a fresh interpreter where
a name of the module is also removed and bound again."""

import collections
import os
import platform
import sys
import threading
import time
from types import SimpleNamespace as NS

from helpers import (
    CANDIDATES,
    EXECUTABLES,
    FUNCTIONS,
    HOST,
    REMOTE,
    UNKNOWN_OS,
    VARIABLES,
    Failure,
    candidate,
    fail,
    outcome,
    platform_reporting,
)

from pyveka import options

WORKERS, ROUNDS = 8, 300
FIXED, CONFIGURED = "/fixed/by/stub", "/opt/configured/veka"
UNKNOWN, STUBBED = (RuntimeError, UNKNOWN_OS), (Failure, "raised by a stub")
UNBOUND = (NameError, "name '_package_root' is not defined")


def at(root, relative):
    return os.path.join(root, *relative.split("/"))


def make_tree(root):
    """Every candidate of every host, and one override file per variable."""
    for relative in CANDIDATES + [f"over/{variable}" for variable in VARIABLES.values()]:
        path = at(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "w").close()


def knobs(module, root, unbinding):
    """One flip(i) per thread of changes; every flip binds a fresh object, so the old one can be
    freed."""

    def environment(variable):
        values = [os.path.join(root, "over", variable), "", os.path.join(root, "absent"), None]

        def flip(i):
            if values[i % 4] is None:
                os.environ.pop(variable, None)
            else:
                os.environ[variable] = values[i % 4]

        return flip

    def rebind(name, *makers):
        return lambda i: setattr(module, name, makers[i % len(makers)]())

    flips = [environment(variable) for variable in VARIABLES.values()] + [
        rebind(
            "_resolve_path",
            lambda: FUNCTIONS["_resolve_path"],
            lambda: lambda *parts: FIXED,
            lambda: fail,
        ),
        rebind("_system", lambda: FUNCTIONS["_system"], lambda: lambda: "plan9"),
        rebind(
            "os", lambda: os, lambda: NS(environ=os.environ, path=os.path, sys=NS(maxsize=2**32))
        ),
        rebind(
            "platform",
            lambda: platform,
            lambda: platform_reporting("Darwin", "ARM64"),
        ),
        lambda i: options.veka_set_option("veka.call", (None, "remote", CONFIGURED)[i % 3]),
    ]

    def unbind(i):  # _package_root removed from the namespace and bound again
        if i % 2:
            module._package_root = FUNCTIONS["_package_root"]
        else:
            vars(module).pop("_package_root", None)

    if unbinding:
        flips.append(unbind)
    return flips


def valid_answers(root, unbinding):
    """For each function, every answer that some combination of the flipped states gives."""
    systems, machines, bits = {HOST[0], "darwin"}, {HOST[2], "arm64"}, {HOST[1], "32"}
    valid = {
        "_bits": bits,
        "_system": systems,
        "_machine": machines,
        "_package_root": {root},
        "_resolve_path": {at(root, REMOTE)},
        "veka_remote_script": {at(root, REMOTE)},
    }
    for lookup in EXECUTABLES:
        valid[lookup] = {
            UNKNOWN if path is None else at(root, path)
            for path in (
                candidate(lookup, system, size, machine)
                for system in systems | {"plan9"}
                for size in bits
                for machine in machines
            )
        }
    for lookup, variable in VARIABLES.items():
        valid[lookup] |= {at(root, f"over/{variable}"), FIXED, STUBBED} | (
            {UNBOUND} if unbinding else set()
        )
    valid["veka_call_no_remote"] = valid["veka_call_builtin"] | {CONFIGURED}
    if unbinding:
        valid["_resolve_path"].add(UNBOUND)
    return valid


def answer(name):
    """What the original function `name` answers, or the type and text of what it raises."""
    return outcome(FUNCTIONS[name], *(REMOTE.split("/") if name == "_resolve_path" else ()))


def storm(module, root, unbinding=False):
    """Runs the workers against the flipping threads; returns what each worker saw and any
    failure."""
    answers = [{name: collections.Counter() for name in FUNCTIONS} for _ in range(WORKERS)]
    failures, flips = [], knobs(module, root, unbinding)
    start = threading.Barrier(WORKERS + len(flips))

    def worker(seen):
        start.wait()
        for _ in range(ROUNDS):
            for name in FUNCTIONS:
                seen[name][answer(name)] += 1

    def flipper(flip):
        start.wait()
        for i in range(ROUNDS * len(FUNCTIONS)):
            flip(i)
            time.sleep(0)  # hands the lock on, so the flips spread over the workers' calls

    def guarded(target, *args):
        try:
            target(*args)
        except BaseException as error:  # returned, so that nothing is lost inside a thread
            failures.append(repr(error))

    threads = [threading.Thread(target=guarded, args=(worker, seen)) for seen in answers]
    threads += [threading.Thread(target=guarded, args=(flipper, flip)) for flip in flips]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    return answers, failures


def unexpected(answers, root, unbinding=False):
    valid = valid_answers(root, unbinding)
    return [
        (index, name, sorted(map(repr, set(seen) - valid[name])), sum(seen.values()))
        for index, per_function in enumerate(answers)
        for name, seen in per_function.items()
        if set(seen) - valid[name] or sum(seen.values()) != ROUNDS
    ]
