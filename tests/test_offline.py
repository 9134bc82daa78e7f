"""The offline copy: "--layout FOLDER" fetches the setup's files once into
a folder, and a setup started from there takes them from it, each checked
against its pin. Transcripts, requests, files on disk."""
import os
import re
import stat

import pytest

from conftest import BANNER, CLOSING, PROMPT, crlf, run_windows, windows_path
from testserver import Route
from installation import (PYTHON_PATH, RELEASES, artefact, course_started, empty_profile, installation_problems, layout,
                          part_names, part_paths, remove_shortcuts, setup_argv, shortcut_paths, tree,
                          uninstall_entry)

LAYOUT_BANNER = (
    "Tarnwick - Olvenmark, Title 1 - Offline copy\n"
    "============================================================\n"
    "This copies the setup and everything it installs (the Python\n"
    "runtime and the course package) into one folder. A setup\n"
    "started from that folder installs the course without\n"
    "downloading it again. Every file is verified by a checksum,\n"
    "here and again on each PC.\n\n"
)
READY = ("\nThe offline copy is ready: copy the whole folder to a USB stick or a network share, and start "
         "zept-setup.exe from there on each PC.\n")
NOT_WRITABLE = "Could not write to that folder; choose a folder you can write to and run the setup again.\n"


LINE = {"download": "Downloading %s ...\n", "copy": "Copying %s from the setup's folder ...\n", "kept": "%.0s"}


def lines(build, runtime, part, variant="zept-setup-test", others=(), other="download"):
    """The progress lines when the runtime and each course part are
    downloaded, copied from the setup's folder or kept (as it lies): part
    for every part but the numbers in others (from 1), which are other."""
    count = len(part_names(build, variant))
    return LINE[runtime] % "Python runtime" + "".join(
        LINE[other if n in others else part] % ("course part %d of %d" % (n, count)) for n in range(1, count + 1))


def installed_from_copy(build, downloaded=()):
    """The transcript of an install by the setup of an offline copy."""
    runtime, parts = lines(build, "copy", "copy", others=downloaded).split("\n", 1)
    return BANNER + runtime + "\nExtracting Python runtime ...\n" + parts + "Extracting the course ...\n" + CLOSING


def make_copy(build, profile, folder, variant="zept-setup-test"):
    return run_windows(build, setup_argv(build, profile, variant) + ["--layout", windows_path(folder)])


def expected_folder(build, variant="zept-setup-test"):
    files = {name: artefact(build, "parts/" + name) for name in part_names(build, variant)}
    files["python-embed.zip"] = artefact(build, "python-embed.zip")
    with open(os.path.join(build, variant + ".exe"), "rb") as f:
        files["zept-setup.exe"] = f.read()
    return files


@pytest.fixture
def teacher(build, work):
    return empty_profile(build, os.path.join(work, "teacher"))


def untouched_by_the_copy(build, teacher):
    return (os.listdir(teacher) == [] and uninstall_entry(build) is None
            and not any(os.path.exists(path) for path in shortcut_paths(build)))


def test_a_copy_on_a_read_only_folder_installs_three_pcs_without_the_host(build, work, teacher, course):
    folder = os.path.join(work, "USB stick \u0141ukasz \u65e5\u672c", "Tarnwick")
    run = make_copy(build, teacher, folder)
    assert run.text == crlf(LAYOUT_BANNER + lines(build, "download", "download") + READY + PROMPT)
    assert run.rc == 0
    assert tree(folder) == expected_folder(build)
    assert sorted(r.path for r in course.requests) == sorted([PYTHON_PATH] + part_paths(build))
    assert untouched_by_the_copy(build, teacher)

    # As on a read-only share: nothing may be written there, and what is
    # copied from there is not read-only in the downloads folder.
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o444)
    os.chmod(folder, 0o555)
    before = {name: os.stat(os.path.join(folder, name)).st_mtime_ns for name in os.listdir(folder)}
    course.requests.clear()
    setup = os.path.join(folder, "zept-setup.exe")
    try:
        for pc in range(3):
            if pc == 1:
                course.shutdown()
                course.server_close()
            profile = os.path.join(work, "pc %d" % pc)
            os.makedirs(profile)
            remove_shortcuts(build)
            run = run_windows(build, setup_argv(build, profile, exe=setup))
            assert run.text == crlf(installed_from_copy(build) + PROMPT), pc
            assert run.rc == 0
            assert installation_problems(build, profile) == []
            assert course_started(build, profile) is not None
            # Nor is the setup's copy for Settings, which an update replaces.
            downloads = layout(profile)["downloads"]
            copies = [os.path.join(downloads, name) for name in os.listdir(downloads)] + [layout(profile)["copy"]]
            assert all(os.stat(path).st_mode & stat.S_IWUSR for path in copies)
        assert course.requests == []
        assert {name: os.stat(os.path.join(folder, name)).st_mtime_ns for name in os.listdir(folder)} == before
        assert tree(folder) == expected_folder(build)
    finally:
        os.chmod(folder, 0o755)


def test_a_damaged_part_beside_the_setup_is_downloaded_and_left_alone(build, work, teacher, course):
    folder = os.path.join(work, "copy")
    assert make_copy(build, teacher, folder).rc == 0
    damaged = os.path.join(folder, part_names(build)[2])
    with open(damaged, "r+b") as f:
        f.seek(100)
        f.write(b"\0damaged\0")
    with open(damaged, "rb") as f:
        kept = f.read()
    course.requests.clear()
    profile = os.path.join(work, "pc")
    os.makedirs(profile)
    run = run_windows(build, setup_argv(build, profile, exe=os.path.join(folder, "zept-setup.exe")))
    assert run.text == crlf(installed_from_copy(build, downloaded=[3]) + PROMPT)
    assert run.rc == 0
    assert [r.path for r in course.requests] == [part_paths(build)[2]]
    assert installation_problems(build, profile) == []
    with open(damaged, "rb") as f:
        assert f.read() == kept


def test_a_newer_release_refreshes_the_copy_with_the_parts_that_changed(build, work, teacher, course):
    folder = os.path.join(work, "copy")
    assert make_copy(build, teacher, folder).rc == 0
    course.requests.clear()
    run = make_copy(build, teacher, folder, "zept-setup-update")
    a, b = part_paths(build), part_paths(build, "zept-setup-update")
    changed = [n for n, path in enumerate(b, 1) if path not in a]
    assert run.text == crlf(LAYOUT_BANNER + lines(build, "kept", "kept", "zept-setup-update", changed) + READY + PROMPT)
    assert run.rc == 0
    assert sorted(r.path for r in course.requests) == sorted(b[n - 1] for n in changed)
    # The earlier release's parts stay: the copy deletes nothing.
    old = expected_folder(build)
    del old["zept-setup.exe"]
    assert tree(folder) == dict(old, **expected_folder(build, "zept-setup-update"))


def test_a_copy_that_fails_leaves_the_earlier_copy_whole(build, work, teacher, course):
    # A release with another runtime, whose download fails: the earlier
    # copy's runtime archive stays until a verified one replaces it.
    folder = os.path.join(work, "copy")
    assert make_copy(build, teacher, folder).rc == 0
    course.routes[RELEASES["zept-setup-runtime"][0]] = Route(status=404)
    run = make_copy(build, teacher, folder, "zept-setup-runtime")
    assert run.text == crlf(LAYOUT_BANNER + "Downloading Python runtime ...\n"
                            "The Python download failed. Check your connection and run the setup again.\n" + PROMPT)
    assert run.rc == 1
    # Beside it only the new release's parts that its transfers got, whole
    # or partial, for the next attempt.
    now, earlier = tree(folder), expected_folder(build)
    assert {name: now.get(name) for name in earlier} == earlier
    assert [name for name in now if name not in earlier and re.sub(r"\.[0-9a-f]{16}\.partial$", "", name)
            not in part_names(build, "zept-setup-runtime")] == []


# (A missing or empty folder is refused with the other options not understood.)
@pytest.mark.parametrize("where,message", [
    ("Programs/ZEPT", "The offline copy cannot go into Tarnwick's own folder, which a removal deletes; "
                      "choose another folder.\n"),
    ("programs/zept/Downloads/copy", "The offline copy cannot go into Tarnwick's own folder, which a removal "
                                     "deletes; choose another folder.\n"),
    ("a file", NOT_WRITABLE),
], ids=["install-root", "below-install-root", "a-file"])
def test_refused_before_anything_is_made(build, teacher, course, where, message):
    argv = setup_argv(build, teacher) + ["--layout"]
    if where == "a file":
        with open(os.path.join(teacher, where), "wb") as f:
            f.write(b"mine")
    argv.append(windows_path(os.path.join(teacher, where)))
    run = run_windows(build, argv)
    assert run.text == crlf(LAYOUT_BANNER + message + PROMPT)
    assert run.rc == 1
    assert course.requests == []
    assert tree(teacher) == ({"a file": b"mine"} if where == "a file" else {})
    assert untouched_by_the_copy(build, teacher) or where == "a file"
