"""What an installation of the test build looks like, and how to run and
inspect one: shared by the black-box tests, the fault suite and the
benchmarks."""
import hashlib
import io
import os
import platform
import re
import subprocess
import time
import zipfile

import testserver
import winepfx

PYTHON_PATH = "/ftp/python/3.12.10/python-3.12.10-embed-amd64.zip"
MARKER = b"Tarnwick 0.1.0 installed.\r\n"
# The test builds' releases: (runtime URL path, runtime archive, the course
# pack (gen/test-pins-X.cmake), folder of its package below artefacts/,
# marker line). Every part is served from /downloads/ by its name.
RELEASES = {
    "zept-setup-test": (PYTHON_PATH, "python-embed.zip", "a", "", MARKER),
    "zept-setup-update": (PYTHON_PATH, "python-embed.zip", "b", "0.2.0/", b"Tarnwick 0.2.0 installed.\r\n"),
    "zept-setup-runtime": ("/ftp/python/3.12.11/python-3.12.11-embed-amd64.zip", "python-embed-b.zip",
                           "b", "0.2.0/", b"Tarnwick 0.3.0 installed.\r\n"),
}
PART_FILE = re.compile(r"^[0-9a-f]{64}\.part$")
PACKAGE_FAILED = "The course package did not verify and was removed. Run the setup again.\n"
LOCKED = "The setup is already running in another window.\n"
# The exit codes beside 0 and 1, as the README's table lists them.
EXIT = {"service account": 50, "log file": 82, "option": 87, "disk full": 112, "in use": 170, "locked": 1618,
        "restart": 3017}
# Every failure message of the setup, each a whole last line before the prompt.
FAILURE_MESSAGES = [
    "Could not find your local application folder.\n",
    "The Python download failed. Check your connection and run the setup again.\n",
    "The Python download failed its checksum and was removed. Run the setup again.\n",
    "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n",
    "Could not create the course package file.\n",
    PACKAGE_FAILED,
    "Could not extract the course package.\n",
]


def artefact(build, name):
    with open(os.path.join(build, "artefacts", name), "rb") as f:
        return f.read()


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def partial_name(path, pin):
    """Where the setup keeps the bytes of the artefact path (pinned to pin)
    while they arrive."""
    return "%s.%s.partial" % (path, pin[:16])


def pack_parts(pins):
    """[(file name, size)] of the parts that a pack's --pins fragment names, in order."""
    with open(pins) as f:
        text = f.read()
    digests = re.search(r'ZEPT_PACK_PART_SHA256 "([^"]*)"', text).group(1).split(";")
    sizes = re.search(r'ZEPT_PACK_PART_SIZES "([^"]*)"', text).group(1).split(";")
    return [(digest + ".part", int(size)) for digest, size in zip(digests, sizes)]


def part_names(build, variant="zept-setup-test"):
    """The file names of the variant's course parts, in order, as its pack
    pinned them."""
    return [name for name, _ in pack_parts(os.path.join(build, "gen", "test-pins-%s.cmake" % RELEASES[variant][2]))]


def part_paths(build, variant="zept-setup-test"):
    """URL paths of the variant's course parts, in order."""
    return ["/downloads/" + name for name in part_names(build, variant)]


def beside_parts(build, folder, variant="zept-setup-test"):
    """The files of folder that are neither a course part of the variant nor
    one's partial file: what stays beside the failure of one transfer is
    only what the others fetched, verified or partial."""
    parts = set(part_names(build, variant))
    return sorted(name for name in os.listdir(folder)
                  if re.sub(r"\.[0-9a-f]{16}\.partial$", "", name) not in parts)


def part_lines(count, numbers=None):
    """The setup's line for each course part it downloads (numbers from 1)."""
    return "".join("Downloading course part %d of %d ...\n" % (n, count) for n in numbers or range(1, count + 1))


def course_routes(build, **route_options):
    """Routes of the Python host and the course host for every release of
    the test builds: the runtimes, and every part of every release."""
    routes = {}
    for python_path, runtime, _, _, _ in RELEASES.values():
        routes[python_path] = testserver.Route(body=artefact(build, runtime), **route_options)
    for name in os.listdir(os.path.join(build, "artefacts", "parts")):
        if PART_FILE.match(name):
            routes["/downloads/" + name] = testserver.Route(body=artefact(build, "parts/" + name), **route_options)
    return routes


def course_port(build):
    """The loopback port that the build's test build of the setup downloads from."""
    with open(os.path.join(build, "test-port")) as f:
        return int(f.read())


def start_course_server(build, **route_options):
    certs = winepfx.paths(build)["certs"]
    server = testserver.start(course_port(build), cert=os.path.join(certs, "localhost.pem"),
                              key=os.path.join(certs, "localhost.key"))
    server.routes.update(course_routes(build, **route_options))
    return server


def setup_argv(build, profile, variant="zept-setup-test", exe=None):
    """Command line that runs the setup (the build's variant, or the exe
    given) with LOCALAPPDATA set to profile."""
    exe = exe or os.path.join(build, variant + ".exe")
    return [winepfx.tool(build, "env-run"), "--set", "LOCALAPPDATA=" + winepfx.windows_path(profile), "--",
            winepfx.windows_path(exe)]


# Process ids of the prefix's programs whose command line holds name.
windows_processes = winepfx.processes


def wait_for_removal(build, proc, timeout=120):
    """Waits for a removal started with winepfx.start, and for the
    temporary copy it may have handed over to; returns (exit code of the
    program started, its window's whole output)."""
    rc = winepfx.exit_code(proc.wait(timeout=timeout), proc.code_file)
    deadline = time.monotonic() + timeout
    while windows_processes(build, b"zept-removal.exe") and time.monotonic() < deadline:
        time.sleep(0.05)
    return rc, winepfx.read_output(proc).decode("ascii")


UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZEPT-Tarnwick"


def uninstall_entry(build):
    """The uninstall entry's values as reg.exe reads them ({name: text}),
    or None when there is no entry."""
    rc, out, _ = winepfx.run(build, ["reg", "query", UNINSTALL_KEY])
    if rc != 0:
        return None
    values = {}
    for line in out.decode("utf-8").splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2]
    return values


def layout(profile):
    root = os.path.join(profile, "Programs", "ZEPT")
    return {
        "root": root,
        "python": os.path.join(root, "python"),
        "app": os.path.join(root, "app"),
        "python_new": os.path.join(root, "python-new"),
        "app_new": os.path.join(root, "app-new"),
        "downloads": os.path.join(root, "downloads"),
        "marker": os.path.join(root, "install-complete.txt"),
        "pythonw": os.path.join(root, "python", "pythonw.exe"),
        "launcher": os.path.join(root, "app", "ZEPT-Launcher.pyw"),
        "runtime": os.path.join(root, "downloads", "python-embed.zip"),
        "package": os.path.join(root, "downloads", "zept-payload.zip"),
        "launch_record": os.path.join(root, "python", "launch-record.txt"),
        "copy": os.path.join(root, "zept-setup.exe"),
    }


def empty_profile(build, path):
    """Makes the folder path for a profile with nothing of the course: no
    uninstall entry and no shortcuts either; returns path."""
    winepfx.run(build, ["reg", "delete", UNINSTALL_KEY, "/f"])
    remove_shortcuts(build)
    os.makedirs(path)
    return path


def shortcut_paths(build):
    user = winepfx.user_dir(build)
    return [os.path.join(user, "Desktop", "Tarnwick.lnk"),
            os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                         "Tarnwick.lnk")]


def remove_shortcuts(build):
    for path in shortcut_paths(build):
        if os.path.exists(path):
            os.remove(path)


def tree(folder, skip=()):
    """{relative path: bytes} of every file below folder."""
    found = {}
    for base, _, files in os.walk(folder):
        for name in files:
            if name in skip:
                continue
            with open(os.path.join(base, name), "rb") as f:
                found[os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/")] = f.read()
    return found


def write_tree(folder, files, exact=False):
    """Writes {relative path: bytes} below folder and returns folder. A file
    that already holds its bytes is left alone, so that its time (and a pack
    made of it) stays valid; exact: other files below folder are deleted."""
    wanted = {os.path.join(folder, *name.split("/")): data for name, data in files.items()}
    for base, _, names in os.walk(folder) if exact else ():
        for name in names:
            if os.path.join(base, name) not in wanted:
                os.remove(os.path.join(base, name))
    for path, data in wanted.items():
        if os.path.exists(path):
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return folder


def stay_running(build, exe, work, cwd=None):
    """Starts exe (a copy of the pythonw stand-in) so that it stays running
    (in cwd) until the returned function ends it."""
    flag = os.path.join(work, "stay-open")
    with open(flag, "w") as f:
        f.write("open\n")
    proc = winepfx.start(build, [exe, "--stay", winepfx.windows_path(flag)], os.path.join(work, "stay"), cwd=cwd)
    if launch_record(os.path.join(os.path.dirname(exe), "launch-record.txt")) is None:
        raise RuntimeError("the stand-in did not start")

    def end():
        os.remove(flag)
        proc.wait(timeout=60)
    return end


def zip_tree(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}


def read_shortcut(build, path, why=None):
    """The shortcut's properties as the shell's link object reads them, or
    None; why (a list), when given, receives the reason for a None."""
    rc, out, err = winepfx.run(build, [winepfx.tool(build, "lnk-read"), winepfx.windows_path(path)])
    if rc != 0 or b"target=" not in out:
        if why is not None:
            why.append("unreadable (exit %d, %s, output %r, error output %r)" % (
                rc, "%d bytes" % os.path.getsize(path) if os.path.exists(path) else "no file", out[:200],
                err.decode("utf-8", "replace").strip()[-500:]))
        return None
    return dict(line.split("=", 1) for line in out.decode("utf-8").splitlines())


def launch_record(path, timeout=20):
    """The stand-in pythonw.exe's record of how it was started, or None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                text = f.read().decode("utf-8")
            if text.endswith("\n") and "argc=" in text:
                return dict(line.split("=", 1) for line in text.splitlines())
        time.sleep(0.1)
    return None


def course_started(build, profile):
    """Waits for the course that a setup started as it ended (the shell
    starts it and does not wait), then for the stand-in to end; returns its
    launch record, and forgets it, or None when it did not start. A record
    forgotten before it was written would come later and be taken for the
    next run's."""
    record = launch_record(layout(profile)["launch_record"])
    deadline = time.monotonic() + 20
    while windows_processes(build, b"pythonw.exe") and time.monotonic() < deadline:
        time.sleep(0.05)
    forget_launch(profile)
    return record


def tar_record_path(build):
    return os.path.join(winepfx.system32(build), "tar-record.txt")


def tar_record(build):
    """(command line, working folder) of each start of the tar stand-in since
    forget_tar_record."""
    path = tar_record_path(build)
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").splitlines()
    return [(lines[i].split("=", 1)[1], lines[i + 1].split("=", 1)[1].rstrip("\\"))
            for i in range(0, len(lines) - 1, 2)]


def forget_tar_record(build):
    path = tar_record_path(build)
    if os.path.exists(path):
        os.remove(path)


def forget_launch(profile):
    record = layout(profile)["launch_record"]
    if os.path.exists(record):
        os.remove(record)


def installation_problems(build, profile, variant="zept-setup-test", started=True):
    """Everything that differs from a clean install of the variant's
    release: an empty list when the layout, the marker, the extracted
    trees, the verified archives, both shortcuts and the started course are
    exactly right, and nothing is left beside the installation. Without
    started, the course must not have been started."""
    p = layout(profile)
    _, runtime, _, packed, marker_line = RELEASES[variant]
    problems = []
    try:
        with open(p["marker"], "rb") as f:
            marker = f.read()
        if marker != marker_line:
            problems.append("marker content %r" % marker)
    except OSError:
        problems.append("marker missing")
    if tree(p["python"], skip=("launch-record.txt",)) != zip_tree(artefact(build, runtime)):
        problems.append("runtime tree differs")
    if tree(p["app"]) != zip_tree(artefact(build, packed + "zept-payload.zip")):
        problems.append("course tree differs")
    if not os.path.exists(p["runtime"]) or sha256_of(p["runtime"]) != hashlib.sha256(
            artefact(build, runtime)).hexdigest():
        problems.append(runtime + " not the verified archive")
    extra = sorted(set(os.listdir(p["root"])) - {"app", "downloads", "install-complete.txt", "python",
                                                 "zept-setup.exe"})
    if extra:
        problems.append("left beside the installation: %s" % extra)
    # The downloads folder holds one release's runtime and parts: the
    # package built from them does not stay.
    downloads = sorted(os.listdir(p["downloads"])) if os.path.isdir(p["downloads"]) else []
    if downloads != sorted(["python-embed.zip"] + part_names(build, variant)):
        problems.append("downloads folder holds %s" % downloads)
    expected = {
        "target": winepfx.windows_path(p["pythonw"]),
        "arguments": '"%s"' % winepfx.windows_path(p["launcher"]),
        "workdir": winepfx.windows_path(p["app"]),
        "description": "Tarnwick - Olvenmark",
    }
    for path in shortcut_paths(build):
        why = []
        found = read_shortcut(build, path, why)
        if found != expected:
            why += ["%s=%r" % (k, v) for k, v in (found or {}).items() if expected.get(k) != v]
            problems.append("shortcut %s: %s" % (os.path.basename(os.path.dirname(path)), "; ".join(why)))
    if not started:
        return problems + (["course started"] if os.path.exists(p["launch_record"]) else [])
    record = launch_record(p["launch_record"])
    if record is None:
        problems.append("course not started")
    elif (record["argc"], record["arg1"], record["cwd"].rstrip("\\")) != (
            "1", winepfx.windows_path(p["launcher"]), winepfx.windows_path(p["app"])):
        problems.append("course started wrongly: %r" % record)
    return problems


def untrusted_leftovers(build, profile):
    """Files a later run would trust although they are not the verified
    artefacts: an archive in the downloads folder that is not a pinned one,
    or a marker that vouches for trees that are not its release's."""
    p = layout(profile)
    pinned = {hashlib.sha256(artefact(build, name)).hexdigest()
              for _, runtime, _, packed, _ in RELEASES.values() for name in (runtime, packed + "zept-payload.zip")}
    found = [key for key in ("runtime", "package") if os.path.exists(p[key]) and sha256_of(p[key]) not in pinned]
    return found + trusted_but_wrong(build, profile)


def trusted_but_wrong(build, profile):
    """An installation that a setup would take as complete (its marker
    names a release, pythonw.exe and the launcher exist) although its trees
    are not exactly that release's artefacts. Archives need no check here:
    every run verifies an archive before it uses one."""
    p = layout(profile)
    if not all(os.path.exists(p[k]) for k in ("marker", "pythonw", "launcher")):
        return []
    with open(p["marker"], "rb") as f:
        marker = f.read()
    for _, runtime, _, packed, line in RELEASES.values():
        if marker == line:
            if (tree(p["python"], skip=("launch-record.txt",)) == zip_tree(artefact(build, runtime))
                    and tree(p["app"]) == zip_tree(artefact(build, packed + "zept-payload.zip"))):
                return []
            return ["complete by its marker %r, but the trees differ" % marker]
    return []


def machine_summary():
    """One line on the machine a report was made on."""
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    distro = "Linux"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    distro = line.split("=", 1)[1].strip().strip('"')
    return "%s, kernel %s, %d cores, %.0f GiB memory, %s" % (
        distro, platform.release(), os.cpu_count(), mem_kib / 1048576, wine)
