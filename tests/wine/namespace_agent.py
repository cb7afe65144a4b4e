#!/usr/bin/env python3
"""Runs commands in the 32-bit Wine root for the Wine suite, from inside the
namespace that kit/lib/wine32.sh sets up, so that one namespace (and one
wineserver) serves many calls:

    kit/lib/wine32.sh run --bind DIR -- namespace_agent.py

Each line on standard input is a JSON request {"id", "argv", "env",
"timeout", "stdout", "stderr"}: argv runs inside the root (chroot) with
exactly env, its output goes to the two named files. Requests run side by
side; each is answered with a line {"id", "status"} (status null: the time
limit was reached and the command killed). Texts that are not UTF-8 travel
as os.fsdecode gives them. At the end of the input the agent waits for the
running requests and leaves, and the namespace ends with everything in it.
"""
import json
import os
import shutil
import subprocess
import sys
import threading


def serve(root, requests, answers):
    lock = threading.Lock()
    chroot = shutil.which("chroot") or "/usr/sbin/chroot"

    def handle(request):
        with open(request["stdout"], "wb") as out, open(request["stderr"], "wb") as err:
            try:
                status = subprocess.call(
                    [chroot, root] + [os.fsencode(a) for a in request["argv"]],
                    env={os.fsencode(k): os.fsencode(v) for k, v in request["env"].items()},
                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                    timeout=request["timeout"])
            except subprocess.TimeoutExpired:
                status = None
            except OSError as error:
                err.write(str(error).encode())
                status = 127
        with lock:
            answers.write(json.dumps({"id": request["id"], "status": status}) + "\n")
            answers.flush()

    threads = []
    for line in requests:
        thread = threading.Thread(target=handle, args=(json.loads(line),))
        thread.start()
        threads.append(thread)
    for thread in threads:
        thread.join()


def main():
    root = os.environ["QUORIN_WINE32_CHROOT"]
    # This process is the namespace's first one: processes whose parent
    # ended (the wineserver, Wine's own services) become its children. One
    # child serves; this one reaps until that child is gone.
    worker = os.fork()
    if worker == 0:
        serve(root, sys.stdin, sys.stdout)
        os._exit(0)
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    while True:
        pid, status = os.wait()
        if pid == worker:
            return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    sys.exit(main())
