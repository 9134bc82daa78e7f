"""The build's own Wine prefix, isolated from the user's home.

    winepfx.py --build DIR up      create and boot the prefix once, start its
                                   wineserver for the run, install the tar.exe
                                   stand-in and trust the test CA
    winepfx.py --build DIR down    stop the prefix's wineserver
    winepfx.py --build DIR run -- PROGRAM [ARGS...]
                                   run a Windows program in the prefix

Everything lives under DIR/wine: the prefix, the HOME that Wine links the
prefix's shell folders to, the test certificates and the logs. Output of
Windows programs is captured through files, never pipes: Wine's background
processes can inherit a pipe and keep it open after the program has ended.

Every Wine command runs with the Linux address layout fixed (setarch -R).
Debian's Wine loader is an executable at the fixed address 0x7d000000,
started without a preloader, and the kernel puts its heap at a random place
in the 1 GiB above it (measured: heap starts from 0x7f654000 to 0xbccd5000 in
40 starts). Now and then the heap covers 0x7ffe0000, where Wine has to map
the shared user data page of Windows; the process then ends with exit code 1
before the program's first instruction, with nothing on standard output and
only an error message that WINEDEBUG=-all hides ("failed to map the shared
user data"). With randomization off for the loader, a personality every
Windows process inherits from the one that starts it, the heap always begins
just after the loader and the page is free.
"""
import argparse
import collections
import glob
import os
import re
import shlex
import signal
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import certs  # noqa: E402


def paths(build):
    root = os.path.join(os.path.abspath(build), "wine")
    return {
        "root": root,
        "prefix": os.path.join(root, "prefix"),
        "home": os.path.join(root, "home"),
        "certs": os.path.join(root, "certs"),
        "logs": os.path.join(root, "logs"),
        "tools": os.path.join(os.path.abspath(build), "tools"),
        "ready": os.path.join(root, "prefix", ".zept-ready"),
    }


def wine_env(build):
    p = paths(build)
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update(
        WINEPREFIX=p["prefix"],
        HOME=p["home"],
        XDG_CONFIG_HOME=os.path.join(p["home"], ".config"),
        XDG_DATA_HOME=os.path.join(p["home"], ".local", "share"),
        XDG_CACHE_HOME=os.path.join(p["home"], ".cache"),
        # Non-ASCII paths pass between Linux and Windows as UTF-8, whatever
        # locale the machine was started with.
        LC_ALL="C.UTF-8",
        WINEDEBUG="-all",
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
    )
    return env


def wine_command(argv):
    """The command line that runs argv (wine, wineboot, wineserver) with the
    fixed address layout."""
    return ["setarch", "-R"] + list(argv)


def windows_path(path):
    """The Windows name of a Linux path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def drive_c(build):
    return os.path.join(paths(build)["prefix"], "drive_c")


def user_dir(build):
    users = [d for d in glob.glob(os.path.join(drive_c(build), "users", "*"))
             if os.path.basename(d) != "Public" and os.path.isdir(d)]
    return users[0]


def system32(build):
    return os.path.join(drive_c(build), "windows", "system32")


def _quiet(build, argv, timeout=300):
    """Runs a Linux or Wine command with its output in the log folder."""
    p = paths(build)
    os.makedirs(p["logs"], exist_ok=True)
    log = os.path.join(p["logs"], "prefix.log")
    with open(log, "ab") as out:
        return subprocess.run(wine_command(argv), env=wine_env(build), stdin=subprocess.DEVNULL, stdout=out,
                              stderr=out, timeout=timeout).returncode


def whole_code(argv, folder):
    """argv, and the file that receives the whole exit code when argv runs
    through env-run (Linux sees only its low 8 bits: 1618 as 82)."""
    code = os.path.join(folder, "exit-code")
    if os.path.basename(argv[0]) != "env-run.exe":
        return list(argv), None
    return [argv[0], "--code", windows_path(code)] + list(argv[1:]), code


def exit_code(rc, code_file):
    """The program's whole exit code: from code_file when env-run wrote it
    (an env-run killed with the program may leave the file empty: rc then)."""
    if code_file is not None and os.path.exists(code_file):
        with open(code_file) as f:
            text = f.read()
        if text.isdigit():
            return int(text)
    return rc


def run(build, argv, stdin=b"", timeout=180, cwd=None, merge=False):
    """Runs a Windows program; returns (exit code, stdout bytes, stderr bytes).
    With merge, standard error goes into the same file as standard output."""
    with tempfile.TemporaryDirectory(dir=paths(build)["root"]) as tmp:
        names = [os.path.join(tmp, n) for n in ("in", "out", "err")]
        argv, code = whole_code(argv, tmp)
        with open(names[0], "wb") as f:
            f.write(stdin)
        with open(names[0], "rb") as i, open(names[1], "wb") as o, open(names[2], "wb") as e:
            rc = subprocess.run(wine_command(["wine"] + argv), env=wine_env(build), stdin=i, stdout=o,
                                stderr=subprocess.STDOUT if merge else e, timeout=timeout, cwd=cwd).returncode
        with open(names[1], "rb") as o, open(names[2], "rb") as e:
            return exit_code(rc, code), o.read(), e.read()


# Lines of strace -f -y -ttt -T: pid, time, call, its arguments (the paths
# of file descriptors shown after them), and the time spent in the call.
_TRACED_CALL = re.compile(r"^\d+\s+(\d+\.\d+) (\w+)\((.*?)(?: <(\d+\.\d+)>)?$")
# One call seen: when it began, its name, the paths it names (real paths),
# its text, the seconds spent in it (0 when strace split the line).
Call = collections.namedtuple("Call", "at name paths text seconds")
_QUOTED_OR_FD_PATH = re.compile(r'"((?:[^"\\]|\\.)*)"|<(/[^>]*)>')


def _unquote(text):
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape").encode("latin-1").decode("utf-8")


def processes(build, name):
    """Process ids of the prefix's programs (Windows programs, its
    wineserver) whose command line holds name."""
    prefix = paths(build)["prefix"].encode()
    # Another mount namespace (a build host's folder) may have a prefix of
    # the same path: not this one.
    ours = os.readlink("/proc/self/ns/mnt")
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/mnt" % pid) != ours:
                continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if b"WINEPREFIX=" + prefix in env and name in cmdline:
            found.append(int(pid))
    return found


def _traced_exit(tracer, log, timeout):
    """The exit code of the program that the strace process tracer started,
    read from its log once it has ended (None when it did not end in time)."""
    deadline = time.monotonic() + timeout
    root = None
    while time.monotonic() < deadline:
        if root is None:
            for pid in os.listdir("/proc"):
                try:
                    with open("/proc/%s/stat" % pid) as f:
                        if pid.isdigit() and int(f.read().rsplit(")", 1)[1].split()[1]) == tracer.pid:
                            root = int(pid)
                except (OSError, IndexError, ValueError):
                    pass
        if root is not None and os.path.exists(log):
            with open(log, encoding="latin-1") as f:
                ended = re.search(r"^%d\s+[\d.]+ \+\+\+ exited with (\d+) \+\+\+" % root, f.read(), re.M)
            if ended:
                return int(ended.group(1))
        if tracer.poll() is not None:
            return None if root is None else tracer.returncode
        time.sleep(0.05)
    return None


def run_traced(build, argv, folder, calls):
    """Runs a Windows program as run() does, with strace watching the calls
    (names) of its processes and of the prefix's wineserver, which does some
    of the file work for them; returns (exit code, stdout bytes, events):
    [Call], in the order they began."""
    os.makedirs(folder, exist_ok=True)
    logs = [os.path.join(folder, name) for name in ("program.trace", "server.trace")]
    # -I 1: a SIGINT detaches strace, also from a program it started.
    options = ["-f", "-I", "1", "-y", "-ttt", "-T", "-s", "4096", "-e", "trace=" + ",".join(calls)]
    server = subprocess.Popen(["strace"] + options + ["-o", logs[1], "-p", str(processes(build, b"wineserver")[0])],
                              stderr=subprocess.PIPE)
    server.stderr.readline()  # "Process N attached": from here on it sees every call
    program = None
    try:
        with open(os.path.join(folder, "in"), "wb") as f:
            f.write(b"\n")
        with open(os.path.join(folder, "in"), "rb") as i, open(os.path.join(folder, "out"), "wb") as o:
            program = subprocess.Popen(["strace"] + options + ["-o", logs[0]] + wine_command(["wine"] + list(argv)),
                                       env=wine_env(build), stdin=i, stdout=o, stderr=subprocess.DEVNULL)
        # strace waits for every process it follows, and Wine's services,
        # started by the first program of a session, live on: the run ends
        # when the program strace started has ended.
        rc = _traced_exit(program, logs[0], timeout=300)
    finally:
        for tracer in (program, server):
            if tracer is not None:
                tracer.send_signal(signal.SIGINT)
                try:
                    tracer.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    # A tracer that ends detaches from what it traced, which goes on.
                    tracer.kill()
                    tracer.wait(timeout=60)
    events = []
    for log in logs:
        with open(log, encoding="latin-1") as f:
            for line in f:
                found = _TRACED_CALL.match(line)
                if found:
                    names = [_unquote(q) if q else _unquote(p) for q, p in _QUOTED_OR_FD_PATH.findall(found.group(3))]
                    events.append(Call(float(found.group(1)), found.group(2), [os.path.realpath(n) for n in names],
                                       found.group(3), float(found.group(4) or 0)))
    with open(os.path.join(folder, "out"), "rb") as o:
        return rc, o.read(), sorted(events)


def start(build, argv, folder, cwd=None):
    """Starts a Windows program in the background with Enter typed, its
    output into folder/out; returns the Popen (wait, then read_output)."""
    os.makedirs(folder, exist_ok=True)
    argv, code = whole_code(argv, folder)
    with open(os.path.join(folder, "in"), "wb") as f:
        f.write(b"\n")
    with open(os.path.join(folder, "in"), "rb") as i, open(os.path.join(folder, "out"), "wb") as o:
        proc = subprocess.Popen(wine_command(["wine"] + argv), env=wine_env(build), stdin=i, stdout=o,
                                stderr=subprocess.DEVNULL, cwd=cwd)
    proc.output = os.path.join(folder, "out")
    proc.code_file = code
    return proc


def shell_command(build, argv, stderr_file):
    """A shell command line that runs the Windows program argv in the prefix
    (for a terminal: tmux), its standard error into stderr_file."""
    env = wine_env(build)
    names = ("WINEPREFIX", "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "LC_ALL", "WINEDEBUG",
             "WINEDLLOVERRIDES")
    words = ["env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY"] + ["%s=%s" % (n, env[n]) for n in names]
    return " ".join(shlex.quote(w) for w in words + wine_command(["wine"] + list(argv))) + " 2>" + shlex.quote(
        stderr_file)


def read_output(proc):
    with open(proc.output, "rb") as f:
        return f.read()


def tool(build, name):
    return os.path.join(paths(build)["tools"], name + ".exe")


def wine_major():
    out = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout
    return int(out.split("-", 1)[1].split(".", 1)[0])


# Wine 10 builds the prefix's Root store from the host's certificates and
# does not keep a CA added to the registry's store; there the test CA goes
# into the system store of the Debian folder that scripts/debian13.sh runs
# in (never into a machine's own: that folder is marked by /.zept-ready).
HOST_CA = "/usr/local/share/ca-certificates/zept-test-ca.crt"


def trust_on_host(ca_pem):
    if not os.path.exists("/.zept-ready"):
        raise RuntimeError("Wine %d trusts only the host's certificates: run it through scripts/debian13.sh"
                           % wine_major())
    shutil.copyfile(ca_pem, HOST_CA)
    subprocess.run(["update-ca-certificates"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def install_tar(build):
    shutil.copyfile(tool(build, "tar-standin"), os.path.join(system32(build), "tar.exe"))


def up(build):
    p = paths(build)
    for d in (p["prefix"], p["home"], p["logs"]):
        os.makedirs(d, exist_ok=True)
    # Persistent for the run: each program then starts in a fraction of a second.
    _quiet(build, ["wineserver", "-p"])
    if not os.path.exists(p["ready"]):
        if _quiet(build, ["wineboot", "-i"]) != 0:
            print("wineboot failed; see", p["logs"])
            return 1
        # Shortcuts "on the desktop" must land inside the prefix, not in a
        # folder that Wine links elsewhere.
        desktop = os.path.join(user_dir(build), "Desktop")
        if os.path.islink(desktop):
            os.unlink(desktop)
        os.makedirs(desktop, exist_ok=True)
        certs.make(p["certs"])
        if wine_major() >= 10:
            trust_on_host(os.path.join(p["certs"], "ca.pem"))
        rc, out, err = run(build, [tool(build, "trust-ca"), windows_path(os.path.join(p["certs"], "ca.der"))])
        if rc != 0:
            print("could not trust the test CA:", rc, out, err)
            return 1
        with open(p["ready"], "w") as f:
            f.write("ready\n")
    install_tar(build)
    print("prefix ready:", p["prefix"])
    return 0


def down(build):
    _quiet(build, ["wineserver", "-k"], timeout=60)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("action", choices=["up", "down", "run"])
    argv = sys.argv[1:]
    # argparse drops every "--"; the program's own arguments may hold some.
    program = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:argv.index("--")] if "--" in argv else argv)
    if args.action == "up":
        return up(args.build)
    if args.action == "down":
        return down(args.build)
    rc, out, err = run(args.build, program, timeout=600)
    sys.stdout.buffer.write(out)
    sys.stderr.buffer.write(err)
    return rc


if __name__ == "__main__":
    sys.exit(main())
