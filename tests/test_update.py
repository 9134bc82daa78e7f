"""A course's later releases: the setup of release 0.2.0 over 0.1.0, a new
runtime, the course left open, a folder that cannot be renamed, a link
inside the old course; and an installation damaged after it was made,
repaired from the stored archives. Transcripts, requests, files and
shortcuts."""
import os
import shutil
import threading
import time

import pytest

import winepfx
from conftest import BANNER, CLOSING, PROMPT, crlf, run_windows
from installation import (EXIT, RELEASES, forget_launch, installation_problems, layout, part_lines, part_names,
                          part_paths, remove_shortcuts, setup_argv, shortcut_paths, stay_running, tree,
                          uninstall_entry, write_tree)

OPENED = BANNER + CLOSING + PROMPT


def new_parts(build):
    """(numbers, URL paths) of the parts of release 0.2.0 that 0.1.0 lacks."""
    a, b = part_paths(build), part_paths(build, "zept-setup-update")
    numbers = [n for n, path in enumerate(b, 1) if path not in a]
    return numbers, [b[n - 1] for n in numbers]


def update_text(build):
    """The transcript of the update from 0.1.0 to 0.2.0: only B's new parts."""
    numbers, _ = new_parts(build)
    return (BANNER + "Extracting Python runtime ...\n" + part_lines(len(part_paths(build, "zept-setup-update")),
                                                                   numbers)
            + "Extracting the course ...\n" + CLOSING + PROMPT)


@pytest.fixture
def installed(build, work, course):
    """A profile with release 0.1.0 installed; requests cleared."""
    profile = os.path.join(work, "Local App Data")
    os.makedirs(profile)
    assert run_setup(build, profile).rc == 0
    assert installation_problems(build, profile) == []
    course.requests.clear()
    forget_launch(profile)
    return profile


def run_setup(build, profile, variant="zept-setup-test"):
    return run_windows(build, setup_argv(build, profile, variant))


def snapshot(build, profile):
    """Every installed file and both shortcut files, as bytes."""
    found = tree(layout(profile)["root"], skip=("launch-record.txt",))
    for path in shortcut_paths(build):
        with open(path, "rb") as f:
            found[path] = f.read()
    return found


def test_update_replaces_the_course_and_an_older_setup_opens_it(build, installed, course):
    profile = installed
    p = layout(profile)
    remove_shortcuts(build)  # the update makes them anew
    # Beside 0.1.0's parts: leftovers of the parts' patterns, and files that
    # are not parts at all (the learner's, or anybody's).
    leftovers = {"zept-payload.part07": b"x", "0" * 64 + ".part.partial": b"x"}
    foreign = {"notes.txt": b"mine", "readme.part": b"mine", "0" * 63 + ".part": b"mine"}
    write_tree(p["downloads"], dict(leftovers, **foreign))
    run = run_setup(build, profile, "zept-setup-update")
    assert run.text == crlf(update_text(build))
    assert run.rc == 0
    # The runtime's pin did not change: its verified archive is reused; of
    # the course, only the parts that changed are fetched (the lessons' and
    # the central directory's), the media's parts are kept.
    numbers, paths = new_parts(build)
    assert sorted(r.path for r in course.requests) == sorted(paths)
    assert 0 < len(paths) < len(part_paths(build, "zept-setup-update")) - 2
    # 0.1.0's parts and the leftovers are gone; what is not a part stays.
    for name in foreign:
        os.remove(os.path.join(p["downloads"], name))
    assert installation_problems(build, profile, "zept-setup-update") == []
    assert "course/lesson-02.txt" not in tree(p["app"]) and "course/lesson-03.txt" in tree(p["app"])

    # Run again: nothing to download. Then the setup of 0.1.0, still in the
    # learner's Downloads folder: the newer release stays and opens.
    for variant in ("zept-setup-update", "zept-setup-test"):
        course.requests.clear()
        forget_launch(profile)
        remove_shortcuts(build)
        run = run_setup(build, profile, variant)
        assert run.text == crlf(OPENED), variant
        assert run.rc == 0
        assert course.requests == []
        assert installation_problems(build, profile, "zept-setup-update") == []
    # Asked to repair, the older setup cannot check the newer release: it
    # says so, opens the course, and does not report success.
    forget_launch(profile)
    run = run_windows(build, setup_argv(build, profile) + ["--repair"])
    assert run.text == crlf(BANNER + "A newer release of Tarnwick is installed; run its own setup with --repair to "
                            "check it.\n" + CLOSING + PROMPT)
    assert run.rc == 1
    assert installation_problems(build, profile, "zept-setup-update") == []


def test_a_new_runtime_replaces_the_runtime_folder_exactly(build, installed, course):
    run = run_setup(build, installed, "zept-setup-runtime")
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n" + update_text(build)[len(BANNER):])
    assert run.rc == 0
    assert sorted(r.path for r in course.requests) == sorted([RELEASES["zept-setup-runtime"][0]] + new_parts(build)[1])
    assert installation_problems(build, installed, "zept-setup-runtime") == []
    assert "python312._pth" not in os.listdir(layout(installed)["python"])


@pytest.mark.parametrize("held", ["course open", "folder held"])
def test_nothing_changes_while_the_course_is_in_use(build, installed, course, work, held):
    p = layout(installed)
    before = snapshot(build, installed)
    if held == "course open":
        # The installed runtime runs the course, its working folder in app.
        end = stay_running(build, p["pythonw"], work, cwd=p["app"])
        message, code = "Tarnwick is still open. Close it and run the setup again.\n", EXIT["in use"]
    else:
        # Another program (a console the learner opened there) has app as its
        # current folder: the folder cannot be renamed, the swap is undone.
        holder = os.path.join(work, "holder", "holder.exe")
        os.makedirs(os.path.dirname(holder))
        shutil.copyfile(winepfx.tool(build, "pythonw-standin"), holder)
        end = stay_running(build, holder, work, cwd=p["app"])
        message, code = ("Tarnwick was left as it was because some of its files are in use; "
                         "restart your PC and run the setup again.\n"), EXIT["restart"]
    try:
        run = run_setup(build, installed, "zept-setup-update")
        assert run.text.endswith(crlf(message + PROMPT))
        assert run.rc == code
        after = snapshot(build, installed)
        if held == "folder held":
            # The new release was downloaded and extracted beside the old
            # one, which stayed exactly as it was.
            def installed_part(files):
                return {k: v for k, v in files.items() if not k.startswith(("downloads/", "python-new/", "app-new/"))}
            after, before = installed_part(after), installed_part(before)
        assert after == before
    finally:
        end()
    forget_launch(installed)
    run = run_setup(build, installed, "zept-setup-update")
    assert run.rc == 0, run.text
    assert installation_problems(build, installed, "zept-setup-update") == []


def test_an_undo_that_is_refused_too_says_the_next_run_completes_it(build, installed, course, work):
    p = layout(installed)
    holder = os.path.join(work, "holder", "holder.exe")
    os.makedirs(os.path.dirname(holder))
    shutil.copyfile(winepfx.tool(build, "pythonw-standin"), holder)
    end = stay_running(build, holder, work, cwd=p["app"])

    # The new runtime is swapped in, then app is held; while the swap waits
    # for it, a folder takes the name python-new, so that the runtime's swap
    # cannot be undone either.
    def take_python_new():
        seen, deadline = False, time.monotonic() + 120
        while time.monotonic() < deadline:
            if os.path.exists(p["python_new"]):
                seen = True
            elif seen:
                os.mkdir(p["python_new"])
                return
            time.sleep(0.002)
    taker = threading.Thread(target=take_python_new)
    taker.start()
    try:
        run = run_setup(build, installed, "zept-setup-update")
    finally:
        taker.join()
        end()
    assert run.text.endswith(crlf("Some files of Tarnwick are in use and the installation is incomplete; restart "
                                  "your PC and run the setup again to complete it.\n" + PROMPT))
    assert run.rc == EXIT["restart"]
    assert not os.path.exists(p["marker"])
    forget_launch(installed)
    run = run_setup(build, installed, "zept-setup-update")
    assert run.rc == 0, run.text
    assert installation_problems(build, installed, "zept-setup-update") == []


def test_a_link_in_the_old_course_is_removed_as_a_link(build, installed, course, work):
    outside = os.path.join(work, "learner documents")
    files = {"notes/week 1.txt": b"my notes\r\n", "essay.txt": b"an essay\r\n"}
    write_tree(outside, files)
    os.symlink(outside, os.path.join(layout(installed)["app"], "my documents"))
    run = run_setup(build, installed, "zept-setup-update")
    assert run.text == crlf(update_text(build))
    assert run.rc == 0
    assert tree(outside) == files
    assert "my documents" not in os.listdir(layout(installed)["app"])


REPAIRING = "Repairing Tarnwick ...\n"
STILL_OPEN = "Tarnwick is still open. Close it and run the setup again.\n"


@pytest.mark.parametrize("damaged,part_too,tree_redone", [
    ("python/python312.dll", False, "runtime"),  # what a quarantine does
    ("app/course/lesson-01.txt", False, "course"),
    ("app/course/media/map.bin", False, "course"),  # cut to half its size
    ("app/course/lesson-02.txt", True, "course"),
], ids=["dll deleted", "lesson deleted, course open", "file cut short", "part deleted too"])
def test_a_damaged_installation_is_repaired_from_the_stored_archives(build, installed, course, work, damaged,
                                                                      part_too, tree_redone):
    p = layout(installed)
    path = os.path.join(installed, "Programs", "ZEPT", *damaged.split("/"))
    if damaged.endswith(".bin"):
        os.truncate(path, os.path.getsize(path) // 2)
    else:
        os.remove(path)
    names = part_names(build)
    if part_too:
        # Not the last part, which holds the package's directory: fetched alone.
        os.remove(os.path.join(p["downloads"], names[0]))
    if damaged.endswith("lesson-01.txt"):
        # Found while the course is open: nothing changes until it is closed.
        before = snapshot(build, installed)
        end = stay_running(build, p["pythonw"], work, cwd=p["app"])
        try:
            run = run_setup(build, installed)
            assert run.text == crlf(BANNER + REPAIRING + STILL_OPEN + PROMPT)
            assert run.rc == EXIT["in use"]
            assert snapshot(build, installed) == before
        finally:
            end()
    run = run_setup(build, installed)
    assert run.text == crlf(BANNER + REPAIRING + ("Extracting Python runtime ...\n" if tree_redone == "runtime" else "")
                            + (part_lines(len(names), [1]) if part_too else "")
                            + ("Extracting the course ...\n" if tree_redone == "course" else "") + CLOSING + PROMPT)
    assert run.rc == 0
    assert installation_problems(build, installed) == []
    assert [r.path for r in course.requests] == part_paths(build)[:1 if part_too else 0]


def test_a_leftover_that_cannot_be_cleared_is_never_swapped_in(build, installed, course, work):
    p = layout(installed)
    runtime = tree(p["python"], skip=("launch-record.txt",))
    # A killed run's python-new, held by what it left running (its tar, a
    # scanner): here a program whose current folder it is.
    write_tree(p["python_new"], {"pythonw.exe": b"half a runtime", "python312.dll": b""})
    os.remove(os.path.join(p["app"], "course", "lesson-01.txt"))  # damage to the course alone
    holder = os.path.join(work, "holder", "holder.exe")
    os.makedirs(os.path.dirname(holder))
    shutil.copyfile(winepfx.tool(build, "pythonw-standin"), holder)
    end = stay_running(build, holder, work, cwd=p["python_new"])
    released = threading.Event()

    # What holds it lets go while the course is being extracted (a tar
    # that ends): by the swap, python-new could be moved, and must not be.
    def release_during_extraction():
        deadline = time.monotonic() + 120
        while not released.is_set() and time.monotonic() < deadline:
            if os.path.exists(p["app_new"]):
                released.set()
                end()
                return
            time.sleep(0.002)
    watcher = threading.Thread(target=release_during_extraction)
    watcher.start()
    try:
        run = run_windows(build, setup_argv(build, installed) + ["--log", winepfx.windows_path(
            os.path.join(work, "setup.log"))])
        assert run.text == crlf(BANNER + REPAIRING + "Tarnwick was left as it was because some of its files are in "
                                "use; restart your PC and run the setup again.\n" + PROMPT)
        assert run.rc == EXIT["restart"]
        assert tree(p["python"], skip=("launch-record.txt",)) == runtime
        assert os.path.exists(p["marker"])
        with open(os.path.join(work, "setup.log"), encoding="utf-8") as f:
            assert "python-new, left by an earlier run, cannot be moved aside (error " in f.read()
    finally:
        if not released.is_set():
            released.set()
            end()
        watcher.join()
    run = run_setup(build, installed)
    assert run.text == crlf(BANNER + REPAIRING + "Extracting the course ...\n" + CLOSING + PROMPT)
    assert run.rc == 0
    assert installation_problems(build, installed) == []
    assert tree(p["python"], skip=("launch-record.txt",)) == runtime


def test_repair_compares_the_content_that_a_plain_run_takes_on_trust(build, installed, course):
    p = layout(installed)
    lesson = os.path.join(p["app"], "course", "lesson-01.txt")
    with open(lesson, "r+b") as f:
        f.write(b"Power cut.")  # same size, other bytes
    # Files the archives do not name are not the course's: never damage.
    write_tree(p["app"], {"__pycache__/launcher.cpython-312.pyc": b"cache", "notes.txt": b"my notes"})
    run = run_setup(build, installed)
    assert (run.text, run.rc) == (crlf(OPENED), 0)
    with open(lesson, "rb") as f:
        assert f.read(10) == b"Power cut."

    # Settings' "Modify": the installed copy with --repair, here for IT as well.
    assert uninstall_entry(build)["ModifyPath"] == '"%s" --repair' % winepfx.windows_path(p["copy"])
    forget_launch(installed)
    run = run_windows(build, setup_argv(build, installed, exe=p["copy"]) + ["--repair", "--quiet"])
    assert run.text == crlf(BANNER + REPAIRING + "Extracting the course ...\n\nInstalled.\n"
                            "Look for \"Tarnwick\" on your desktop and in the\nStart menu to open it.\n")
    assert run.rc == 0
    assert installation_problems(build, installed, started=False) == []
    run = run_windows(build, setup_argv(build, installed) + ["--repair"])
    assert (run.text, run.rc) == (crlf(BANNER + "Every file of Tarnwick is in place.\n" + CLOSING + PROMPT), 0)
    assert course.requests == []
