"""Fixtures for the black-box tests: the build's Wine prefix, per-test
folders under the build tree, the loopback servers and ways to run the
programs with an exact stdin, environment and working folder."""
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness"))
import installation  # noqa: E402
import testserver  # noqa: E402
import winepfx  # noqa: E402
from winepfx import windows_path  # noqa: E402,F401


def pytest_addoption(parser):
    parser.addoption("--build", required=True, help="the CMake build folder")


@dataclass
class Run:
    rc: int
    out: bytes
    err: bytes

    @property
    def text(self):
        """Standard output as text, with the C runtime's CRLF line ends kept."""
        return self.out.decode("ascii")


def crlf(text):
    """What the program's text-mode standard output writes for text."""
    return text.replace("\n", "\r\n")


@pytest.fixture(scope="session")
def build(request):
    path = os.path.abspath(request.config.getoption("--build"))
    assert winepfx.up(path) == 0, "the Wine prefix could not be made"
    return path


@pytest.fixture
def work(build, request):
    """A fresh folder for this test under the build tree."""
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.nodeid.split("::", 1)[-1])[:80]
    path = os.path.join(build, "test-work", request.node.fspath.purebasename, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def run_windows(build, argv, stdin=b"\n", cwd=None, timeout=180, merge=False):
    rc, out, err = winepfx.run(build, argv, stdin=stdin, timeout=timeout, cwd=cwd, merge=merge)
    return Run(rc, out, err)


def run_with_env(build, program, args=(), set_env=None, unset=(), stdin=b"\n", cwd=None, timeout=180,
                 merge=False):
    """Runs program through env-run.exe, which sets or removes environment
    variables from the Windows side (Wine would replace them otherwise)."""
    argv = [winepfx.tool(build, "env-run")]
    for name, value in (set_env or {}).items():
        argv += ["--set", "%s=%s" % (name, value)]
    for name in unset:
        argv += ["--unset", name]
    argv += ["--", windows_path(program)] + list(args)
    return run_windows(build, argv, stdin=stdin, cwd=cwd, timeout=timeout, merge=merge)


def probe(build, *args):
    """Runs one routine through zept-probe.exe; returns its Run."""
    return run_windows(build, [winepfx.tool(build, "zept-probe")] + list(args))


@pytest.fixture
def system_tar(build):
    """Lets a test replace (with a program of its choice) or remove (None)
    the system folder's tar.exe; the stand-in is put back afterwards."""
    target = os.path.join(winepfx.system32(build), "tar.exe")

    def replace(source):
        if os.path.exists(target):
            os.remove(target)
        if source:
            shutil.copyfile(source, target)

    yield replace
    winepfx.install_tar(build)
    record = os.path.join(winepfx.system32(build), "launch-record.txt")
    if os.path.exists(record):
        os.remove(record)


@pytest.fixture
def tar_plan(build):
    """plan("fail" or "skip", text): the tar stand-in fails, or extracts
    nothing, for a command line that contains text; undone afterwards."""
    path = os.path.join(winepfx.system32(build), "tar-plan.txt")

    def plan(action, text):
        with open(path, "w") as f:
            f.write("%s %s\n" % (action, text))

    yield plan
    if os.path.exists(path):
        os.remove(path)


@pytest.fixture(scope="session")
def cert_dir(build):
    return winepfx.paths(build)["certs"]


@pytest.fixture
def servers(cert_dir):
    """Starts loopback servers on request: make(tls=True, port=0, root=None)."""
    started = []

    def make(tls=True, port=0, root=None, rogue=False):
        name = "rogue" if rogue else "localhost"
        cert = os.path.join(cert_dir, name + ".pem") if tls else None
        key = os.path.join(cert_dir, name + ".key") if tls else None
        server = testserver.start(port, root=root, cert=cert, key=key)
        started.append(server)
        return server

    yield make
    for server in started:
        testserver.stop(server)


@pytest.fixture
def course(build, servers):
    """The course host and the Python host of the test builds, healthy."""
    server = servers(port=installation.course_port(build))
    server.routes.update(installation.course_routes(build))
    return server


BANNER = (
    "Tarnwick - Olvenmark, Title 1 - Setup\n"
    "============================================================\n"
    "This setup needs an internet connection once, to download the\n"
    "Python runtime (from python.org) and the course package (from\n"
    "the project's own site). Every download is verified by a\n"
    "checksum before anything is installed.\n\n"
)
PROMPT = "\nPress Enter to close this window.\n"
CLOSING = ("\nInstalled. Opening the course now ...\n"
           "Look for \"Tarnwick\" on your desktop and in the\n"
           "Start menu to open it again later.\n")
# The pins of a default build (no ZEPT_* values given): the published course.
DEFAULT_PINS = {
    "python": "4acbed6dd1c744b0376e3b1cf57ce906f9dc9e95e68824584c8099a63025a3c3",
    "payload": "b8fa9656967699b01f77c31adab6312ff2d21c00363ae15a5afe6a7ed2dc0683",
}


def selftest_report(python_pin, payload_pin, parts=2, lines=None, failures=0):
    """The self-test's whole output for the given pins and vector lines."""
    lines = lines or ["PASS sha256(empty)", "PASS sha256(abc)", "PASS sha256(fox)"]
    verdict = "SELFTEST FAILED (%d)" % failures if failures else "SELFTEST PASSED"
    return "".join(line + "\n" for line in lines + [
        "pin python-embed sha256: " + python_pin,
        "pin payload zip sha256: " + payload_pin,
        "payload parts: %d" % parts,
        verdict,
    ])


def exe(build, name="zept-setup"):
    return os.path.join(build, name + ".exe")


SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def configure_and_build(tree, *options):
    """Configures tree from the sources with the given cache values (tests
    off) and builds zept-setup; returns the exe and the build's output."""
    run = subprocess.run(["cmake", "-S", SOURCE, "-B", tree, "-DZEPT_TESTS=OFF"] + list(options),
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    run = subprocess.run(["cmake", "--build", tree, "--target", "zept-setup"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return os.path.join(tree, "zept-setup.exe"), run.stdout + run.stderr
