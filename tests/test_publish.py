"""The publisher's side: packing a course folder (publish/pack.py), a build
pinned to the pack through ZEPT_COURSE_DIR, and check-release against what
the loopback server really serves."""
import hashlib
import os
import random
import re
import shlex
import shutil
import subprocess
import sys

import pytest
import yaml

import certs
from conftest import SOURCE, configure_and_build, crlf
from installation import (PYTHON_PATH, UNINSTALL_KEY, artefact, layout, pack_parts, setup_argv, tree,
                          uninstall_entry, write_tree)
from testserver import Route
import winepfx

PACK = os.path.join(SOURCE, "publish", "pack.py")
LAUNCHER = {"ZEPT-Launcher.pyw": b"import sys\r\n"}  # what every course folder holds


def pack(course, out, *options, env=None):
    return subprocess.run([sys.executable, PACK, course, out] + list(options), capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})))


def no_launcher(course):
    # A folder of that name is no launcher either.
    os.remove(os.path.join(course, "ZEPT-Launcher.pyw"))
    os.makedirs(os.path.join(course, "ZEPT-Launcher.pyw"))
    return ""


def bad_link(course):
    os.symlink("ZEPT-Launcher.pyw", os.path.join(course, "again.pyw"))
    return "again.pyw"


def bad_fifo(course):
    os.mkfifo(os.path.join(course, "pipe"))
    return "pipe"


@pytest.mark.parametrize("files,offender,complaint", [
    (None, "", "no such course folder"),
    (no_launcher, "", "no ZEPT-Launcher.pyw file at its top level"),
    (bad_link, "again.pyw", "a symbolic link"),
    (bad_fifo, "pipe", "not a regular file or folder"),
    ({"lessons/CON": b"x"}, "lessons/CON", "a device name"),
    ({"aux.txt": b"x"}, "aux.txt", "a device name"),
    ({"media/Lpt9.log": b"x"}, "media/Lpt9.log", "a device name"),
    ({"notes.": b"x"}, "notes.", "ending in a dot or a space"),
    ({"draft /a.txt": b"x"}, "draft ", "ending in a dot or a space"),
    ({"a:b.txt": b"x"}, "a:b.txt", "a character Windows does not allow"),
    ({"why?.txt": b"x"}, "why?.txt", "a character Windows does not allow"),
    ({"tab\there.txt": b"x"}, "tab\there.txt", "a character Windows does not allow"),
    ({"Map.txt": b"x", "map.txt": b"y"}, "map.txt", "differs from Map.txt only in case"),
], ids=["missing", "no-launcher", "symlink", "fifo", "con", "aux.txt", "lpt9.log", "trailing-dot",
        "trailing-space", "colon", "question-mark", "control", "case"])
def test_bad_course_folders_are_refused_before_anything_is_written(work, files, offender, complaint):
    course = os.path.join(work, "course")
    if files is not None:
        write_tree(course, dict(LAUNCHER, **({} if callable(files) else files)))
        if callable(files):
            files(course)
    out = os.path.join(work, "out")
    run = pack(course, out, "--pins", os.path.join(work, "pins.cmake"))
    assert run.returncode == 1
    path = os.path.join(course, *offender.split("/")) if offender else course
    assert run.stderr.startswith("pack: %s: " % path) and complaint in run.stderr, run.stderr
    assert len(run.stderr.splitlines()) == 1
    assert not os.path.exists(out) and not os.path.exists(os.path.join(work, "pins.cmake"))


def parts_of(work, course, out, *options):
    """Packs course into out; returns the part names in order (from the pins)."""
    pins = os.path.join(work, "pins.cmake")
    run = pack(course, out, "--pins", pins, *options)
    assert run.returncode == 0, run.stderr
    return [name for name, _ in pack_parts(pins)]


def test_packs_are_reproducible_and_follow_the_course(work):
    files = {"lesson 1.txt": b"The harbour.\r\n" * 100, "media/map.bin": os.urandom(70000),
             "Caf\u00e9 \u0141\u00f3d\u017a/notes.txt": b"non-ASCII names are packed\r\n", "empty/": None}
    first = write_tree(os.path.join(work, "first"),
                       dict(LAUNCHER, **{k: v for k, v in files.items() if v is not None}))
    os.makedirs(os.path.join(first, "empty"))
    # The same course elsewhere, copied without its times.
    second = os.path.join(work, "elsewhere", "second copy")
    shutil.copytree(first, second, copy_function=shutil.copy)
    runs = [pack(first, os.path.join(work, "out1"), "--part-size", "16384", "--package", os.path.join(work, "p1.zip")),
            pack(second, os.path.join(work, "out2"), "--part-size", "16384")]
    for run in runs:
        assert run.returncode == 0, run.stderr
        assert "warning: " in run.stderr and "not ASCII" in run.stderr
    assert sorted(os.listdir(os.path.join(work, "out1"))) == sorted(os.listdir(os.path.join(work, "out2")))
    with open(os.path.join(work, "out1", "SHA256SUMS")) as a, open(os.path.join(work, "out2", "SHA256SUMS")) as b:
        assert a.read() == b.read()
    # Each part is named by its digest; in their order they are the package,
    # which holds the course, the empty folder too.
    names = parts_of(work, first, os.path.join(work, "out1"), "--part-size", "16384")
    assert len(names) > 3
    parts = [open(os.path.join(work, "out1", n), "rb").read() for n in names]
    assert [hashlib.sha256(p).hexdigest() + ".part" for p in parts] == names
    assert b"".join(parts) == open(os.path.join(work, "p1.zip"), "rb").read()
    listing = subprocess.run(["bsdtar", "-tf", os.path.join(work, "p1.zip")], capture_output=True,
                             text=True).stdout.split("\n")
    assert listing[:3] == ["Caf\u00e9 \u0141\u00f3d\u017a/", "Caf\u00e9 \u0141\u00f3d\u017a/notes.txt",
                           "ZEPT-Launcher.pyw"] and "empty/" in listing
    with open(os.path.join(work, "out1", "SHA256SUMS")) as f:
        assert f.read() == "".join("%s  %s\n" % (n[:64], n) for n in sorted(names))
    # Another time stamp gives other parts (those holding an entry's header).
    run = pack(first, os.path.join(work, "out4"), "--part-size", "16384", env={"SOURCE_DATE_EPOCH": "1767225600"})
    assert run.returncode == 0
    assert not set(os.listdir(os.path.join(work, "out4"))) >= set(names)


def test_an_edit_changes_only_the_parts_around_it(work):
    """Cuts fall where the entries say: an edit, an added and a removed file
    change only the parts around them and the last one; a large file keeps
    its parts wherever it moves."""
    rng = random.Random(5)
    target = 16384
    files = dict(LAUNCHER, **{"lessons/lesson-%02d.txt" % n: rng.randbytes(rng.randrange(1000, 6000))
                              for n in range(60)})
    files["media/film.bin"] = rng.randbytes(7 * target + 123)
    course = os.path.join(work, "course")
    before = parts_of(work, write_tree(course, files), os.path.join(work, "a"), "--part-size", str(target))
    assert len(before) >= 12
    # Packed again: the same parts.
    assert parts_of(work, course, os.path.join(work, "b"), "--part-size", str(target)) == before

    def changed(edit):
        shutil.rmtree(course)
        write_tree(course, edit(dict(files)))
        after = parts_of(work, course, os.path.join(work, "c"), "--part-size", str(target))
        shutil.rmtree(os.path.join(work, "c"))
        return [n for n in after if n not in before], after

    new, _ = changed(lambda f: dict(f, **{"lessons/lesson-30.txt": f["lessons/lesson-30.txt"] + b"three more lines"}))
    assert 1 < len(new) <= 3
    added_and_removed = lambda f: dict({k: v for k, v in f.items() if k != "lessons/lesson-45.txt"},  # noqa: E731
                                       **{"lessons/lesson-15b.txt": b"a new lesson\r\n" * 200})
    new, _ = changed(added_and_removed)
    assert 1 < len(new) <= 5
    # The large file behind a grown one: its parts (the target's size, from
    # its own start) stay, and so do the parts of the lessons before it.
    film = [n for n in before if os.path.getsize(os.path.join(work, "a", n)) == target]
    assert len(film) == 7
    new, after = changed(lambda f: dict(f, **{"lessons/lesson-59.txt": f["lessons/lesson-59.txt"] * 3}))
    assert set(film) <= set(after) and len(new) <= 3


def test_parts_of_earlier_packs_stay_and_the_pack_says_what_is_new(work):
    course = write_tree(os.path.join(work, "course"), dict(LAUNCHER, **{"lesson.txt": b"Lesson\r\n" * 1000,
                                                                       "media.bin": os.urandom(100000)}))
    out = os.path.join(work, "out")
    # A bsdtar that gives back one file altered: the pack fails, writes nothing.
    fake = os.path.join(work, "bin", "bsdtar")
    os.makedirs(os.path.dirname(fake))
    with open(fake, "w") as f:
        f.write('#!/bin/sh\n/usr/bin/bsdtar "$@" && echo altered >> "$5/lesson.txt"\n')
    os.chmod(fake, 0o755)
    run = pack(course, out, env={"PATH": os.path.dirname(fake) + ":" + os.environ["PATH"]})
    assert run.returncode == 1
    assert run.stderr == "pack: %s: differs after extraction\n" % os.path.join(course, "lesson.txt")
    assert not os.path.exists(out)
    run = pack(course, out, "--part-size", "16384")
    first = sorted(n for n in os.listdir(out) if n.endswith(".part"))
    assert run.stdout.endswith("%d of %d parts new, 0.1 MB to upload\n" % (len(first), len(first)))
    with open(os.path.join(course, "lesson.txt"), "ab") as f:
        f.write(b"One more line.\r\n")
    run = pack(course, out, "--part-size", "16384")
    # Parts of the earlier release stay beside the new ones, all listed.
    listed = sorted(n for n in os.listdir(out) if n.endswith(".part"))
    assert set(first) < set(listed)
    assert run.stdout.endswith("%d of %d parts new, 0.0 MB to upload\n" % (len(listed) - len(first), len(first)))
    with open(os.path.join(out, "SHA256SUMS")) as f:
        assert [line.split()[1] for line in f] == listed


def check_release(tree_dir, cert_dir):
    run = subprocess.run(["cmake", "--build", tree_dir, "--target", "check-release"], capture_output=True,
                         text=True, env=dict(os.environ, SSL_CERT_FILE=os.path.join(cert_dir, "ca.pem")))
    rows = [line for line in run.stdout.splitlines() if line[:4] in ("ok  ", "FAIL", "warn")]
    return run.returncode, rows


def test_publishing_a_course_from_its_folder(build, work, servers, cert_dir):
    """The README's publishing commands against a loopback server: pack and
    build, upload, check, install under Wine; then a course change, and what
    check-release says of a stale, a missing and a wrong part."""
    course = write_tree(os.path.join(work, "Tarnwick course"), dict(LAUNCHER, **{
        "lessons/lesson 1.txt": b"Lesson 1\r\n" * 500,
        "lessons/Le\u00e7on \u0141\u00f3d\u017a.txt": b"non-ASCII name\r\n",
        "media/map.bin": os.urandom(200000)}))
    served = os.path.join(work, "served")
    os.makedirs(os.path.join(served, os.path.dirname(PYTHON_PATH).lstrip("/")))
    with open(os.path.join(served, PYTHON_PATH.lstrip("/")), "wb") as f:
        f.write(artefact(build, "python-embed.zip"))
    server = servers(root=served)
    base = "https://localhost:%d" % server.server_address[1]
    tree_dir = os.path.join(work, "B")
    publisher, key = certs.publisher(cert_dir)
    options = ["-DZEPT_COURSE_DIR=" + course, "-DZEPT_COURSE_BASE_URL=%s/downloads/" % base,
               "-DZEPT_PYTHON_URL=" + base + PYTHON_PATH,
               "-DZEPT_PYTHON_SHA256=" + hashlib.sha256(artefact(build, "python-embed.zip")).hexdigest(),
               "-DZEPT_SIGN_CERT=" + publisher, "-DZEPT_SIGN_KEY=" + key, "-DZEPT_HELP_URL=%s/help" % base,
               "-DZEPT_WINGET_ID=Olvenmark.Tarnwick", "-DZEPT_WINGET_LICENSE=Proprietary",
               "-DZEPT_WINGET_DESCRIPTION=Tarnwick, a course in \"Olvenmark\": lessons, maps, \u0141\u00f3d\u017a."]
    exe, output = configure_and_build(tree_dir, *options)
    assert "warning: " in output and "not ASCII" in output
    publish = os.path.join(tree_dir, "publish")
    names = pinned_parts(tree_dir)
    assert sorted(os.listdir(publish)) == sorted(["SHA256SUMS", "winget", "zept-setup.exe"] + names)
    check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=publish, capture_output=True,
                           text=True)
    assert check.returncode == 0 and check.stdout.count(": OK") == 3, check.stdout + check.stderr

    # Nothing uploaded yet: every course row fails, and the setup's.
    rc, rows = check_release(tree_dir, cert_dir)
    assert rc != 0 and [r[:4] for r in rows] == ["ok  ", "FAIL", "FAIL", "FAIL", "FAIL", "FAIL", "ok  "], rows
    assert "  404  " in rows[4] and "not checked" in rows[5]
    shutil.copytree(publish, os.path.join(served, "downloads"))
    rc, rows = check_release(tree_dir, cert_dir)
    assert rc == 0, rows
    assert [r[:4] for r in rows] == ["ok  "] * 7
    assert "200" in rows[1] and rows[1].endswith("%s/downloads/%s  (digest as pinned)" % (base, names[0]))
    assert rows[4].endswith("%s/downloads/zept-setup.exe  (digest as in SHA256SUMS)" % base)
    assert "valid Authenticode signature" in rows[5] and "Olvenmark.Tarnwick.installer.yaml" in rows[6]

    profile = os.path.join(work, "profile")
    os.makedirs(profile)
    run = winepfx.run(build, setup_argv(build, profile, exe=exe), stdin=b"\n")
    assert run[0] == 0, run[1]
    assert crlf("Installed. Opening the course now ...\n") in run[1].decode("ascii")
    assert tree(layout(profile)["app"]) == tree(course)
    installer = check_manifests(publish, exe, "0.1.0", "%s/downloads/zept-setup.exe" % base, build)

    # The check recorded the release: a changed course under the same
    # version stops the build; under a new version it is packed and pinned
    # again, and what is served is now stale.
    with open(os.path.join(publish, "RELEASED")) as f:
        released = f.read()
    assert released == "0.1.0 %s\n" % hashlib.sha256(artefact_of(publish, names)).hexdigest()
    older = os.path.join(work, "zept-setup-0.1.0.exe")
    shutil.copyfile(exe, older)
    with open(os.path.join(course, "lessons", "lesson 1.txt"), "ab") as f:
        f.write(b"Lesson 1, corrected\r\n")
    old_pins = open(os.path.join(tree_dir, "gen", "release", "pins.h")).read()
    build_run = subprocess.run(["cmake", "--build", tree_dir, "--target", "zept-setup"], capture_output=True,
                               text=True)
    assert build_run.returncode != 0
    assert "Course version 0.1.0 was released with another package" in build_run.stdout + build_run.stderr
    assert open(os.path.join(tree_dir, "gen", "release", "pins.h")).read() == old_pins
    configure = subprocess.run(["cmake", "-S", SOURCE, "-B", tree_dir, "-DZEPT_COURSE_VERSION=0.1.1"],
                               capture_output=True, text=True)
    assert configure.returncode == 0, configure.stderr
    build_run = subprocess.run(["cmake", "--build", tree_dir, "--target", "zept-setup"], capture_output=True,
                               text=True)
    assert build_run.returncode == 0, build_run.stdout + build_run.stderr
    assert open(os.path.join(tree_dir, "gen", "release", "pins.h")).read() != old_pins
    # Parts named by content: the new release's parts go beside the old ones
    # (the edited lesson's part and the central directory are new).
    new_names = pinned_parts(tree_dir)
    assert not set(new_names) & set(names)
    shutil.copyfile(os.path.join(publish, new_names[0]), os.path.join(served, "downloads", new_names[0]))
    # The last part is not uploaded yet, the setup served is the old one:
    # signed, but stale, and not what the new manifest names.
    rc, rows = check_release(tree_dir, cert_dir)
    assert rc != 0 and [r[:4] for r in rows] == ["ok  ", "ok  ", "FAIL", "FAIL", "FAIL", "ok  ", "FAIL"], rows
    assert "  404  " in rows[2] and new_names[1] in rows[2]
    assert "SHA256SUMS lists %s: a stale copy?" % sha256_of(exe) in rows[4]
    assert "InstallerSha256 is not the digest of the setup fetched" in rows[6]
    shutil.copyfile(os.path.join(publish, new_names[1]), os.path.join(served, "downloads", new_names[1]))
    shutil.copyfile(exe, os.path.join(served, "downloads", "zept-setup.exe"))
    assert check_release(tree_dir, cert_dir)[0] == 0
    check_manifests(publish, exe, "0.1.1", "%s/downloads/zept-setup.exe" % base)
    # An unsigned copy of the setup on the download page.
    with open(os.path.join(build, "zept-setup.exe"), "rb") as f:
        server.routes["/downloads/zept-setup.exe"] = Route(body=f.read())
    rc, rows = check_release(tree_dir, cert_dir)
    assert rc != 0 and [r[:4] for r in rows] == ["ok  "] * 4 + ["FAIL"] * 3, rows
    assert "is not signed, but the build signed it" in rows[5]
    del server.routes["/downloads/zept-setup.exe"]
    # The older setup, still in a learner's Downloads folder, installs its
    # own release from the same location, with the switches the manifest
    # gives winget for a silent install with a log.
    older_profile = os.path.join(work, "older profile")
    os.makedirs(older_profile)
    log = os.path.join(work, "winget.log")
    switches = [installer["InstallerSwitches"]["Silent"]] + [
        word.replace("<LOGPATH>", winepfx.windows_path(log))
        for word in shlex.split(installer["InstallerSwitches"]["Log"])]
    run = winepfx.run(build, setup_argv(build, older_profile, exe=older) + switches)
    assert run[0] == 0, run[1]
    with open(log, encoding="utf-8") as f:
        assert "Tarnwick" in f.read()
    with open(os.path.join(layout(older_profile)["app"], "lessons", "lesson 1.txt"), "rb") as f:
        assert f.read() == b"Lesson 1\r\n" * 500
    # A missing part, what a captive portal sends instead of one, a chunked
    # body cut short and a host that answers no HTTP: failing rows all.
    with open(os.path.join(served, "downloads", new_names[1]), "rb") as f:
        part = f.read()
    for route, shown in ((Route(status=404, body=b"gone"), "  404  "),
                         (Route(body=b"<html><body>Please log in</body></html>"), "  200  "),
                         (Route(body=part, chunked=True, drop_after=len(part) // 2), "    -  "),
                         (Route(raw=b"HTTP/1.1 2OO Fine\r\n\r\n"), "    -  ")):
        server.routes["/downloads/" + new_names[1]] = route
        rc, rows = check_release(tree_dir, cert_dir)
        assert rc != 0 and [r[:4] for r in rows] == ["ok  ", "ok  ", "FAIL", "FAIL"] + ["ok  "] * 3, rows
        assert shown in rows[2] and "/downloads/" + new_names[1] in rows[2]
        assert "Traceback" not in run_text(tree_dir, cert_dir)


def run_text(tree_dir, cert_dir):
    run = subprocess.run(["cmake", "--build", tree_dir, "--target", "check-release"], capture_output=True,
                         text=True, env=dict(os.environ, SSL_CERT_FILE=os.path.join(cert_dir, "ca.pem")))
    return run.stdout + run.stderr


def test_winget_manifests_never_replace_a_folder_of_other_files(work):
    exe = os.path.join(work, "zept-setup.exe")
    with open(exe, "wb") as f:
        f.write(b"MZ a setup")
    options = ["--id", "Olvenmark.Tarnwick", "--version", "0.1.0", "--url", "https://x.example/zept-setup.exe",
               "--publisher", "Olvenmark", "--name", "Tarnwick", "--license", "CC-BY-4.0", "--description", "A course"]
    winget = [sys.executable, os.path.join(SOURCE, "publish", "winget.py"), exe]
    # The folder of the exe itself, given as ".": refused, nothing deleted.
    run = subprocess.run(winget + ["."] + options, capture_output=True, text=True, cwd=work)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr == ("winget: %s: holds zept-setup.exe, which is not a manifest of Olvenmark.Tarnwick; name an "
                          "empty folder or the manifests' own\n" % work)
    assert os.listdir(work) == ["zept-setup.exe"]
    # Its own manifests it replaces, as a whole.
    out = os.path.join(work, "winget")
    for version in ("0.1.0", "0.1.1"):
        options[3] = version
        assert subprocess.run(winget + [out] + options, capture_output=True).returncode == 0
    assert sorted(os.listdir(out)) == ["Olvenmark.Tarnwick.installer.yaml", "Olvenmark.Tarnwick.locale.en-US.yaml",
                                       "Olvenmark.Tarnwick.yaml"]
    with open(os.path.join(out, "Olvenmark.Tarnwick.yaml")) as f:
        assert 'PackageVersion: "0.1.1"' in f.read()
    assert sorted(os.listdir(work)) == ["winget", "zept-setup.exe"]


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


README_CODES = re.compile(r"^\| (\d+) \| ", re.M)


def check_manifests(publish, setup, version, url, build=None):
    """The winget manifests in publish, parsed as YAML, against the setup
    exe, the exit codes in the README's table and (with build) the entry
    that the setup wrote in Settings -> Apps. Returns the installer file."""
    folder = os.path.join(publish, "winget")
    found = {name: yaml.safe_load(open(os.path.join(folder, name), encoding="utf-8"))
             for name in os.listdir(folder)}
    assert sorted(found) == ["Olvenmark.Tarnwick.installer.yaml", "Olvenmark.Tarnwick.locale.en-US.yaml",
                             "Olvenmark.Tarnwick.yaml"]
    installer = found["Olvenmark.Tarnwick.installer.yaml"]
    locale = found["Olvenmark.Tarnwick.locale.en-US.yaml"]
    for kind, manifest in (("installer", installer), ("defaultLocale", locale),
                           ("version", found["Olvenmark.Tarnwick.yaml"])):
        assert (manifest["PackageIdentifier"], manifest["PackageVersion"]) == ("Olvenmark.Tarnwick", version)
        assert (manifest["ManifestType"], manifest["ManifestVersion"]) == (kind, "1.12.0")
    assert found["Olvenmark.Tarnwick.yaml"]["DefaultLocale"] == locale["PackageLocale"] == "en-US"
    assert installer["Installers"] == [{"Architecture": "x64", "InstallerUrl": url,
                                        "InstallerSha256": sha256_of(setup).upper()}]
    assert {key: installer[key] for key in ("InstallerType", "Scope", "ElevationRequirement", "UpgradeBehavior",
                                            "MinimumOSVersion", "InstallModes")} == {
        "InstallerType": "exe", "Scope": "user", "ElevationRequirement": "elevationProhibited",
        "UpgradeBehavior": "install", "MinimumOSVersion": "10.0.17134.0",
        "InstallModes": ["interactive", "silent", "silentWithProgress"]}
    assert installer["InstallerSwitches"] == {"Silent": "--quiet", "SilentWithProgress": "--quiet",
                                              "Log": '--log "<LOGPATH>"'}
    with open(os.path.join(SOURCE, "README.md")) as f:
        table = {int(code) for code in README_CODES.findall(f.read())}
    assert {c["InstallerReturnCode"] for c in installer["ExpectedReturnCodes"]} == table - {0, 1}
    assert installer["ProductCode"] == UNINSTALL_KEY.rsplit("\\", 1)[1]
    assert locale["ShortDescription"] == "Tarnwick, a course in \"Olvenmark\": lessons, maps, \u0141\u00f3d\u017a."
    assert (locale["Publisher"], locale["PackageName"], locale["License"]) == ("Olvenmark", "Tarnwick", "Proprietary")
    if build:
        entry = uninstall_entry(build)
        assert installer["AppsAndFeaturesEntries"] == [{
            "DisplayName": entry["DisplayName"], "Publisher": entry["Publisher"],
            "DisplayVersion": entry["DisplayVersion"], "ProductCode": installer["ProductCode"]}]
        assert locale["PublisherSupportUrl"] == entry["HelpLink"]
    return installer


def pinned_parts(tree_dir):
    """The names of the parts that the build in tree_dir pins, in order."""
    with open(os.path.join(tree_dir, "gen", "release", "pins.h")) as f:
        table = re.search(r"PART_SHA256\[PART_COUNT\]\[65\] = \{(.*?)\};", f.read(), re.S).group(1)
    return [d + ".part" for d in re.findall(r'"([0-9a-f]{64})"', table)]


def artefact_of(publish, names):
    """The package that the named parts in publish join into."""
    return b"".join(open(os.path.join(publish, n), "rb").read() for n in names)


WINGET = ["-DZEPT_WINGET_ID=Olvenmark.Tarnwick", "-DZEPT_WINGET_LICENSE=Proprietary",
          "-DZEPT_WINGET_DESCRIPTION=A course."]


@pytest.mark.parametrize("options,complaint", [
    (["-DZEPT_PART_SHA256=" + "ab" * 32], "drop ZEPT_PART_SHA256 (cmake -U<name>)"),
    # The part count of earlier builds is gone: its size target replaces it.
    (["-DZEPT_COURSE_PARTS=3"], "set ZEPT_COURSE_PART_MIB instead"),
    (WINGET[:1] + WINGET[2:], "The winget manifest needs ZEPT_WINGET_LICENSE: set it, or drop ZEPT_WINGET_ID"),
    (WINGET[:2] + ["-DZEPT_WINGET_NAME="], "The winget manifest needs ZEPT_WINGET_NAME"),
    (["-DZEPT_WINGET_ID=Tarnwick"] + WINGET[1:], "ZEPT_WINGET_ID must be Publisher.Package"),
    (["-DZEPT_SIGN_CERT=c.pem", "-DZEPT_SIGN_KEY=k.pem", "-DZEPT_SIGN_COMMAND=sign"],
     "not with ZEPT_SIGN_KEY and ZEPT_SIGN_COMMAND"),
    (["-DZEPT_SIGN_CERT=c.pem"], "ZEPT_SIGN_CERT needs its key"),
    (["-DZEPT_SIGN_PKCS11_KEY=pkcs11:object=k"], "A key on a token needs ZEPT_SIGN_PKCS11_MODULE"),
    (["-DZEPT_SIGN_PKCS11_MODULE=m.so", "-DZEPT_SIGN_PKCS11_KEY=pkcs11:object=k;pin-value=1234"],
     "ZEPT_SIGN_PKCS11_KEY holds a PIN"),
], ids=["digests", "part-count", "no-licence", "no-name", "identifier", "two-ways", "cert-alone", "no-module",
        "pin-in-uri"])
def test_options_that_do_not_go_together_are_refused(work, options, complaint):
    course = write_tree(os.path.join(work, "course"), LAUNCHER)
    run = subprocess.run(["cmake", "-S", SOURCE, "-B", os.path.join(work, "B"), "-DZEPT_TESTS=OFF",
                          "-DZEPT_COURSE_DIR=" + course] + options, capture_output=True, text=True)
    assert run.returncode != 0
    assert complaint in " ".join(run.stderr.split()), run.stderr
    assert not os.path.exists(os.path.join(work, "B", "publish", "winget"))
