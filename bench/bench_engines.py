#!/usr/bin/env python3
"""Seconds per request of each local speech server, for 3, 10 and 30 s of speech.

    bench/bench_engines.py [ROUNDS] [--turbo]

On models of the real shapes (their text is noise: timing only): Parakeet TDT
0.6B v3 as converted (f16) and quantized (q8_0, with parakeet-quantize), and
whisper base (and large-v3-turbo with --turbo: over a minute per request on
two cores). Each server runs as the daemon runs it
(--threads 8, which the servers cap at the cores there are); the median of
ROUNDS requests (default 3) after one that warms the caches. Beside the
Parakeet server, parakeet-cli's own time for the same file (its total less the
model's loading), so the server is shown to add nothing. Builds what is
missing; the models take about 4 GB in build/cache and a few minutes to write.
"""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "cache", "fixture-models")
BIN = os.path.join(ROOT, "build", "bin")
TOOLS = os.path.join(ROOT, "build", "whisper-tools")
PORT = 8198
LENGTHS = [3, 10, 30]


def cached(name, make):
    path = os.path.join(CACHE, name)
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        make(path + ".partial")
        os.rename(path + ".partial", path)
    return path


def parakeet_f16():
    return cached("shape-parakeet-v3-f16.bin", lambda out: subprocess.run(
        ["/usr/bin/python3", os.path.join(ROOT, "tools", "make-parakeet-shape-model.py"), out],
        check=True, stdout=subprocess.DEVNULL))


def parakeet_q8():
    source = parakeet_f16()
    return cached("shape-parakeet-v3-q8_0.bin", lambda out: subprocess.run(
        [os.path.join(TOOLS, "parakeet-quantize"), source, out, "q8_0"], check=True,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def whisper(shape):
    return cached("shape-%s.bin" % shape, lambda out: subprocess.run(
        [sys.executable, os.path.join(ROOT, "tools", "make-fixture-model.py"), "--shape", shape, out],
        check=True, stdout=subprocess.DEVNULL))


def serve(program, model, extra):
    log = tempfile.NamedTemporaryFile(prefix="bench-server-", suffix=".log", delete=False)
    child = subprocess.Popen([os.path.join(BIN, program), "--host", "127.0.0.1", "--port", str(PORT),
                              "--model", model, "--threads", "8"] + extra, stdout=log, stderr=log)
    deadline = time.monotonic() + 300
    while True:
        try:
            urllib.request.urlopen("http://127.0.0.1:%d/health" % PORT, timeout=1).read()
            return child
        except OSError:
            if child.poll() is not None or time.monotonic() > deadline:
                child.kill()
                sys.exit("bench: %s did not come up (see %s)" % (program, log.name))
            time.sleep(0.2)


def request_seconds(wav, rounds):
    times = []
    for _ in range(rounds + 1):  # the first warms the caches
        start = time.monotonic()
        subprocess.run(["curl", "-sS", "-o", "/dev/null", "-F", "file=@" + wav, "-F", "response_format=json",
                        "http://127.0.0.1:%d/inference" % PORT], check=True)
        times.append(time.monotonic() - start)
    return statistics.median(times[1:])


def cli_seconds(model, wav, rounds):
    times = []
    for _ in range(rounds):
        log = subprocess.run([os.path.join(TOOLS, "parakeet-cli"), "-m", model, "-t", "8", wav],
                             capture_output=True, text=True).stderr
        total = re.search(r"total time = +([\d.]+) ms", log)
        load = re.search(r"load time = +([\d.]+) ms", log)
        if not total or not load:
            sys.exit("bench: parakeet-cli printed no timings:\n" + log[-2000:])
        times.append((float(total.group(1)) - float(load.group(1))) / 1000)
    return statistics.median(times)


def main():
    args = sys.argv[1:]
    turbo = "--turbo" in args
    numbers = [a for a in args if a.isdigit()]
    rounds = int(numbers[0]) if numbers else 3
    subprocess.run(["cmake", "--build", "--preset", "default", "--target", "whisper_server"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    servers = [("Parakeet v3 q8_0", "parakeet-server", parakeet_q8(), []),
               ("Parakeet v3 f16", "parakeet-server", parakeet_f16(), []),
               ("whisper base", "whisper-server", whisper("base"), ["--no-timestamps", "--language", "auto"])]
    if turbo:
        servers.append(("whisper large-v3-turbo", "whisper-server", whisper("large-v3-turbo"),
                        ["--no-timestamps", "--language", "auto"]))
    with tempfile.TemporaryDirectory() as scratch:
        wavs = {}
        for seconds in LENGTHS:
            wavs[seconds] = os.path.join(scratch, "speech-%d.wav" % seconds)
            subprocess.run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", wavs[seconds], "synth",
                            str(seconds), "pinknoise", "vol", "0.3"], check=True)
        print("cores: %d; seconds per request (median of %d)" % (os.cpu_count(), rounds))
        print("%-26s" % "" + "".join("%9s" % ("%d s" % s) for s in LENGTHS))
        results = {}
        for title, program, model, extra in servers:
            child = serve(program, model, extra)
            try:
                results[title] = [request_seconds(wavs[s], rounds) for s in LENGTHS]
            finally:
                child.terminate()
                child.wait()
            print("%-26s" % title + "".join("%9.2f" % t for t in results[title]), flush=True)
            if program == "parakeet-server":
                own = [cli_seconds(model, wavs[s], rounds) for s in LENGTHS]
                print("%-26s" % "  parakeet-cli, same file" + "".join("%9.2f" % t for t in own), flush=True)
        q8, base = results["Parakeet v3 q8_0"][0], results["whisper base"][0]
        print("3 s dictation: Parakeet q8_0 %.2f s (goal 0.8), %.0f%% of whisper base (goal 25%%)"
              % (q8, 100 * q8 / base))


if __name__ == "__main__":
    main()
