"""Removal: the entry in Settings -> Apps and the installed copy of the
setup, and "--uninstall" removing the shortcuts, the install root and the
entry and nothing else."""
import math
import os
import time

import pytest

import winepfx
from conftest import PROMPT, crlf, probe, run_windows, windows_path
from installation import (EXIT, course_started, empty_profile, installation_problems, layout,
                          setup_argv, shortcut_paths, tree, uninstall_entry, wait_for_removal,
                          stay_running, write_tree, UNINSTALL_KEY, PYTHON_PATH)

BANNER = "Tarnwick - Olvenmark, Title 1 - Removal\n" + "=" * 60 + "\n\n"
REMOVED = BANNER + "Removing Tarnwick ...\n" + "Tarnwick was removed from this PC.\n" + PROMPT


@pytest.fixture
def profile(build, work):
    return empty_profile(build, os.path.join(work, "Local App Data"))


def install(build, profile, variant="zept-setup-test"):
    run = run_windows(build, setup_argv(build, profile, variant))
    assert run.rc == 0, run.text
    assert course_started(build, profile) is not None


def remove(build, profile, work, exe=None):
    """Runs the removal (from the build's setup unless exe is given) and
    waits for the copy it may hand over to; returns (exit code of the
    program started, the window's text). Started from the installed copy,
    that program hands over and ends with 0 at once."""
    exe = exe or os.path.join(build, "zept-setup-test.exe")
    proc = winepfx.start(build, setup_argv(build, profile, exe=exe) + ["--uninstall"],
                         os.path.join(work, "removal-%d" % time.monotonic_ns()))
    return wait_for_removal(build, proc)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_registration_follows_the_installed_release(build, profile, course):
    p = layout(profile)
    install(build, profile)
    size = sum(len(data) for data in tree(p["root"], skip=("launch-record.txt",)).values())
    root = windows_path(p["root"])
    assert uninstall_entry(build) == {
        "DisplayName": "Tarnwick - Olvenmark", "DisplayVersion": "0.1.0", "Publisher": "Olvenmark",
        "InstallLocation": root, "UninstallString": '"%s\\zept-setup.exe" --uninstall' % root,
        "QuietUninstallString": '"%s\\zept-setup.exe" --uninstall --quiet' % root,
        "ModifyPath": '"%s\\zept-setup.exe" --repair' % root,
        "DisplayIcon": root + "\\zept-setup.exe", "EstimatedSize": "0x%x" % math.ceil(size / 1024),
        "InstallDate": time.strftime("%Y%m%d"), "NoModify": "0x0", "NoRepair": "0x1",
        "HelpLink": "https://tarnwick.example.org/help/"}
    assert read(p["copy"]) == read(os.path.join(build, "zept-setup-test.exe"))
    # An update brings its own setup and version; the older setup that only
    # opens the newer installation changes neither.
    for variant in ("zept-setup-update", "zept-setup-test"):
        install(build, profile, variant)
        entry = uninstall_entry(build)
        assert entry["DisplayVersion"] == "0.2.0" and "HelpLink" not in entry
        assert read(p["copy"]) == read(os.path.join(build, "zept-setup-update.exe"))
    # The copy itself, run as the setup, installs nothing anew and keeps its file.
    install(build, profile, "zept-setup-update")
    run = run_windows(build, setup_argv(build, profile, exe=p["copy"]))
    assert run.rc == 0 and read(p["copy"]) == read(os.path.join(build, "zept-setup-update.exe"))


def test_removal_from_the_installed_copy_removes_what_the_setup_made(build, profile, course, work):
    install(build, profile)
    p = layout(profile)
    # The learner's own things: a Start-menu shortcut pointed elsewhere, a
    # file beside the install root.
    desktop, start_menu = shortcut_paths(build)
    other = os.path.join(build, "tools", "lnk-read.exe")
    assert probe(build, "shortcut", windows_path(start_menu), windows_path(other)).rc == 1
    repointed = read(start_menu)
    beside = os.path.join(profile, "Programs", "other program.txt")
    with open(beside, "wb") as f:
        f.write(b"not ours\r\n")

    rc, text = remove(build, profile, work, exe=p["copy"])
    assert text == crlf(REMOVED)
    assert rc == 0
    assert not os.path.exists(p["root"]) and not os.path.exists(desktop)
    assert read(start_menu) == repointed
    assert uninstall_entry(build) is None
    assert read(beside) == b"not ours\r\n"

    # Nothing left to remove; then the setup installs cleanly again.
    os.remove(start_menu)
    rc, text = remove(build, profile, work)
    assert (rc, text) == (0, crlf(BANNER + "Tarnwick is not installed.\n" + PROMPT))
    assert run_windows(build, setup_argv(build, profile)).rc == 0
    assert installation_problems(build, profile) == []


def test_removal_refuses_while_the_course_or_a_setup_runs(build, profile, course, work):
    install(build, profile)
    p = layout(profile)
    before = tree(p["root"], skip=("launch-record.txt",))
    end = stay_running(build, p["pythonw"], work)
    try:
        rc, text = remove(build, profile, work)
    finally:
        end()
    assert text == crlf(BANNER + "Tarnwick is still open. Close it and run the removal again.\n" + PROMPT)
    assert rc == EXIT["in use"]
    assert tree(p["root"], skip=("launch-record.txt",)) == before
    assert uninstall_entry(build) is not None

    # A setup at work on another profile holds the lock.
    other = os.path.join(work, "other profile")
    course.routes[PYTHON_PATH].trickle = (4096, 0.02)
    setup = winepfx.start(build, setup_argv(build, other), os.path.join(work, "setup"))
    deadline = time.monotonic() + 60
    while not os.path.exists(layout(other)["runtime"]) and time.monotonic() < deadline:
        time.sleep(0.05)
    rc, text = remove(build, profile, work)
    assert text == crlf(BANNER + "The setup is already running in another window.\n" + PROMPT)
    assert rc == EXIT["locked"]
    assert setup.wait(timeout=120) == 0
    assert tree(p["root"], skip=("launch-record.txt",)) == before


def test_nothing_outside_the_install_root_is_deleted(build, profile, course, work):
    install(build, profile)
    # The entry's InstallLocation changed to another folder, and a link
    # inside the course to the learner's documents.
    precious = os.path.join(work, "precious")
    files = {"photo.jpg": b"\xff\xd8 a photo", "documents/essay.txt": b"an essay\r\n"}
    write_tree(precious, files)
    assert winepfx.run(build, ["reg", "add", UNINSTALL_KEY, "/v", "InstallLocation", "/d", windows_path(precious),
                               "/f"])[0] == 0
    link = os.path.join(layout(profile)["app"], "my documents")
    os.symlink(os.path.join(precious, "documents"), link)
    # Windows removes a folder link itself; Wine removes a Unix link neither
    # as a folder nor as a file, so here the link stays, and says so.
    rc, text = remove(build, profile, work)
    assert text == crlf(BANNER + "Removing Tarnwick ...\n" + "Some files of Tarnwick are in use and were not "
                        "removed; restart your PC and run the removal again.\n" + PROMPT)
    assert rc == EXIT["restart"]
    assert tree(precious) == files
    assert os.listdir(layout(profile)["root"]) == ["app"] and os.listdir(layout(profile)["app"]) == ["my documents"]
    # Once the link is gone, the removal finishes.
    os.unlink(link)
    rc, text = remove(build, profile, work)
    assert (rc, text) == (0, crlf(REMOVED))
    assert tree(precious) == files
    assert not os.path.exists(layout(profile)["root"]) and uninstall_entry(build) is None


def test_the_quiet_uninstall_command_reports_the_removals_outcome(build, profile, course, work):
    install(build, profile)
    p = layout(profile)
    # As an endpoint tool runs it: the entry's command as it stands (the
    # copy in the install root), nobody at the keyboard.
    command = uninstall_entry(build)["QuietUninstallString"]
    exe, options = command[1:].split('" ', 1)
    assert exe == windows_path(p["copy"])
    temp = os.path.join(work, "temp")
    os.makedirs(temp)

    def in_temp(argv):
        return argv[:1] + ["--set", "TEMP=" + windows_path(temp), "--set", "TMP=" + windows_path(temp)] + argv[1:]
    argv = in_temp(setup_argv(build, profile, exe=p["copy"])) + options.split()
    log = os.path.join(work, "removal.log")
    before = tree(p["root"], skip=("launch-record.txt",))
    end = stay_running(build, p["pythonw"], work)
    try:
        run = run_windows(build, argv + ["--log", windows_path(log)], stdin=b"")
    finally:
        end()
    assert (run.rc, run.text) == (EXIT["in use"], crlf(
        BANNER + "Tarnwick is still open. Close it and run the removal again.\n"))
    # Nothing removed; the copy that the entry names is where it was.
    assert tree(p["root"], skip=("launch-record.txt",)) == before
    assert uninstall_entry(build)["QuietUninstallString"] == command
    run = run_windows(build, argv + ["--log", windows_path(log)], stdin=b"")
    # When the caller hears 0, all is gone already.
    entry, root_left = uninstall_entry(build), os.path.exists(p["root"])
    assert (run.rc, run.text) == (0, crlf(BANNER + "Removing Tarnwick ...\nTarnwick was removed from this PC.\n"))
    assert (entry, root_left) == (None, False)
    with open(log, encoding="utf-8") as f:
        assert "the setup moved itself to " in f.read()
    # A later run deletes what the removal left in %TEMP%.
    copy = os.path.join(temp, "zept-removal.exe")
    assert os.path.exists(copy)
    assert run_windows(build, in_temp(setup_argv(build, profile))).rc == 0
    assert not os.path.exists(copy)
