"""The command that starts this interpreter for tests that need a child process.

Under emulation (the aarch64 legs run the suite with qemu-user, without the host's
binfmt_misc), sys.executable cannot be executed directly: the leg names the whole
command in VANTOREL_TEST_PYTHON."""
import os
import shlex
import sys

EMULATED = bool(os.environ.get("VANTOREL_TEST_PYTHON"))
PYTHON = shlex.split(os.environ["VANTOREL_TEST_PYTHON"]) if EMULATED else [sys.executable]
