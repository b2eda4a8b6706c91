"""The module against the command line's own exports of the same package."""

import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import sonvel

SONVEL = os.environ.get("SONVEL_BINARY", "sonvel")


def cli(user, *args):
    subprocess.run([SONVEL, "--user-dir", str(user), *args], check=True, capture_output=True)


def numbers(path):
    """The data lines of a text export as rows of floats (any of the separators)."""
    rows = []
    for line in open(path, encoding="utf-8"):
        if line[:1].isdigit() or line[:1] == "-":
            rows.append([float(x) for x in re.split(r"[;\t ,]+", line.strip()) if x])
    return np.array(rows)


@pytest.fixture(scope="module")
def speaker():
    return sonvel.measure(sim="speaker", name="speaker")


@pytest.fixture(scope="module")
def room():
    return sonvel.measure(sim="room", name="room")


def test_impulse_and_response_equal_the_command_lines_export(speaker, tmp_path):
    package = tmp_path / "p.zip"
    sonvel.Package([speaker]).save(str(package))
    # The module reads the saved package, as the command line does.
    m = sonvel.Package.open(str(package))[0]
    cli(tmp_path, "open", str(package))
    cli(tmp_path, "export", "0", str(tmp_path / "i.txt"), "--kind", "impulse")
    cli(tmp_path, "export", "0", str(tmp_path / "r.txt"), "--kind", "response", "--mode", "0")

    impulse = numbers(tmp_path / "i.txt")[:, -1]
    assert len(impulse) == len(m.impulse) == 65536
    np.testing.assert_allclose(m.impulse, impulse, rtol=1e-6, atol=1e-9 * np.abs(impulse).max())

    r = numbers(tmp_path / "r.txt")
    n = len(r)
    np.testing.assert_allclose(m.frequencies[:n], r[:, 0], rtol=1e-9)
    np.testing.assert_allclose(m.magnitude_db()[:n], r[:, 1], atol=1e-4)
    # Phase compared on the circle: an unwrapped export differs by whole turns.
    d = np.angle(np.exp(1j * np.radians(m.phase_deg()[:n] - r[:, 2])))
    assert np.abs(d[r[:, 1] > r[:, 1].max() - 60]).max() < 1e-3
    assert np.allclose(20 * np.log10(np.abs(m.response()[1:n])), m.magnitude_db()[1:n], atol=1e-6)


def test_operations_agree_with_the_command_line(speaker, room, tmp_path):
    package = tmp_path / "p.zip"
    sonvel.Package([speaker, room]).save(str(package))
    speaker, room = sonvel.Package.open(str(package))
    cli(tmp_path, "open", str(package))
    cli(tmp_path, "op", "div")
    cli(tmp_path, "export", "C", str(tmp_path / "div.txt"), "--mode", "0")
    cli(tmp_path, "invert")
    cli(tmp_path, "export", "B", str(tmp_path / "inv.txt"), "--mode", "0")
    # The command line stores its list after each run and reads it again in the next: so do we.
    ours = sonvel.Package([sonvel.divide(speaker, room), sonvel.invert(speaker)])
    ours.save(str(tmp_path / "ours.zip"))
    for ours, path in zip(sonvel.Package.open(str(tmp_path / "ours.zip")), ("div.txt", "inv.txt")):
        theirs = numbers(tmp_path / path)
        np.testing.assert_allclose(ours.frequencies[: len(theirs)], theirs[:, 0], rtol=1e-9)
        np.testing.assert_allclose(ours.magnitude_db()[: len(theirs)], theirs[:, 1], atol=1e-5)
    # The inputs are left as they were.
    assert speaker.label == "speaker" and room.label == "room"
    q = sonvel.divide(speaker, speaker)
    assert np.abs(q.magnitude_db()[10:20000]).max() < 1e-6


def test_minimum_phase_average_stitch_match(speaker):
    band = slice(150, 22000)  # 100 Hz to 15 kHz
    mp = sonvel.minimum_phase(speaker)
    raw = dict(smoothing=0, window=False)
    np.testing.assert_allclose(mp.magnitude_db(**raw)[band], speaker.magnitude_db(**raw)[band], atol=0.2)
    assert not np.allclose(mp.phase_deg()[band], speaker.phase_deg()[band], atol=1)
    avg = sonvel.average([speaker, speaker], mode="vector")
    np.testing.assert_allclose(avg.magnitude_db()[10:20000], speaker.magnitude_db()[10:20000], atol=1e-6)
    flat = sonvel.divide(speaker, sonvel.add(speaker, speaker))  # 0.5 at every frequency
    matched = sonvel.match(flat, speaker, fc=1000, bandwidth=200)
    f = speaker.frequencies
    band = (f > 905) & (f < 1095)
    level = [np.mean(10 ** (m.magnitude_db()[band] / 20)) for m in (matched, speaker)]
    assert level[0] == pytest.approx(level[1], rel=0.01)
    assert sonvel.stitch(speaker, speaker, 1000, 200).rate == speaker.rate


def test_bad_arguments_raise_sonvel_error(speaker, tmp_path):
    damaged = tmp_path / "damaged.zip"
    damaged.write_bytes(b"PK\x03\x04" + bytes(200))
    cases = [
        lambda: sonvel.analyze(np.zeros((4, 4096))),
        lambda: sonvel.analyze(np.zeros(4096, dtype=np.int16)),
        lambda: sonvel.analyze(np.zeros(4096), rate=10),
        lambda: sonvel.measure(sim="nothing"),
        lambda: sonvel.measure(sim="loopback", options={"Signal.NoSuch": 1}),
        lambda: sonvel.Package.open(str(damaged)),
        lambda: sonvel.Package.open(str(tmp_path / "missing.zip")),
        lambda: sonvel.import_file(str(damaged)),
        lambda: sonvel.average([speaker], mode="loud"),
        lambda: speaker.response(smoothing=-1),
        lambda: speaker.export(str(tmp_path / "no" / "such" / "dir.txt")),
        # Noise holds no harmonic distortion.
        lambda: sonvel.measure(sim="loopback", options={"Signal.SignalType": 2}).distortion(),
    ]
    for case in cases:
        with pytest.raises(sonvel.Error):
            case()
    with pytest.raises(sonvel.Error, match="Dev.OutputPCMAmplitude must lie between 0 and 1, not 7"):
        sonvel.measure(sim="loopback", options={"Dev.OutputPCMAmplitude": 7})


def test_an_unusable_tmpdir_is_a_sonvel_error(tmp_path):
    (tmp_path / "afile").write_text("x")
    env = dict(os.environ, TMPDIR=str(tmp_path / "afile" / "sub"))
    script = "import sonvel\ntry:\n    sonvel.measure(sim='loopback')\nexcept sonvel.Error as e:\n    print(e)\n"
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert "set TMPDIR to a writable directory" in run.stdout, run.stderr


def test_silent_or_broken_recordings_are_refused():
    reference = np.sin(np.arange(65536) * 0.01)
    with pytest.raises(sonvel.Error, match="to low"):
        sonvel.analyze(np.zeros(65536), reference)
    for bad in (np.nan, np.inf):
        recording = reference.copy()
        recording[100] = bad
        with pytest.raises(sonvel.Error, match="not numbers"):
            sonvel.analyze(recording, reference)
        with pytest.raises(sonvel.Error, match="not numbers"):
            sonvel.analyze(reference, recording)


def test_analyze_is_linear_and_finds_the_delay():
    rate, n = 48000, 65536
    t = np.arange(n) / rate
    reference = 0.5 * np.sin(2 * np.pi * (20 * t + 5000 * t * t))
    loud = sonvel.analyze(0.25 * np.roll(reference, 48), reference, rate=rate)
    quiet = sonvel.analyze(0.125 * np.roll(reference, 48), reference.astype(np.float32), rate=rate)
    k = int(1000 / loud.frequencies[1])
    assert loud.magnitude_db()[k] - quiet.magnitude_db()[k] == pytest.approx(20 * np.log10(2), abs=0.01)
    peak = np.argmax(np.abs(loud.impulse)) / rate - loud.time_zero
    assert peak == pytest.approx(48 / rate, abs=1.5 / rate)


def test_measurement_cancelled_from_another_thread_or_ctrl_c_ends():
    long = {"Signal.SignalLength": 22}  # seconds on the simulated card
    done = threading.Event()

    def cancel_until_done():
        # Again and again: a cancel that comes before the measurement starts is not kept.
        while not done.wait(0.1):
            sonvel.cancel()

    threading.Thread(target=cancel_until_done).start()
    try:
        with pytest.raises(sonvel.Error, match="cancelled"):
            sonvel.measure(sim="speaker", options=long)
    finally:
        done.set()
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        sonvel.measure(sim="speaker", options=long)
    assert sonvel.measure(sim="loopback").rate > 0
