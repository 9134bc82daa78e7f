"""The demo of scripts/demo.sh: a first install and a second run of the demo
build of zept-setup.exe under the build's Wine prefix, with a loopback HTTPS
server in place of python.org and the course host.

    demo.py BUILD_DIR
"""
import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "harness"))
import installation  # noqa: E402
import testserver  # noqa: E402
import winepfx  # noqa: E402

PYTHON_PATH = "ftp/python/3.12.10/python-3.12.10-embed-amd64.zip"


def say(text):
    print("\n== " + text, flush=True)


def show_tree(folder):
    for base, dirs, files in sorted(os.walk(folder)):
        dirs.sort()
        depth = os.path.relpath(base, folder).count(os.sep) + (base != folder)
        print("   " + "  " * depth + os.path.basename(base) + "/")
        for name in sorted(files):
            print("   " + "  " * (depth + 1) + "%s (%d bytes)" % (name, os.path.getsize(os.path.join(base, name))))


def setup_run(build, profile, args=(), exe=None):
    argv = installation.setup_argv(build, profile, exe=exe) + list(args)
    rc, out, _ = winepfx.run(build, argv, stdin=b"\n")
    sys.stdout.write(out.decode("ascii", "replace").replace("\r\n", "\n"))
    print("[exit code %d; Enter was pressed for the prompt]" % rc)
    return rc


def main():
    build = os.path.abspath(sys.argv[1])
    demo = os.path.join(build, "demo")
    shutil.rmtree(demo, ignore_errors=True)
    served = os.path.join(demo, "served")
    profile = os.path.join(demo, "Local App Data")
    os.makedirs(os.path.join(served, os.path.dirname(PYTHON_PATH)))
    os.makedirs(os.path.join(served, "downloads"))
    os.makedirs(profile)
    artefacts = os.path.join(build, "artefacts")
    shutil.copyfile(os.path.join(artefacts, "python-embed.zip"), os.path.join(served, PYTHON_PATH))
    # The course host: every part of the packed releases, named by content.
    for part in os.listdir(os.path.join(artefacts, "parts")):
        if part.endswith(".part"):
            shutil.copyfile(os.path.join(artefacts, "parts", part), os.path.join(served, "downloads", part))

    if winepfx.up(build) != 0:
        return 1
    user = winepfx.user_dir(build)
    links = [os.path.join(user, "Desktop", "Tarnwick.lnk"),
             os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                          "Tarnwick.lnk")]
    certs = winepfx.paths(build)["certs"]
    port = installation.course_port(build)
    server = testserver.start(port, root=served, cert=os.path.join(certs, "localhost.pem"),
                              key=os.path.join(certs, "localhost.key"))
    try:
        say("Release build: %s (%d bytes)" % (os.path.join(build, "zept-setup.exe"),
                                               os.path.getsize(os.path.join(build, "zept-setup.exe"))))
        rc, out, _ = winepfx.run(build, [os.path.join(build, "zept-setup.exe"), "--selftest"])
        sys.stdout.write(out.decode("ascii").replace("\r\n", "\n"))

        say("First install (demo build, downloading from https://localhost:%d)" % port)
        if setup_run(build, profile) != 0:
            return 1
        print("requests served:", ", ".join(r.path for r in server.requests))
        say("Installed files under LOCALAPPDATA\\Programs\\ZEPT")
        time.sleep(1)
        show_tree(os.path.join(profile, "Programs", "ZEPT"))
        for link in links:
            say("Shortcut " + winepfx.windows_path(link).replace(winepfx.windows_path(user), "%USERPROFILE%"))
            rc, out, _ = winepfx.run(build, [winepfx.tool(build, "lnk-read"), winepfx.windows_path(link)])
            sys.stdout.write(out.decode("utf-8"))
        say("The course was started as (the stand-in pythonw.exe recorded it)")
        with open(os.path.join(profile, "Programs", "ZEPT", "python", "launch-record.txt")) as f:
            sys.stdout.write(f.read())

        server.requests.clear()
        say("Second run: the installation is complete, nothing is downloaded")
        if setup_run(build, profile) != 0:
            return 1
        print("requests served:", len(server.requests))

        # A classroom: the course fetched once into a folder, installed from there.
        copy = os.path.join(demo, "USB stick", "Tarnwick")
        teacher = os.path.join(demo, "Teacher")
        os.makedirs(teacher)
        say("An offline copy: zept-setup.exe --layout \"%s\"" % winepfx.windows_path(copy))
        if setup_run(build, teacher, ["--layout", winepfx.windows_path(copy)]) != 0:
            return 1
        show_tree(copy)
        server.requests.clear()
        pc = os.path.join(demo, "Another PC")
        os.makedirs(pc)
        say("Another PC runs the setup of the offline copy")
        if setup_run(build, pc, exe=os.path.join(copy, "zept-setup.exe")) != 0:
            return 1
        print("requests served:", len(server.requests))
    finally:
        testserver.stop(server)
        for link in links:
            if os.path.exists(link):
                os.remove(link)
        shutil.rmtree(demo, ignore_errors=True)
        winepfx.down(build)
    return 0


if __name__ == "__main__":
    sys.exit(main())
