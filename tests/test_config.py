"""The pinned artefacts as build configuration: what a build pins is what
its self-test prints, and configuring refuses values the program cannot use."""
import hashlib
import os
import re
import subprocess

import pefile
import pytest

from conftest import SOURCE, configure_and_build, crlf, exe, run_with_env, selftest_report
from installation import part_names

GOOD = {
    "python_url": "https://mirror.example.net/python/python-3.12.10-embed-amd64.zip",
    "python_sha": "11" * 32,
    "payload_sha": "22" * 32,
    "parts": "aa" * 32 + ";" + "bb" * 32 + ";" + "cc" * 32,
    "base": "https://course.example.net/downloads/",
    "version": "0.2.0",
    "python_size": "",
    "part_sizes": "",
    "by_content": "0",
}


def write_pins(work, **values):
    """Runs the build's pin writer on values; returns (exit code, output, header)."""
    v = dict(GOOD, **values)
    script = os.path.join(work, "pins-case.cmake")
    out = os.path.join(work, "pins.h")
    with open(script, "w") as f:
        f.write('include("%s/cmake/pins.cmake")\n' % SOURCE)
        f.write('zept_write_pins("%s" "${python_url}" "${python_sha}" "${python_size}" "${payload_sha}" "${parts}" '
                '"${part_sizes}" "${by_content}" "${base}" "${version}")\n' % out)
    run = subprocess.run(["cmake"] + ["-D%s=%s" % item for item in v.items()] + ["-P", script],
                         capture_output=True, text=True)
    header = open(out).read() if run.returncode == 0 else None
    return run.returncode, run.stdout + run.stderr, header


def test_good_values_make_the_header(work):
    rc, output, header = write_pins(work)
    assert rc == 0, output
    assert '#define PYTHON_URL        L"%s"' % GOOD["python_url"] in header
    assert '#define PART_COUNT        3' in header
    assert '    "%s",  // part 3' % ("cc" * 32) in header
    assert '#define COURSE_VERSION         "0.2.0"' in header
    assert '#define COURSE_VERSION_NUMBERS 0, 2, 0, 0' in header
    # No size pinned: 0 for every artefact.
    assert '#define PYTHON_SIZE       0ULL' in header and '    0ULL,  // part 3' in header
    assert '#define HELP_URL          L""' in header
    rc, output, header = write_pins(work, python_size="41601", part_sizes="7;8;900000000000000")
    assert rc == 0, output
    assert '#define PYTHON_SIZE       41601ULL' in header
    assert '    8ULL,  // part 2\n    900000000000000ULL,  // part 3' in header
    rc, output, header = write_pins(work, ZEPT_HELP_URL="https://tarnwick.example.org/help/")
    assert rc == 0, output
    assert '#define HELP_URL          L"https://tarnwick.example.org/help/"' in header


@pytest.mark.parametrize("field,value,complaint", [
    ("python_sha", "4ACBED6DD1C744B0376E3B1CF57CE906F9DC9E95E68824584C8099A63025A3C3", "ZEPT_PYTHON_SHA256"),
    ("python_sha", "abc", "ZEPT_PYTHON_SHA256"),
    ("payload_sha", "g" * 64, "ZEPT_PAYLOAD_SHA256"),
    ("parts", "aa" * 32 + ";" + "b" * 63, "ZEPT_PART_SHA256 entry 2"),
    ("parts", "", "ZEPT_PART_SHA256"),
    ("python_url", "ftp://example.net/python.zip", "ZEPT_PYTHON_URL"),
    ("python_url", 'https://example.net/a"b.zip', "ZEPT_PYTHON_URL"),
    ("base", "https://course.example.net/downloads", "ZEPT_COURSE_BASE_URL"),
    ("base", "course.example.net/downloads/", "ZEPT_COURSE_BASE_URL"),
    ("ZEPT_HELP_URL", 'https://example.net/help"', "ZEPT_HELP_URL"),
    ("ZEPT_HELP_URL", "mailto:help@example.net", "ZEPT_HELP_URL"),
    ("version", "1.2.3.4.5", "ZEPT_COURSE_VERSION"),
    ("version", "v1.0", "ZEPT_COURSE_VERSION"),
    ("version", "1..2", "ZEPT_COURSE_VERSION"),
    ("version", "0.1.", "ZEPT_COURSE_VERSION"),
    ("version", "1.65536", "ZEPT_COURSE_VERSION"),
    ("version", "", "ZEPT_COURSE_VERSION"),
    ("python_size", "0", "ZEPT_PYTHON_SIZE"),
    ("python_size", "12kB", "ZEPT_PYTHON_SIZE"),
    ("part_sizes", "1;2", "ZEPT_PART_SIZES must list one size per part (3)"),
    ("part_sizes", "1;-2;3", "ZEPT_PART_SIZES entry 2"),
    ("part_sizes", "1;2;1000000000000000", "ZEPT_PART_SIZES entry 3"),
])
def test_unusable_values_are_refused(work, field, value, complaint):
    rc, output, _ = write_pins(work, **{field: value})
    assert rc != 0
    assert complaint in output


def test_test_build_prints_its_own_pins(build):
    def digest(name):
        with open(os.path.join(build, "artefacts", name), "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    run = run_with_env(build, exe(build, "zept-setup-test"), ["--selftest"])
    assert run.rc == 0
    assert run.text == crlf(selftest_report(digest("python-embed.zip"), digest("zept-payload.zip"),
                                            parts=len(part_names(build))))


def test_configured_build_pins_what_it_was_given(build, work):
    tree = os.path.join(work, "tree")
    configured, _ = configure_and_build(
        tree, "-DZEPT_PYTHON_URL=" + GOOD["python_url"], "-DZEPT_PYTHON_SHA256=" + GOOD["python_sha"],
        "-DZEPT_PAYLOAD_SHA256=" + GOOD["payload_sha"], "-DZEPT_PART_SHA256=" + GOOD["parts"],
        "-DZEPT_COURSE_BASE_URL=" + GOOD["base"], "-DZEPT_COURSE_VERSION=2.10")
    run = run_with_env(build, configured, ["--selftest"])
    assert run.rc == 0
    assert run.text == crlf(selftest_report(GOOD["python_sha"], GOOD["payload_sha"], parts=3))
    fixed = pefile.PE(configured).VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x0002000A, 0)

    refused = subprocess.run(["cmake", "-S", SOURCE, "-B", tree, "-DZEPT_PAYLOAD_SHA256=" + "Z" * 64],
                             capture_output=True, text=True)
    assert refused.returncode != 0
    assert "ZEPT_PAYLOAD_SHA256 must be 64 lowercase hexadecimal characters" in refused.stderr


def product_messages():
    """Every sentence the setup prints on its own (the failures, refusals and
    results; not the banners, progress lines " ..." and closing text), from the
    literals its sources pass to say and printf, a macro's included."""
    source = ""
    for folder in ("setup",):
        for name in sorted(os.listdir(os.path.join(SOURCE, folder))):
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(SOURCE, folder, name)) as f:
                    source += f.read() + "\n"
    literal = r'"(?:[^"\\]|\\.)*"'

    def joined(text):
        return "".join(bytes(m[1:-1], "ascii").decode("unicode_escape") for m in re.findall(literal, text))
    macros = {m.group(1): joined(m.group(2))
              for m in re.finditer(r"#define (\w+)\s+\\?\s*((?:%s\s*)+)" % literal, source)}
    found = set()
    for m in re.finditer(r"\b(?:say|say_line|printf)\(\s*(?:[\w>&-]+,\s*)?((?:%s\s*)+|[A-Z_]+\b)" % literal, source):
        text = macros.get(m.group(1)) if re.fullmatch(r"[A-Z_]+", m.group(1)) else joined(m.group(1))
        if text and text.endswith(".\n") and not text.endswith(" ...\n") and not text.startswith("\n") and \
                "%s" not in text and \
                not text.startswith(("Look for", "Start menu", "SELFTEST")):
            found.add(text[:-1].replace("%d", "1"))
    return found


def test_every_message_of_the_setup_is_on_the_support_page():
    with open(os.path.join(SOURCE, "docs", "support.md"), encoding="utf-8") as f:
        page = f.read()
    messages = product_messages()
    assert len(messages) >= 25  # the reader still finds them
    assert [m for m in sorted(messages) if '"%s"' % m not in page] == []
