"""The HTTP API of `sonvel serve`, driven from the standard library against a server on
127.0.0.1 that each test module starts on a free port with a temporary user directory."""

import http.client
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import zipfile
from concurrent.futures import ThreadPoolExecutor

import pytest

SONVEL = os.environ.get("SONVEL_BINARY", "sonvel")


class Server:
    def __init__(self, tmp, *extra):
        self.user = tmp / "user"
        self.root = tmp / "root"
        self.user.mkdir()
        self.root.mkdir()
        self.process = subprocess.Popen(
            [SONVEL, "--user-dir", str(self.user), "--replace", "serve", "--port", "0",
             "--root", str(self.root), *extra],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)", line)
        assert match, line + self.process.stderr.read()
        self.port = int(match.group(1))

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        connection.request(method, path, body=body, headers=headers or {},
                           encode_chunked="Transfer-Encoding" in (headers or {}))
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response.status, json.loads(data) if data else None, response

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        out, _ = self.process.communicate(timeout=30)
        return self.process.returncode, out


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    s = Server(tmp_path_factory.mktemp("serve"))
    yield s
    if s.process.poll() is None:
        s.stop()


def refused(server, status, method, path, body=None, **kw):
    code, reply, _ = server.request(method, path, body, **kw)
    assert code == status, (method, path, body, reply)
    assert reply["error"], reply
    return reply["error"]


def test_measure_and_read_every_view(server):
    code, m, _ = server.request("POST", "/api/measure",
                                {"presenter": "B", "sim": "speaker", "name": "woofer"})
    assert code == 200, m
    assert (m["presenter"], m["label"], m["slot"]) == ("B", "woofer", 1)
    _, listed, _ = server.request("GET", "/api/measurements")
    assert [(x["slot"], x["label"]) for x in listed["measurements"]] == [(1, "woofer")]
    assert listed["measurements"][0]["sample_rate"] > 0 and listed["measurements"][0]["date"]

    _, info, _ = server.request("GET", "/api/measurements/B")
    assert info["slot"] == 1 and "Data_Samplerate" in info["info"]

    _, r, _ = server.request("GET", "/api/measurements/1/response?smoothing=6&from=20&to=20000"
                                    "&points=50")
    assert len(r["frequencies"]) == len(r["db"]) == len(r["degrees"]) == 50
    assert r["frequencies"][0] == pytest.approx(20) and r["frequencies"][-1] == pytest.approx(20000)
    assert all(b > a for a, b in zip(r["frequencies"], r["frequencies"][1:]))
    assert all(-180 <= d <= 180 for d in r["degrees"])
    # A speaker is far below its pass band at 20 Hz.
    assert max(r["db"]) - r["db"][0] > 10
    # A read with another smoothing leaves the record's own view alone.
    _, plain1, _ = server.request("GET", "/api/measurements/1/response?points=50")
    server.request("GET", "/api/measurements/1/response?points=50&smoothing=1")
    _, plain2, _ = server.request("GET", "/api/measurements/1/response?points=50")
    assert plain1["db"] == plain2["db"]

    _, i, _ = server.request("GET", "/api/measurements/1/impulse")
    samples = i["samples"]
    assert len(samples) == m["length"]
    peak = max(range(len(samples)), key=lambda k: abs(samples[k]))
    assert abs(peak - i["time_zero_index"]) < i["sample_rate"] * 0.01

    code, a, _ = server.request("GET", "/api/measurements/1/acoustics")
    assert code == 200 and a["bands"][-1]["band"] == "broadband"

    for path in ["/api/measurements/1/response?points=1", "/api/measurements/1/response?from=900&to=100",
                 "/api/measurements/1/response?smoothing=x", "/api/measurements/1/response?colour=1",
                 "/api/measurements/-1", "/api/measurements/one"]:
        refused(server, 400, "GET", path)
    refused(server, 404, "GET", "/api/measurements/7")
    refused(server, 404, "GET", "/api/measurements/99/impulse")

    code, d, _ = server.request("DELETE", "/api/measurements/1")
    assert code == 200 and d["label"] == "Empty 1"
    refused(server, 404, "GET", "/api/measurements/1")


def test_job_and_one_measurement_at_a_time(server):
    code, job, reply = server.request("POST", "/api/measure", {"sim": "room", "wait": False})
    assert code == 202 and job["status"] == "running"
    assert reply.getheader("Location") == "/api/jobs/%d" % job["id"]
    refused(server, 409, "POST", "/api/measure", {"sim": "speaker"})
    refused(server, 409, "DELETE", "/api/measurements/0")
    deadline = time.time() + 30
    while job["status"] == "running" and time.time() < deadline:
        time.sleep(0.05)
        _, job, _ = server.request("GET", job and "/api/jobs/%d" % job["id"])
    assert job["status"] == "done", job
    assert job["result"]["presenter"] == "A"
    refused(server, 404, "GET", "/api/jobs/999")


def test_bodies_are_checked(server):
    refused(server, 400, "POST", "/api/measure", '{"sim": ')
    refused(server, 400, "POST", "/api/measure", "[1]")
    assert "colour" in refused(server, 400, "POST", "/api/measure", {"colour": "red"})
    refused(server, 400, "POST", "/api/measure", {"wait": "no"})
    refused(server, 400, "POST", "/api/measure", {"sim": "cave"})
    refused(server, 400, "POST", "/api/measure", {"presenter": "D"})
    refused(server, 400, "POST", "/api/save", {"path": 3})
    assert "takes GET" in refused(server, 405, "PUT", "/api/status")
    assert "DELETE, GET" in refused(server, 405, "POST", "/api/measurements/0")
    refused(server, 400, "POST", "/api/open", {})
    refused(server, 413, "POST", "/api/save", json.dumps({"path": "x" * (1024 * 1024 + 10)}))
    # A chunked body states no length the limit could be checked against beforehand.
    refused(server, 411, "POST", "/api/save", iter([b'{"path": "', b"x" * 10, b'"}']),
            headers={"Transfer-Encoding": "chunked"})
    _, status, _ = server.request("GET", "/api/status")
    assert status["measuring"] is False


def test_paths_stay_inside_the_root(server, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (server.root / "link").symlink_to(outside)
    code, _, _ = server.request("POST", "/api/measure", {"sim": "speaker"})
    assert code == 200
    for path in ["../escape.zip", "sub/../../escape.zip", str(outside / "a.zip"), "link/a.zip",
                 str(server.root / "link" / "a.zip")]:
        refused(server, 403, "POST", "/api/save", {"path": path})
        refused(server, 403, "POST", "/api/open", {"path": path})
    assert list(outside.iterdir()) == []

    # Nothing but a package is replaced: the root also holds the log and the options.
    (server.root / "notes.txt").write_text("mine")
    refused(server, 400, "POST", "/api/save", {"path": "notes.txt"})
    (server.root / "notes.zip").write_text("mine")
    refused(server, 409, "POST", "/api/save", {"path": "notes.zip"})
    assert (server.root / "notes.zip").read_text() == "mine"

    code, saved, _ = server.request("POST", "/api/save", {"path": "kept.zip"})
    assert code == 200 and (server.root / "kept.zip").is_file()
    code, _, _ = server.request("POST", "/api/save", {"path": str(server.root / "abs.zip")})
    assert code == 200
    refused(server, 404, "POST", "/api/open", {"path": "missing.zip"})
    (server.root / "bad.zip").write_bytes(b"PK\x03\x04 not a package")
    refused(server, 422, "POST", "/api/open", {"path": "bad.zip"})
    code, opened, _ = server.request("POST", "/api/open", {"path": "kept.zip"})
    assert code == 200 and len(opened["measurements"]) >= 1


def test_burst_of_list_requests(server):
    with ThreadPoolExecutor(max_workers=8) as pool:
        codes = list(pool.map(lambda _: server.request("GET", "/api/measurements")[0], range(100)))
    assert codes == [200] * 100


def hang_up_after_sending(port, method, path, body):
    raw = json.dumps(body).encode()
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(("%s %s HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                   "Content-Length: %d\r\n\r\n" % (method, path, len(raw))).encode() + raw)


def test_clients_that_hang_up(server):
    for presenter in "ABC":
        assert server.request("POST", "/api/measure", {"presenter": presenter, "sim": "room"})[0] == 200
    # A measurement goes on without its client.
    hang_up_after_sending(server.port, "POST", "/api/measure", {"presenter": "C", "sim": "speaker",
                                                                 "name": "orphan"})
    deadline = time.time() + 30
    while time.time() < deadline:
        _, listed, _ = server.request("GET", "/api/measurements")
        if any(m["label"] == "orphan" for m in listed["measurements"]):
            break
        time.sleep(0.05)
    else:
        pytest.fail("the measurement of a client that hung up never arrived")
    # So does a save: the package on disk is whole.
    for _ in range(5):
        hang_up_after_sending(server.port, "POST", "/api/save", {"path": "hangup.zip"})
    time.sleep(0.5)
    assert server.request("GET", "/api/status")[0] == 200
    with zipfile.ZipFile(server.root / "hangup.zip") as z:
        assert z.testzip() is None and len(z.namelist()) >= 8
    code, opened, _ = server.request("POST", "/api/open", {"path": "hangup.zip"})
    assert code == 200 and len(opened["measurements"]) == len(listed["measurements"])


def test_openapi_document(server):
    code, doc, _ = server.request("GET", "/openapi.json")
    assert code == 200 and doc["openapi"].startswith("3.")
    assert "/api/measurements/{slot}/response" in doc["paths"]


def test_ctrl_c_stops_cleanly(tmp_path):
    s = Server(tmp_path)
    code, out = s.stop()
    assert code == 0 and "Stopped serving" in out


def test_token(tmp_path):
    s = Server(tmp_path, "--token", "s3cret")
    try:
        refused(s, 401, "GET", "/api/status")
        refused(s, 401, "GET", "/api/status", headers={"Authorization": "Bearer s3cre"})
        refused(s, 401, "POST", "/api/measure", {"sim": "speaker"},
                headers={"Authorization": "Bearer wrong!"})
        code, _, _ = s.request("GET", "/api/status", headers={"Authorization": "Bearer s3cret"})
        assert code == 200
    finally:
        s.stop()


def test_a_port_in_use_is_refused(server, tmp_path):
    run = subprocess.run([SONVEL, "--user-dir", str(tmp_path), "serve", "--port",
                          str(server.port)], capture_output=True, text=True, timeout=30)
    assert run.returncode == 1 and "in use" in run.stderr, run.stderr


def test_other_addresses_need_a_token(tmp_path):
    run = subprocess.run([SONVEL, "--user-dir", str(tmp_path), "serve", "--bind", "0.0.0.0",
                          "--port", "0"], capture_output=True, text=True, timeout=30)
    assert run.returncode == 2 and "--token" in run.stderr


GUI = os.environ.get("SONVEL_GUI_BINARY")


class Window(Server):
    """The desktop window, offscreen, with its remote control switched on at start."""

    def __init__(self, tmp):
        self.user = tmp
        self.process = subprocess.Popen(
            [GUI, "--user-dir", str(tmp), "--sim", "speaker", "--remote", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        line = self.process.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)", line)
        assert match, line + self.process.stderr.read()
        self.port = int(match.group(1))


@pytest.mark.skipif(not GUI, reason="built without the window")
def test_the_window_serves_its_own_list(tmp_path):
    w = Window(tmp_path)
    try:
        code, measured, _ = w.request("POST", "/api/measure", {"presenter": "B", "name": "Woofer"})
        assert code == 200, measured
        code, listed, _ = w.request("GET", "/api/measurements")
        assert [(m["slot"], m["label"], m["presenter"]) for m in listed["measurements"]] == [
            (measured["slot"], "Woofer", "B")]
        code, response, _ = w.request("GET", "/api/measurements/B/response?points=3&from=500&to=2000")
        assert code == 200 and all(-40.0 < db < 20.0 for db in response["db"]), response
        # A second window on the same port says so at once, where a script reads it.
        second = subprocess.Popen(
            [GUI, "--user-dir", str(tmp_path / "second"), "--remote", str(w.port)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        # Ended after 20 s whatever happens, so that a missing line fails instead of hanging.
        watchdog = threading.Timer(20.0, second.kill)
        watchdog.start()
        try:
            said = []
            while not said or "could not start" not in said[-1]:
                line = second.stderr.readline()
                if not line:
                    break
                said.append(line)
            assert said and "in use" in said[-1], said
        finally:
            watchdog.cancel()
            second.send_signal(signal.SIGTERM)
            second.communicate(timeout=30)
    finally:
        w.process.send_signal(signal.SIGTERM)
        w.process.communicate(timeout=30)
    # Closed like Quit: what the client measured is in the window's autosave.
    assert w.process.returncode == 0
    with zipfile.ZipFile(tmp_path / "MeasAutosaved.zip") as package:
        assert any("Woofer" in package.read(n).decode("utf-8", "replace")
                   for n in package.namelist() if not n.endswith((".flac", ".wav"))), \
            package.namelist()
