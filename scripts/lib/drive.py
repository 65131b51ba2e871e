#!/usr/bin/env python3
"""Drives the launcher's window under X the way a person would: recognises
its screens from the pixels, presses keys, saves one picture of each screen
it passes, and reports the road it took.

usage: drive.py [OPTIONS] -- COMMAND...
  --keys "SCREEN=KEYS"      on each appearance of SCREEN, after a moment to
                            read it, press KEYS once: xdotool key names, a
                            number is a pause in seconds ("Down 1 Up space"),
                            "mouse:X,Y" moves the pointer to the view's point
                            (X, Y), "click" clicks its left button
  --run "SCREEN=COMMAND"    on each appearance of SCREEN, first run a shell
                            command and wait for it ($DRIVE_PID: the launcher's)
  --close "SCREEN=SECONDS"  that long after SCREEN appears, ask the window to
                            close as a window manager does (WM_DELETE_WINDOW)
  --timeout SECONDS         then close the window the same way (default 60)
  --shots DIR               save DIR/NN-SCREEN.png for each screen passed, as
                            it stands a second into its appearance
  --log FILE                COMMAND's output (default: this one's)
SCREEN is one of: checking for updates, connection failed (with or without a reason), update offer,
game damaged, downloading, download failed, unzipping, update failed, no game.

Report, on standard output: "  screen: ..." for each screen as it appears;
"  stray pixels on SCREEN: N" when a screen holds pixels that are neither
white text nor the dimmed background tile (background.png in the current
folder); "  exit after close: S s"; "  timed out after S s"; last
"  road: A > B > C", each screen as NAME[: REASON][@MARKERS] where REASON
is a failure screen's reason and MARKERS the menu lines the marker stood on
in turn ("update offer@121": Update Now, Update Later, Update Now).
Exits with COMMAND's status.
"""
import ctypes, os, struct, subprocess, sys, time, zlib

TITLE = "^Vantorique Updater$"
WIDTH, HEIGHT = 512, 384  # the 256x192 view, two pixels a unit

# Texts known by their look: (width, lit pixels) in view units of the text
# at size 8 in the launcher's font (measured from a change log of these lines).
TEXTS = {
    (89, 193): "Checking for updates", (44, 101): "Unzipping...", (65, 152): "Download failed",
    (55, 132): "Update failed", (116, 232): "The server has no package", (65, 134): "Connection lost",
    (113, 224): "No answer from the server", (94, 208): "Signature check failed", (34, 78): "Disk full",
    (102, 229): "The package is damaged", (140, 272): "The update server is out of date",
    (176, 350): "The update server's answer is not signed", (145, 293): "No answer from the update server",
    (91, 202): "The game is damaged:",
}


def sh(*args):
    try:
        return subprocess.run(args, capture_output=True, timeout=5)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(args, 1, b"", b"")


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


# The few Xlib calls a driver needs, through ctypes: no module beyond Python's own.
_xlib = None
_ignore_errors = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda display, error: 0)


def xlib():
    """(libX11, the display of $DISPLAY), opened once."""
    global _xlib
    if _xlib is None:
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XGetImage.restype = ctypes.POINTER(XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XSetErrorHandler(_ignore_errors)  # a window that closes under a grab is no reason to stop
        display = x.XOpenDisplay(None)
        if not display:
            raise SystemExit("drive.py: cannot open display %r" % os.environ.get("DISPLAY"))
        _xlib = x, display
    return _xlib


def grab(window):
    """The window as (width, height, rgb bytes), or None."""
    x, display = xlib()
    image = x.XGetImage(display, int(window), 0, 0, WIDTH, HEIGHT, ~0, 2)  # ZPixmap
    if not image:
        return None
    i = image.contents
    try:
        if i.bits_per_pixel != 32 or i.width != WIDTH or i.height != HEIGHT:
            return None
        raw = ctypes.string_at(i.data, i.bytes_per_line * HEIGHT)
        line = i.bytes_per_line
    finally:
        x.XDestroyImage(image)
    raw = b"".join(raw[y * line:y * line + WIDTH * 4] for y in range(HEIGHT))
    rgb = bytearray(WIDTH * HEIGHT * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = raw[2::4], raw[1::4], raw[0::4]  # from BGRX
    return WIDTH, HEIGHT, bytes(rgb)


def close_window(window):
    """Asks the window to close as a window manager does for its close button."""
    x, display = xlib()
    event = ClientMessage(type=33, window=int(window), format=32,  # ClientMessage
                          message_type=x.XInternAtom(display, b"WM_PROTOCOLS", 0))
    event.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.data[1] = 0  # CurrentTime
    x.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x.XSync(display, 0)


def alive(proc):
    return proc.poll() is None


def find_window(proc, timeout=15):
    end = time.time() + timeout
    while time.time() < end and alive(proc):
        out = sh("xdotool", "search", "--name", TITLE).stdout.split()
        if out:
            return out[0].decode()
        time.sleep(0.1)
    return None


# Reading the pixels. A text line drawn at view row y lights rows y+1 to
# y+9 at most; the next line of a text is 11 rows further down.
def band(img, y, x0=0, x1=256, rows=10):
    """White pixels of the band as a list of view columns, one entry per pixel."""
    w, _, rgb = img
    cols = []
    for sy in range(max(0, y) * 2, min(HEIGHT, (y + rows) * 2)):
        row = rgb[sy * w * 3 + x0 * 6:sy * w * 3 + x1 * 6]
        at = row.find(b"\xff\xff\xff")
        while at >= 0:
            if at % 3 == 0:
                cols.append(x0 + at // 6)
            at = row.find(b"\xff\xff\xff", at + 1)
    return cols


def ink(img, y, x0=0, x1=256, rows=10):
    return len(band(img, y, x0, x1, rows))


def text_at(img, y, x=16):
    """The known text drawn at (x, y), or its look as "WIDTHxPIXELS"."""
    cols = band(img, y, x, 256)
    if not cols:
        return ""
    look = (max(cols) - x + 1, len(cols) // 4)
    return TEXTS.get(look, "%dx%d" % look)


def marker(img, *rows):
    """1-based menu line that holds the ">" at x 16, 0 for none."""
    lit = [i for i, y in enumerate(rows, 1) if ink(img, y, 16, 24)]
    return lit[0] if len(lit) == 1 else 0


def only(img, *lines):
    """True when nothing is drawn outside the bands that start at `lines`
    (each a view row, or (row, number of rows))."""
    covered = set()
    for line in lines:
        y, rows = line if isinstance(line, tuple) else (line, 10)
        covered.update(range(y, y + rows))
    return all(not ink(img, y, rows=1) for y in range(192) if y not in covered)


def menu_at(img, top):
    """Labels at x 32 on two lines 16 apart, the marker on one of them."""
    labels = ink(img, top, 32, 256) > 10 and ink(img, top + 16, 32, 256) > 10
    return labels and not ink(img, top, 24, 32, 26) and marker(img, top, top + 16)


def classify(img):
    """(screen name, reason or "", marker line or 0) of a frame."""
    if not ink(img, 0, rows=192):
        return "background", "", 0
    if ink(img, 0, 0, 16, 192):  # every text starts at x 16 or further right
        return "other", "", 0
    if ink(img, 64, 100, 240) > 100 and only(img, 16, 32, 48, 64, (88, 104)) and menu_at(img, 32) \
            and not ink(img, 88, 0, 24, 104):  # the change log at x 24
        return "update offer", "", marker(img, 32, 48)
    title = text_at(img, 16)
    if title == "Unzipping..." and only(img, 16, 32, 96):  # with its figures and its bar
        return "unzipping", "", 0
    if ink(img, 96, 16, 150) > 60 and only(img, (16, 64), 96, 112, 128):  # 128: what is fetched, and its size
        return "downloading", "", 0
    if menu_at(img, 56) and only(img, 16, 32, 44, 56, 72):  # 44: the reason's detail, when it has one
        # The check's failure has this layout too: its heading says what happened.
        name = {"Download failed": "download failed", "Update failed": "update failed",
                "The game is damaged:": "game damaged"}.get(title, "connection failed")
        reason = title if name == "connection failed" else "" if name == "game damaged" else text_at(img, 32)
        return name, reason, marker(img, 56, 72)
    if menu_at(img, 48) and only(img, 16, 38, 48, 64) and ink(img, 38) and ink(img, 64, 100, 256) == 0:
        return "no game", "", marker(img, 48, 64)
    if menu_at(img, 32) and only(img, 16, 32, 48):
        return "connection failed", "", marker(img, 32, 48)
    if only(img, 16):
        name = {"Checking for updates": "checking for updates", "Unzipping...": "unzipping",
                "Download failed": "download failed"}.get(title)
        if name:
            return name, "", 0
    return "other", title, 0


def read_png(path):
    """(width, height, rgb bytes) of an 8-bit RGB or RGBA PNG, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    w, h, depth, kind = struct.unpack(">IIBB", data[16:26])
    if depth != 8 or kind not in (2, 6):
        return None
    idat, pos = b"", 8
    while pos < len(data):
        size, tag = struct.unpack(">I4s", data[pos:pos + 8])
        if tag == b"IDAT":
            idat += data[pos + 8:pos + 8 + size]
        pos += size + 12
    raw, bpp = zlib.decompress(idat), 3 if kind == 2 else 4
    stride, out, prev = w * bpp, bytearray(), bytearray(w * bpp)
    for y in range(h):
        kind_of_filter, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            p = a + b - c
            pred = [0, a, b, (a + b) // 2,
                    a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c]
            line[i] = (line[i] + pred[kind_of_filter]) & 255
        out += b"".join(line[i:i + 3] for i in range(0, stride, bpp))
        prev = line
    return w, h, bytes(out)


def dimmed_background(tile):
    """The window as the launcher draws it with no text: the tile at half
    brightness, each texel 2x2 pixels."""
    tw, th, t = tile
    half = bytes(v * 128 // 255 for v in range(256))
    rows = []
    for sy in range(HEIGHT):
        ty = (sy // 2) % th
        texels = [t[(ty * tw + tx) * 3:(ty * tw + tx) * 3 + 3].translate(half) * 2 for tx in range(tw)]
        rows.append((b"".join(texels) * (WIDTH // (2 * tw) + 1))[:WIDTH * 3])
    return rows


def stray(img, expected):
    """Bytes of the frame that are neither white text nor the background."""
    _, _, rgb = img
    n = 0
    for sy, want in enumerate(expected):
        row = rgb[sy * WIDTH * 3:(sy + 1) * WIDTH * 3]
        if row != want:
            n += sum(1 for a, b in zip(row, want) if a != b and a != 255)
    return n


def save_png(img, path):
    w, h, rgb = img
    raw = b"".join(b"\0" + rgb[y * w * 3:(y + 1) * w * 3] for y in range(h))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def press(window, keys):
    """Presses KEYS without waiting, so that the screens are watched meanwhile."""
    chain = ["xdotool", "windowfocus", "--sync", window]
    for token in keys.split():
        try:
            chain += ["sleep", "%g" % float(token)]
        except ValueError:
            if token.startswith("mouse:"):  # view units, two pixels each
                x, y = (int(v) * 2 for v in token[6:].split(","))
                chain += ["mousemove", "--window", window, str(x), str(y)]
            elif token == "click":
                chain += ["click", "1"]
            else:
                chain += ["key", "--delay", "80", token]
    return subprocess.Popen(chain, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def options(argv):
    opts = {"keys": {}, "run": {}, "close": {}, "timeout": 60.0, "shots": None, "log": None}
    i = 0
    while argv[i] != "--":
        name, value = argv[i].lstrip("-"), argv[i + 1]
        if name in ("keys", "run", "close"):
            screen, _, what = value.partition("=")
            opts[name][screen.strip()] = what
        else:
            opts[name] = value
        i += 2
    return opts, argv[i + 1:]


def main():
    opts, command = options(sys.argv[1:])
    if opts["shots"]:
        os.makedirs(opts["shots"], exist_ok=True)
    tile = read_png("background.png")
    expected = dimmed_background(tile) if tile else None
    log = open(opts["log"], "w") if opts["log"] else None
    proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT if log else None)
    report = lambda line: print("  " + line, flush=True)
    window = find_window(proc)
    if not window:
        report("the launcher's window never appeared")
        report("road: ")
        return proc.wait()
    road, start = [], time.time()
    current, candidate = None, None  # the screen shown, and one seen once
    markers, strays, close_at, closed_at, keys, last, seen, shot = "", {}, None, None, None, None, None, None
    while alive(proc):
        now = time.time()
        if closed_at is None and (now > start + float(opts["timeout"]) or (close_at and now > close_at)):
            if now > start + float(opts["timeout"]):
                report("timed out after %s s" % opts["timeout"])
            close_window(window)
            closed_at = now
        if closed_at and now > closed_at + 10:
            proc.kill()
            break
        img = grab(window)
        if img is None:
            # A launcher that replaced itself starts again in the same
            # process and opens a new window.
            found = sh("xdotool", "search", "--name", TITLE).stdout.split()
            if found and found[0].decode() != window:
                window = found[0].decode()
            time.sleep(0.03)
            continue
        fresh = img != last
        if fresh:
            last, seen = img, classify(img)
        screen, reason, mark = seen
        # A screen counts when two frames in a row show it: never a frame caught mid-swap.
        if screen != "background" and (screen, reason) != current:
            if (screen, reason) != candidate:
                candidate = (screen, reason)
                continue
            current, markers, fresh = (screen, reason), "", True
            road.append("")
            report("screen: " + screen + (" (%s)" % reason if reason else ""))
            if shot:
                save_png(*shot[:2])
            if opts["shots"]:
                path = os.path.join(opts["shots"], "%02d-%s.png" % (len(road), screen.replace(" ", "-")))
                shot = [img, path, time.time() + 1]
            if screen in opts["run"]:
                subprocess.run(opts["run"][screen], shell=True, env=dict(os.environ, DRIVE_PID=str(proc.pid)))
            if screen in opts["keys"]:
                time.sleep(0.3)  # as a person would, after reading
                keys = press(window, opts["keys"][screen])
            if screen in opts["close"]:
                close_at = time.time() + float(opts["close"][screen])
        if shot and (screen, reason) == current and fresh:
            shot[0] = img
        if shot and time.time() > shot[2]:
            save_png(*shot[:2])
            shot = None
        if current and screen == current[0]:
            if mark and not markers.endswith(str(mark)):
                markers += str(mark)
            name = current[0] + (": " + current[1] if current[1] else "")
            road[-1] = name + ("@" + markers if markers else "")
            if fresh and expected and screen not in strays:
                bad = stray(img, expected)
                if bad:
                    strays[screen] = bad
                    report("stray pixels on %s: %d" % (screen, bad))
        time.sleep(0.03)
    status = proc.wait()
    if shot:
        save_png(*shot[:2])
    if closed_at:
        report("exit after close: %.2f s" % (time.time() - closed_at))
    if keys:
        keys.wait()
    report("road: " + " > ".join(road))
    return status


if __name__ == "__main__":
    sys.exit(main())
