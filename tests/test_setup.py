"""The whole setup against the loopback course server: exact transcripts,
exit codes, files on disk, shortcuts read back through the shell, and the
started course. Runs the test build, pinned to the artefacts of the build."""
import hashlib
import os
import shutil
import threading
import time
import zipfile

import pytest

import winepfx
from conftest import BANNER, PROMPT, TEST_PORT, crlf, exe, run_with_env, windows_path
from testserver import Route

PYTHON_PATH = "/ftp/python/3.12.10/python-3.12.10-embed-amd64.zip"
PART_PATHS = ["/downloads/zept-payload.part01", "/downloads/zept-payload.part02"]
CLOSING = ("\nInstalled. Opening the course now ...\n"
           "Look for \"Tarnwick\" on your desktop and in the\n"
           "Start menu to open it again later.\n")
FIRST_INSTALL = (BANNER + "Downloading Python runtime ...\n" + "Extracting Python runtime ...\n"
                 + "Downloading course part 1 of 2 ...\n" + "Downloading course part 2 of 2 ...\n"
                 + "Extracting the course ...\n" + CLOSING + PROMPT)
PACKAGE_FAILED = "The course package did not verify and was removed. Run the setup again.\n"
MARKER = b"Tarnwick 0.1.0 installed.\r\n"


def artefact(build, name):
    with open(os.path.join(build, "artefacts", name), "rb") as f:
        return f.read()


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture
def course(build, servers):
    """The course host and the Python host of the test build, healthy."""
    server = servers(port=TEST_PORT)
    server.routes[PYTHON_PATH] = Route(body=artefact(build, "python-embed.zip"))
    for n, path in enumerate(PART_PATHS, 1):
        server.routes[path] = Route(body=artefact(build, "zept-payload.part%02d" % n))
    return server


def shortcut_paths(build):
    user = winepfx.user_dir(build)
    return [os.path.join(user, "Desktop", "Tarnwick.lnk"),
            os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                         "Tarnwick.lnk")]


@pytest.fixture(autouse=True)
def no_shortcuts(build):
    for path in shortcut_paths(build):
        if os.path.exists(path):
            os.remove(path)


@pytest.fixture
def profile(work):
    """A local application folder with spaces in its path."""
    path = os.path.join(work, "Local App Data")
    os.makedirs(path)
    return path


def run_setup(build, profile, variant="zept-setup-test", merge=False):
    return run_with_env(build, exe(build, variant), set_env={"LOCALAPPDATA": windows_path(profile)},
                        merge=merge)


def layout(profile):
    root = os.path.join(profile, "Programs", "ZEPT")
    return {
        "root": root,
        "python": os.path.join(root, "python"),
        "app": os.path.join(root, "app"),
        "downloads": os.path.join(root, "downloads"),
        "marker": os.path.join(root, "install-complete.txt"),
        "pythonw": os.path.join(root, "python", "pythonw.exe"),
        "launcher": os.path.join(root, "app", "ZEPT-Launcher.pyw"),
        "runtime": os.path.join(root, "downloads", "python-embed.zip"),
        "package": os.path.join(root, "downloads", "zept-payload.zip"),
        "part1": os.path.join(root, "downloads", "zept-payload.part01"),
        "part2": os.path.join(root, "downloads", "zept-payload.part02"),
    }


def tree(folder, skip=()):
    found = {}
    for base, _, files in os.walk(folder):
        for name in files:
            if name in skip:
                continue
            with open(os.path.join(base, name), "rb") as f:
                found[os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/")] = f.read()
    return found


def zip_tree(data):
    import io
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}


def read_shortcut(build, path):
    rc, out, err = winepfx.run(build, [winepfx.tool(build, "lnk-read"), windows_path(path)])
    assert rc == 0, (out, err)
    return dict(line.split("=", 1) for line in out.decode("utf-8").splitlines())


def launch_record(path, timeout=20):
    """The stand-in pythonw.exe's record of how it was started."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, "rb") as f:
                text = f.read().decode("utf-8")
            if text.endswith("\n") and "argc=" in text:
                return dict(line.split("=", 1) for line in text.splitlines())
        time.sleep(0.1)
    raise AssertionError("the course was not started")


def assert_installed(build, profile, started_after=None):
    """Layout, marker, extracted trees, shortcuts and the started course."""
    p = layout(profile)
    with open(p["marker"], "rb") as f:
        assert f.read() == MARKER
    assert tree(p["python"], skip=("launch-record.txt",)) == zip_tree(artefact(build, "python-embed.zip"))
    assert tree(p["app"]) == zip_tree(artefact(build, "zept-payload.zip"))
    assert sha256(p["runtime"]) == hashlib.sha256(artefact(build, "python-embed.zip")).hexdigest()
    assert sha256(p["package"]) == hashlib.sha256(artefact(build, "zept-payload.zip")).hexdigest()
    expected = {
        "target": windows_path(p["pythonw"]),
        "arguments": '"%s"' % windows_path(p["launcher"]),
        "workdir": windows_path(p["app"]),
        "description": "Tarnwick - Olvenmark",
    }
    for path in shortcut_paths(build):
        assert read_shortcut(build, path) == expected
    record = launch_record(os.path.join(p["python"], "launch-record.txt"))
    assert record["argc"] == "1"
    assert record["arg1"] == windows_path(p["launcher"])
    assert record["cwd"].rstrip("\\") == windows_path(p["app"])


def forget_launch(profile):
    record = os.path.join(layout(profile)["python"], "launch-record.txt")
    if os.path.exists(record):
        os.remove(record)


def test_first_install_then_a_run_without_network(build, profile, course):
    run = run_setup(build, profile)
    assert run.text == crlf(FIRST_INSTALL)
    assert run.rc == 0
    assert_installed(build, profile)
    assert [r.path for r in course.requests] == [PYTHON_PATH] + PART_PATHS
    assert sorted(os.listdir(layout(profile)["root"])) == ["app", "downloads", "install-complete.txt", "python"]
    assert sorted(os.listdir(layout(profile)["downloads"])) == [
        "python-embed.zip", "zept-payload.part01", "zept-payload.part02", "zept-payload.zip"]

    # Second run: the server is gone, the shortcuts are damaged.
    course.shutdown()
    course.server_close()
    for path in shortcut_paths(build):
        with open(path, "wb") as f:
            f.write(b"not a shortcut")
    forget_launch(profile)
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + CLOSING + PROMPT)
    assert run.rc == 0
    assert_installed(build, profile)


def install(build, profile, course):
    run = run_setup(build, profile)
    assert run.rc == 0, run.text
    course.requests.clear()
    forget_launch(profile)


def test_missing_launcher_reruns_both_stages_from_the_verified_archives(build, profile, course):
    install(build, profile, course)
    os.remove(layout(profile)["launcher"])
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + "Extracting the course ...\n"
                            + CLOSING + PROMPT)
    assert run.rc == 0
    assert course.requests == []
    assert_installed(build, profile)


def test_stale_marker_is_removed_before_extracting_again(build, profile, course, system_tar):
    # The marker must never vouch for folders that a failed run left behind.
    install(build, profile, course)
    os.remove(layout(profile)["launcher"])
    system_tar(winepfx.tool(build, "trust-ca"))  # a tar that fails
    run = run_setup(build, profile)
    assert run.rc == 1
    assert run.text.endswith(crlf(
        "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n" + PROMPT))
    assert not os.path.exists(layout(profile)["marker"])


def test_runtime_not_found(build, profile, course):
    course.routes[PYTHON_PATH] = Route(status=404, body=b"gone")
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n"
                            "The Python download failed. Check your connection and run the setup again.\n"
                            + PROMPT)
    assert run.rc == 1
    assert os.listdir(layout(profile)["downloads"]) == []


def test_runtime_with_wrong_content_is_removed(build, profile, course):
    # What a captive portal sends: an HTML page with status 200.
    course.routes[PYTHON_PATH] = Route(body=b"<html><body>Please log in</body></html>")
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n"
                            "The Python download failed its checksum and was removed. Run the setup again.\n"
                            + PROMPT)
    assert run.rc == 1
    assert os.listdir(layout(profile)["downloads"]) == []


def test_runtime_archive_is_reused_and_a_wrong_one_replaced(build, profile, course):
    p = layout(profile)
    os.makedirs(p["downloads"])
    with open(p["runtime"], "wb") as f:
        f.write(b"an older, different archive")
    assert run_setup(build, profile).rc == 0
    assert course.requests[0].path == PYTHON_PATH
    assert sha256(p["runtime"]) == hashlib.sha256(artefact(build, "python-embed.zip")).hexdigest()

    # Installation incomplete again, archive verified: no runtime download.
    os.remove(p["marker"])
    shutil.rmtree(p["python"])
    os.remove(p["package"])
    course.requests.clear()
    run = run_setup(build, profile)
    assert run.rc == 0
    assert run.text.startswith(crlf(BANNER + "Extracting Python runtime ...\nDownloading course part 1 of 2"))
    assert [r.path for r in course.requests] == PART_PATHS


def test_tar_that_produces_no_pythonw(build, profile, course, system_tar):
    system_tar(winepfx.tool(build, "pythonw-standin"))  # exits 0, extracts nothing
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n" + "Extracting Python runtime ...\n"
                            "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n"
                            + PROMPT)
    assert run.rc == 1
    assert os.path.exists(layout(profile)["runtime"])


def test_progress_line_comes_before_what_tar_prints(build, profile, course):
    # A file where the runtime folder belongs makes tar fail with a message of
    # its own; with both streams in one file, the order must be the real one.
    p = layout(profile)
    os.makedirs(p["root"])
    with open(p["python"], "wb") as f:
        f.write(b"in the way")
    run = run_setup(build, profile, merge=True)
    assert run.rc == 1
    out = run.out.decode("utf-8", "replace")
    progress = out.index("Extracting Python runtime ...\r\n")
    tar_message = out.index("bsdtar")
    failure = out.index("Could not extract the Python runtime")
    assert progress < tar_message < failure


def test_stale_package_is_truncated_and_rebuilt(build, profile, course):
    p = layout(profile)
    os.makedirs(p["downloads"])
    with open(p["package"], "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024))  # longer than the real package
    run = run_setup(build, profile)
    assert run.text == crlf(FIRST_INSTALL)
    assert run.rc == 0
    assert_installed(build, profile)


def test_part_1_fails_its_digest(build, profile, course):
    course.routes[PART_PATHS[0]] = Route(body=b"<html>captive portal</html>")
    run = run_setup(build, profile)
    assert run.text.endswith(crlf("Extracting Python runtime ...\n" + "Downloading course part 1 of 2 ...\n"
                                  + "Course part 1 failed its checksum.\n" + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    assert PART_PATHS[1] not in [r.path for r in course.requests]
    assert sorted(os.listdir(layout(profile)["downloads"])) == ["python-embed.zip", "zept-payload.part01"]


def test_part_2_fails_its_digest(build, profile, course):
    course.routes[PART_PATHS[1]] = Route(body=artefact(build, "zept-payload.part02")[:-1] + b"!")
    run = run_setup(build, profile)
    assert run.text.endswith(crlf("Downloading course part 1 of 2 ...\n" + "Downloading course part 2 of 2 ...\n"
                                  + "Course part 2 failed its checksum.\n" + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    p = layout(profile)
    assert not os.path.exists(p["package"])
    assert os.path.exists(p["part1"]) and os.path.exists(p["part2"])


def test_part_1_download_fails(build, profile, course):
    course.routes[PART_PATHS[0]] = Route(status=404)
    run = run_setup(build, profile)
    assert run.text.endswith(crlf("Downloading course part 1 of 2 ...\n" + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    assert PART_PATHS[1] not in [r.path for r in course.requests]
    assert sorted(os.listdir(layout(profile)["downloads"])) == ["python-embed.zip"]


def test_parts_verify_but_the_package_does_not(build, profile, course):
    # This build pins a package digest that the joined parts never have.
    run = run_setup(build, profile, variant="zept-setup-badpkg")
    assert run.text.endswith(crlf("Downloading course part 2 of 2 ...\n" + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    assert sorted(os.listdir(layout(profile)["downloads"])) == [
        "python-embed.zip", "zept-payload.part01", "zept-payload.part02"]


def test_course_extraction_without_launcher_keeps_the_package(build, profile, course, system_tar):
    install(build, profile, course)
    p = layout(profile)
    os.remove(p["launcher"])
    system_tar(winepfx.tool(build, "pythonw-standin"))  # exits 0, extracts nothing
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + "Extracting the course ...\n"
                            + "Could not extract the course package.\n" + PROMPT)
    assert run.rc == 1
    assert os.path.exists(p["package"])
    # The next run, with the real tar, reuses the package: no download.
    winepfx.install_tar(build)
    run = run_setup(build, profile)
    assert run.rc == 0
    assert course.requests == []
    assert_installed(build, profile)


def test_marker_that_cannot_be_written(build, profile, course):
    p = layout(profile)
    os.makedirs(p["marker"])  # a folder where the marker file belongs
    run = run_setup(build, profile)
    assert run.text == crlf(FIRST_INSTALL)
    assert run.rc == 0
    for path in shortcut_paths(build):
        assert os.path.exists(path)
    launch_record(os.path.join(p["python"], "launch-record.txt"))


def test_no_special_folders(build, profile, course):
    install(build, profile, course)
    moved = []
    for path in shortcut_paths(build):
        os.remove(path)
        folder = os.path.dirname(path)
        os.rename(folder, folder + ".away")
        moved.append(folder)
    try:
        run = run_setup(build, profile)
        assert run.text == crlf(BANNER + CLOSING + PROMPT)
        assert run.rc == 0
        launch_record(os.path.join(layout(profile)["python"], "launch-record.txt"))
        for folder in moved:
            assert not os.path.exists(folder)
            assert "Tarnwick.lnk" not in os.listdir(folder + ".away")
    finally:
        for folder in moved:
            if os.path.exists(folder):
                shutil.rmtree(folder)
            os.rename(folder + ".away", folder)


MESSAGES = [
    "The Python download failed. Check your connection and run the setup again.\n",
    "The Python download failed its checksum and was removed. Run the setup again.\n",
    "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n",
    "Could not create the course package file.\n",
    PACKAGE_FAILED,
    "Could not extract the course package.\n",
]


def test_two_setups_at_the_same_moment(build, profile, course):
    runs = [None, None]

    def one(i):
        runs[i] = run_setup(build, profile)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for run in runs:
        assert run.rc in (0, 1)
        if run.rc == 0:
            assert run.text.endswith(crlf(CLOSING + PROMPT))
        else:
            assert any(run.text.endswith(crlf(m + PROMPT)) for m in MESSAGES), run.text
    # Whatever happened, the next run completes and installs the real thing.
    forget_launch(profile)
    run = run_setup(build, profile)
    assert run.rc == 0, run.text
    assert_installed(build, profile)
