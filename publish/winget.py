"""Writes the Windows Package Manager (winget) manifests of a setup exe:
the version, installer and default-locale files of one release, as the
winget-pkgs repository takes them.

    winget.py EXE OUT_DIR --id ID --version V --url URL --publisher TEXT
              --name TEXT --license TEXT --description TEXT
              [--license-url URL] [--support-url URL]
    winget.py EXE OUT_DIR @FILE        the options in FILE, one a line

The installer file says what the setup is and does, as an IT department's
winget runs it: an exe for one user that never asks for administrator
rights, quiet with --quiet and logged with --log, found in Settings -> Apps
under its entry's key, its exit codes and what each means, the exe's
address and its SHA-256 (of the signed exe: run it after signing). The
texts are YAML double-quoted scalars, written the way JSON writes strings.
OUT_DIR is made anew beside itself and renamed into place, so nothing is
half-written when a write fails; an OUT_DIR that holds anything but the
manifests of ID is refused, and nothing in it is touched.
"""
import argparse
import hashlib
import json
import os
import shutil
import sys
import tempfile

SCHEMA = "1.12.0"
LOCALE = "en-US"
# The entry the setup writes under HKCU\...\Uninstall, as Settings shows it.
PRODUCT_CODE = "ZEPT-Tarnwick"
DISPLAY_NAME = "Tarnwick - Olvenmark"
DISPLAY_PUBLISHER = "Olvenmark"
INSTALL_LOCATION = "%LOCALAPPDATA%\\Programs\\ZEPT"
# Windows 10 1803, the first release with tar.exe in the system folder.
MINIMUM_OS_VERSION = "10.0.17134.0"
# No window to answer, no prompt at the end, the course not started.
QUIET = "--quiet"
# The setup's exit codes other than 0 and 1, and winget's word for each.
RETURN_CODES = [
    (50, "systemNotSupported"),        # run as the system account
    (82, "invalidParameter"),          # the --log file cannot be made
    (87, "invalidParameter"),          # an option not understood
    (112, "diskFull"),
    (170, "packageInUse"),             # the course is open
    (1618, "installInProgress"),       # another setup or removal runs
    (3017, "rebootRequiredForInstall"),  # files in use until a restart
]


def text(value):
    return json.dumps(value, ensure_ascii=False)


def manifests(exe_sha256, args):
    """{file name: content} of the three manifests."""
    head = ["PackageIdentifier: " + text(args.id), "PackageVersion: " + text(args.version)]

    def document(kind, lines):
        schema = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json" % (
            kind, SCHEMA)
        return "\n".join([schema, ""] + head + lines + ["ManifestType: " + kind, "ManifestVersion: " + SCHEMA, ""])

    installer = [
        "MinimumOSVersion: " + MINIMUM_OS_VERSION,
        "InstallerType: exe",
        "Scope: user",
        "InstallModes:", "- interactive", "- silent", "- silentWithProgress",
        "InstallerSwitches:",
        "  Silent: " + text(QUIET),
        "  SilentWithProgress: " + text(QUIET),
        "  Log: " + text('--log "<LOGPATH>"'),
        "ExpectedReturnCodes:"]
    for code, response in RETURN_CODES:
        installer += ["- InstallerReturnCode: %d" % code, "  ReturnResponse: " + response]
    installer += [
        "UpgradeBehavior: install",
        "ElevationRequirement: elevationProhibited",
        "ProductCode: " + text(PRODUCT_CODE),
        "AppsAndFeaturesEntries:",
        "- DisplayName: " + text(DISPLAY_NAME),
        "  Publisher: " + text(DISPLAY_PUBLISHER),
        "  DisplayVersion: " + text(args.version),
        "  ProductCode: " + text(PRODUCT_CODE),
        "InstallationMetadata:",
        "  DefaultInstallLocation: " + text(INSTALL_LOCATION),
        "Installers:",
        "- Architecture: x64",
        "  InstallerUrl: " + text(args.url),
        "  InstallerSha256: " + exe_sha256.upper()]
    locale = ["PackageLocale: " + LOCALE, "Publisher: " + text(args.publisher)]
    if args.support_url:
        locale.append("PublisherSupportUrl: " + text(args.support_url))
    locale += ["PackageName: " + text(args.name), "License: " + text(args.license)]
    if args.license_url:
        locale.append("LicenseUrl: " + text(args.license_url))
    locale.append("ShortDescription: " + text(args.description))
    return {args.id + ".yaml": document("version", ["DefaultLocale: " + LOCALE]),
            args.id + ".installer.yaml": document("installer", installer),
            "%s.locale.%s.yaml" % (args.id, LOCALE): document("defaultLocale", locale)}


def foreign_entries(out_dir, ident):
    """The names in out_dir that are not manifests of ident (files named
    ID.yaml, ID.installer.yaml or ID.locale.*.yaml)."""
    def ours(name):
        return os.path.isfile(os.path.join(out_dir, name)) and (
            name in (ident + ".yaml", ident + ".installer.yaml")
            or (name.startswith(ident + ".locale.") and name.endswith(".yaml")))
    return sorted(name for name in os.listdir(out_dir) if not ours(name))


def write_manifests(files, out_dir):
    """Writes {name: content} as the folder out_dir: into a fresh folder
    beside it, renamed into place; the folder it replaces goes last."""
    parent = os.path.dirname(out_dir)
    staging = tempfile.mkdtemp(prefix=".winget-", dir=parent)
    aside = None
    try:
        for name, content in files.items():
            with open(os.path.join(staging, name), "w", encoding="utf-8", newline="\n") as f:
                f.write(content)
        if os.path.isdir(out_dir):
            aside = staging + ".old"
            os.replace(out_dir, aside)
        os.replace(staging, out_dir)
    except OSError:
        shutil.rmtree(staging, ignore_errors=True)
        if aside and not os.path.exists(out_dir):
            os.replace(aside, out_dir)
        raise
    if aside:
        shutil.rmtree(aside, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], fromfile_prefix_chars="@",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("out_dir")
    for name in ("id", "version", "url", "publisher", "name", "license", "description"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--license-url")
    parser.add_argument("--support-url")
    args = parser.parse_args(argv)
    out_dir = os.path.abspath(args.out_dir)
    try:
        if os.path.exists(out_dir) and not os.path.isdir(out_dir):
            print("winget: %s: not a folder" % out_dir, file=sys.stderr)
            return 1
        foreign = foreign_entries(out_dir, args.id) if os.path.isdir(out_dir) else []
        if foreign:
            print("winget: %s: holds %s, which is not a manifest of %s; name an empty folder or the manifests' own"
                  % (out_dir, foreign[0], args.id), file=sys.stderr)
            return 1
        digest = hashlib.sha256()
        with open(args.exe, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        os.makedirs(os.path.dirname(out_dir), exist_ok=True)
        write_manifests(manifests(digest.hexdigest(), args), out_dir)
    except OSError as error:
        print("winget: %s: %s" % (error.filename or out_dir, error.strerror), file=sys.stderr)
        return 1
    print("winget manifests of %s %s: %s" % (args.id, args.version, args.out_dir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
