"""Checks what is really published for a build of zept-setup.exe: fetches,
as the setup would (GET, its user agent, status 200 only, redirects
followed), the runtime URL and every part URL that the build pins, and
compares each body with its pin, and the joined parts with the package pin.
Then fetches the setup itself from its download address, as a learner
would, and compares it with the build's line for it in SHA256SUMS, checks
its Authenticode signature, and checks the winget manifest's address and
digest against it. Prints one row per check.

    check_release.py BUILD_DIR [--setup-url URL] [--cafile PEM] [--timeout SECONDS]

Trusts the system's certificates (SSL_CERT_FILE and SSL_CERT_DIR are
honoured as by other OpenSSL-based tools) and those of --cafile, for the
connections and for the chain of the setup's signature; a timestamp's
countersignature must chain to the system's roots alone (a public
timestamp authority's). Any HTTP or TLS failure of a fetch is that fetch's
failing row. Exit code 0 only when every row is as expected: a stale copy
of the setup, an unsigned copy of a signed build, a signature or a
timestamp that does not verify fail their rows; an unsigned build is a
warning. Exit code 1 when a row failed, 2 when the build folder cannot be
read.

A release that passes is recorded in BUILD_DIR/publish/RELEASED, one line
"VERSION PACKAGE_SHA256" per course version: a later build of that folder
that packs another course under a recorded version stops, so that a
changed course never reaches learners under a version that is already out.
"""
import argparse
import glob
import hashlib
import http.client
import os
import re
import ssl
import struct
import subprocess
import sys
import tempfile
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


def fetch(url, context, timeout, digests, keep=None):
    """GETs url, feeding the body to every digest in digests (and writing it
    to the file keep, when given); returns (status text, bytes, error or None)."""
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
                if keep:
                    keep.write(block)
            length = answer.headers.get("Content-Length")
            if length is not None and int(length) != got:
                return str(status), got, "body cut short (%s bytes announced)" % length
    except urllib.error.HTTPError as error:
        return str(error.code), got, "status %d" % error.code
    except (urllib.error.URLError, http.client.HTTPException, OSError, ValueError) as error:
        # No answer, TLS refused, a garbage status line, a chunked body cut
        # short: a failing row, never a traceback.
        reason = getattr(error, "reason", error)
        if isinstance(reason, http.client.HTTPException):
            # Its text alone may be empty or a bare number.
            return "-", got, "%s: %s" % (type(reason).__name__, reason)
        return "-", got, str(reason)
    if status != 200:
        return str(status), got, "status %d" % status
    return str(status), got, None


def carries_signature(exe):
    """Whether the PE image exe has a certificate table (an Authenticode signature)."""
    with open(exe, "rb") as f:
        image = f.read(4096)
    try:
        header = struct.unpack_from("<I", image, 0x3C)[0]
        magic = struct.unpack_from("<H", image, header + 24)[0]
        # The certificate table is the fifth data directory of the optional header.
        directories = header + 24 + (96 if magic == 0x10B else 112)
        return struct.unpack_from("<II", image, directories + 4 * 8)[1] > 0
    except struct.error:
        return False


def system_roots():
    """The system's certificate file, as OpenSSL finds it."""
    return ssl.get_default_verify_paths().cafile or ssl.get_default_verify_paths().openssl_cafile


def signature_row(exe, shown, build_signed, cafile):
    """(verdict, text) on the Authenticode signature of exe (named shown),
    chained to cafile or to the system's roots."""
    if not carries_signature(exe):
        if build_signed:
            return "FAIL", "%s is not signed, but the build signed it" % shown
        return "warn", ("%s is not signed: SmartScreen and Smart App Control warn learners about or block "
                        "unsigned setup programs" % shown)
    system = system_roots()
    roots = cafile or system
    # A timestamp comes from a public timestamp authority: the system's roots.
    command = ["osslsigncode", "verify", "-in", exe, "-CAfile", roots, "-TSA-CAfile", system]
    try:
        run = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except OSError:
        return "FAIL", "osslsigncode is not installed: cannot check the signature of %s" % shown
    if run.returncode != 0:
        return "FAIL", "%s: its signature does not verify (osslsigncode verify, roots %s)" % (shown, roots)
    # osslsigncode exits with 0 whatever it found of the countersignature:
    # its own report says.
    stamp = re.search(r"^Timestamp Server Signature verification: (\w+)", run.stdout, re.M)
    if stamp and stamp.group(1) != "ok":
        return "FAIL", "%s: the timestamp does not verify (roots %s)" % (shown, system)
    return "ok", "%s carries a valid Authenticode signature%s" % (shown, ", timestamp verified" if stamp else "")


def listed_digest(build):
    """(the SHA-256 that the build published for zept-setup.exe, the file
    that lists it): SHA256SUMS beside the parts of a packed course, else
    zept-setup.exe.sha256 beside the exe."""
    for path in (os.path.join(build, "publish", "SHA256SUMS"), os.path.join(build, "zept-setup.exe.sha256")):
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    if line.rstrip("\n").endswith("  zept-setup.exe"):
                        return line.split()[0], os.path.basename(path)
    raise ValueError("the build lists no zept-setup.exe (build the zept-setup target first)")


def manifest_row(build, url, digest):
    """(verdict, text) on the build's winget installer manifest against the
    setup fetched from url, or None when the build wrote no manifest."""
    found = glob.glob(os.path.join(build, "publish", "winget", "*.installer.yaml")) + \
        glob.glob(os.path.join(build, "winget", "*.installer.yaml"))
    if not found:
        return None
    with open(found[0], encoding="utf-8") as f:
        manifest = f.read()
    address = re.search(r'^  InstallerUrl: "(.*)"$', manifest, re.M)
    sha = re.search(r"^  InstallerSha256: ([0-9A-F]{64})$", manifest, re.M)
    name = os.path.basename(found[0])
    if not address or address.group(1) != url:
        return "FAIL", "%s: InstallerUrl is not %s" % (name, url)
    if not sha or sha.group(1) != digest.upper():
        return "FAIL", "%s: InstallerSha256 is not the digest of the setup fetched" % name
    return "ok", "%s: InstallerUrl and InstallerSha256 are the setup fetched" % name


def check_setup(build, url, context, timeout, cafile):
    """Rows (verdict, status, size, what, note) on the setup that learners
    download from url; status None: a row of text alone."""
    listed, listing = listed_digest(build)
    build_signed = carries_signature(os.path.join(build, "zept-setup.exe"))
    with tempfile.NamedTemporaryFile(prefix="zept-setup-", suffix=".exe") as copy:
        status, size, error = fetch(url, context, timeout, [digest := hashlib.sha256()], copy)
        copy.flush()
        fetched = error is None
        if fetched and digest.hexdigest() != listed:
            error = "digest %s, %s lists %s: a stale copy?" % (digest.hexdigest(), listing, listed)
        rows = [("FAIL" if error else "ok", status, size, url, error or "digest as in " + listing)]
        if fetched:
            verdict, text = signature_row(copy.name, url, build_signed, cafile)
        else:
            verdict, text = "FAIL", "the signature of %s: not checked, the setup was not fetched" % url
        rows.append((verdict, None, None, text, None))
    manifest = manifest_row(build, url, digest.hexdigest() if fetched else listed)
    if manifest:
        rows.append((manifest[0], None, None, manifest[1], None))
    return rows


def check(build, setup_url, cafile, timeout):
    pins = read_pins(build)
    setup_url = setup_url or pins["base"] + "zept-setup.exe"
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
    rows += check_setup(build, setup_url, context, timeout, cafile)
    for verdict, status, size, what, note in rows:
        if status is None:
            print("%-4s  %s" % (verdict, what))
        else:
            print("%-4s  %3s  %12s  %s  (%s)" % (verdict, status, "" if size == "" else "%d bytes" % size, what,
                                               note or "digest as pinned"))
    failed = sum(1 for row in rows if row[0] == "FAIL")
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
    parser.add_argument("--setup-url", help="where learners download zept-setup.exe (default: the course "
                        "base URL and zept-setup.exe)")
    parser.add_argument("--cafile", help="also trust the certificates in this PEM file")
    parser.add_argument("--timeout", type=float, default=30, help="seconds to wait on the network (default 30)")
    args = parser.parse_args(argv)
    try:
        return check(os.path.abspath(args.build), args.setup_url, args.cafile, args.timeout)
    except (OSError, ValueError) as error:
        print("check-release: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
