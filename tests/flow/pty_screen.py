"""A program in a pseudo-terminal, read as the operator reads its screen and
answered as the operator types. Shared by the tests that drive the shipped
native program (terminal_walk.py, unprivileged.py)."""
import os
import pty
import re
import select
import signal
import time


class Screen:
    def __init__(self, argv):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["TERM"] = "xterm"
            os.execv(argv[0], argv)
        self.text = ""  # what has not been matched yet
        self.seen = ""  # everything the program wrote

    def _read(self, seconds):
        ready, _, _ = select.select([self.fd], [], [], seconds)
        if not ready:
            return None
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:
            chunk = b""
        text = chunk.decode("utf-8", "replace").replace("\r", "")
        self.text += text
        self.seen += text
        return text

    def expect(self, pattern, seconds=20):
        deadline = time.time() + seconds
        regex = re.compile(pattern)
        while True:
            match = regex.search(self.text)
            if match:
                self.text = self.text[match.end():]
                return match
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %r on the screen; it shows:\n%s" % (pattern, self.text[-1500:]))
            if self._read(left) == "":
                raise AssertionError("the program ended before %r; it showed:\n%s" % (pattern, self.text[-1500:]))

    def type(self, line):
        os.write(self.fd, (line + "\r").encode())

    def status(self, seconds=20):
        """The exit status once the program has ended; what it writes meanwhile is kept."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                while self._read(0.05):
                    pass
                return os.waitstatus_to_exitcode(status)
            if self._read(0.05) == "":
                time.sleep(0.05)
        os.kill(self.pid, signal.SIGKILL)
        raise AssertionError("the program did not end")
