"""Packs a course folder into the course package of zept-setup.exe and its
parts, deterministically, and pins them.

    pack.py COURSE_DIR OUT_DIR [--part-mib N | --part-size BYTES] [--package FILE] [--pins FILE] [--stamp FILE]

OUT_DIR receives the parts (what the course host serves), each named by its
content: its SHA-256 in hex and ".part". A name never changes meaning, so
the parts of every release share one folder: a part that an earlier pack
put there is kept, and only the new ones need uploading (the pack says how
many and how large). SHA256SUMS (sha256sum format) lists every part in the
folder. --pins writes the digests and the parts' sizes as a CMake fragment
(ZEPT_PACK_PAYLOAD_SHA256, ZEPT_PACK_PART_SHA256, ZEPT_PACK_PART_SIZES),
--package keeps the assembled package, --stamp skips the work when neither
the course nor the options changed since the last pack that wrote that
stamp.

The package is a ZIP (deflate, or stored for data that does not compress;
the UTF-8 flag on names that are not ASCII) with sorted entries, fixed
times (SOURCE_DATE_EPOCH when set), fixed attributes and no owner names:
the same folder gives the same bytes in any place. It is cut where its
content says, not at fixed offsets, so that an edit inside one file changes
only the part that holds it (perhaps its neighbour) and the last one:
- cuts fall between entries: a part ends after an entry whose name's hash
  falls below the entry's share of the target size, once it holds half the
  target, and before it would grow past twice the target;
- an entry larger than twice the target is cut at fixed offsets counted
  from its own start (an unchanged large file gives the same parts wherever
  it lies);
- the central directory and the end records, which name every entry's
  offset, are the last part, of their own.
Before anything is written the course is checked (a one-line error names
the offending path, exit code 1), and the package is extracted again with
bsdtar, the engine of Windows' tar.exe, and compared with the folder file
by file.
"""
import argparse
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

LAUNCHER = "ZEPT-Launcher.pyw"
PART_SUFFIX = ".part"
PART_FILE = re.compile(r"^[0-9a-f]{64}\.part$")
PART_LINE = re.compile(r"  [0-9a-f]{64}\.part$")
MIB = 1 << 20
CHUNK = 1 << 20
PROBE = 256 << 10  # the start of a file that decides whether it is deflated
DEFAULT_STAMP = (1980, 1, 1, 0, 0, 0)  # the earliest time a ZIP can hold
RESERVED = {"CON", "PRN", "AUX", "NUL"} | {"COM%d" % n for n in range(1, 10)} | {"LPT%d" % n for n in range(1, 10)}
FORBIDDEN = set('<>:"|?*\\') | {chr(c) for c in range(32)}


class CourseError(Exception):
    """A course folder that cannot be packed; the message names the path."""


def zip_time():
    """The time every entry carries: SOURCE_DATE_EPOCH, or a fixed default."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch:
        return DEFAULT_STAMP
    if not epoch.isdigit():
        raise CourseError("SOURCE_DATE_EPOCH: not a whole number of seconds: %r" % epoch)
    stamp = time.gmtime(int(epoch))[:6]
    return max(DEFAULT_STAMP, min(stamp, (2107, 12, 31, 23, 59, 58)))


def windows_name_problem(name):
    """Why Windows cannot hold a file or folder of this name, or None."""
    if any(c in FORBIDDEN for c in name):
        return "a character Windows does not allow in a name"
    if name.endswith((".", " ")):
        return "a name ending in a dot or a space"
    if name.split(".")[0].rstrip(" ").upper() in RESERVED:
        return "a device name that Windows reserves"
    return None


def fold_case(name):
    """The name as Windows compares names: case-insensitive, one character
    for one."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def course_entries(course):
    """The entries of a course folder (see folder_entries), which must hold
    the launcher; raises CourseError on the first problem."""
    if not os.path.isdir(course):
        raise CourseError("%s: no such course folder" % course)
    launcher = os.path.join(course, LAUNCHER)
    if not os.path.isfile(launcher) or os.path.islink(launcher):
        raise CourseError("%s: the course folder has no %s file at its top level" % (course, LAUNCHER))
    return folder_entries(course)


def folder_entries(folder):
    """[(relative path with "/", absolute path, is folder)] of everything
    below folder, sorted, after checking that Windows can hold every entry;
    raises CourseError on the first problem."""
    def unreadable(error):
        raise CourseError("%s: %s" % (error.filename, error.strerror))

    entries = []
    for base, dirs, files in os.walk(folder, onerror=unreadable):
        seen = {}
        for name in sorted(dirs + files):
            path = os.path.join(base, name)
            relative = os.path.relpath(path, folder).replace(os.sep, "/")
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                raise CourseError("%s: a symbolic link (pack the file or folder itself)" % path)
            if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
                raise CourseError("%s: not a regular file or folder" % path)
            problem = windows_name_problem(name)
            if problem:
                raise CourseError("%s: %s" % (path, problem))
            other = seen.setdefault(fold_case(name), name)
            if other != name:
                raise CourseError("%s: differs from %s only in case, which Windows cannot hold apart"
                                  % (path, other))
            entries.append((relative, path, stat.S_ISDIR(mode)))
    entries.sort()
    return entries


def compresses(probe):
    """Whether deflate gains on data that starts with probe. Data that does
    not compress (media, archives) is stored, as deflating it costs much
    time for nothing; the choice depends on the bytes alone."""
    if len(probe) < 4096:
        return True
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return len(packer.compress(probe) + packer.flush()) < 0.97 * len(probe)


def write_zip(entries, out, stamp=DEFAULT_STAMP):
    """Writes the entries (from course_entries, or any such list) as a
    deterministic ZIP to the file out, streaming each file."""
    with zipfile.ZipFile(out, "w") as archive:
        for relative, path, is_dir in entries:
            info = zipfile.ZipInfo(relative + "/" if is_dir else relative, stamp)
            info.create_system = 3  # attributes below are Unix modes
            if is_dir:
                info.external_attr = (0o40755 << 16) | 0x10
                archive.writestr(info, b"")
                continue
            info.external_attr = 0o100644 << 16
            info.file_size = os.path.getsize(path)
            with open(path, "rb") as source:
                probe = source.read(PROBE)
                info.compress_type = zipfile.ZIP_DEFLATED if compresses(probe) else zipfile.ZIP_STORED
                with archive.open(info, "w") as target:
                    target.write(probe)
                    shutil.copyfileobj(source, target, CHUNK)


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            block = fa.read(CHUNK)
            if block != fb.read(CHUNK):
                return False
            if not block:
                return True


def entry_extents(package):
    """[(name, first byte, end)] of every entry's local header and data, in
    the order they lie, and the offset of the central directory."""
    with zipfile.ZipFile(package) as archive:
        infos = sorted(archive.infolist(), key=lambda i: i.header_offset)
        directory = archive.start_dir
    starts = [i.header_offset for i in infos] + [directory]
    return [(info.filename, starts[n], starts[n + 1]) for n, info in enumerate(infos)], directory


def ends_here(name, size, target):
    """Whether a part may end after this entry: its name's hash, as a
    fraction, falls below the entry's share of the target size."""
    fraction = int.from_bytes(hashlib.sha256(name.encode("utf-8")).digest()[:8], "big")
    return fraction * target < size << 64


def cuts(extents, directory, end, target):
    """[(first byte, end)] of each part of a package whose entries lie at
    extents, whose central directory starts at directory and which ends at
    end."""
    parts = []
    begin = 0
    for name, first, last in extents:
        if last - first > 2 * target:
            # A large entry: parts of the target size from its own start.
            if first > begin:
                parts.append((begin, first))
            parts += [(at, min(last, at + target)) for at in range(first, last, target)]
            begin = last
            continue
        if last - begin > 2 * target and first > begin:
            parts.append((begin, first))
            begin = first
        if last - begin >= target // 2 and ends_here(name, last - first, target):
            parts.append((begin, last))
            begin = last
    if directory > begin:
        parts.append((begin, directory))
    parts.append((directory, end))
    return parts


def split(package, target, folder, extracted):
    """Cuts package into its parts in folder (named by content) while bsdtar
    extracts it into the new folder extracted (on another core); returns
    (the package's digest, [(each part's digest, size)])."""
    whole = hashlib.sha256()
    parts = []
    os.makedirs(extracted)
    extents, directory = entry_extents(package)
    with tempfile.TemporaryFile() as errors:
        tar = subprocess.Popen(["bsdtar", "-x", "-f", package, "-C", extracted], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=errors)
        with open(package, "rb") as source:
            for first, last in cuts(extents, directory, os.path.getsize(package), target):
                left = last - first
                digest = hashlib.sha256()
                scratch = os.path.join(folder, "part.tmp")
                with open(scratch, "wb") as out:
                    while left:
                        block = source.read(min(CHUNK, left))
                        left -= len(block)
                        digest.update(block)
                        whole.update(block)
                        out.write(block)
                os.replace(scratch, os.path.join(folder, digest.hexdigest() + PART_SUFFIX))
                parts.append((digest.hexdigest(), last - first))
        if tar.wait() != 0:
            errors.seek(0)
            raise CourseError("%s: bsdtar could not extract the package: %s"
                              % (package, errors.read().decode("utf-8", "replace").strip()))
    return whole.hexdigest(), parts


def compare(entries, extracted):
    """Compares the extracted package with the entries it was made from;
    raises CourseError naming the first difference."""
    found = set()
    for base, dirs, files in os.walk(extracted):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(base, name), extracted).replace(os.sep, "/"))
    expected = {relative for relative, _, _ in entries}
    for relative in sorted(found ^ expected):
        raise CourseError("%s: %s after extraction" % (relative, "missing" if relative in expected else "extra"))
    for relative, path, is_dir in entries:
        if not is_dir and not same_file(path, os.path.join(extracted, relative)):
            raise CourseError("%s: differs after extraction" % path)


def manifest(entries, args):
    """What a pack depends on: the options, this program and every entry's
    name, size and time."""
    lines = ["part size %d" % args.part_size, "epoch %s" % os.environ.get("SOURCE_DATE_EPOCH", ""),
             "packer %d" % os.stat(os.path.abspath(__file__)).st_mtime_ns]
    for relative, path, is_dir in entries:
        st = os.stat(path)
        lines.append("%s %d %d" % (relative, 0 if is_dir else st.st_size, st.st_mtime_ns))
    return "\n".join(lines) + "\n"


def other_sums(folder):
    try:
        with open(os.path.join(folder, "SHA256SUMS")) as f:
            return f.readlines()
    except FileNotFoundError:
        return []


def outputs(args):
    """What a pack writes (besides the parts, whose names the stamp cannot know)."""
    return [os.path.join(args.out, "SHA256SUMS")] + [f for f in (args.package, args.pins) if f]


def replace(scratch_file, target):
    """Moves a finished file into place (also onto another file system)."""
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    shutil.move(scratch_file, target)


def pack(args):
    entries = course_entries(args.course)
    for relative, _, _ in entries:
        if not relative.isascii():
            print("warning: %s: the name is not ASCII; Windows' tar reads some such names through the "
                  "ANSI code page of the learner's PC" % os.path.join(args.course, relative), file=sys.stderr)
    stamp_text = manifest(entries, args)
    if args.stamp and all(os.path.exists(f) for f in outputs(args)) and os.path.exists(args.stamp):
        with open(args.stamp) as f:
            stamp, _, made = f.read().partition("made\n")
        if stamp == stamp_text and all(os.path.exists(os.path.join(args.out, n)) for n in made.split()):
            print("course package up to date: %s" % args.out)
            return 0
    made_out = not os.path.exists(args.out)
    os.makedirs(args.out, exist_ok=True)
    try:
        return pack_into(args, entries, stamp_text)
    except CourseError:
        # A failed pack writes nothing, not even the output folder.
        if made_out:
            os.rmdir(args.out)
        raise


def pack_into(args, entries, stamp_text):
    # Everything is made in a scratch folder beside the output and moved into
    # place only after the round trip: a failed pack writes nothing.
    with tempfile.TemporaryDirectory(dir=args.out, prefix=".pack-") as scratch:
        package = os.path.join(scratch, "zept-payload.zip")
        write_zip(entries, package, zip_time())
        size = os.path.getsize(package)
        # The round trip: bsdtar, the engine of Windows' tar, must give back
        # the course exactly.
        extracted = os.path.join(scratch, "extracted")
        payload, parts = split(package, args.part_size, scratch, extracted)
        compare(entries, extracted)
        names = [digest + PART_SUFFIX for digest, _ in parts]
        new = [(name, n) for name, (_, n) in zip(names, parts) if not os.path.exists(os.path.join(args.out, name))]
        # Parts of earlier releases stay: older setups still fetch them.
        listed = sorted(set(names) | {f for f in os.listdir(args.out) if PART_FILE.match(f)})
        with open(os.path.join(scratch, "SHA256SUMS"), "w") as f:
            f.writelines("%s  %s\n" % (name[:64], name) for name in listed)
            # Lines of other files published beside the parts (the setup exe) stay.
            f.writelines(line for line in other_sums(args.out) if not PART_LINE.search(line))
        with open(os.path.join(scratch, "pins.cmake"), "w") as f:
            f.write('set(ZEPT_PACK_PAYLOAD_SHA256 "%s")\nset(ZEPT_PACK_PART_SHA256 "%s")\n'
                    'set(ZEPT_PACK_PART_SIZES "%s")\n'
                    % (payload, ";".join(d for d, _ in parts), ";".join(str(n) for _, n in parts)))
        for name in set(names):
            replace(os.path.join(scratch, name), os.path.join(args.out, name))
        replace(os.path.join(scratch, "SHA256SUMS"), os.path.join(args.out, "SHA256SUMS"))
        if args.package:
            replace(package, args.package)
        if args.pins:
            replace(os.path.join(scratch, "pins.cmake"), args.pins)
    if args.stamp:
        with open(args.stamp, "w") as f:
            f.write(stamp_text + "made\n" + "".join(name + "\n" for name in names))
    print("course package: %d bytes in %d parts, SHA-256 %s" % (size, len(parts), payload))
    print("%d of %d parts new, %.1f MB to upload" % (len(new), len(parts), sum(n for _, n in new) / MIB))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("course", help="the course folder (ZEPT-Launcher.pyw at its top level)")
    parser.add_argument("out", help="folder for the parts and SHA256SUMS")
    parser.add_argument("--part-mib", type=int, default=4, help="target size of a part in MiB (default 4)")
    parser.add_argument("--part-size", type=int, help="target size of a part in bytes (instead of --part-mib)")
    parser.add_argument("--package", help="keep the assembled package in this file")
    parser.add_argument("--pins", help="write the digests and sizes as a CMake fragment to this file")
    parser.add_argument("--stamp", help="skip the pack when nothing changed since the one that wrote this file")
    args = parser.parse_args(argv)
    if args.part_size is None:
        args.part_size = args.part_mib * MIB
    if args.part_size < 4096:
        parser.error("the target part size must be at least 4096 bytes, not %d" % args.part_size)
    try:
        return pack(args)
    except CourseError as error:
        print("pack: %s" % error, file=sys.stderr)
        return 1
    except OSError as error:
        print("pack: %s: %s" % (error.filename or args.course, error.strerror), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
