"""The release exe as Windows and its antivirus see it: imports, manifest,
version, image hardening, reproducible bytes and an Authenticode signature
made with a key file, a key on a token or a signing command."""
import hashlib
import os
import re
import shutil
import subprocess
import sys

import pefile
import pytest

import certs
from conftest import SOURCE, configure_and_build, crlf, exe, run_with_env
from installation import layout, setup_argv
from testserver import Route
import winepfx

OBJDUMP = "x86_64-w64-mingw32-objdump"
# DLLs that Windows always loads from the system folder.
KNOWN_DLLS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "user32.dll", "advapi32.dll",
              "gdi32.dll", "comdlg32.dll", "shlwapi.dll", "oleaut32.dll", "rpcrt4.dll", "ws2_32.dll",
              "ntdll.dll", "combase.dll", "sechost.dll", "bcryptprimitives.dll"}


def objdump(*args):
    return subprocess.run([OBJDUMP] + list(args), capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def release(build):
    return exe(build)


def test_static_imports_are_known_dlls_only(release):
    dump = objdump("-p", release)
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert imported and imported <= KNOWN_DLLS, imported
    # winhttp and bcrypt are still used: loaded by name from the system
    # folder, their functions bound at run time.
    with open(release, "rb") as f:
        image = f.read()
    for name in ("winhttp.dll", "bcrypt.dll"):
        assert name.encode("utf-16-le") in image, name
    for name in ("WinHttpOpen", "BCryptOpenAlgorithmProvider"):
        assert name.encode() + b"\0" in image, name
    assert "SetDefaultDllDirectories" in dump and "LoadLibraryExW" in dump


def test_manifest_and_version(release):
    pe = pefile.PE(release)
    manifest = None
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            entry = kind.directory.entries[0]
            assert entry.id == 1
            data = entry.directory.entries[0].data.struct
            manifest = pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
    assert manifest is not None
    assert re.search(r'<requestedExecutionLevel level="asInvoker"', manifest)
    assert "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in manifest  # Windows 10 and 11
    assert re.search(r"<longPathAware[^>]*>true</longPathAware>", manifest)

    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    assert strings["ProductName"] == "Tarnwick - Olvenmark"
    assert strings["FileVersion"] == strings["ProductVersion"] == "0.1.0"
    assert strings["OriginalFilename"] == "zept-setup.exe"
    assert strings["FileDescription"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00000001, 0)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00000001, 0)


def test_hardened_stripped_image(release, build):
    pe = pefile.PE(release)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in ("HIGH_ENTROPY_VA", "DYNAMIC_BASE", "NX_COMPAT"):
        assert flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name], name
    names = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
    assert ".reloc" in names  # relocations, so that ASLR can move the image
    for section in pe.sections:
        writable = section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
        executable = section.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
        assert not (writable and executable), section.Name
    assert pe.FILE_HEADER.PointerToSymbolTable == 0 and pe.FILE_HEADER.NumberOfSymbols == 0
    assert not any(n.startswith(".debug") for n in names)
    assert pe.FILE_HEADER.TimeDateStamp == 0
    with open(release, "rb") as f:
        image = f.read()
    for path in (SOURCE, build, os.path.expanduser("~")):
        assert path.encode() not in image


def test_two_clean_builds_are_byte_identical(work):
    first, output = configure_and_build(os.path.join(work, "a"))
    second, _ = configure_and_build(os.path.join(work, "second build", "in a deeper folder"))
    with open(first, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(second, "rb") as f:
        assert hashlib.sha256(f.read()).hexdigest() == digest
    # The build publishes the digest and the size.
    assert "SHA-256 " + digest in output
    assert "%d bytes" % os.path.getsize(first) in output
    with open(first + ".sha256") as f:
        assert f.read() == digest + "  zept-setup.exe\n"


def test_signed_build_verifies(build, work):
    cert = os.path.join(work, "publisher.pem")
    key = os.path.join(work, "publisher.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "30", "-subj", "/CN=Throwaway Test Publisher",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    signed, _ = configure_and_build(os.path.join(work, "signed"), "-DZEPT_SIGN_CERT=" + cert,
                                    "-DZEPT_SIGN_KEY=" + key)
    verify = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", cert],
                            capture_output=True, text=True)
    assert verify.returncode == 0, verify.stdout + verify.stderr
    assert "Signature verification: ok" in verify.stdout
    unsigned = subprocess.run(["osslsigncode", "verify", "-in", exe(build), "-CAfile", cert],
                              capture_output=True, text=True)
    assert unsigned.returncode != 0
    # Still the same program.
    run = run_with_env(build, signed, ["--selftest"])
    assert run.rc == 0
    assert run.text.endswith("SELFTEST PASSED\r\n")


SIGN = os.path.join(SOURCE, "publish", "sign.py")
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"
PIN = "271828"
COUNTERSIGNED = "Timestamp Server Signature verification: ok"


def verified(program, cafile):
    """osslsigncode's report on the signature of program (and its timestamp)
    chained to cafile, or "" when it does not verify."""
    run = subprocess.run(["osslsigncode", "verify", "-in", program, "-CAfile", cafile, "-TSA-CAfile", cafile],
                         capture_output=True, text=True)
    return run.stdout if run.returncode == 0 and "Signature verification: ok" in run.stdout else ""


@pytest.fixture
def token(work, cert_dir, monkeypatch):
    """A SoftHSM token (a real PKCS#11 module) holding the test publisher's
    key: (certificate, module, the key's URI); its PIN in ZEPT_TEST_PIN."""
    cert, key = certs.publisher(cert_dir)
    tokens = os.path.join(work, "tokens")
    os.makedirs(tokens)
    with open(os.path.join(work, "softhsm2.conf"), "w") as f:
        f.write("directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n" % tokens)
    monkeypatch.setenv("SOFTHSM2_CONF", os.path.join(work, "softhsm2.conf"))
    monkeypatch.setenv("ZEPT_TEST_PIN", PIN)
    pkcs8 = os.path.join(work, "publisher.p8")
    for command in (["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", pkcs8],
                    ["softhsm2-util", "--init-token", "--free", "--label", "zept", "--pin", PIN, "--so-pin", "31415926"],
                    ["softhsm2-util", "--import", pkcs8, "--token", "zept", "--label", "publisher", "--id", "01",
                     "--pin", PIN]):
        subprocess.run(command, check=True, capture_output=True)
    os.remove(pkcs8)
    return cert, SOFTHSM_MODULE, "pkcs11:token=zept;object=publisher;type=private"


def rebuild(tree_dir, *options):
    """Configures tree_dir again with options and builds; (exit code, the build's output)."""
    configure = subprocess.run(["cmake", "-S", SOURCE, "-B", tree_dir] + list(options), capture_output=True,
                               text=True)
    assert configure.returncode == 0, configure.stderr
    run = subprocess.run(["cmake", "--build", tree_dir, "--target", "zept-setup"], capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


def test_signing_with_a_key_on_a_token_and_with_a_command(build, work, cert_dir, token, course, servers,
                                                          monkeypatch):
    cert, module, uri = token
    ca = os.path.join(cert_dir, "ca.pem")
    # A timestamp server of the test CA countersigns in both ways.
    tsa = servers(tls=False)
    tsa.routes["/"] = Route(answer=lambda query: certs.timestamp(cert_dir, query),
                            content_type="application/timestamp-reply")
    stamps = "-DZEPT_SIGN_TIMESTAMP_URL=http://localhost:%d/" % tsa.server_address[1]
    tree_dir = os.path.join(work, "B")
    signed, log = configure_and_build(tree_dir, "-DCMAKE_VERBOSE_MAKEFILE=ON", "-DZEPT_SIGN_CERT=" + cert,
                                      "-DZEPT_SIGN_PKCS11_MODULE=" + module, "-DZEPT_SIGN_PKCS11_KEY=" + uri,
                                      "-DZEPT_SIGN_PIN_ENV=ZEPT_TEST_PIN", stamps)
    assert COUNTERSIGNED in verified(signed, ca)
    # check-release trusts a timestamp of the system's roots alone (here
    # roots without the test CA, which the Debian 13 folder's system store
    # holds): this one fails its row though osslsigncode exits with 0.
    sys.path.insert(0, os.path.join(SOURCE, "publish"))
    import check_release
    with monkeypatch.context() as roots:
        roots.setenv("SSL_CERT_FILE", os.path.join(cert_dir, "rogue.pem"))
        assert check_release.signature_row(signed, "the setup", True, ca) == (
            "FAIL", "the setup: the timestamp does not verify (roots %s)" % os.path.join(cert_dir, "rogue.pem"))
    # The build's log shows the signing command; the PIN is neither there
    # nor in any file of the build.
    assert "publish/sign.py %s @" % signed in log and PIN not in log
    for folder, _, names in os.walk(tree_dir):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                assert PIN.encode() not in f.read(), name
    with open(os.path.join(tree_dir, "gen", "signing.txt")) as f:
        assert "--pin-env=ZEPT_TEST_PIN\n" in f.read()
    run = run_with_env(build, signed, ["--selftest"])
    assert run.rc == 0 and run.text.endswith("SELFTEST PASSED\r\n")

    # A setup signed on the token installs as any other.
    setup = os.path.join(work, "zept-setup.exe")
    shutil.copyfile(exe(build, "zept-setup-test"), setup)
    sign = [sys.executable, SIGN, setup, "--cert", cert, "--pkcs11-module", module, "--pkcs11-key", uri,
            "--pin-env", "ZEPT_TEST_PIN"]
    assert subprocess.run(sign, capture_output=True).returncode == 0
    assert verified(setup, ca)
    profile = os.path.join(work, "profile")
    os.makedirs(profile)
    rc, out, _ = winepfx.run(build, setup_argv(build, profile, exe=setup) + ["--quiet"])
    assert rc == 0, out
    with open(setup, "rb") as f, open(os.path.join(layout(profile)["root"], "zept-setup.exe"), "rb") as g:
        assert f.read() == g.read()
    # A wrong PIN: one line, and no exe is left to pass for a signed one.
    monkeypatch.setenv("ZEPT_TEST_PIN", "000000")
    refused = subprocess.run(sign, capture_output=True, text=True)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr == "sign: the token refused the PIN (osslsigncode: Login failed)\n"
    assert not os.path.exists(setup)

    # A signing service's command, given the exe's path: the test's own
    # wrapper around the key file signs, the signature must verify against
    # ZEPT_SIGN_CAFILE, and the build countersigns. Changing the way of
    # signing signs again.
    wrapper = os.path.join(work, "cloud sign.py")
    with open(wrapper, "w") as f:
        f.write("import os, subprocess, sys\n"
                "exe = sys.argv[-1]\n"
                "subprocess.run(['osslsigncode', 'sign', '-certs', %r, '-key', %r, '-in', exe, '-out', exe + '.s'],"
                " check=True, capture_output=True)\n"
                "os.replace(exe + '.s', exe)\n" % (cert, cert[:-4] + ".key"))
    command = "%s '%s'" % (sys.executable, wrapper)
    rc, log = rebuild(tree_dir, "-DZEPT_SIGN_CERT=", "-DZEPT_SIGN_PKCS11_MODULE=", "-DZEPT_SIGN_PKCS11_KEY=",
                      "-DZEPT_SIGN_PIN_ENV=", "-DZEPT_SIGN_COMMAND=" + command, "-DZEPT_SIGN_CAFILE=" + ca)
    assert rc == 0, log
    assert COUNTERSIGNED in verified(signed, ca)
    # A command that signs nothing stops the build with one line.
    rc, log = rebuild(tree_dir, "-DZEPT_SIGN_COMMAND=true")
    assert rc != 0
    lines = [line for line in log.splitlines() if line.startswith("sign: ")]
    assert lines == ["sign: the signing command left %s without a signature that verifies (chained to %s)"
                     % (signed, ca)], log
    assert not os.path.exists(signed)
