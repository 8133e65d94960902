#!/usr/bin/env python3
"""Seconds per dictation for the real models' shapes, on this machine's CPU.

    bench/bench_server.py [ROUNDS] [SHAPE ...]

Runs whisper.cpp's server as the daemon does (--threads 8, --no-timestamps) on
test models of the real models' shapes (tiny, base, small, large-v3-turbo: as
much computing as the real ones) and times ROUNDS dictations of 3 seconds each
(default 3). Two servers side by side: the tree's own (build/bin/whisper-server,
built for this CPU) and the one a release carries (every x86-64 CPU, the best
variant chosen at run time), so the second must stay close to the first.
Builds what is missing first; the large-v3-turbo test model is 1.6 GB.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "cache")
SHAPES = ["tiny", "base", "small", "large-v3-turbo"]
PORT = 8197


def model(shape):
    path = os.path.join(CACHE, "fixture-models", "shape-%s.bin" % shape)
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-fixture-model.py"),
                        "--shape", shape, path + ".partial"], check=True, stdout=subprocess.DEVNULL)
        os.rename(path + ".partial", path)
    return path


def seconds_per_dictation(server, model_path, wav, rounds):
    log = open(os.path.join(os.path.dirname(wav), "server.log"), "wb")
    child = subprocess.Popen([server, "--host", "127.0.0.1", "--port", str(PORT), "--model", model_path,
                              "--threads", "8", "--no-timestamps", "--language", "auto"],
                             stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 120
        while True:
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/health" % PORT, timeout=1).read()
                break
            except OSError:
                if child.poll() is not None or time.monotonic() > deadline:
                    sys.exit("bench: %s did not come up (see %s)" % (server, log.name))
                time.sleep(0.2)
        times = []
        for _ in range(rounds + 1):  # the first warms the caches
            start = time.monotonic()
            text = subprocess.run(["curl", "-sS", "-F", "file=@" + wav, "-F", "response_format=text",
                                   "http://127.0.0.1:%d/inference" % PORT],
                                  check=True, capture_output=True).stdout
            times.append(time.monotonic() - start)
            if text.strip() != b"Hello world.":
                sys.exit("bench: unexpected answer %r" % text)
        return statistics.median(times[1:])
    finally:
        child.terminate()
        child.wait()


def main():
    args = sys.argv[1:]
    rounds = int(args.pop(0)) if args and args[0].isdigit() else 3
    shapes = args or SHAPES
    subprocess.run(["cmake", "--build", "--preset", "default", "--target", "whisper_server"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as scratch:
        app = os.path.join(scratch, "app")
        subprocess.run([os.path.join(ROOT, "tools", "build-whisper-server.sh"), "--portable",
                        os.path.join(CACHE, "whisper.cpp"), app], check=True)
        wav = os.path.join(scratch, "speech.wav")
        subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", wav, "synth", "3", "pinknoise",
                        "vol", "0.3"], check=True)
        servers = [("this CPU's build", os.path.join(ROOT, "build", "bin", "whisper-server")),
                   ("release build", os.path.join(app, "bin", "whisper-server"))]
        print("seconds per dictation (3 s of speech, median of %d), %d CPUs" % (rounds, os.cpu_count()))
        print("%-16s %18s %18s %8s" % ("model shape", servers[0][0], servers[1][0], "ratio"))
        for shape in shapes:
            path = model(shape)
            native, release = (seconds_per_dictation(server, path, wav, rounds) for _, server in servers)
            print("%-16s %18.2f %18.2f %8.2f" % (shape, native, release, release / native), flush=True)


if __name__ == "__main__":
    main()
