#!/usr/bin/env python3
"""Runs examples/echo_server.tasm against examples/echo_client.tasm: echo_pair.py T4ASM T4VM EXAMPLES_DIR

Their line `pushconst 5050` gets a port that was free a moment before. The client starts once the
server listens; should the server meet "Bind failed" all the same, the pair runs once more. Every
wait has a time limit.
"""
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def attempt(t4asm, t4vm, examples, scratch):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    for name in ("echo_server", "echo_client"):
        text = Path(f"{examples}/{name}.tasm").read_text(encoding="utf-8")
        assert text.count("\npushconst 5050\n") == 1, name
        Path(f"{scratch}/{name}.tasm").write_text(text.replace("\npushconst 5050\n", f"\npushconst {port}\n"))
        subprocess.run([t4asm, name + ".tasm", "-o", name + ".t4b"], cwd=scratch, check=True, timeout=30)
    listening = f"{port:04X} 00000000:0000 0A"  # a listening socket's row in the table below
    table = Path("/proc/net/tcp")
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    with subprocess.Popen([t4vm, "echo_server.t4b"], cwd=scratch, **pipes) as server:
        try:
            deadline = time.monotonic() + 30
            while server.poll() is None and listening not in table.read_text() and time.monotonic() < deadline:
                time.sleep(0.01)
            client = subprocess.run([t4vm, "echo_client.t4b"], cwd=scratch, capture_output=True, timeout=30)
            out, err = server.communicate(timeout=30)
        finally:
            server.kill()  # nothing left to stop unless a wait timed out
    end = b"\n<TARN 4> Program finished.\n"
    seen = {"server": (server.returncode, out, err), "client": (client.returncode, client.stdout, client.stderr)}
    wanted = {"server": (0, b"echoed: Hello over TCP!\n" + end, b""), "client": (0, b"Hello over TCP!\n" + end, b"")}
    if b"Bind failed" not in err:
        return [f"{who}: {seen[who]} instead of {wanted[who]}" for who in seen if seen[who] != wanted[who]]


def main(t4asm, t4vm, examples):
    for _ in range(2):
        with tempfile.TemporaryDirectory(prefix="t4echo-") as scratch:
            failures = attempt(t4asm, t4vm, examples, scratch)
        if failures is not None:
            print("\n".join(failures) or "ok   echo_server and echo_client")
            return 1 if failures else 0
    sys.exit("the server could not bind a free port twice in a row")


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
