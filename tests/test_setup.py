"""The whole setup against the loopback course server: exact transcripts,
exit codes, files on disk, shortcuts read back through the shell, and the
started course. Runs the test build, pinned to the artefacts of the build."""
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time

import pytest

import winepfx
from conftest import BANNER, CLOSING, PROMPT, crlf, run_windows, windows_path
from installation import (EXIT, PACKAGE_FAILED, PYTHON_PATH, artefact, beside_parts, course_started, part_lines, part_names, part_paths,
                          forget_launch, forget_tar_record, installation_problems,
                          launch_record, layout, read_shortcut, remove_shortcuts, setup_argv,
                          partial_name, sha256_of as sha256, shortcut_paths, tar_record, tree, uninstall_entry,
                          windows_processes, write_tree)
from testserver import Route

def sha256_bytes(data):
    return hashlib.sha256(data).hexdigest()


def first_install(build):
    """The whole transcript of a first install of the test build."""
    return (BANNER + "Downloading Python runtime ...\n" + "Extracting Python runtime ...\n"
            + part_lines(len(part_names(build))) + "Extracting the course ...\n" + CLOSING + PROMPT)


@pytest.fixture(autouse=True)
def no_shortcuts(build):
    remove_shortcuts(build)


@pytest.fixture
def profile(work):
    """A local application folder with spaces in its path."""
    path = os.path.join(work, "Local App Data")
    os.makedirs(path)
    return path


def run_setup(build, profile, variant="zept-setup-test", merge=False):
    return run_windows(build, setup_argv(build, profile, variant), merge=merge)


def assert_installed(build, profile):
    assert installation_problems(build, profile) == []


def test_first_install_then_a_run_without_network(build, profile, course):
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)
    # Side by side, so in no fixed order; each file once.
    assert sorted(r.path for r in course.requests) == sorted([PYTHON_PATH] + part_paths(build))
    # Each a plain GET: the stack's own headers and the setup's agent.
    assert [sorted(r.headers) for r in course.requests] == [
        [("Connection", "Keep-Alive"), ("Host", "localhost:%d" % course.server_address[1]),
         ("User-Agent", "ZEPT-Setup/0.1")]] * len(course.requests)
    assert sorted(os.listdir(layout(profile)["root"])) == ["app", "downloads", "install-complete.txt", "python",
                                                          "zept-setup.exe"]

    # Second run: the server is gone, the shortcuts are damaged.
    course.shutdown()
    course.server_close()
    for path in shortcut_paths(build):
        with open(path, "wb") as f:
            f.write(b"not a shortcut")
        assert read_shortcut(build, path) is None
    forget_launch(profile)
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + CLOSING + PROMPT)
    assert run.rc == 0
    assert_installed(build, profile)


@pytest.mark.parametrize("folder,relative", [
    # Outside code page 1252 (Windows' tar would get "Lukasz A ??"): tar runs
    # in the install root and is given the paths relative to it.
    ("\u0141ukasz \u0100 \u65e5\u672c", True),
    # Inside it, and plain ASCII: the command line names both paths in full.
    ("Jos\u00e9", False),
    ("Plain", False),
], ids=["outside-ansi", "inside-ansi", "ascii"])
def test_profile_names_and_the_ansi_code_page(build, work, course, folder, relative):
    profile = os.path.join(work, folder, "Local App Data")
    os.makedirs(profile)
    p = {k: windows_path(v) for k, v in layout(profile).items()}
    forget_tar_record(build)
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)
    if relative:
        assert tar_record(build) == [('tar.exe -xf "downloads\\python-embed.zip" -C "python-new"', p["root"]),
                                     ('tar.exe -xf "downloads\\zept-payload.zip" -C "app-new"', p["root"])]
    else:
        assert [command for command, _ in tar_record(build)] == [
            'tar.exe -xf "%s" -C "%s"' % (p["runtime"], p["python_new"]),
            'tar.exe -xf "%s" -C "%s"' % (p["package"], p["app_new"])]

    forget_launch(profile)
    remove_shortcuts(build)
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + CLOSING + PROMPT)
    assert run.rc == 0
    assert_installed(build, profile)
    assert len(tar_record(build)) == 2


def install(build, profile, course):
    run = run_setup(build, profile)
    assert run.rc == 0, run.text
    assert course_started(build, profile) is not None
    course.requests.clear()


def test_missing_launcher_reruns_both_stages_from_the_verified_archives(build, profile, course):
    install(build, profile, course)
    os.remove(layout(profile)["launcher"])
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + "Extracting the course ...\n"
                            + CLOSING + PROMPT)
    assert run.rc == 0
    assert course.requests == []
    assert_installed(build, profile)


def test_failed_extraction_leaves_the_installed_folders_alone(build, profile, course, system_tar):
    # Extraction goes into fresh folders: what a failed run leaves behind is
    # never mixed into the installed runtime.
    install(build, profile, course)
    p = layout(profile)
    os.remove(p["launcher"])
    before = tree(p["root"], skip=("launch-record.txt",))
    system_tar(winepfx.tool(build, "trust-ca"))  # a tar that fails
    run = run_setup(build, profile)
    assert run.rc == 1
    assert run.text.endswith(crlf(
        "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n" + PROMPT))
    assert tree(p["root"], skip=("launch-record.txt",)) == before


def test_a_capped_host_gets_the_files_side_by_side(build, profile, course):
    # Each connection capped, each answer a round trip late: the transfers
    # overlap, each on a connection of its own, and the transcript is that
    # of one file after the other.
    course.rate, course.delay = 200000, 0.08
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)
    asked = course.requests
    assert sorted(r.path for r in asked) == sorted([PYTHON_PATH] + part_paths(build))
    assert len({r.connection for r in asked}) > 1
    # In flight at once, from the host's record: never more than four.
    at_once = [sum(1 for other in asked if other.at <= r.at < other.done) for r in asked]
    assert max(at_once) > 1 and max(at_once) <= 4, at_once


def test_a_part_that_fails_while_others_arrive_keeps_theirs_for_the_next_run(build, profile, course):
    paths, names = part_paths(build), part_names(build)
    part1 = artefact(build, "parts/" + names[0])
    part2 = artefact(build, "parts/" + names[1])
    course.routes[paths[0]] = Route(body=bytes(len(part1)))  # its size, not its content
    course.routes[paths[1]].trickle = (4096, 0.05)          # still on its way when part 1 fails
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n" + "Extracting Python runtime ...\n"
                            + part_lines(len(paths), [1]) + "Course part 1 failed its checksum.\n"
                            + PACKAGE_FAILED + PROMPT)
    assert run.rc == 1
    p = layout(profile)
    partial = os.path.join(p["downloads"], partial_name(names[1], sha256_bytes(part2)))
    kept = os.path.getsize(partial)
    assert 0 < kept < len(part2)
    assert not os.path.exists(p["package"]) and names[0] not in os.listdir(p["downloads"])
    # The next run takes part 2 up where it stopped.
    course.routes[paths[0]] = Route(body=part1)
    course.routes[paths[1]].trickle = ()
    course.requests.clear()
    assert run_setup(build, profile).rc == 0
    assert_installed(build, profile)
    assert [(dict(r.headers).get("Range"), r.sent) for r in course.requests if r.path == paths[1]] == [
        ("bytes=%d-" % kept, len(part2) - kept)]


@pytest.mark.parametrize("route,message", [
    (Route(status=404, body=b"gone"),
     "The Python download failed. Check your connection and run the setup again.\n"),
    # What a captive portal sends: an HTML page with status 200.
    (Route(body=b"<html><body>Please log in</body></html>"),
     "The Python download failed its checksum and was removed. Run the setup again.\n"),
], ids=["not-found", "wrong-content"])
def test_runtime_download_fails_and_nothing_stays(build, profile, course, route, message):
    course.routes[PYTHON_PATH] = route
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n" + message + PROMPT)
    assert run.rc == 1
    # Nothing of the runtime; the parts fetched beside it stay for the next run.
    assert beside_parts(build, layout(profile)["downloads"]) == []


def test_a_full_disk_during_a_download_is_reported_as_one(build, work, course):
    # A profile on a small disk of its own: the runtime archive does not fit.
    disk = tempfile.mkdtemp(prefix="zept-full-")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48k", "tmpfs", disk], capture_output=True).returncode:
        os.rmdir(disk)
        pytest.skip("no tmpfs can be mounted here")
    try:
        profile = os.path.join(disk, "profile")
        os.makedirs(profile)
        run = run_setup(build, profile)
        assert run.text == crlf(BANNER + "Downloading Python runtime ...\n"
                                "The Python download failed. Check your connection and run the setup again.\n"
                                + PROMPT)
        assert run.rc == EXIT["disk full"]
    finally:
        subprocess.run(["umount", disk], check=True)
        os.rmdir(disk)


def test_verified_archives_and_parts_are_reused_and_a_wrong_one_replaced(build, profile, course):
    p = layout(profile)
    os.makedirs(p["downloads"])
    with open(p["runtime"], "wb") as f:
        f.write(b"an older, different archive")
    assert run_setup(build, profile).rc == 0
    assert PYTHON_PATH in [r.path for r in course.requests]
    assert sha256(p["runtime"]) == hashlib.sha256(artefact(build, "python-embed.zip")).hexdigest()

    # Installation incomplete again, archive and parts verified (the
    # package did not stay): built again from the parts, with no download
    # and no line for a part.
    os.remove(p["marker"])
    shutil.rmtree(p["python"])
    assert not os.path.exists(p["package"])
    course.requests.clear()
    run = run_setup(build, profile)
    assert run.rc == 0
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\nExtracting the course ...\n" + CLOSING + PROMPT)
    assert course.requests == []


def test_tar_that_produces_no_pythonw(build, profile, course, system_tar):
    system_tar(winepfx.tool(build, "pythonw-standin"))  # exits 0, extracts nothing
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Downloading Python runtime ...\n" + "Extracting Python runtime ...\n"
                            "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n"
                            + PROMPT)
    assert run.rc == 1
    assert os.path.exists(layout(profile)["runtime"])


def test_progress_line_comes_before_what_tar_prints(build, profile, course, tar_plan):
    # tar fails with a message of its own; with both streams in one file,
    # the order must be the real one.
    tar_plan("fail", "python-embed.zip")
    run = run_setup(build, profile, merge=True)
    assert run.rc == 1
    out = run.out.decode("utf-8", "replace")
    progress = out.index("Extracting Python runtime ...\r\n")
    tar_message = out.index("tar.exe: planted failure")
    failure = out.index("Could not extract the Python runtime")
    assert progress < tar_message < failure


def test_stale_package_is_truncated_and_rebuilt(build, profile, course):
    p = layout(profile)
    os.makedirs(p["downloads"])
    with open(p["package"], "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024))  # longer than the real package
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)


def test_part_1_of_another_size_is_refused_before_its_body(build, profile, course):
    # A captive portal's page: its declared length is not the part's pinned size.
    paths = part_paths(build)
    course.routes[paths[0]] = Route(body=b"<html>captive portal</html>")
    run = run_setup(build, profile)
    assert run.text.endswith(crlf("Extracting Python runtime ...\n" + part_lines(len(paths), [1])
                                  + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    # Not one byte of its body stays; the transfers beside it keep theirs.
    assert beside_parts(build, layout(profile)["downloads"]) == ["python-embed.zip"]
    assert not [name for name in os.listdir(layout(profile)["downloads"]) if name.startswith(part_names(build)[0])]


def test_part_2_changed_behind_its_url_then_the_verified_part_1_is_reused(build, profile, course):
    # Cut at 90 %, and the rest comes from another file: the digest refuses
    # the mix, and nothing of it stays.
    paths, names = part_paths(build), part_names(build)
    part2 = artefact(build, "parts/" + names[1])
    cut = len(part2) * 9 // 10
    course.routes[paths[1]] = Route(body=part2, cut_at=cut, after_cut=part2[::-1])
    log = os.path.join(profile, "support", "setup.log")
    os.makedirs(os.path.dirname(log))
    run = run_windows(build, setup_argv(build, profile) + ["--log", windows_path(log)])
    assert run.text.endswith(crlf(part_lines(len(paths), [1, 2]) + "Course part 2 failed its checksum.\n"
                                  + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    # What support needs: the URL, each answer, the digest found and the pinned one.
    with open(log, "rb") as f:
        entries = [re.sub(r"^ +\d+\.\d{3} ", "", line) for line in f.read().decode("utf-8").split("\r\n")]
    url = "https://localhost:%d%s" % (course.server_address[1], paths[1])
    partial = windows_path(os.path.join(layout(profile)["downloads"], partial_name(names[1], sha256_bytes(part2))))
    # Each transfer's lines are marked, so they read apart from the others'.
    refused = "  refused %s: SHA-256 %s, pinned %s" % (partial, sha256_bytes(part2[:cut] + part2[::-1][cut:]),
                                                        sha256_bytes(part2))
    mine = [re.sub(r" in \d+ ms, \d+ KB/s$", "", e) for e in entries if e.startswith("  part 2: ") or e == refused]
    assert mine == [
        "  part 2: transfer started: " + url,
        "  part 2: GET " + url, "  part 2: HTTP 200, Content-Length: %d, Content-Range: none" % len(part2),
        "  part 2: broken off after %d bytes of body: the file holds %d (error 0)" % (cut, cut),
        "  part 2: GET %s  Range: bytes=%d-" % (url, cut),
        "  part 2: HTTP 206, Content-Length: %d, Content-Range: bytes %d-%d/%d" % (
            len(part2) - cut, cut, len(part2) - 1, len(part2)),
        "  part 2: complete after %d bytes of body: the file holds %d (error 0)" % (len(part2) - cut, len(part2)),
        refused, "  part 2: transfer ended (failed its pin): %d bytes" % len(part2)]
    assert [e for e in entries if e.startswith(">")][-2:] == ["> Course part 2 failed its checksum.",
                                                             "> " + PACKAGE_FAILED.rstrip("\n")]
    assert entries[-2:] == ["  exit code 1", ""]
    p = layout(profile)
    assert names[0] in os.listdir(p["downloads"])
    assert beside_parts(build, p["downloads"]) == ["python-embed.zip"]
    assert not os.path.exists(p["app"]) and not os.path.exists(p["marker"])
    # The next run asks only for the parts not verified yet (part 2, and
    # those whose transfers were stopped), and says nothing of the others.
    missing = [n for n in range(1, len(paths) + 1) if names[n - 1] not in os.listdir(p["downloads"])]
    assert 2 in missing
    course.routes[paths[1]] = Route(body=part2)
    course.requests.clear()
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + part_lines(len(paths), missing)
                            + "Extracting the course ...\n" + CLOSING + PROMPT)
    assert sorted(r.path for r in course.requests) == sorted(paths[n - 1] for n in missing)
    assert_installed(build, profile)


# The artefact (the runtime, or the course's largest part), how its host
# answers; a cut at 90 % of the body.
@pytest.mark.parametrize("which,options", [
    ("runtime", {}),
    ("part 2", {}),
    ("part 2", {"ranges": False}),
    ("part 2", {"outage": 6}),
], ids=["runtime", "part 2", "part 2, host ignores Range", "part 2, link gone for 6 s"])
def test_a_cut_download_resumes_in_the_same_run(build, profile, course, which, options):
    path = PYTHON_PATH if which == "runtime" else part_paths(build)[1]
    data = course.routes[path].body
    cut = len(data) * 9 // 10
    course.routes[path] = Route(body=data, cut_at=cut, **options)
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)
    asked = [r for r in course.requests if r.path == path]
    ranges = [dict(r.headers).get("Range") for r in asked]
    assert ranges == [None] + ["bytes=%d-" % cut] * (len(asked) - 1)
    if "ranges" in options:
        # Ignored: the whole file again, from its first byte.
        assert [r.sent for r in asked] == [cut, len(data)]
    elif "outage" in options:
        # Tries while the link was gone got no answer; the run waited
        # them out and fetched only the missing tail.
        assert len(asked) >= 3
        assert [r.sent for r in asked] == [cut] + [0] * (len(asked) - 2) + [len(data) - cut]
    else:
        # Only the missing tail is fetched again.
        assert [r.sent for r in asked] == [cut, len(data) - cut]


def test_a_host_that_restarts_every_answer_ends_the_run(build, profile, course):
    # It ignores Range and drops every answer halfway: no try gets further
    # than the first, and the run ends instead of fetching for ever.
    paths = part_paths(build)
    data = course.routes[paths[1]].body
    course.routes[paths[1]] = Route(body=data, ranges=False, drop_after=len(data) // 2)
    run = run_setup(build, profile)
    assert run.text.endswith(crlf(part_lines(len(paths), [2]) + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    asked = [r for r in course.requests if r.path == paths[1]]
    assert [r.sent for r in asked] == [len(data) // 2] * 7


def test_partial_files_are_resumed_only_for_their_own_pin(build, profile, course):
    p = layout(profile)
    runtime = artefact(build, "python-embed.zip")
    names = part_names(build)
    part1 = artefact(build, "parts/" + names[0])
    os.makedirs(p["downloads"])
    planted = {
        # The whole runtime under its own partial name: a run killed before
        # the rename. The host's 416 says it is whole.
        partial_name(p["runtime"], sha256_bytes(runtime)): runtime,
        # Bytes of other releases: another runtime, under an old name and
        # under another pin, and a part's under another pin.
        p["runtime"] + ".partial": runtime[:1000],
        partial_name(p["runtime"], "0" * 64): runtime[:1000],
        partial_name(os.path.join(p["downloads"], names[0]), "f" * 64): part1[:1000],
    }
    for path, data in planted.items():
        with open(path, "wb") as f:
            f.write(data)
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build))
    assert run.rc == 0
    assert_installed(build, profile)
    asked = {r.path: (dict(r.headers).get("Range"), r.sent) for r in course.requests}
    assert asked[PYTHON_PATH] == ("bytes=%d-" % len(runtime), 0)
    assert asked[part_paths(build)[0]] == (None, len(part1))
    assert sorted(os.listdir(p["downloads"])) == sorted(["python-embed.zip"] + names)


def test_every_file_is_on_disk_before_it_counts(build, profile, course, work):
    # FlushFileBuffers ends in an fsync (in the program or the wineserver,
    # as the Wine version has it) and MoveFileEx in a rename.
    rc, out, events = winepfx.run_traced(build, setup_argv(build, profile), os.path.join(work, "trace"),
                                         ["openat", "fsync", "fdatasync", "rename", "renameat", "renameat2"])
    assert out.decode("ascii") == crlf(first_install(build))
    assert rc == 0
    assert_installed(build, profile)
    p = {key: os.path.realpath(path) for key, path in layout(profile).items()}
    flushed = {}
    for call in events:
        if call.name in ("fsync", "fdatasync"):
            flushed.setdefault(call.paths[0], call.at)
    marker = min(call.at for call in events if call.name == "openat" and p["marker"] in call.paths
                 and "O_CREAT" in call.text)
    # The marker itself, and before it every file that it vouches for.
    assert flushed.get(p["marker"], 0) > marker
    for folder, new in (("python", "python_new"), ("app", "app_new")):
        files = tree(p[folder], skip=("launch-record.txt",))
        late = [name for name in files if not flushed.get(os.path.join(p[new], name), marker) < marker]
        assert late == [], folder
    # Each file renamed to its final name was flushed under its own.
    renamed = {call.paths[-1]: (call.at, call.paths[0]) for call in events if call.name.startswith("rename")}
    finals = [target for target in renamed if os.path.isfile(target)]
    assert sorted(finals) == sorted([p["runtime"], p["copy"]]
                                    + [os.path.join(p["downloads"], name) for name in part_names(build)])
    late = [target for target, (at, source) in renamed.items() if target in finals and not flushed.get(source, at) < at]
    assert late == []


def test_a_part_answered_with_many_times_its_size_is_refused_early(build, profile, course):
    paths, names = part_paths(build), part_names(build)
    part2 = artefact(build, "parts/" + names[1])
    # A host that streams a log or an error page without end.
    course.routes[paths[1]] = Route(body=part2 * 30, chunked=True, trickle=(16384, 0.002))
    run = run_setup(build, profile)
    assert run.text.endswith(crlf(part_lines(len(paths), [2]) + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    # Far below the call's budget (ten times the size): what the host got
    # into the socket's buffers before the setup let go of the connection.
    assert [r.sent < 5 * len(part2) for r in course.requests if r.path == paths[1]] == [True]
    assert names[0] in os.listdir(layout(profile)["downloads"])
    assert beside_parts(build, layout(profile)["downloads"]) == ["python-embed.zip"]


def test_part_1_download_fails(build, profile, course):
    paths = part_paths(build)
    course.routes[paths[0]] = Route(status=404)
    run = run_setup(build, profile)
    assert run.text.endswith(crlf(part_lines(len(paths), [1]) + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    assert beside_parts(build, layout(profile)["downloads"]) == ["python-embed.zip"]


def test_parts_verify_but_the_package_does_not(build, profile, course):
    # This build pins a package digest that the joined parts never have.
    names = part_names(build)
    run = run_setup(build, profile, variant="zept-setup-badpkg")
    assert run.text.endswith(crlf(part_lines(len(names), [len(names)]) + PACKAGE_FAILED + PROMPT))
    assert run.rc == 1
    assert sorted(os.listdir(layout(profile)["downloads"])) == sorted(["python-embed.zip"] + names)


@pytest.mark.parametrize("broken", ["fail", "skip"], ids=["tar fails", "tar leaves no launcher"])
def test_failed_course_extraction_writes_no_marker_and_is_redone(build, profile, course, tar_plan, broken):
    p = layout(profile)
    if broken == "skip":
        install(build, profile, course)
        os.remove(p["launcher"])
    tar_plan(broken, "zept-payload.zip")
    run = run_setup(build, profile)
    assert run.text.endswith(crlf("Extracting the course ...\n" + "Could not extract the course package.\n"
                                  + PROMPT))
    assert run.rc == 1
    # A failed run writes no marker; an earlier installation's stays, and
    # without its launcher it vouches for nothing.
    assert os.path.exists(p["marker"]) == (broken == "skip")
    assert os.path.exists(p["package"])
    # The next run, with a working tar, extracts again from the verified
    # package: no download.
    tar_plan("skip", "nothing of this")
    course.requests.clear()
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + "Extracting the course ...\n"
                            + CLOSING + PROMPT)
    assert run.rc == 0
    assert course.requests == []
    assert_installed(build, profile)


def test_marker_that_cannot_be_written_fails_the_run_and_the_next_run_completes(build, profile, course):
    p = layout(profile)
    os.makedirs(p["marker"])  # a folder where the marker file belongs
    run = run_setup(build, profile)
    assert run.text == crlf(first_install(build)[:first_install(build).index(CLOSING)] + "Could not finish the installation "
                            "(the disk may be full); free some space and run the setup again.\n" + PROMPT)
    # Not a full disk: winget would tell IT so for 112.
    assert run.rc == 1
    assert not any(os.path.exists(path) for path in shortcut_paths(build))
    # Once the marker can be written, the verified archives complete it.
    os.rmdir(p["marker"])
    course.requests.clear()
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + "Extracting Python runtime ...\n" + "Extracting the course ...\n"
                            + CLOSING + PROMPT)
    assert course.requests == []
    assert_installed(build, profile)


def test_a_complete_installation_clears_what_an_interrupted_run_left(build, profile, course):
    install(build, profile, course)
    p = layout(profile)
    for folder in ("python-new", "app-new", "discarded/1", "discarded/2/course"):
        write_tree(os.path.join(p["root"], folder), {"left.txt": b"left by a killed run"})
    run = run_setup(build, profile)
    assert run.text == crlf(BANNER + CLOSING + PROMPT)
    assert_installed(build, profile)  # nothing beside the installation


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
        assert launch_record(layout(profile)["launch_record"]) is not None
        for folder in moved:
            assert not os.path.exists(folder)
            assert "Tarnwick.lnk" not in os.listdir(folder + ".away")
    finally:
        for folder in moved:
            if os.path.exists(folder):
                shutil.rmtree(folder)
            os.rename(folder + ".away", folder)


def test_a_counter_moves_on_a_console_and_leaves_no_trace(build, profile, course, work):
    # A real terminal: the setup under Wine in a tmux pane, over a slow
    # server whose link is gone for a few seconds halfway through.
    for route in course.routes.values():
        route.trickle = (4096, 0.02)
    sizes = [len(artefact(build, "python-embed.zip"))] + [len(artefact(build, "parts/" + name))
                                                         for name in part_names(build)]
    course.lose_link = (sum(sizes) // 2, 6)
    session = "zept-%d" % os.getpid()
    command = winepfx.shell_command(build, setup_argv(build, profile), os.path.join(work, "stderr"))
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "100", "-y", "40", command], check=True)
    counters, pane = set(), ""
    try:
        deadline = time.monotonic() + 120
        while PROMPT.strip() not in pane and time.monotonic() < deadline:
            pane = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True,
                                  text=True).stdout
            counters |= {line.rstrip() for line in pane.splitlines() if line.startswith("  ")}
            time.sleep(0.05)
        title = subprocess.run(["tmux", "display-message", "-p", "-t", session, "#{pane_title}"],
                               capture_output=True, text=True).stdout
    finally:
        subprocess.run(["tmux", "send-keys", "-t", session, "Enter"])
        time.sleep(1)
        subprocess.run(["tmux", "kill-session", "-t", session], stderr=subprocess.DEVNULL)
    # One counter for the whole install, not one file: the total is every
    # artefact's, and the speed follows once a second has passed.
    tenths = sum(sizes) * 10 // 1048576
    total = r"  \d+\.\d of %d\.%d MB \((\d|[1-9]\d|100) %%\)" % (tenths // 10, tenths % 10)
    speed = r", \d+(\.\d)? [KM]B/s(, about \d+ (s|min) left)?"
    assert any(re.fullmatch(total + speed, line) for line in counters), counters
    # Before every size is known (this build pins none): the bytes alone.
    assert all(re.fullmatch("(%s|  \\d+\\.\\d MB)(%s)?" % (total, speed), line) or
               re.fullmatch(r"  connection lost, trying again in [1-8] s", line) for line in counters), counters
    # Every transfer waits to try again: the link is gone.
    assert any(re.fullmatch(r"  connection lost, trying again in [1-4] s", line) for line in counters), counters
    # Erased at the end: the pane shows the transcript.
    assert [line.rstrip() for line in pane.rstrip("\n").splitlines()] == first_install(build).rstrip("\n").splitlines()
    assert title == "Tarnwick - Olvenmark setup\n"
    assert_installed(build, profile)


def in_terminal(build, argv, work, name):
    """Runs argv in a real terminal (a tmux pane) where nobody types, and
    waits for it and for a removal's copy to end; returns (its exit code, or
    None when it did not end within two minutes, every title the pane had)."""
    session, done = "zept-%d-%s" % (os.getpid(), name), os.path.join(work, name + ".rc")
    # The pane stays open after the program, for the copy a removal goes on in.
    command = "%s; echo $? > %s; sleep 300" % (
        winepfx.shell_command(build, argv, os.path.join(work, name + ".err")), shlex.quote(done))
    subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "100", "-y", "40", command], check=True)
    titles, deadline = set(), time.monotonic() + 120
    try:
        while time.monotonic() < deadline and (not os.path.exists(done) or windows_processes(build, b"zept-removal")):
            titles.add(subprocess.run(["tmux", "display-message", "-p", "-t", session, "#{pane_title}"],
                                      capture_output=True, text=True).stdout)
            time.sleep(0.05)
    finally:
        subprocess.run(["tmux", "kill-session", "-t", session], stderr=subprocess.DEVNULL)
    if not os.path.exists(done):
        return None, titles
    with open(done) as f:
        return int(f.read()), titles


def test_quiet_install_and_removal_end_by_themselves_in_a_terminal(build, profile, course, work):
    # Nobody at the keyboard: no pause, no course started, the title alone.
    rc, titles = in_terminal(build, setup_argv(build, profile) + ["--quiet"], work, "install")
    assert rc == 0
    assert not any("Tarnwick" in title for title in titles), titles
    assert installation_problems(build, profile, started=False) == []
    # The entry's quiet removal, run as it stands (Windows' quoting: the
    # quoted program, then its options).
    quiet = uninstall_entry(build)["QuietUninstallString"]
    program, options = re.fullmatch(r'"([^"]+)" (.*)', quiet).groups()
    assert (program, options) == (windows_path(layout(profile)["copy"]), "--uninstall --quiet")
    rc, titles = in_terminal(build, setup_argv(build, profile, exe=layout(profile)["copy"]) + options.split(), work,
                             "removal")
    assert rc == 0
    assert not any("Tarnwick" in title for title in titles), titles
    assert uninstall_entry(build) is None and os.listdir(profile) == ["Programs"]
    assert os.listdir(os.path.join(profile, "Programs")) == []
    assert not any(os.path.exists(path) for path in shortcut_paths(build))


def test_a_second_setup_while_one_runs(build, profile, course, work):
    # The first one downloads slowly; the second finds the lock and stops.
    course.routes[PYTHON_PATH].trickle = (4096, 0.02)
    course.routes[part_paths(build)[1]].trickle = (4096, 0.05)
    first = winepfx.start(build, setup_argv(build, profile), os.path.join(work, "first"))
    runtime = layout(profile)["runtime"]
    deadline = time.monotonic() + 60
    while not os.path.exists(runtime) and time.monotonic() < deadline:
        time.sleep(0.05)
    second = run_setup(build, profile)
    assert second.text == crlf(BANNER + "The setup is already running in another window.\n" + PROMPT)
    assert second.rc == EXIT["locked"]
    assert winepfx.exit_code(first.wait(timeout=120), first.code_file) == 0
    assert winepfx.read_output(first).decode("ascii") == crlf(first_install(build))
    assert_installed(build, profile)
