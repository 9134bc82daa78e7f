"""download() against loopback HTTP and HTTPS servers: bytes on disk, bytes
on the wire, and what a failure leaves in the file."""
import os
import random
import time

import pytest

from conftest import probe, windows_path
from testserver import Route

PREVIOUS = b"a file that was there before the call"


def body(size, seed=0):
    return random.Random(seed).randbytes(size)


def fetch(build, url, dest, size=0):
    run = probe(build, "download", url, windows_path(dest), *([str(size)] if size else []))
    assert run.rc in (0, 1), run
    return run.rc


def url_of(server, path, tls=True, explicit_port=True):
    scheme = "https" if tls else "http"
    port = ":%d" % server.server_address[1] if explicit_port else ""
    return "%s://localhost%s%s" % (scheme, port, path)


@pytest.mark.parametrize("tls", [True, False], ids=["https", "http"])
def test_bodies_arrive_byte_for_byte(build, work, servers, tls):
    server = servers(tls=tls)
    cases = {
        "/empty": Route(body=b""),
        "/one-chunk": Route(body=body(65536, 1)),
        "/three-chunks": Route(body=body(3 * 65536, 2)),
        "/odd": Route(body=body(3 * 65536 + 17, 3)),
        # Whole only once the host says how long it is: a 416 after it.
        "/chunked": Route(body=body(200001, 4), chunked=True),
    }
    server.routes.update(cases)
    for path, route in cases.items():
        dest = os.path.join(work, path.strip("/") + ".bin")
        assert fetch(build, url_of(server, path, tls), dest) == 1, path
        with open(dest, "rb") as f:
            assert f.read() == route.body, path


def test_large_body_over_https(build, work, servers):
    server = servers()
    data = body(64 * 1024 * 1024 + 12345, 5)
    server.routes["/large"] = Route(body=data)
    dest = os.path.join(work, "large.bin")
    assert fetch(build, url_of(server, "/large"), dest) == 1
    with open(dest, "rb") as f:
        assert f.read() == data


def test_one_get_with_only_the_stack_headers(build, work, servers):
    server = servers()
    server.routes["/file"] = Route(body=b"x")
    assert fetch(build, url_of(server, "/file"), os.path.join(work, "file")) == 1
    assert len(server.requests) == 1
    request = server.requests[0]
    assert (request.method, request.path) == ("GET", "/file")
    headers = dict(request.headers)
    assert headers["User-Agent"] == "zept-probe/1"  # the agent the caller gave
    # The program adds no header of its own; Host and Connection are the stack's.
    assert sorted(headers) == ["Connection", "Host", "User-Agent"]


@pytest.mark.parametrize("tls,port", [(True, 443), (False, 80)], ids=["https-443", "http-80"])
def test_default_ports(build, work, servers, tls, port):
    try:
        server = servers(tls=tls, port=port)
    except OSError:
        pytest.skip("port %d is taken on this machine" % port)
    server.routes["/default"] = Route(body=b"default port")
    dest = os.path.join(work, "default.bin")
    assert fetch(build, url_of(server, "/default", tls, explicit_port=False), dest) == 1
    with open(dest, "rb") as f:
        assert f.read() == b"default port"


def test_untrusted_certificate_fails_and_leaves_no_file(build, work, servers):
    server = servers(rogue=True)
    server.routes["/file"] = Route(body=b"x")
    dest = os.path.join(work, "file.bin")
    assert fetch(build, url_of(server, "/file"), dest) == 0
    assert not os.path.exists(dest)


@pytest.mark.parametrize("status", [404, 204, 206, 403])
@pytest.mark.parametrize("existing", [False, True], ids=["fresh", "earlier bytes"])
def test_any_status_but_200_fails_and_keeps_only_what_continues(build, work, servers, status, existing):
    server = servers()
    server.routes["/file"] = Route(status=status, body=b"partial or error body")
    dest = os.path.join(work, "file.bin")
    if existing:
        with open(dest, "wb") as f:
            f.write(PREVIOUS)
    assert fetch(build, url_of(server, "/file"), dest) == 0
    # An error keeps what an earlier call stored; a 206 that does not
    # continue it says those bytes are not this file's.
    if existing and status != 206:
        with open(dest, "rb") as f:
            assert f.read() == PREVIOUS
    else:
        assert not os.path.exists(dest)


def test_redirect_to_a_200_is_followed_by_the_stack(build, work, servers):
    server = servers()
    server.routes["/old"] = Route(status=302, location="/new")
    server.routes["/new"] = Route(body=b"moved content")
    dest = os.path.join(work, "moved.bin")
    assert fetch(build, url_of(server, "/old"), dest) == 1
    with open(dest, "rb") as f:
        assert f.read() == b"moved content"
    assert [r.path for r in server.requests] == ["/old", "/new"]


def test_bytes_that_are_not_the_file_are_replaced(build, work, servers):
    # Longer than the body: the 416 names another size, and the file starts over.
    server = servers()
    server.routes["/short"] = Route(body=b"new")
    dest = os.path.join(work, "file.bin")
    with open(dest, "wb") as f:
        f.write(PREVIOUS)
    assert fetch(build, url_of(server, "/short"), dest) == 1
    with open(dest, "rb") as f:
        assert f.read() == b"new"


SIZE = 300000
DATA = body(SIZE, 7)
MANY = DATA * 30  # a misconfigured host's answer: many times the file
ANY = object()    # the file after a failure, where the moment of the failure decides it


# What was in the file, how the host answers, the pinned size; then the
# result, the Range header of each request, the body bytes the host sent in
# all (an int: exactly; a tuple: at most), the file after a failure.
@pytest.mark.parametrize("partial,route,size,result,ranges,sent,left", [
    (None, dict(cut_at=270000), 0, 1, [None, "bytes=270000-"], SIZE, None),
    (None, dict(drop_after=100000), 0, 1, [None, "bytes=100000-", "bytes=200000-"], SIZE, None),
    # A chunked body cut short looks whole to Wine's WinHTTP: its pinned
    # size tells.
    (None, dict(chunked=True, cut_at=150000), SIZE, 1, [None, "bytes=150000-"], SIZE, None),
    (DATA[:100000], {}, 0, 1, ["bytes=100000-"], SIZE - 100000, None),
    (DATA[:100000], dict(ranges=False), SIZE, 1, ["bytes=100000-"], SIZE, None),
    (DATA + b"more", {}, 0, 1, ["bytes=300004-", None], SIZE, None),
    (DATA, {}, 0, 1, ["bytes=300000-"], 0, None),
    (None, dict(chunked=True), 0, 1, [None, "bytes=300000-"], SIZE, None),
    (DATA, {}, SIZE, 1, [], 0, None),
    (DATA + b"more", {}, SIZE, 1, [None], SIZE, None),
    (DATA[:100000], dict(status=206, body=DATA[:5]), 0, 0, ["bytes=100000-", None], 10, None),
    (DATA[:100000], dict(status=404, body=b"gone"), 0, 0, ["bytes=100000-"], 4, DATA[:100000]),
    # A resume answered from another offset (4 KiB early, 4 KiB late): not
    # one byte of it is appended, the file starts over.
    (DATA[:100000], dict(range_shift=-4096), 0, 1, ["bytes=100000-", None], (2 * SIZE - 100000 + 4096,), None),
    (DATA[:100000], dict(range_shift=4096), 0, 1, ["bytes=100000-", None], (2 * SIZE - 100000 - 4096,), None),
    # Sent in small pieces, so that what the host sent is what arrived.
    (None, dict(body=MANY, trickle=(16384, 0.002)), SIZE, 0, [None], (2 * SIZE,), None),
    (None, dict(body=MANY, trickle=(16384, 0.002), chunked=True), SIZE, 0, [None], (2 * SIZE,), None),
    # Restarts that creep on by 1000 bytes: progress each time, until the
    # call has received ten times the file (the host may have sent one answer more).
    (None, dict(ranges=False, drops=[100000 + 1000 * k for k in range(200)]), 0, 0,
     [None] + ["bytes=%d-" % (100000 + 1000 * k) for k in range(27)], (11 * SIZE,), ANY),
], ids=["cut once", "drops every 100000 bytes", "chunked cut, size pinned", "partial file resumed",
        "host ignores Range", "partial longer than the file: 416", "whole file: 416 names its size",
        "chunked, no size: whole once a 416 says so", "partial of the pinned size",
        "partial longer than the pinned size", "206 that does not continue it", "host failing: partial kept",
        "resume answered 4 KiB early", "resume answered 4 KiB late",
        "declared length past the pinned size", "body growing past the pinned size",
        "host that restarts and creeps on: bytes bounded"])
def test_a_download_resumes_what_it_has(build, work, servers, partial, route, size, result, ranges, sent, left):
    server = servers()
    server.routes["/file"] = Route(**dict(dict(body=DATA), **route))
    dest = os.path.join(work, "file.bin")
    if partial is not None:
        with open(dest, "wb") as f:
            f.write(partial)
    assert fetch(build, url_of(server, "/file"), dest, size) == result
    assert [dict(r.headers).get("Range") for r in server.requests] == ranges
    total = sum(r.sent for r in server.requests)
    assert total <= sent[0] if isinstance(sent, tuple) else total == sent
    if result:
        with open(dest, "rb") as f:
            assert f.read() == DATA
    elif left is None:
        assert not os.path.exists(dest)
    elif left is not ANY:
        with open(dest, "rb") as f:
            assert f.read() == left


def test_a_host_that_restarts_every_answer_runs_out_of_tries(build, work, servers):
    server = servers()
    # It ignores Range and drops every answer halfway: each try brings the
    # same first half again, which is no progress.
    server.routes["/file"] = Route(body=DATA, ranges=False, drop_after=SIZE // 2)
    dest = os.path.join(work, "file.bin")
    started = time.monotonic()
    assert fetch(build, url_of(server, "/file"), dest) == 0
    # The first answer, then six that brought nothing new, five waits between.
    assert [dict(r.headers).get("Range") for r in server.requests] == [None] + ["bytes=150000-"] * 6
    assert sum(r.sent for r in server.requests) == 7 * SIZE // 2
    assert time.monotonic() - started >= 30
    with open(dest, "rb") as f:
        assert f.read() == DATA[:SIZE // 2]


@pytest.mark.parametrize("url", [
    "ftp://localhost:{port}/file",
    "file:///C:/windows/win.ini",
    "https://" + "h" * 256 + ":{port}/file",
    "https://localhost:{port}/" + "p" * 2047,
    "not a url",
], ids=["ftp", "file", "long-host", "long-path", "garbage"])
def test_unusable_urls_send_nothing_and_leave_the_file(build, work, servers, url):
    server = servers()
    server.routes["/file"] = Route(body=b"x")
    dest = os.path.join(work, "file.bin")
    with open(dest, "wb") as f:
        f.write(PREVIOUS)
    assert fetch(build, url.format(port=server.server_address[1]), dest) == 0
    assert server.requests == []
    with open(dest, "rb") as f:
        assert f.read() == PREVIOUS


def test_missing_destination_folder_fails_before_a_request(build, work, servers):
    server = servers()
    server.routes["/file"] = Route(body=b"x")
    dest = os.path.join(work, "no-such-folder", "file.bin")
    assert fetch(build, url_of(server, "/file"), dest) == 0
    assert server.requests == []
    assert not os.path.exists(os.path.dirname(dest))


def test_nothing_listening_fails(build, work, servers):
    server = servers()
    port = server.server_address[1]
    server.shutdown()
    server.server_close()
    dest = os.path.join(work, "file.bin")
    assert fetch(build, "https://localhost:%d/file" % port, dest) == 0
    assert not os.path.exists(dest)


# How the host answers before the file; then the result, the waits between
# requests (the schedule, or the server's Retry-After) and the log's line.
@pytest.mark.parametrize("route,result,waits", [
    (dict(busy=[(503, None)]), 1, [1]),
    (dict(busy=[(502, None), (504, None), (500, None)]), 1, [1, 2, 4]),
    (dict(busy=[(429, "2")]), 1, [2]),
    (dict(busy=[(503, "Sun, 06 Nov 1994 08:49:37 GMT")]), 1, [1]),  # a date already past: the schedule
    # "Not now" for ever: the six tries and their waits, and no more.
    (dict(busy=[(503, "1")] * 100), 0, [1, 2, 4, 8, 15]),
], ids=["503 then the file", "502, 504, 500 then the file", "429 with Retry-After: 2", "Retry-After a past date",
        "503 for ever"])
def test_a_server_that_says_try_again_later_is_waited_for(build, work, servers, route, result, waits):
    server = servers()
    server.routes["/file"] = Route(body=DATA, **route)
    dest, log = os.path.join(work, "file.bin"), os.path.join(work, "probe.log")
    run = probe(build, "download", "--log", windows_path(log), url_of(server, "/file"), windows_path(dest))
    assert run.rc == result
    gaps = [b.at - a.at for a, b in zip(server.requests, server.requests[1:])]
    assert len(gaps) == len(waits)
    for gap, wait in zip(gaps, waits):
        assert wait <= gap < wait + 3
    with open(log, encoding="utf-8") as f:
        text = f.read()
    for wait in waits:
        assert "no progress: waiting %u s before trying again" % wait in text
    assert os.path.exists(dest) == bool(result)


def test_a_host_that_trickles_is_given_up_within_two_minutes(build, work, servers):
    server = servers()
    # A byte a second, for ever: it grows, but far below 1 KiB/s.
    server.routes["/file"] = Route(body=DATA, trickle=(1, 1.0))
    dest, log = os.path.join(work, "file.bin"), os.path.join(work, "probe.log")
    started = time.monotonic()
    run = probe(build, "download", "--log", windows_path(log), url_of(server, "/file"), windows_path(dest))
    elapsed = time.monotonic() - started
    assert run.rc == 0
    # The bound as stated: two minutes without progress, and a little for
    # the program's start.
    assert elapsed < 135
    assert len(server.requests) >= 2
    with open(log, encoding="utf-8") as f:
        assert "(too slow to count)" in f.read()
    # What came stays for the next run, in order from the first byte.
    with open(dest, "rb") as f:
        kept = f.read()
    assert 0 < len(kept) < 1000 and DATA.startswith(kept)


def test_a_dead_host_after_a_live_one_ends_at_once(build, work, servers):
    live = servers()
    live.routes["/file"] = Route(body=DATA)
    dead = servers()
    port = dead.server_address[1]
    dead.shutdown()
    dead.server_close()
    first, second = os.path.join(work, "first.bin"), os.path.join(work, "second.bin")
    started = time.monotonic()
    run = probe(build, "download", url_of(live, "/file"), windows_path(first), str(SIZE),
                "https://localhost:%d/file" % port, windows_path(second), str(SIZE))
    # The live host's answer does not make the dead one worth six tries.
    assert (run.rc, run.text) == (0, "1\r\n0\r\n")
    assert time.monotonic() - started < 10
    assert not os.path.exists(second)
