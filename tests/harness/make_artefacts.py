"""Makes the artefacts that the test build of the setup downloads.

    make_artefacts.py PYTHONW_STANDIN OUT_DIR [--large MIB] [--runtime-mib MIB]

OUT_DIR receives python-embed.zip (the pythonw.exe stand-in at its top
level), zept-payload.zip (ZEPT-Launcher.pyw at its top level, and a few
course files: one incompressible, one larger than the package itself) and that package split into zept-payload.part01 and .part02.
The archives are built with fixed time stamps, so the same inputs give the
same bytes. --large adds a course file of that many MiB of incompressible
data, --runtime-mib one to the runtime archive (for benchmarks; stored, not
compressed).
"""
import argparse
import io
import os
import random
import zipfile

STAMP = (2026, 1, 1, 0, 0, 0)
LAUNCHER = b'"""Tarnwick - Olvenmark, title 1: opens the course."""\r\nprint("Tarnwick")\r\n'


def noise(seed, size):
    """size incompressible bytes, the same for the same seed."""
    rng = random.Random(seed)
    return b"".join(rng.randbytes(min(1 << 20, size - done)) for done in range(0, size, 1 << 20))


def zip_bytes(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, STAMP)
            # Large random data does not compress: store it, and save the time.
            info.compress_type = zipfile.ZIP_STORED if len(data) > 8 << 20 else zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data)
    return buffer.getvalue()


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


def write(path, data):
    with open(path, "wb") as out:
        out.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pythonw")
    parser.add_argument("out")
    parser.add_argument("--large", type=int, default=0)
    parser.add_argument("--runtime-mib", type=int, default=0)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with open(args.pythonw, "rb") as f:
        pythonw = f.read()

    runtime_members = [("pythonw.exe", pythonw), ("python312._pth", b"python312.zip\r\n.\r\n")]
    if args.runtime_mib:
        runtime_members.append(("python312.zip", noise(3, args.runtime_mib << 20)))
    runtime = zip_bytes(runtime_members)
    package = zip_bytes(course_members(args.large))
    half = len(package) // 2
    write(os.path.join(args.out, "python-embed.zip"), runtime)
    write(os.path.join(args.out, "zept-payload.zip"), package)
    write(os.path.join(args.out, "zept-payload.part01"), package[:half])
    write(os.path.join(args.out, "zept-payload.part02"), package[half:])


if __name__ == "__main__":
    main()
