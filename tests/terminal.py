"""A command run as on a terminal: stdout and stderr on a pseudo-terminal, the screen read back."""
import os
import select
import subprocess
import sys


def run_on_terminal(args, env):
    """Exit status and everything the command wrote to the pseudo-terminal."""
    master, slave = os.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", *args], stdin=subprocess.DEVNULL,
                            stdout=slave, stderr=slave, env=env)
    os.close(slave)
    screen = b""
    try:
        while select.select([master], [], [], 30)[0] and (chunk := os.read(master, 65536)):
            screen += chunk
    except OSError:  # EIO: the child closed the terminal
        pass
    os.close(master)
    return proc.wait(timeout=30), screen.decode("utf-8", "replace")
