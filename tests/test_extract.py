"""extract_tar() with the system folder's tar.exe (the bsdtar stand-in)."""
import io
import os
import shutil
import time
import zipfile

import pytest

import winepfx
from conftest import probe, run_windows, windows_path
from installation import stay_running


def make_zip(path, members):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)


MEMBERS = {"top.txt": b"top\n", "sub dir/inner.bin": bytes(range(256)) * 40}


def extracted(folder):
    found = {}
    for base, _, files in os.walk(folder):
        for name in files:
            full = os.path.join(base, name)
            with open(full, "rb") as f:
                found[os.path.relpath(full, folder).replace(os.sep, "/")] = f.read()
    return found


def test_zip_into_new_nested_folder_with_spaces(build, work):
    archive = os.path.join(work, "my archives", "course package.zip")
    os.makedirs(os.path.dirname(archive))
    make_zip(archive, MEMBERS)
    dest = os.path.join(work, "new folder", "deeper still", "app")
    run = probe(build, "extract", windows_path(archive), windows_path(dest))
    assert run.rc == 1
    assert extracted(dest) == MEMBERS


def test_extracting_twice_into_the_same_folder(build, work):
    archive = os.path.join(work, "a.zip")
    make_zip(archive, MEMBERS)
    dest = os.path.join(work, "out")
    os.makedirs(dest)
    with open(os.path.join(dest, "kept.txt"), "wb") as f:
        f.write(b"earlier content stays")
    assert probe(build, "extract", windows_path(archive), windows_path(dest)).rc == 1
    assert probe(build, "extract", windows_path(archive), windows_path(dest)).rc == 1
    assert extracted(dest) == dict(MEMBERS, **{"kept.txt": b"earlier content stays"})


def test_damaged_archive(build, work):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("top.txt", b"x" * 5000)
    archive = os.path.join(work, "damaged.zip")
    with open(archive, "wb") as f:
        f.write(buffer.getvalue()[: len(buffer.getvalue()) // 2])
    assert probe(build, "extract", windows_path(archive), windows_path(os.path.join(work, "out"))).rc == 0


def test_destination_that_cannot_be_created(build, work):
    archive = os.path.join(work, "a.zip")
    make_zip(archive, MEMBERS)
    blocker = os.path.join(work, "blocker")
    with open(blocker, "wb") as f:
        f.write(b"a file where a folder should be")
    assert probe(build, "extract", windows_path(archive), windows_path(os.path.join(blocker, "out"))).rc == 0


def test_any_nonzero_exit_of_tar_fails(build, work, system_tar):
    # trust-ca.exe stands in for a tar that rejects its arguments (exit 2).
    archive = os.path.join(work, "a.zip")
    make_zip(archive, MEMBERS)
    system_tar(winepfx.tool(build, "trust-ca"))
    assert probe(build, "extract", windows_path(archive), windows_path(os.path.join(work, "out"))).rc == 0


def test_a_tar_that_says_a_lot_leaves_its_last_lines_in_the_log(build, work, tar_plan):
    archive = os.path.join(work, "noisy.zip")
    make_zip(archive, MEMBERS)
    tar_plan("noisy", "noisy.zip")
    log = os.path.join(work, "extract.log")
    run = probe(build, "extract", "--log", windows_path(log), windows_path(archive), windows_path(os.path.join(work, "out")))
    assert run.rc == 0
    # All 400 lines (24 KiB) reach the program's own standard error.
    assert run.err.count(b"Can't create") == 400
    with open(log, encoding="utf-8") as f:
        lines = [line.split(" tar: ", 1)[1] for line in f.read().splitlines() if "Can't create" in line]
    # The last lines, whole, ending with the last one tar wrote.
    assert len(lines) > 10
    assert lines[-1] == "tar.exe: course/lesson-400.txt: Can't create 'course/lesson-400.txt' (400 of 400)"
    first = int(lines[0].rsplit("(", 1)[1].split(" ")[0])
    assert lines == ["tar.exe: course/lesson-%03d.txt: Can't create 'course/lesson-%03d.txt' (%d of 400)" % (n, n, n)
                     for n in range(first, 401)]


def test_no_tar_in_the_system_folder(build, work, system_tar):
    archive = os.path.join(work, "a.zip")
    make_zip(archive, MEMBERS)
    system_tar(None)
    started = time.monotonic()
    assert probe(build, "extract", windows_path(archive), windows_path(os.path.join(work, "out"))).rc == 0
    assert time.monotonic() - started < 30


@pytest.mark.parametrize("system_has_tar", [True, False], ids=["system-tar", "no-system-tar"])
def test_planted_tar_is_never_run(build, work, system_tar, system_has_tar):
    # A tar.exe beside the program and one in the current folder: both are
    # recording stand-ins that would leave launch-record.txt if started.
    program_dir = os.path.join(work, "Downloads")
    current_dir = os.path.join(work, "current")
    for folder in (program_dir, current_dir):
        os.makedirs(folder)
        shutil.copyfile(winepfx.tool(build, "pythonw-standin"), os.path.join(folder, "tar.exe"))
    shutil.copyfile(winepfx.tool(build, "zept-probe"), os.path.join(program_dir, "zept-probe.exe"))
    if not system_has_tar:
        system_tar(None)
    archive = os.path.join(work, "a.zip")
    make_zip(archive, MEMBERS)
    dest = os.path.join(work, "out")
    run = run_windows(build, [os.path.join(program_dir, "zept-probe.exe"), "extract", windows_path(archive),
                              windows_path(dest)], cwd=current_dir)
    assert run.rc == (1 if system_has_tar else 0)
    for folder in (program_dir, current_dir):
        assert not os.path.exists(os.path.join(folder, "launch-record.txt"))
    assert extracted(dest) == (MEMBERS if system_has_tar else {})


def test_command_line_too_long_starts_nothing(build, work, system_tar):
    # Two paths of 4095 characters do not fit the 8192-character command
    # line: nothing may start, not even with a truncated line.
    system_tar(winepfx.tool(build, "pythonw-standin"))
    archive = "C:\\" + "a" * 4092
    dest = "C:\\" + "d" * 4092
    assert probe(build, "extract", archive, dest).rc == 0
    assert not os.path.exists(os.path.join(winepfx.system32(build), "launch-record.txt"))


def test_a_file_in_use_is_left_out_as_windows_tar_does(build, work):
    # Windows' tar deletes each existing file before writing it; a running
    # program's image cannot be deleted: that entry is left out, the others
    # are written, and tar exits 1. The stand-in keeps that rule.
    runtime = os.path.join(build, "artefacts", "python-embed.zip")
    dest = os.path.join(work, "python")
    assert probe(build, "extract", windows_path(runtime), windows_path(dest)).rc == 1
    pythonw = os.path.join(dest, "pythonw.exe")
    with open(pythonw, "rb") as f:
        image = f.read()
    with open(os.path.join(dest, "python312._pth"), "wb") as f:
        f.write(b"changed")
    end = stay_running(build, pythonw, work)
    try:
        run = run_windows(build, [winepfx.tool(build, "zept-probe"), "extract", windows_path(runtime),
                                  windows_path(dest)], merge=True)
    finally:
        end()
    assert run.rc == 0
    assert b"pythonw.exe: Can't unlink already-existing object: Permission denied" in run.out
    with open(pythonw, "rb") as f:
        assert f.read() == image
    with open(os.path.join(dest, "python312._pth"), "rb") as f:
        assert f.read() == b"python312.zip\r\n.\r\n"
