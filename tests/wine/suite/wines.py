"""Where Wine runs: the host's Wine 8, or Wine 10 in the 32-bit root of
kit/lib/wine32.sh, one long-lived namespace per run."""
import json
import os
import subprocess
import sys
import tempfile
import threading

from suite.common import (AGENT, CALL_TIMEOUT, SERVER_PERSIST_SECONDS, WINE32_SCRIPT, WINESERVER,
    show, text_argument)


# ---------------------------------------------------------------------------
# Where Wine runs: the host, or the 32-bit root through kit/lib/wine32.sh


class HostWine:
    """The host's own Wine; its server persists between runs."""

    def __init__(self):
        self.base_env = {k: v for k, v in os.environ.items()
                         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES",
                                      "WINEDEBUG")}

    def begin(self, env):
        self.call([WINESERVER, "-p%d" % SERVER_PERSIST_SECONDS], env, CALL_TIMEOUT)

    def end(self, env):
        pass

    def call(self, argv, env, timeout):
        """Output goes through files, never pipes, so Wine's lingering system
        processes cannot hold a pipe open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.call(argv, env=dict(self.base_env, **env),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         timeout=timeout)
            except subprocess.TimeoutExpired:
                raise RuntimeError("timed out: %s" % show(argv))
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()


class RootWine:
    """Wine 10 in the 32-bit root: each session is one namespace, with its
    own wineserver, entered by namespace_agent.py. The prefix is a
    copy-on-write copy of the root's ready prefix, kept in <prefix>.changes.
    Calls may come from several threads at once."""

    BASE_ENV = {"PATH": "/usr/bin:/bin", "HOME": "/root", "USER": "root",
                "XDG_RUNTIME_DIR": "/tmp/xdg"}

    def __init__(self, work, prefix, folders):
        self.work = work
        self.prefix = prefix
        self.folders = folders  # seen inside at their own paths, with work
        self.agent = None

    def begin(self, env):
        os.makedirs(self.work, exist_ok=True)
        self.errors = open(os.path.join(self.work, "namespace.log"), "ab")
        binds = []
        for folder in self.folders + [self.work]:
            binds += ["--bind", folder]
        self.agent = subprocess.Popen(
            [WINE32_SCRIPT, "run"] + binds + ["--prefix", self.prefix, "--", sys.executable,
                                              AGENT],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors)
        self.lock = threading.Lock()
        self.waiting = {}
        self.next_id = 0
        self.reader = threading.Thread(target=self.read_answers, daemon=True)
        self.reader.start()
        self.call([WINESERVER, "-p%d" % SERVER_PERSIST_SECONDS], env, CALL_TIMEOUT)

    def read_answers(self):
        for line in self.agent.stdout:
            answer = json.loads(line)
            with self.lock:
                slot = self.waiting.pop(answer["id"])
            slot["status"] = answer["status"]
            slot["done"].set()
        with self.lock:  # the namespace ended: nobody waits for ever
            for slot in self.waiting.values():
                slot["done"].set()

    def end(self, env):
        """Stops the server (it saves the registry) and leaves the namespace."""
        if self.agent is None:
            return
        try:
            self.call([WINESERVER, "-k"], env, CALL_TIMEOUT)
            self.call([WINESERVER, "-w"], env, CALL_TIMEOUT)
        finally:
            self.agent.stdin.close()
            try:
                self.agent.wait(timeout=CALL_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.agent.wait()
            self.errors.close()
            self.agent = None

    def call(self, argv, env, timeout):
        if self.agent is None:
            raise RuntimeError("no namespace session")
        with tempfile.NamedTemporaryFile(dir=self.work) as out, \
                tempfile.NamedTemporaryFile(dir=self.work) as err:
            slot = {"done": threading.Event(), "status": "gone"}
            with self.lock:
                self.next_id += 1
                request = {"id": self.next_id, "timeout": timeout,
                           "argv": [os.fsdecode(text_argument(a)) for a in argv],
                           "env": dict(self.BASE_ENV, **env),
                           "stdout": out.name, "stderr": err.name}
                self.waiting[request["id"]] = slot
                self.agent.stdin.write((json.dumps(request) + "\n").encode())
                self.agent.stdin.flush()
            slot["done"].wait()
            if slot["status"] == "gone":
                raise RuntimeError("the namespace ended: see %s" % self.errors.name)
            if slot["status"] is None:
                raise RuntimeError("timed out: %s" % show(argv))
            return slot["status"], out.read(), err.read()


def wine32_mode():
    return subprocess.run([WINE32_SCRIPT, "mode"], stdout=subprocess.PIPE, check=True,
                          text=True).stdout.strip()
