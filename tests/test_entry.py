"""Entry of the setup: dispatch on the first argument, the banner, the local
application folder and the closing pause."""
import os

import pytest

from conftest import BANNER, PROMPT, DEFAULT_PINS, crlf, exe, run_with_env, selftest_report

NO_FOLDER = "Could not find your local application folder.\n"


@pytest.mark.parametrize("args", [["--SELFTEST"], ["--selftestx"], ["setup", "--selftest"], ["-selftest"],
                                  ["--Uninstall"], ["--uninstallx"], ["setup", "--uninstall"]])
def test_only_an_exact_first_argument_enters_a_mode(build, args):
    # With no local application folder the setup stops right after the banner.
    run = run_with_env(build, exe(build), args, unset=["LOCALAPPDATA"])
    assert run.rc == 1
    assert run.text == crlf(BANNER + NO_FOLDER + PROMPT), run.err


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
