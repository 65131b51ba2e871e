#!/usr/bin/env python3
"""Drives the launcher's window under Xvfb the way a person would: watches
the screens (screenshots read as pixels), presses keys, saves one picture
of each screen it passes, and reports what it saw.

usage: drive.py SHOTS_DIR OFFER_KEYS FAILED_KEYS NO_GAME_KEYS TIMEOUT -- COMMAND...
Keys are xdotool key names separated by spaces, e.g. "space" or "Down space";
"-" means press nothing on that screen. COMMAND runs in the current folder;
after TIMEOUT seconds the window is closed. Exits with COMMAND's status.
"""
import os, subprocess, sys, time, zlib, struct

TITLE = "^Vantorique Updater$"


def sh(*args):
    try:
        # A grab of a window that closes under it can hang: never wait long.
        return subprocess.run(args, capture_output=True, timeout=3)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(args, 1, b"", b"")


def find_window(proc, timeout=15):
    end = time.time() + timeout
    while time.time() < end:
        out = sh("xdotool", "search", "--name", TITLE).stdout.split()
        if out:
            return out[0].decode()
        if not alive(proc):
            return None
        time.sleep(0.1)
    return None


def alive(proc):
    return proc.poll() is None


def grab(window):
    """The window as (width, height, rgb bytes), or None."""
    p = sh("import", "-window", window, "-depth", "8", "ppm:-")
    data = p.stdout
    if p.returncode != 0 or not data.startswith(b"P6"):
        return None
    fields, pos = [], 2
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(data[start:pos]))
    w, h, _ = fields
    return w, h, data[pos + 1:pos + 1 + w * h * 3]


def white(img, vx0, vy, vx1, rows=8):
    """White pixels in a text row of the 256x192 view (2x2 screen pixels each)."""
    w, h, rgb = img
    n = 0
    for y in range(vy * 2, min(h, (vy + rows) * 2)):
        row = rgb[y * w * 3:(y + 1) * w * 3]
        for x in range(vx0 * 2, min(w, vx1 * 2)):
            if row[x * 3:x * 3 + 3] == b"\xff\xff\xff":
                n += 1
    return n


def classify(img):
    if white(img, 0, 0, 256, 96) == 0:
        return "background"
    if white(img, 100, 64, 240) > 100:
        return "update offer"
    if white(img, 16, 96, 150) > 60:
        return "downloading"
    if white(img, 32, 64, 90) > 10 and white(img, 100, 64, 256) == 0:
        return "no game"
    if white(img, 32, 32, 90) > 10 and white(img, 32, 48, 100) > 10:
        return "connection failed"
    if white(img, 0, 26, 256, 70) == 0:
        return "message"
    return "other"


def save_png(img, path):
    w, h, rgb = img
    raw = b"".join(b"\0" + rgb[y * w * 3:(y + 1) * w * 3] for y in range(h))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def main():
    shots, offer, failed, no_game, timeout = sys.argv[1:6]
    command = sys.argv[sys.argv.index("--") + 1:]
    keys = {"update offer": offer, "connection failed": failed, "no game": no_game}
    os.makedirs(shots, exist_ok=True)
    proc = subprocess.Popen(command)
    window = find_window(proc)
    if not window:
        print("  the launcher's window never appeared")
        return proc.wait()
    seen, last, pressed, files = [], None, set(), {}
    end = time.time() + float(timeout)
    timed_out = False
    while alive(proc):
        if time.time() > end:
            timed_out = True
            sh("xdotool", "windowkill", window)
            break
        img = grab(window)
        if img is None or img[0] != 512:
            time.sleep(0.05)
            continue
        screen = classify(img)
        if screen == "message":
            # The one-line screens differ by where they fall on the road: a
            # download starts from the offer or the no-game screen.
            after = {"update offer", "downloading", "no game"}.intersection(seen)
            screen = "after download" if after else "checking for updates"
        if screen != last and screen != "background":
            seen.append(screen)
            files[len(seen)] = os.path.join(shots, "%02d-%s.png" % (len(seen), screen.replace(" ", "-")))
            save_png(img, files[len(seen)])
        last = screen
        if keys.get(screen, "-") != "-" and screen not in pressed:
            time.sleep(0.4)  # as a person would, after reading
            pressed.add(screen)
            sh("xdotool", "windowfocus", "--sync", window, "key", "--delay", "120", *keys[screen].split())
        time.sleep(0.02)
    status = proc.wait()
    # The one-line screen after the download: "Unzipping..." leads on to the
    # game; "Download failed" stays until the window is closed.
    for i, screen in enumerate(seen, 1):
        if screen == "after download":
            seen[i - 1] = "download failed" if timed_out else "unzipping"
            renamed = files[i].replace("after-download", seen[i - 1].replace(" ", "-"))
            os.replace(files[i], renamed)
        print("  screen: " + seen[i - 1], flush=True)
    if timed_out:
        print("  closed the window after %s seconds" % timeout)
    return status


if __name__ == "__main__":
    sys.exit(main())
