"""Makes the artefacts that the test build of the setup downloads.

    make_artefacts.py PYTHONW_STANDIN OUT_DIR [--large MIB] [--runtime-mib MIB] [--pack]

OUT_DIR receives python-embed.zip (the pythonw.exe stand-in at its top
level) and the course folder course/ (ZEPT-Launcher.pyw at its top level,
and a few course files: one incompressible, one larger than the package
itself): release 0.1.0. Release 0.2.0 is course-b/ (one lesson changed, one
dropped, one added); python-embed-b.zip is a later runtime (one file
dropped, one added). Both archives are made by the publisher's packer (publish/pack.py):
the build packs course/ as a publisher's build would; --pack packs it here
into zept-payload.zip and cuts that in two halves, zept-payload.part01 and
part02, as a package made elsewhere and pinned by hand is (for the
benchmarks' hand-pinned builds).
--large adds a course file of that many MiB of incompressible data,
--runtime-mib one to the runtime archive (for benchmarks).
"""
import argparse
import os
import random
import shutil
import sys

# The packer is imported from the sources: no byte-code cache may land there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "publish"))
import pack  # noqa: E402
from installation import write_tree  # noqa: E402

LAUNCHER = b'"""Tarnwick - Olvenmark, title 1: opens the course."""\r\nprint("Tarnwick")\r\n'


def noise(seed, size):
    """size incompressible bytes, the same for the same seed."""
    rng = random.Random(seed)
    return b"".join(rng.randbytes(min(1 << 20, size - done)) for done in range(0, size, 1 << 20))


def course_members(large_mib):
    members = [
        ("ZEPT-Launcher.pyw", LAUNCHER),
        ("course/lesson-01.txt", b"Lesson 1: the harbour of Tarnwick.\r\n" * 200),
        ("course/lesson-02.txt", b"Lesson 2: the salt road.\r\n" * 300),
        # Incompressible: the package is larger than the runtime's pythonw.exe.
        ("course/media/map.bin", noise(1, 600000)),
        # Compressible: one file larger than the whole package, so that a
        # limit on file size can fall in the course's extraction.
        ("course/media/tour.txt", b"The tour of the old harbour, step by step.\r\n" * 50000),
    ]
    if large_mib:
        members.append(("course/media/large.bin", noise(2, large_mib << 20)))
    return members


def course_b_members():
    """Release 0.2.0: lesson 1 fixed, lesson 2 dropped, lesson 3 new."""
    members = [m for m in course_members(0) if m[0] != "course/lesson-02.txt"]
    members = [(n, b"Lesson 1: the harbour of Tarnwick, corrected.\r\n" * 200 if n == "course/lesson-01.txt" else d)
               for n, d in members]
    return members + [("course/lesson-03.txt", b"Lesson 3: the lighthouse.\r\n" * 250)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pythonw")
    parser.add_argument("out")
    parser.add_argument("--large", type=int, default=0)
    parser.add_argument("--runtime-mib", type=int, default=0)
    parser.add_argument("--pack", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with open(args.pythonw, "rb") as f:
        pythonw = f.read()

    runtime_members = [("pythonw.exe", pythonw), ("python312._pth", b"python312.zip\r\n.\r\n"),
                       ("python312.dll", noise(4, 40000))]
    if args.runtime_mib:
        runtime_members.append(("python312.zip", noise(3, args.runtime_mib << 20)))
    runtime_b = [m for m in runtime_members if m[0] != "python312._pth"] + [
        ("python313._pth", b"python313.zip\r\n.\r\n")]
    runtime = os.path.join(args.out, "runtime")
    for members, name in ((runtime_members, "python-embed.zip"), (runtime_b, "python-embed-b.zip")):
        write_tree(runtime, dict(members), exact=True)
        pack.write_zip(pack.folder_entries(runtime), os.path.join(args.out, name))
        shutil.rmtree(runtime)
    write_tree(os.path.join(args.out, "course"), dict(course_members(args.large)), exact=True)
    write_tree(os.path.join(args.out, "course-b"), dict(course_b_members()), exact=True)
    if args.pack:
        package = os.path.join(args.out, "zept-payload.zip")
        scratch = os.path.join(args.out, "content-parts")
        if pack.main([os.path.join(args.out, "course"), scratch, "--package", package]) != 0:
            return 1
        shutil.rmtree(scratch)
        size = os.path.getsize(package)
        with open(package, "rb") as source:
            for n, length in ((1, size // 2), (2, size - size // 2)):
                with open(os.path.join(args.out, "zept-payload.part%02d" % n), "wb") as part:
                    while length:
                        block = source.read(min(length, 1 << 20))
                        part.write(block)
                        length -= len(block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
