"""The "--selftest" mode: its exact report, exit code and temporary file."""
import os

from conftest import DEFAULT_PINS, crlf, exe, run_with_env, selftest_report

COULD_NOT_HASH = ["FAIL sha256(%s): could not hash" % label for label in ("empty", "abc", "fox")]


def selftest(build, temp_dir, stdin=b""):
    return run_with_env(build, exe(build), ["--selftest"], stdin=stdin,
                        set_env={"TEMP": temp_dir, "TMP": temp_dir})


def win(path):
    return "Z:" + path.replace("/", "\\")


def test_passes_with_the_seven_lines_and_leaves_nothing(build, work):
    run = selftest(build, win(work))
    assert run.rc == 0
    assert run.text == crlf(selftest_report(DEFAULT_PINS["python"], DEFAULT_PINS["payload"]))
    assert os.listdir(work) == []


def test_does_not_wait_for_enter(build, work):
    # Input is waiting, but the mode must not read it: no prompt is printed.
    run = selftest(build, win(work), stdin=b"\n")
    assert run.rc == 0
    assert run.text == crlf(selftest_report(DEFAULT_PINS["python"], DEFAULT_PINS["payload"]))


def test_overwrites_and_removes_a_writable_leftover(build, work):
    leftover = os.path.join(work, "zept-selftest.tmp")
    with open(leftover, "wb") as f:
        f.write(b"left over by an earlier run, longer than any vector" * 100)
    run = selftest(build, win(work))
    assert run.rc == 0
    assert run.text.startswith(crlf("PASS sha256(empty)\nPASS sha256(abc)\nPASS sha256(fox)\n"))
    assert not os.path.exists(leftover)


def test_leftover_that_cannot_be_overwritten_stays_and_every_vector_fails(build, work):
    # A folder of that name: the file can never be created over it.
    leftover = os.path.join(work, "zept-selftest.tmp")
    os.makedirs(os.path.join(leftover, "inside"))
    run = selftest(build, win(work))
    assert run.rc == 1
    assert run.text == crlf(selftest_report(DEFAULT_PINS["python"], DEFAULT_PINS["payload"],
                                            lines=COULD_NOT_HASH, failures=3))
    assert os.listdir(leftover) == ["inside"]


def test_missing_temporary_folder(build, work):
    run = selftest(build, win(os.path.join(work, "does-not-exist")))
    assert run.rc == 1
    assert run.text == crlf(selftest_report(DEFAULT_PINS["python"], DEFAULT_PINS["payload"],
                                            lines=COULD_NOT_HASH, failures=3))


def test_temporary_folder_too_long_for_its_buffer(build, work):
    # 300 characters: the folder is reported by its needed size, never used.
    long_dir = os.path.join(work, "t" * (300 - len(win(work)) - 1))
    os.makedirs(long_dir)
    assert len(win(long_dir)) == 300
    run = selftest(build, win(long_dir))
    assert run.rc == 1
    assert run.text.splitlines()[:3] == COULD_NOT_HASH
    assert os.listdir(long_dir) == []
