"""Checks what is really published for a build of zept-setup.exe: fetches,
as the setup would (GET, its user agent, status 200 only, redirects
followed), the runtime URL and every part URL that the build pins, and
compares each body with its pin, and the joined parts with the package pin.
Prints one row per URL and one for the package, then whether the exe
carries a valid Authenticode signature.

    check_release.py BUILD_DIR [--cafile PEM] [--timeout SECONDS]

Trusts the system's certificates (SSL_CERT_FILE and SSL_CERT_DIR are
honoured as by other OpenSSL-based tools) and those of --cafile. Exit code
0 only when every row is as expected; an unsigned exe is a warning.

A release that passes is recorded in BUILD_DIR/publish/RELEASED, one line
"VERSION PACKAGE_SHA256" per course version: a later build of that folder
that packs another course under a recorded version stops, so that a
changed course never reaches learners under a version that is already out.
"""
import argparse
import hashlib
import os
import re
import ssl
import subprocess
import sys
import urllib.error
import urllib.request

USER_AGENT = "ZEPT-Setup/0.1"
CHUNK = 1 << 20


def read_pins(build):
    """The pins that the build compiled into zept-setup.exe."""
    with open(os.path.join(build, "gen", "release", "pins.h")) as f:
        header = f.read()

    def define(name):
        found = re.search(r'#define %s\s+L?"([^"]*)"' % name, header)
        if not found:
            raise ValueError("pins.h has no %s" % name)
        return found.group(1)

    table = re.search(r"PART_SHA256\[PART_COUNT\]\[65\] = \{(.*?)\};", header, re.S)
    by_content = re.search(r"#define PARTS_NAMED_BY_CONTENT (\d)", header)
    parts = re.findall(r'"([0-9a-f]{64})"', table.group(1)) if table else []
    return {"python_url": define("PYTHON_URL"), "python_sha": define("PYTHON_SHA256"),
            "payload_sha": define("PAYLOAD_SHA256"), "base": define("COURSE_BASE_URL"), "parts": parts,
            "by_content": bool(by_content and by_content.group(1) == "1"), "version": define("COURSE_VERSION")}


def record_release(build, version, payload_sha):
    """Adds "version payload_sha" to the build's record of released versions."""
    path = os.path.join(build, "publish", "RELEASED")
    line = "%s %s" % (version, payload_sha)
    lines = []
    if os.path.exists(path):
        with open(path) as f:
            lines = f.read().splitlines()
    if line not in lines:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a") as f:
            f.write(line + "\n")


def fetch(url, context, timeout, digests):
    """GETs url, feeding the body to every digest in digests; returns
    (status text, bytes, error or None)."""
    request = urllib.request.Request(url, headers={"User-Agent": USER_AGENT})
    got = 0
    try:
        with urllib.request.urlopen(request, context=context, timeout=timeout) as answer:
            status = answer.status
            while True:
                block = answer.read(CHUNK)
                if not block:
                    break
                got += len(block)
                for digest in digests:
                    digest.update(block)
            length = answer.headers.get("Content-Length")
            if length is not None and int(length) != got:
                return str(status), got, "body cut short (%s bytes announced)" % length
    except urllib.error.HTTPError as error:
        return str(error.code), got, "status %d" % error.code
    except (urllib.error.URLError, OSError, ValueError) as error:
        reason = getattr(error, "reason", error)
        return "-", got, str(reason)
    if status != 200:
        return str(status), got, "status %d" % status
    return str(status), got, None


def signature_row(exe, cafile):
    """(verdict, text) on the exe's Authenticode signature."""
    command = ["osslsigncode", "verify", "-in", exe] + (["-CAfile", cafile] if cafile else [])
    try:
        run = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except OSError:
        return "FAIL", "osslsigncode is not installed: cannot check the signature of %s" % exe
    if run.returncode == 0:
        return "ok", "%s carries a valid Authenticode signature" % exe
    if "No signature found" in run.stdout + run.stderr:
        return "warn", ("%s is not signed: SmartScreen and Smart App Control warn learners about or block "
                        "unsigned setup programs" % exe)
    return "FAIL", "%s: its signature does not verify (osslsigncode verify)" % exe


def check(build, cafile, timeout):
    pins = read_pins(build)
    context = ssl.create_default_context()
    if cafile:
        context.load_verify_locations(cafile=cafile)
    rows = []
    status, size, error = fetch(pins["python_url"], context, timeout, [digest := hashlib.sha256()])
    if error is None and digest.hexdigest() != pins["python_sha"]:
        error = "digest %s, pinned %s" % (digest.hexdigest(), pins["python_sha"])
    rows.append(("FAIL" if error else "ok", status, size, pins["python_url"], error))
    whole = hashlib.sha256()
    joined_ok = True
    for n, pin in enumerate(pins["parts"], 1):
        # Named by content (a packed course), or numbered (pinned by hand).
        name = pin + ".part" if pins["by_content"] else "zept-payload.part%02d" % n
        url = pins["base"] + name
        status, size, error = fetch(url, context, timeout, [digest := hashlib.sha256(), whole])
        if error is None and digest.hexdigest() != pin:
            error = "digest %s, pinned %s" % (digest.hexdigest(), pin)
        joined_ok = joined_ok and error is None
        rows.append(("FAIL" if error else "ok", status, size, url, error))
    if joined_ok and whole.hexdigest() != pins["payload_sha"]:
        rows.append(("FAIL", "", "", "parts joined", "digest %s, pinned %s" % (whole.hexdigest(),
                                                                            pins["payload_sha"])))
    else:
        rows.append(("ok" if joined_ok else "FAIL", "", "", "parts joined",
                     None if joined_ok else "not checked: a part failed"))
    for verdict, status, size, what, error in rows:
        print("%-4s  %3s  %12s  %s%s" % (verdict, status, "" if size == "" else "%d bytes" % size, what,
                                         "  (%s)" % error if error else "  (digest as pinned)"))
    verdict, text = signature_row(os.path.join(build, "zept-setup.exe"), cafile)
    print("%-4s  %s" % (verdict, text))
    failed = sum(1 for row in rows if row[0] == "FAIL") + (verdict == "FAIL")
    print("release check: %s" % ("every download is as pinned" if not failed else "%d row(s) failed" % failed))
    if failed:
        return 1
    record_release(build, pins["version"], pins["payload_sha"])
    print("recorded: course version %s is released with package %s" % (pins["version"], pins["payload_sha"]))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="the CMake build folder of the release")
    parser.add_argument("--cafile", help="also trust the certificates in this PEM file")
    parser.add_argument("--timeout", type=float, default=30, help="seconds to wait on the network (default 30)")
    args = parser.parse_args(argv)
    try:
        return check(os.path.abspath(args.build), args.cafile, args.timeout)
    except (OSError, ValueError) as error:
        print("check-release: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
