"""Entry of the setup: the options, the refusals before anything is touched,
the banner, the local application folder and the closing pause."""
import hashlib
import os
import re

import pytest

import winepfx
from conftest import BANNER, PROMPT, DEFAULT_PINS, crlf, exe, run_with_env, selftest_report, windows_path
from installation import EXIT

NO_FOLDER = "Could not find your local application folder.\n"


def temp_env(folder):
    """The environment of a run whose temporary folder is folder."""
    return {"TEMP": windows_path(folder), "TMP": windows_path(folder)}


USAGE = ". Usage: zept-setup.exe [--quiet] [--log FILE] [--repair | --uninstall | --layout FOLDER]\n"


@pytest.mark.parametrize("args, line", [
    (["--SELFTEST"], "Unknown option: --SELFTEST"),
    (["setup", "--selftest"], "Unknown option: setup"),
    (["--Uninstall"], "Unknown option: --Uninstall"),
    (["--quiet", "--quite"], "Unknown option: --quite"),
    (["/quiet", "--QUIET"], "Unknown option: --QUIET"),
    (["--quiet", "/QUIET"], "/QUIET is given twice"),
    (["--layout"], "--layout needs a folder"),
    (["--layout", "", "--quiet"], "--layout needs a folder"),
    (["--quiet", "--log"], "--log needs a file name"),
    # A value is never another option: the forgotten name would take it.
    (["--log", "--quiet"], "--log needs a file name"),
    (["--log", "/quiet"], "--log needs a file name"),
    (["--log", "--repair"], "--log needs a file name"),
    (["--layout", "--quiet"], "--layout needs a folder"),
    (["--uninstall", "--layout", "D:\\copy"], "--layout cannot be combined with another mode"),
    (["--after", "12x"], "Unknown option: --after 12x"),
])
def test_a_command_not_understood_touches_nothing(build, work, course, args, line):
    # A profile and a temporary folder of its own: neither gets a file, the
    # host no request.
    profile, temp = os.path.join(work, "profile"), os.path.join(work, "temp")
    os.makedirs(profile)
    os.makedirs(temp)
    run = run_with_env(build, exe(build, "zept-setup-test"), args, stdin=b"",
                       set_env={"LOCALAPPDATA": windows_path(profile), **temp_env(temp)})
    assert (run.rc, run.text) == (EXIT["option"], crlf(line + USAGE))
    assert os.listdir(profile) == [] and os.listdir(temp) == [] and course.requests == []


def test_refusals_before_anything_is_installed(build, work, course):
    profile, temp = os.path.join(work, "profile"), os.path.join(work, "temp")
    os.makedirs(profile)
    os.makedirs(temp)
    # A log file in a folder that does not exist.
    missing = windows_path(os.path.join(work, "no such folder", "setup.log"))
    run = run_with_env(build, exe(build, "zept-setup-test"), ["--quiet", "--log", missing], stdin=b"",
                       set_env={"LOCALAPPDATA": windows_path(profile), **temp_env(temp)})
    assert (run.rc, run.text) == (EXIT["log file"], crlf(
        "Could not create the log file; name one in a folder that exists (--log FILE).\n"))
    assert os.listdir(profile) == [] and os.listdir(temp) == [] and course.requests == []
    # The profile an endpoint tool's "System" context has: the refusal, in
    # its log too, and nothing made in that profile.
    system_profile = "C:\\windows\\system32\\config\\systemprofile\\AppData\\Local"
    refusal = ("Tarnwick is installed for one user and cannot be set up by the system account; run the setup as "
               "the learner (in the user's context).\n")
    run = run_with_env(build, exe(build, "zept-setup-test"), ["--quiet"], stdin=b"",
                       set_env={"LOCALAPPDATA": system_profile, **temp_env(temp)})
    assert (run.rc, run.text) == (EXIT["service account"], crlf(refusal))
    assert not os.path.exists(os.path.join(winepfx.system32(build), "config", "systemprofile", "AppData", "Local",
                                           "Programs"))
    [log] = os.listdir(temp)
    with open(os.path.join(temp, log), encoding="utf-8") as f:
        assert re.search(r"(?m)^ +\d+\.\d{3} > " + re.escape(refusal.rstrip("\n")) + "$", f.read())
    assert course.requests == []


def test_the_removal_mode_has_its_own_banner(build):
    run = run_with_env(build, exe(build), ["--uninstall"], unset=["LOCALAPPDATA"])
    assert run.rc == 1
    assert run.text == crlf("Tarnwick - Olvenmark, Title 1 - Removal\n" + "=" * 60 + "\n\n" + NO_FOLDER + PROMPT)


def test_arguments_after_selftest_are_ignored(build):
    run = run_with_env(build, exe(build), ["--selftest", "--verbose", "x"])
    assert run.rc == 0
    assert run.text == crlf(selftest_report(DEFAULT_PINS["python"], DEFAULT_PINS["payload"]))


@pytest.mark.parametrize("how", ["unset", "empty", "too long"])
def test_local_application_folder_missing(build, work, how):
    if how == "unset":
        run = run_with_env(build, exe(build), unset=["LOCALAPPDATA"])
    elif how == "empty":
        run = run_with_env(build, exe(build), set_env={"LOCALAPPDATA": ""})
    else:
        # 260 characters do not fit the buffer with its terminator.
        run = run_with_env(build, exe(build), set_env={"LOCALAPPDATA": "C:\\" + "a" * 257})
    assert run.rc == 1
    # Redirected output ends in an empty line, the prompt and a newline.
    assert run.out == crlf(BANNER + NO_FOLDER + PROMPT).encode("ascii")


def test_end_of_input_does_not_hold_the_program(build):
    # A program that waited for more input would run into the time-out,
    # which fails the test.
    run = run_with_env(build, exe(build), unset=["LOCALAPPDATA"], stdin=b"", timeout=60)
    assert run.rc == 1
    assert run.text.endswith(crlf(PROMPT))


def test_typed_characters_before_enter_change_nothing(build):
    run = run_with_env(build, exe(build), unset=["LOCALAPPDATA"], stdin=b"quit now\nmore\n")
    assert run.rc == 1
    assert run.text == crlf(BANNER + NO_FOLDER + PROMPT)


def test_layout_is_made_below_the_local_application_folder(build, work):
    # The test build downloads from a loopback port where nothing listens:
    # the layout and the downloads folder exist, then the download fails.
    profile = os.path.join(work, "Local App Data")
    os.makedirs(profile)
    run = run_with_env(build, exe(build, "zept-setup-test"),
                       set_env={"LOCALAPPDATA": "Z:" + profile.replace("/", "\\")})
    assert run.rc == 1
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n"
                            "The Python download failed. Check your connection and run the setup again.\n"
                            + PROMPT)
    root = os.path.join(profile, "Programs", "ZEPT")
    assert sorted(os.listdir(root)) == ["downloads"]
    assert os.listdir(os.path.join(root, "downloads")) == []


def test_every_run_leaves_a_dated_log_and_the_newest_ten_stay(build, work):
    temp = os.path.join(work, "temp")
    os.makedirs(temp)
    # Twelve logs of earlier runs, oldest first, and files that only look alike.
    old = ["Tarnwick setup 2026-01-%02d 10.00.00.log" % day for day in range(1, 13)]
    others = ["Tarnwick setup notes.txt", "Tarnwick setup.log", "Other setup 2026-01-01 10.00.00.log"]
    for age, name in enumerate(reversed(old + others)):
        with open(os.path.join(temp, name), "w") as f:
            f.write("earlier\n")
        os.utime(os.path.join(temp, name), (1767261600 - 3600 * age,) * 2)
    # The oldest cannot be deleted (read-only): the pruning passes over it.
    os.chmod(os.path.join(temp, old[0]), 0o444)
    run = run_with_env(build, exe(build), ["/quiet"], stdin=b"", unset=["LOCALAPPDATA"],
                       set_env=temp_env(temp))
    assert (run.rc, run.text) == (1, crlf(BANNER + NO_FOLDER))
    [new] = [name for name in os.listdir(temp) if name not in old + others]
    assert re.fullmatch(r"Tarnwick setup \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.log", new)
    assert sorted(os.listdir(temp)) == sorted(old[:1] + old[4:] + others + [new])
    with open(os.path.join(temp, new), "rb") as f:
        text = f.read().decode("utf-8")
    with open(exe(build), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    entries = [re.sub(r"^ +\d+\.\d{3} ", "", line) for line in text.split("\r\n")[:-1]]
    assert entries[0].startswith("  Tarnwick setup for course release 0.1.0, run on ")
    assert entries[1:4] == ["  program %s, SHA-256 %s" % (windows_path(exe(build)), digest),
                            entries[2], '  command line: %s /quiet' % windows_path(exe(build))]
    assert re.fullmatch(r"  Windows \d+\.\d+ build \d+", entries[2])
    assert entries[4:] == ["> " + line for line in (BANNER + NO_FOLDER).split("\n") if line] + ["  exit code 1"]
