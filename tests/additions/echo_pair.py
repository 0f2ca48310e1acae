#!/usr/bin/env python3
"""Runs the example pair examples/echo_server.tasm and examples/echo_client.tasm against each
other and checks what both print.

Usage: echo_pair.py T4ASM T4VM EXAMPLES_DIR

The examples are written for people and listen on port 5050. Here that port is replaced, on the
one `pushconst 5050` line of each file, by a port that was free a moment before (bound to port 0
on 127.0.0.1 and released). The client starts once the server listens on it. When the server
reports "Bind failed" all the same (someone took the port in between), the pair runs once more on
another port. Every wait has a time limit.
"""
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

PORTLINE = re.compile(r"^pushconst 5050$", re.M)
MESSAGE = "Hello over TCP!\n"
EXPECTED_SERVER = f"echoed: {MESSAGE}\n<TARN 4> Program finished.\n"
EXPECTED_CLIENT = f"{MESSAGE}\n<TARN 4> Program finished.\n"
LIMIT = 30  # seconds for any one wait


def freeport():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def withport(path, port):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if len(PORTLINE.findall(text)) != 1:
        raise SystemExit(f"{path}: expected exactly one line 'pushconst 5050'")
    return PORTLINE.sub(f"pushconst {port}", text)


def listening(port, pid):
    """Whether process `pid` listens on the TCP port (Linux: /proc); None when that is unknown.
    Only the server's own socket counts: another program that took the port in between must not
    pass for it."""
    try:
        with open("/proc/net/tcp", encoding="ascii") as f:
            rows = f.read().splitlines()[1:]
        handles = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return None
    inodes = set()
    for row in rows:
        fields = row.split()
        if len(fields) > 9 and fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
            inodes.add(f"socket:[{fields[9]}]")
    for handle in handles:
        try:
            if os.readlink(f"/proc/{pid}/fd/{handle}") in inodes:
                return True
        except OSError:
            pass  # closed meanwhile
    return False


def stop(process):
    if process.poll() is None:
        process.kill()
    return process.communicate()


def attempt(t4asm, t4vm, examples, scratch):
    """One run of the pair; returns a list of failures, or None when the port was taken."""
    port = freeport()
    images = {}
    for name in ("echo_server", "echo_client"):
        source = os.path.join(scratch, name + ".tasm")
        with open(source, "w", encoding="utf-8") as f:
            f.write(withport(os.path.join(examples, name + ".tasm"), port))
        images[name] = os.path.join(scratch, name + ".t4b")
        asm = subprocess.run([t4asm, source, "-o", images[name]], capture_output=True,
                             timeout=LIMIT)
        if asm.returncode != 0:
            return [f"t4asm refused {name}.tasm:\n{asm.stderr.decode(errors='replace')}"]

    server = subprocess.Popen([t4vm, images["echo_server"]], cwd=scratch,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + LIMIT
        while server.poll() is None and listening(port, server.pid) is False:
            if time.monotonic() > deadline:
                stop(server)
                return [f"the server did not listen on port {port} within {LIMIT} s"]
            time.sleep(0.01)
        if server.poll() is None and listening(port, server.pid) is None:
            time.sleep(1)  # no way to look: give the server a moment
        if server.poll() is not None:
            out, err = server.communicate()
            if b"Bind failed" in err:
                return None
            return [f"the server ended before a client came (status {server.returncode}):\n"
                    f"stdout: {out!r}\nstderr: {err!r}"]
        try:
            client = subprocess.run([t4vm, images["echo_client"]], cwd=scratch,
                                    capture_output=True, timeout=LIMIT)
        except subprocess.TimeoutExpired:
            stop(server)
            return [f"the client did not finish within {LIMIT} s"]
        try:
            serverout, servererr = server.communicate(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            stop(server)
            return [f"the server did not finish within {LIMIT} s; the client printed "
                    f"{client.stdout!r}, {client.stderr!r}"]
    finally:
        if server.poll() is None:
            stop(server)

    failures = []
    for who, status, out, err, expected in (
            ("server", server.returncode, serverout, servererr, EXPECTED_SERVER),
            ("client", client.returncode, client.stdout, client.stderr, EXPECTED_CLIENT)):
        if status != 0 or out != expected.encode() or err != b"":
            failures.append(f"--- {who}\nstatus: {status} (expected 0)\n"
                            f"stdout: {out!r}\nexpected: {expected.encode()!r}\nstderr: {err!r}\n")
    return failures


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    t4asm, t4vm, examples = argv
    for tries in range(2):
        with tempfile.TemporaryDirectory(prefix="t4echo-") as scratch:
            failures = attempt(t4asm, t4vm, examples, scratch)
        if failures is not None:
            break
        sys.stdout.write("the port was taken before the server could listen; once more\n")
    else:
        failures = ["the server could not bind a free port twice in a row"]
    if failures:
        sys.stderr.write("".join(failures))
        return 1
    sys.stdout.write("ok   echo_server and echo_client\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
