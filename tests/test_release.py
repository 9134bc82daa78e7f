"""The release exe as Windows and its antivirus see it: imports, manifest,
version, image hardening, reproducible bytes and an Authenticode signature."""
import hashlib
import os
import re
import subprocess

import pefile
import pytest

from conftest import SOURCE, configure_and_build, exe, run_with_env

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
