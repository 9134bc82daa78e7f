"""Fault suite: the setup killed at any moment of a first install, of an
update, of a repair or of a removal, a full disk, servers that misbehave, two setups at
once. After every fault nothing unverified may be
left for a later run to trust, and the next run must complete a clean
installation.

    faults.py --build DIR [--long] [--seed N] [--report FILE] [--only KIND]

Quick mode (the test command) runs a few trials of each kind; --long runs
many more. Prints one line per trial, the figures, and a closing
"N passed, N failed" line; exits 1 when any trial did not recover.
"""
import argparse
import io
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "harness"))
import installation as inst  # noqa: E402
import testserver  # noqa: E402
import winepfx  # noqa: E402

SLOW = (4096, 0.02)  # bytes, seconds: widens every window of a first install
MAX_DRAWS = 10      # kill moments one kill trial may draw before it gives up
TRANSFER_BUFFER = 65536  # the download's buffer: at most this much of a partial file may be fetched again


class Suite:
    def __init__(self, build, seed, long_mode):
        self.build = build
        self.seed = seed
        self.rng = random.Random(seed)
        self.long = long_mode
        self.results = []   # (kind, name, ok, detail)
        self.figures = {}
        self.work = os.path.join(build, "faults")
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.count = 0
        self.starts = 0

    # -- running the setup -------------------------------------------------

    def profile(self):
        self.count += 1
        path = os.path.join(self.work, "profile %03d" % self.count)
        os.makedirs(path)
        return path

    def start(self, profile, limit=None, variant="zept-setup-test", args=(), exe=None):
        """Starts the setup (the variant's, or exe) with args in the
        background; Enter is already typed."""
        self.starts += 1
        tmp = os.path.join(self.work, "io-%04d" % self.starts)
        os.makedirs(tmp, exist_ok=True)
        with open(os.path.join(tmp, "in"), "wb") as f:
            f.write(b"\n")

        def limited():
            # Writes beyond the limit fail with "file too large", as on a full disk.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        stdin = open(os.path.join(tmp, "in"), "rb")
        out = open(os.path.join(tmp, "out"), "wb")
        argv, proc_code = winepfx.whole_code(inst.setup_argv(self.build, profile, variant, exe) + list(args), tmp)
        proc = subprocess.Popen(winepfx.wine_command(["wine"] + argv),
                                env=winepfx.wine_env(self.build),
                                stdin=stdin, stdout=out, stderr=subprocess.DEVNULL,
                                preexec_fn=limited if limit else None)
        proc.files = (stdin, out, os.path.join(tmp, "out"))
        proc.code_file = proc_code
        return proc

    def finish(self, proc, timeout=None):
        """Waits for the setup; returns (exit code or None when the guard
        ran out, output text, seconds)."""
        started = time.monotonic()
        try:
            rc = winepfx.exit_code(proc.wait(timeout=timeout), proc.code_file)
        except subprocess.TimeoutExpired:
            self.kill_setups()
            proc.wait()
            rc = None
        for f in proc.files[:2]:
            f.close()
        with open(proc.files[2], "rb") as f:
            text = f.read().decode("ascii", "replace").replace("\r\n", "\n")
        return rc, text, time.monotonic() - started

    def run(self, profile, limit=None, timeout=300, variant="zept-setup-test", exe=None):
        return self.finish(self.start(profile, limit, variant, exe=exe), timeout)

    def kill_setups(self):
        """SIGKILL to every process of the setup's tree in this prefix: the
        launcher, the setup (or its removal copy), tar and the bsdtar behind it."""
        killed = 0
        quiet = 0
        # Until three scans in a row find none: a program that was being
        # started as the others died (the removal's copy, tar) comes up a
        # moment later, and would go on beside the next run.
        while quiet < 3:
            found = [pid for name in (b"zept-setup-", b"zept-setup.exe", b"zept-removal.exe", b"env-run.exe",
                                      b"tar.exe", b"bsdtar") for pid in inst.windows_processes(self.build, name)]
            quiet = 0 if found else quiet + 1
            for pid in found:
                try:
                    os.kill(pid, signal.SIGKILL)
                    killed += 1
                except OSError:
                    pass
            time.sleep(0.05)
        return killed

    def kill_at(self, proc, seconds, reached=None, after=0.0):
        """Kills the setup proc at a random moment of its first seconds, or,
        with reached, a random moment within after seconds of reached()
        becoming true. Returns (the moment, whether the kill hit it running)."""
        started = time.monotonic()
        if reached:
            while proc.poll() is None and not reached():
                time.sleep(0.005)
            time.sleep(self.rng.uniform(0, after))
        else:
            time.sleep(self.rng.uniform(0.2, seconds))
        at = time.monotonic() - started
        alive = proc.poll() is None
        if alive:
            self.kill_setups()
        self.finish(proc)
        return at, alive

    def recover(self, profile, server, variant="zept-setup-test"):
        """Runs the setup with a healthy server until it completes (at most
        three runs); returns the problems of the installation afterwards."""
        server.routes.update(inst.course_routes(self.build))
        for _ in range(3):
            inst.remove_shortcuts(self.build)
            inst.forget_launch(profile)
            rc, text, _ = self.run(profile, variant=variant)
            if rc == 0:
                return inst.installation_problems(self.build, profile, variant)
        return ["no run completed: " + text.strip().splitlines()[-2]]

    def record(self, kind, name, ok, detail="", limit=False):
        """ok: recovered. limit: recovered, but a known limit of the stack
        under Wine showed (reported, not counted as a failure)."""
        self.results.append((kind, name, ok, detail, limit))
        status = "FAIL" if not ok else "limit" if limit else "ok"
        print("%-5s %-12s %-38s %s" % (status, kind, name, detail), flush=True)

    def ends_with_message(self, text, messages):
        return any(text.endswith(m + "\nPress Enter to close this window.\n") for m in messages)

    # -- the faults --------------------------------------------------------

    def evil_archive(self, name):
        """A well-formed ZIP that is not the pinned artefact: its extra
        member would show if it were ever extracted."""
        original = inst.zip_tree(inst.artefact(self.build, name))
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            for member, data in original.items():
                archive.writestr(member, data)
            archive.writestr("evil.txt", b"this file failed its digest")
        return buffer.getvalue()

    def kept(self, downloads):
        """{URL path: bytes of that artefact in the folder downloads}: the
        whole file's size where it is there, else its partial file's."""
        found = {}
        for path in [inst.PYTHON_PATH] + inst.part_paths(self.build):
            name = os.path.join(downloads, "python-embed.zip" if path == inst.PYTHON_PATH else os.path.basename(path))
            pin = (inst.sha256_of(os.path.join(self.build, "artefacts", "python-embed.zip"))
                   if path == inst.PYTHON_PATH else os.path.basename(path)[:64])
            partial = inst.partial_name(name, pin)
            found[path] = next((os.path.getsize(f) for f in (name, partial) if os.path.exists(f)), 0)
        return found

    def sent(self, server, since):
        """{URL path: body bytes the server sent for it} since request number since."""
        found = {}
        for request in server.requests[since:]:
            found[request.path] = found.get(request.path, 0) + request.sent
        return found

    def fetched_again(self, server, kept, sent_before, recovery, evil=None):
        """Figures of what a kill cost: of each artefact, what the recovery
        (its requests from number recovery on) fetched beyond what was
        missing from kept, and what was sent before the kill but not
        stored (the artefact evil, which failed its digest, excepted). A
        problem when more than a transfer buffer was fetched again."""
        sent_after = self.sent(server, recovery)
        again = max(sent_after.get(path, 0) - (len(server.routes[path].body) - kept[path])
                    for path in kept if path != evil)
        lost = max(sent_before.get(path, 0) - kept[path] for path in kept if path != evil)
        self.figures["most fetched again after a kill (bytes)"] = max(
            again, self.figures.get("most fetched again after a kill (bytes)", 0))
        self.figures["most sent but not stored at a kill (bytes)"] = max(
            lost, self.figures.get("most sent but not stored at a kill (bytes)", 0))
        return ["%d bytes fetched again" % again] if again > TRANSFER_BUFFER else []

    def phase(self, profile):
        """How far a killed run had come, read from what it left on disk."""
        p = inst.layout(profile)
        for key, phase in (("app", "5 swapped in: marker, shortcuts or launch"),
                           ("app_new", "4 course extraction"),
                           ("package", "3 package assembly"),
                           ("parts", "2 part downloads"),
                           ("python_new", "1 runtime extraction"),
                           ("runtime", "0 runtime download")):
            if key == "parts" and os.path.isdir(p["downloads"]) and any(
                    ".part" in name for name in os.listdir(p["downloads"])):
                return phase
            if key != "parts" and os.path.exists(p[key]):
                return phase
        return "0 runtime download"

    def killed(self, server, trials):
        """First installs over a slow server, killed at a random moment."""
        # Wine starts its own services on the first use of the shell and COM
        # in a session (about 10 s): a warm-up install keeps that out of the
        # calibration. Then: how long a slow first install takes, to spread
        # the kill points over it.
        self.run(self.profile())
        inst.remove_shortcuts(self.build)
        server.routes.update(inst.course_routes(self.build, trickle=SLOW))
        profile = self.profile()
        proc = self.start(profile)
        started = time.monotonic()
        extraction = None
        while proc.poll() is None:
            if extraction is None and self.phase(profile).startswith("4"):
                extraction = time.monotonic() - started
            time.sleep(0.01)
        seconds = time.monotonic() - started
        self.finish(proc)
        extraction = extraction or 0.75 * seconds
        self.figures["slow first install (s)"] = round(seconds, 1)
        self.figures["course extraction starts at (s)"] = round(extraction, 1)
        kills = 0
        draws = 0
        phases = {}
        for i in range(trials):
            late = i % 2 == 1
            # A setup that finished before its kill moment tested nothing:
            # the trial draws a new moment, on a new profile, until a kill
            # hits a running setup (at most MAX_DRAWS times).
            for _ in range(MAX_DRAWS):
                draws += 1
                profile = self.profile()
                server.routes.update(inst.course_routes(self.build, trickle=SLOW))
                # Early kills: most with one download that fails its digest.
                # Late kills: all healthy, so that the run gets that far.
                evil = None if late else self.rng.choice([None, inst.PYTHON_PATH] + inst.part_paths(self.build))
                if evil:
                    # A body that fails its digest: it must never be extracted.
                    if evil == inst.PYTHON_PATH:
                        body = self.evil_archive("python-embed.zip")
                    else:
                        body = inst.artefact(self.build, "parts/" + os.path.basename(evil))[::-1]
                    server.routes[evil] = testserver.Route(body=body, trickle=SLOW)
                # Half the kill points anywhere in the run; half after the
                # course extraction has begun, where the short windows are
                # (the extraction, the marker, the shortcuts, the launch):
                # those wait for the extraction folder to appear, then a
                # random delay.
                first_request = len(server.requests)
                proc = self.start(profile)
                at, alive = self.kill_at(proc, seconds, late and (
                    lambda: self.phase(profile).startswith("4")), seconds - extraction + 0.05)
                if alive:
                    break
            if alive:
                kills += 1
                phase = self.phase(profile)
                phases[phase] = phases.get(phase, 0) + 1
            # A killed run cannot clean up; what it leaves must just never be trusted.
            trusted = inst.trusted_but_wrong(self.build, profile)
            kept, sent_before = self.kept(inst.layout(profile)["downloads"]), self.sent(server, first_request)
            recovery = len(server.requests)
            problems = self.recover(profile, server)
            # What the next run fetched of an artefact beyond what was missing
            # (the one that failed its digest costs a whole download), and
            # what the kill lost in flight.
            problems += self.fetched_again(server, kept, sent_before, recovery, evil)
            evil_seen = [p for p in inst.tree(inst.layout(profile)["root"]) if p.endswith("evil.txt")]
            ok = not trusted and not problems and not evil_seen
            self.record("kill", "trial %d at %.2f s%s" % (i + 1, at, " (evil %s)" % os.path.basename(evil)
                                                          if evil else ""),
                        ok, ("" if alive else "no draw hit a running setup; ")
                        + "; ".join(trusted + problems + evil_seen), limit=not alive)
        self.figures["kill trials"] = trials
        self.figures["kills that hit a running setup"] = kills
        self.figures["kill moments drawn"] = draws
        for phase, count in sorted(phases.items()):
            self.figures["kills in phase " + phase] = count

    def on_their_way(self, profile):
        """How many partial files the downloads folder of profile holds."""
        downloads = inst.layout(profile)["downloads"]
        return sum(1 for name in os.listdir(downloads) if name.endswith(".partial")) if os.path.isdir(downloads) else 0

    def killed_side_by_side(self, server, trials):
        """First installs over a slow server, killed while at least two
        transfers are under way (two partial files growing). The next run
        must complete, fetching again at most one transfer buffer of each
        artefact that was on its way."""
        most = 0
        for i in range(trials):
            profile = self.profile()
            server.routes.update(inst.course_routes(self.build, trickle=SLOW))
            first_request = len(server.requests)
            proc = self.start(profile)
            at, alive = self.kill_at(proc, 0, lambda: self.on_their_way(profile) >= 2, 1.0)
            under_way = self.on_their_way(profile)
            most = max(most, under_way)
            trusted = inst.trusted_but_wrong(self.build, profile)
            kept, sent_before = self.kept(inst.layout(profile)["downloads"]), self.sent(server, first_request)
            recovery = len(server.requests)
            problems = self.recover(profile, server)
            problems += self.fetched_again(server, kept, sent_before, recovery)
            if not alive:
                problems.append("the setup ended before two transfers were under way")
            self.record("side-by-side", "trial %d at %.2f s, %d on their way" % (i + 1, at, under_way),
                        alive and not trusted and not problems, "; ".join(trusted + problems))
        self.figures["side-by-side kill trials"] = trials
        self.figures["most partial files at a kill"] = most

    def update_phase(self, profile):
        """How far a killed update from 0.1.0 to 0.2.0 had come."""
        p = inst.layout(profile)
        marker = open(p["marker"], "rb").read() if os.path.isfile(p["marker"]) else b""
        if marker != inst.MARKER:
            return "3 swap or after"
        if os.path.exists(p["app_new"]):
            return "2 course extraction"
        if os.path.exists(p["python_new"]):
            return "1 part downloads"
        return "0 runtime extraction"

    def updated(self, server, trials):
        """Release 0.1.0 installed, then the setup of 0.2.0 over a slow
        server, killed at a random moment. Afterwards 0.1.0 must be complete
        and intact, or the next run of 0.2.0 must complete it exactly."""
        update = "zept-setup-update"

        def installed_a():
            server.routes.update(inst.course_routes(self.build))
            profile = self.profile()
            rc, text, _ = self.run(profile)
            assert rc == 0, text
            server.routes.update(inst.course_routes(self.build, trickle=SLOW))
            return profile

        seconds = self.finish(self.start(installed_a(), variant=update))[2]
        self.figures["slow update (s)"] = round(seconds, 1)
        kills = 0
        phases = {}
        for i in range(trials):
            late = i % 2 == 1
            for _ in range(MAX_DRAWS):
                profile = installed_a()
                before = (inst.tree(inst.layout(profile)["python"], skip=("launch-record.txt",)),
                          inst.tree(inst.layout(profile)["app"]))
                proc = self.start(profile, variant=update)
                # Late: after the course extraction has begun, around the swap.
                at, alive = self.kill_at(proc, seconds, late and (lambda: self.update_phase(profile) >= "2"), 0.5)
                if alive:
                    break
            problems = []
            if alive:
                kills += 1
                phase = self.update_phase(profile)
                phases[phase] = phases.get(phase, 0) + 1
            p = inst.layout(profile)
            # The previous release complete by its marker must be intact.
            if os.path.isfile(p["marker"]) and open(p["marker"], "rb").read() == inst.MARKER:
                if before != (inst.tree(p["python"], skip=("launch-record.txt",)), inst.tree(p["app"])):
                    problems.append("0.1.0 marked complete but changed")
            problems += inst.trusted_but_wrong(self.build, profile)
            problems += self.recover(profile, server, variant=update)
            self.record("update", "trial %d at %.2f s" % (i + 1, at), not problems,
                        ("" if alive else "no draw hit a running setup; ") + "; ".join(problems), limit=not alive)
        self.figures["update kill trials"] = trials
        self.figures["update kills that hit a running setup"] = kills
        for phase, count in sorted(phases.items()):
            self.figures["update kills in phase " + phase] = count

    def repaired(self, server, trials):
        """Release 0.1.0 installed, then the runtime's DLL and a lesson
        deleted; the setup that repairs it killed at a random moment. The
        next run must complete the repair exactly, from the stored archives,
        with no request."""
        def damaged():
            server.routes.update(inst.course_routes(self.build))
            profile = self.profile()
            rc, text, _ = self.run(profile)
            assert rc == 0, text
            p = inst.layout(profile)
            os.remove(os.path.join(p["python"], "python312.dll"))
            os.remove(os.path.join(p["app"], "course", "lesson-01.txt"))
            return profile

        seconds = self.finish(self.start(damaged()))[2]
        self.figures["repair (s)"] = round(seconds, 1)
        kills = 0
        phases = {}
        for i in range(trials):
            for _ in range(MAX_DRAWS):
                profile = damaged()
                at, alive = self.kill_at(self.start(profile), seconds)
                if alive:
                    break
            p = inst.layout(profile)
            if alive:
                kills += 1
                phase = ("3 swap or after" if not os.path.exists(p["marker"]) else
                         "2 course" if os.path.exists(p["app_new"]) else
                         "1 runtime" if os.path.exists(p["python_new"]) else "0 check")
                phases[phase] = phases.get(phase, 0) + 1
            requests = len(server.requests)
            problems = self.recover(profile, server)
            if len(server.requests) != requests:
                problems.append("the repair fetched %s" % [r.path for r in server.requests[requests:]])
            self.record("repair", "trial %d at %.2f s" % (i + 1, at), not problems,
                        ("" if alive else "no draw hit a running setup; ") + "; ".join(problems), limit=not alive)
        self.figures["repair kill trials"] = trials
        self.figures["repair kills that hit a running setup"] = kills
        for phase, count in sorted(phases.items()):
            self.figures["repair kills in phase " + phase] = count

    def orphaned(self, server, trials):
        """A first install killed while its tar waits to extract the course,
        tar and bsdtar left running (as a tar.exe goes on after its setup
        was killed): the next run starts at once, while the orphan may write
        into the folders it works with. That run must complete exactly, and
        so must the one after the orphan has ended."""
        plan = os.path.join(winepfx.system32(self.build), "tar-plan.txt")
        server.routes.update(inst.course_routes(self.build))
        survived = 0
        for i in range(trials):
            profile = self.profile()
            with open(plan, "w") as f:
                f.write("wait zept-payload.zip\n")
            proc = self.start(profile)
            deadline = time.monotonic() + 120
            while proc.poll() is None and not os.path.exists(inst.layout(profile)["app_new"]) and \
                    time.monotonic() < deadline:
                time.sleep(0.005)
            time.sleep(self.rng.uniform(0, 1.5))
            os.remove(plan)
            for pid in [pid for name in (b"zept-setup-", b"env-run.exe") for pid in
                        inst.windows_processes(self.build, name)]:
                os.kill(pid, signal.SIGKILL)
            self.finish(proc)
            orphan = bool(inst.windows_processes(self.build, b"tar.exe"))
            survived += orphan
            inst.remove_shortcuts(self.build)
            rc, text, _ = self.run(profile)
            problems = [] if rc == 0 else ["the next run: exit %s, %r" % (rc, text.strip().splitlines()[-1:])]
            problems += inst.trusted_but_wrong(self.build, profile)
            deadline = time.monotonic() + 60
            while inst.windows_processes(self.build, b"tar.exe") and time.monotonic() < deadline:
                time.sleep(0.05)
            problems += inst.trusted_but_wrong(self.build, profile) + self.recover(profile, server)
            self.record("orphan-tar", "trial %d" % (i + 1), not problems,
                        ("" if orphan else "tar had ended before the next run; ") + "; ".join(problems),
                        limit=not orphan)
        self.figures["orphan-tar trials"] = trials
        self.figures["orphan-tar trials whose tar outlived the setup"] = survived

    def offline_copies(self, server, trials):
        """"--layout" into a folder over a slow server, killed at a random
        moment; then "--layout" again must complete the folder (the setup,
        the runtime and every part, exactly, nothing else) without fetching
        a byte twice, and a setup started from it must install with no
        request. The teacher's profile must stay empty."""
        exe = os.path.join(self.build, "zept-setup-test.exe")
        wanted = {name: inst.artefact(self.build, "parts/" + name) for name in inst.part_names(self.build)}
        wanted["python-embed.zip"] = inst.artefact(self.build, "python-embed.zip")
        with open(exe, "rb") as f:
            wanted["zept-setup.exe"] = f.read()

        def copy(folder, teacher):
            return self.start(teacher, args=["--layout", winepfx.windows_path(folder)])

        server.routes.update(inst.course_routes(self.build, trickle=SLOW))
        seconds = self.finish(copy(os.path.join(self.work, "copy 0"), self.profile()))[2]
        self.figures["slow offline copy (s)"] = round(seconds, 1)
        kills = 0
        for i in range(trials):
            for draw in range(MAX_DRAWS):
                folder = os.path.join(self.work, "copy %d.%d" % (i + 1, draw))
                teacher = self.profile()
                server.routes.update(inst.course_routes(self.build, trickle=SLOW))
                first_request = len(server.requests)
                at, alive = self.kill_at(copy(folder, teacher), seconds)
                if alive:
                    break
            kills += alive
            kept, sent_before = self.kept(folder), self.sent(server, first_request)
            server.routes.update(inst.course_routes(self.build))
            recovery = len(server.requests)
            rc, text, _ = self.finish(copy(folder, teacher))
            problems = [] if rc == 0 and "\nThe offline copy is ready" in text else [
                "the copy again: exit %s, %r" % (rc, text.strip().splitlines()[-2:-1])]
            problems += self.fetched_again(server, kept, sent_before, recovery)
            if inst.tree(folder) != wanted:
                problems.append("the folder holds %s" % sorted(inst.tree(folder)))
            if os.listdir(teacher):
                problems.append("the teacher's profile holds %s" % os.listdir(teacher))
            profile = self.profile()
            installing = len(server.requests)
            inst.remove_shortcuts(self.build)
            rc, _, _ = self.run(profile, exe=os.path.join(folder, "zept-setup.exe"))
            problems += inst.installation_problems(self.build, profile) if rc == 0 else ["the install: exit %s" % rc]
            if len(server.requests) > installing:
                problems.append("the install from the copy made %d requests" % (len(server.requests) - installing))
            self.record("layout", "trial %d at %.2f s" % (i + 1, at), not problems,
                        ("" if alive else "no draw hit a running copy; ") + "; ".join(problems), limit=not alive)
        self.figures["offline copy kill trials"] = trials
        self.figures["offline copy kills that hit a running copy"] = kills

    def removed(self, server, trials):
        """A removal started from the installed copy (as Settings starts it),
        killed at a random moment; then the removal again must finish it
        (odd trials), or the setup must install cleanly (even trials)."""
        server.routes.update(inst.course_routes(self.build))

        def installed():
            profile = self.profile()
            rc, text, _ = self.run(profile)
            assert rc == 0, text
            return profile

        def removal(profile, exe):
            self.starts += 1
            proc = winepfx.start(self.build, inst.setup_argv(self.build, profile, exe=exe) + ["--uninstall"],
                                 os.path.join(self.work, "io-%04d" % self.starts))
            return proc

        profile = installed()
        started = time.monotonic()
        inst.wait_for_removal(self.build, removal(profile, inst.layout(profile)["copy"]))
        seconds = time.monotonic() - started
        kills = 0
        for i in range(trials):
            for _ in range(MAX_DRAWS):
                profile = installed()
                proc = removal(profile, inst.layout(profile)["copy"])
                time.sleep(self.rng.uniform(0.05, seconds))
                alive = proc.poll() is None or bool(inst.windows_processes(self.build, b"zept-removal.exe"))
                if alive:
                    self.kill_setups()
                inst.wait_for_removal(self.build, proc)
                if alive:
                    break
            kills += alive
            problems = []
            if i % 2 == 0:
                rc, text = inst.wait_for_removal(
                    self.build, removal(profile, os.path.join(self.build, "zept-setup-test.exe")))
                text = text.replace("\r\n", "\n")
                finished = self.ends_with_message(text, ["Tarnwick was removed from this PC.\n",
                                                         "Tarnwick is not installed.\n"])
                if rc != 0 or not finished:
                    problems.append("the removal again: exit %s, %r" % (rc, text[-120:]))
                if os.path.exists(inst.layout(profile)["root"]) or inst.uninstall_entry(self.build) is not None:
                    problems.append("install root or entry left")
                name = "trial %d, then removal" % (i + 1)
            else:
                problems = self.recover(profile, server)
                name = "trial %d, then setup" % (i + 1)
            self.record("removal", name, not problems,
                        ("" if alive else "no draw hit a running removal; ") + "; ".join(problems), limit=not alive)
        self.figures["removal (s)"] = round(seconds, 1)
        self.figures["removal kill trials"] = trials
        self.figures["removal kills that hit a running removal"] = kills

    def disk_full(self, server):
        """Writes fail beyond a file size chosen to hit each step."""
        runtime = len(inst.artefact(self.build, "python-embed.zip"))
        pythonw = len(inst.zip_tree(inst.artefact(self.build, "python-embed.zip"))["pythonw.exe"])
        part = max(len(inst.artefact(self.build, "parts/" + name)) for name in inst.part_names(self.build))
        package = len(inst.artefact(self.build, "zept-payload.zip"))
        largest = max(len(d) for d in inst.zip_tree(inst.artefact(self.build, "zept-payload.zip")).values())
        assert runtime < pythonw < part < package < largest, "the artefacts no longer order the steps"
        cases = [
            ("runtime download", runtime // 2, inst.FAILURE_MESSAGES[1]),
            ("runtime extraction", (runtime + pythonw) // 2, inst.FAILURE_MESSAGES[3]),
            ("part download", (pythonw + part) // 2, inst.PACKAGE_FAILED),
            ("package assembly", (part + package) // 2, inst.PACKAGE_FAILED),
            ("course extraction", (package + largest) // 2, inst.FAILURE_MESSAGES[6]),
        ]
        if self.long:
            cases = cases * 4
        server.routes.update(inst.course_routes(self.build))
        for name, limit, message in cases:
            profile = self.profile()
            rc, text, _ = self.run(profile, limit=limit)
            trusted = inst.untrusted_leftovers(self.build, profile)
            package_left = os.path.exists(inst.layout(profile)["package"]) and name != "course extraction"
            failed_right = rc == 1 and self.ends_with_message(text, [message])
            problems = self.recover(profile, server)
            ok = failed_right and not trusted and not package_left and not problems
            detail = "" if failed_right else "exit %s, last line %r" % (rc, text.strip().splitlines()[-2:-1])
            self.record("disk-full", "%s (%d bytes)" % (name, limit), ok,
                        "; ".join([detail] + trusted + (["package left"] if package_left else []) + problems).strip("; "))
        self.figures["disk-full runs"] = len(cases)

    def servers(self, server):
        """Captive portal pages, silence, a stall mid-body, a redirect loop, a
        host that restarts every answer, a link gone for a few seconds."""
        guard = 200 if self.long else 45
        html = b"<html><body>Please sign in to the network.</body></html>"
        half = inst.artefact(self.build, "python-embed.zip")
        cases = [
            ("html page for the runtime", {inst.PYTHON_PATH: testserver.Route(body=html)},
             inst.FAILURE_MESSAGES[2]),
            ("html page for part 2", {inst.part_paths(self.build)[1]: testserver.Route(body=html)},
             inst.PACKAGE_FAILED),
            ("never answers", {inst.PYTHON_PATH: testserver.Route(stall=guard + 30, body=half)},
             inst.FAILURE_MESSAGES[1]),
            # Resumed after the receive time-out: the run completes.
            ("stalls halfway", {inst.PYTHON_PATH: testserver.Route(body=half, trickle=((len(half) + 1) // 2, guard + 30))},
             None),
            ("redirect loop", {inst.PYTHON_PATH: testserver.Route(status=302, location=inst.PYTHON_PATH)},
             inst.FAILURE_MESSAGES[1]),
            # Every answer restarts from the first byte and breaks off
            # halfway: no try gets further, and the run must end.
            ("ignores Range, drops halfway", {inst.PYTHON_PATH: testserver.Route(
                body=half, ranges=False, drop_after=len(half) // 2)}, inst.FAILURE_MESSAGES[1]),
            # The link gone for 6 s halfway: waited out, the run completes.
            ("gone for 6 s halfway", {inst.PYTHON_PATH: testserver.Route(
                body=half, cut_at=len(half) // 2, outage=6)}, None),
        ]
        for name, routes, message in cases:
            profile = self.profile()
            server.routes.update(inst.course_routes(self.build))
            server.routes.update(routes)
            rc, text, seconds = self.run(profile, timeout=guard)
            bounded = rc is not None
            trusted = inst.untrusted_leftovers(self.build, profile)
            if message is None:
                failed_right = rc == 0 and not inst.installation_problems(self.build, profile)
            else:
                failed_right = rc == 1 and self.ends_with_message(text, [message])
            problems = self.recover(profile, server)
            self.figures["time: " + name + " (s)"] = round(seconds, 1) if bounded else "over %d" % guard
            detail = "%.1f s" % seconds if bounded else "still waiting after %d s, stopped by the suite" % guard
            # Every case must end by itself with its message: a silent or
            # stalled server meets WinHTTP's receive time-out (30 s).
            self.record("server", name, failed_right and not trusted and not problems,
                        "; ".join([detail] + trusted + problems))

    def concurrent(self, server, pairs):
        """Two setups started together: one installs, the other finds the
        lock (or, started after the first ended, installs too)."""
        server.routes.update(inst.course_routes(self.build))
        outcomes = {"one completed, one found the lock": 0, "both completed": 0, "anything else": 0}
        for i in range(pairs):
            profile = self.profile()
            procs = [self.start(profile), self.start(profile)]
            runs = [self.finish(p, timeout=300) for p in procs]
            exits = sorted(rc for rc, _, _ in runs)
            locked = [text for rc, text, _ in runs if rc == inst.EXIT["locked"]]
            messages_ok = exits == [0, 0] or (exits == [0, inst.EXIT["locked"]] and
                                              self.ends_with_message(locked[0], [inst.LOCKED]))
            outcomes["both completed" if exits == [0, 0] else "one completed, one found the lock" if messages_ok
                     else "anything else"] += 1
            trusted = inst.untrusted_leftovers(self.build, profile)
            problems = self.recover(profile, server)
            self.record("together", "pair %d" % (i + 1), messages_ok and not trusted and not problems,
                        "; ".join(["exits %s" % [r[0] for r in runs]] + trusted + problems))
        self.figures.update({"pairs: " + k: v for k, v in outcomes.items()})

    # -- report ------------------------------------------------------------

    def report(self, path):
        failed = [r for r in self.results if not r[2]]
        limits = [r for r in self.results if r[2] and r[4]]
        kinds = {}
        for kind, _, ok, _, _ in self.results:
            total, good = kinds.get(kind, (0, 0))
            kinds[kind] = (total + 1, good + (1 if ok else 0))
        lines = [
            "# Reliability: fault suite",
            "",
            "Made by `scripts/faults.sh --long` (`tests/faults.py`): the test build of the setup under Wine",
            "against the loopback HTTPS server; seed %d, %s mode." % (self.seed, "long" if self.long else "quick"),
            "",
            "Machine: " + inst.machine_summary() + ".",
            "",
            "- **kill**: a first install over a server that trickles every body, killed (SIGKILL to the",
            "  setup, tar and bsdtar) at a random moment; a setup that finished before its moment is",
            "  not a kill, and the trial draws again on a new profile. In most trials one download is",
            "  a well-formed archive that fails its digest (it must never be extracted). Then the setup",
            "  runs with a healthy server until it completes. A marker cut short by a kill names no",
            "  release, so the next run completes the installation again. The server counts the body",
            "  bytes it sends: what the next run fetched of an artefact beyond what was missing from",
            "  its partial file (\"fetched again\"; the artefact that failed its digest excepted) may be",
            "  at most one transfer buffer (64 KiB); what was sent before the kill but not stored is",
            "  reported beside it.",
            "- **side-by-side**: a first install over the trickling server, whose files come up to four",
            "  at a time, killed within a second of the moment when two partial files are there (two",
            "  transfers under way); then the setup with a healthy server must complete, fetching again",
            "  at most one transfer buffer of each artefact that was on its way.",
            "- **update**: release 0.1.0 installed, then the setup of release 0.2.0 (a lesson changed,",
            "  one dropped, one added) over the trickling server, killed at a random moment (half of",
            "  them after its course extraction has begun, around the swap of the folders). Afterwards",
            "  0.1.0 must be complete by its marker and unchanged, or incomplete; then the setup of",
            "  0.2.0 must complete exactly 0.2.0.",
            "- **repair**: release 0.1.0 installed, then the runtime's DLL and a lesson deleted (what a",
            "  quarantine and a mistake do); the setup, which repairs both trees from the stored archives,",
            "  killed at a random moment. Then the setup must complete the repair exactly, with no request.",
            "- **orphan-tar**: a first install killed (the setup alone, SIGKILL) while its tar waits two",
            "  seconds before it extracts the course: tar and bsdtar go on, as a tar.exe does after its",
            "  setup was killed, and write into the folder they were given while the next run, started",
            "  at once, works beside them. That run must complete exactly and trust nothing unverified,",
            "  and so must the setup again once the orphan has ended.",
            "- **layout**: `--layout FOLDER` (the offline copy) over the trickling server, killed at a",
            "  random moment; then `--layout` again must complete the folder (the setup, the runtime",
            "  and every part, exactly, and nothing else) fetching again at most one transfer buffer",
            "  of what the killed run kept, and a setup started from the folder must install exactly",
            "  without a request. The profile it ran in must stay empty.",
            "- **removal**: a removal started from the installed copy of the setup (as Settings starts",
            "  it; it moves its own file to the temporary folder, or goes on from a copy there), killed",
            "  at a random moment. Then",
            "  the removal again must finish it (install root and entry gone), or the setup must",
            "  install cleanly.",
            "- **disk-full**: the setup runs under a file-size limit (writes beyond it fail, though not",
            "  with Windows' own \"disk full\", which the black-box tests meet on a small tmpfs), chosen",
            "  to fall in the runtime download, the runtime extraction, a part download, the package",
            "  assembly and the course extraction; it must end with the step's message and exit code 1,",
            "  leave no unverified archive, and the next run must complete.",
            "- **server**: an HTML page with status 200 for the runtime and for part 2, a server that",
            "  accepts the connection and never answers, a redirect loop, and a host that ignores",
            "  Range and drops every answer halfway: each must end with its message. A server that",
            "  stalls halfway through the body: the setup must resume after the receive time-out and",
            "  complete; a link gone for 6 s halfway through the runtime: the setup must wait it out",
            "  and complete.",
            "- **together**: two setups started at the same moment on the same profile: one installs,",
            "  the other finds the lock (\"The setup is already running in another window.\"), or,",
            "  started after the first had finished, opens the installation.",
            "",
            "A trial counts as recovered when nothing unverified was left for a later run to trust and",
            "the next run installed exactly the verified artefacts (both extracted trees compared file",
            "by file, the archives' digests, the marker's line, both shortcuts read back through",
            "the shell, the course started with the quoted launcher path, nothing else left in the",
            "install root).",
            "",
            "| kind | trials | recovered |",
            "|---|---|---|",
        ] + ["| %s | %d | %d |" % (k, t, g) for k, (t, g) in kinds.items()] + [
            "",
            "| figure | value |",
            "|---|---|",
        ] + ["| %s | %s |" % (k, v) for k, v in self.figures.items()] + [
            "",
            "Trials that did not recover: %d." % len(failed),
        ] + ["- %s %s: %s" % (k, n, d) for k, n, _, d, _ in failed] + [
            "",
            "Trials that recovered but met a known limit of the stack under Wine: %d." % len(limits),
        ] + ["- %s %s: %s" % (k, n, d) for k, n, _, d, _ in limits] + [
            "",
            "A server that never answers and one that stalls after part of a body both meet the",
            "setup's receive time-out (30 s, Windows' own default, set explicitly so that Wine's",
            "WinHTTP applies it too): the first ends the run with its message, the second is resumed.",
            "No download waits longer than two minutes without progress in all.",
        ]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--long", action="store_true")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--report")
    parser.add_argument("--only", help="run the trials of this kind alone (kill, side-by-side, update, repair, orphan-tar, layout, "
                                       "removal, disk-full, server, together)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    print("fault suite, %s mode, seed %d" % ("long" if args.long else "quick", seed), flush=True)
    if winepfx.up(build) != 0:
        return 1
    suite = Suite(build, seed, args.long)
    server = inst.start_course_server(build)
    try:
        kinds = [("kill", lambda: suite.killed(server, 100 if args.long else 10)),
                 ("side-by-side", lambda: suite.killed_side_by_side(server, 40 if args.long else 3)),
                 ("update", lambda: suite.updated(server, 40 if args.long else 4)),
                 ("repair", lambda: suite.repaired(server, 20 if args.long else 2)),
                 ("orphan-tar", lambda: suite.orphaned(server, 10 if args.long else 2)),
                 ("layout", lambda: suite.offline_copies(server, 20 if args.long else 3)),
                 ("removal", lambda: suite.removed(server, 20 if args.long else 4)),
                 ("disk-full", lambda: suite.disk_full(server)),
                 ("server", lambda: suite.servers(server)),
                 ("together", lambda: suite.concurrent(server, 20 if args.long else 3))]
        for kind, trials in kinds:
            if args.only in (None, kind):
                trials()
    finally:
        testserver.stop(server)
        inst.remove_shortcuts(build)
        # A course that a kill caught while the shell was starting it may
        # hang on; later tests in this prefix wait for every course to end.
        for pid in inst.windows_processes(build, b"pythonw.exe"):
            os.kill(pid, signal.SIGKILL)
    for key, value in suite.figures.items():
        print("  %s: %s" % (key, value))
    if args.report:
        suite.report(args.report)
    failed = sum(1 for r in suite.results if not r[2])
    print("%d passed, %d failed" % (len(suite.results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
