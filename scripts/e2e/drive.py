#!/usr/bin/python3
"""Drives the real OBS for scripts/e2e/run.sh: the plug-in's dialog over AT-SPI and X input, and OBS's state
over obs-websocket 5.

Subcommands (run.sh starts each inside the OBS instance's D-Bus session and X display):
  session   first OBS run: cancel the dialog once, then apply through it four times, checking OBS after each
  saved     check the scene collection OBS saved at exit
  restored  second OBS run: check OBS loaded back what was applied
  absent    a plug-in that refused to load: OBS runs on without its Tools menu item

Every check appends "pass <text>" or "fail <text>" to the --results file; run.sh counts them.
Uses Debian's python3-pyatspi and python3-websocket: run with /usr/bin/python3.
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import time

CSS = ("html,body{background:transparent!important;margin:0;overflow:hidden}"
       "video{width:100%;height:100%;object-fit:contain}")
SETTING_KEYS = ["url", "width", "height", "fps_custom", "fps", "shutdown",
                "restart_when_active", "reroute_audio", "css"]
SIGNALS = {
    "pgm": ("Programa horizontal (16:9)", "Lorvalen PGM — "),
    "vpgm": ("Programa vertical (9:16)", "Lorvalen Vertical — "),
}
DIALOG_TITLE = "Lorvalen PGM Source"
MENU_ITEM = "Lorvalen PGM Source..."
BOX_TITLE = "Lorvalen PGM"
ERROR_BOX_TITLE = "Lorvalen"  # warnings and errors from the dialog


# --------------------------------------------------------------------------- results

class Results:
    def __init__(self, path):
        self.path = path
        self.failed = 0

    def check(self, ok, text, detail=None):
        line = ("pass " if ok else "fail ") + text
        with open(self.path, "a", encoding="utf-8") as f:
            f.write(line.replace("\n", " ") + "\n")
        print(("  ok    " if ok else "  FAIL  ") + text, flush=True)
        if not ok:
            self.failed += 1
            if detail is not None:
                print("        " + str(detail).replace("\n", "\n        "), flush=True)
        return ok


def step(text):
    print("--- " + text, flush=True)


def note(text):
    print("        " + text, flush=True)


class StepFailed(Exception):
    """A UI step could not be carried out; the checks that depend on it are not run."""


def wait_for(fn, timeout, interval=0.2):
    """Polls fn until it returns something truthy or timeout seconds pass; returns the last value."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = fn()
        except Exception:  # the accessibility tree changes under us while windows open and close
            value = None
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def expected_fit(canvas_w, canvas_h, w, h):
    """The plug-in's fit, in single precision as it computes it."""
    s = min(f32(f32(canvas_w) / f32(w)), f32(f32(canvas_h) / f32(h)))
    x = f32(f32(f32(canvas_w) - f32(s * w)) / 2)
    y = f32(f32(f32(canvas_h) - f32(s * h)) / 2)
    return s, x, y


def expected_settings(server, studio_id, signal, width, height, fps, audio):
    values = {
        "url": "%s/out/%s?src=%s" % (server, studio_id, signal),
        "width": width,
        "height": height,
        "fps_custom": True,
        "fps": fps,
        "shutdown": False,
        "restart_when_active": True,
        "reroute_audio": audio,
        "css": CSS,
    }
    return [(k, values[k]) for k in SETTING_KEYS]


def same_typed(a, b):
    """Equality that tells 1 from True and 1 from 1.0, as JSON types matter to OBS."""
    return type(a) is type(b) and a == b


# --------------------------------------------------------------------------- obs-websocket 5

class ObsWebSocket:
    def __init__(self, port, timeout=10):
        import websocket  # python3-websocket
        self.ws = websocket.create_connection("ws://127.0.0.1:%d" % port, timeout=timeout,
                                              subprotocols=["obswebsocket.json"])
        hello = self._recv()
        if hello.get("op") != 0:
            raise RuntimeError("expected Hello, got %r" % hello)
        if "authentication" in hello.get("d", {}):
            raise RuntimeError("server asks for authentication")
        self._send({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 0}})
        ident = self._recv()
        if ident.get("op") != 2:
            raise RuntimeError("expected Identified, got %r" % ident)
        self.next_id = 0

    def _send(self, msg):
        self.ws.send(json.dumps(msg))

    def _recv(self):
        return json.loads(self.ws.recv())

    def request(self, request_type, data=None):
        self.next_id += 1
        rid = "r%d" % self.next_id
        msg = {"op": 6, "d": {"requestType": request_type, "requestId": rid}}
        if data is not None:
            msg["d"]["requestData"] = data
        self._send(msg)
        for _ in range(100):  # events are off, but skip anything unrelated all the same
            reply = self._recv()
            d = reply.get("d", {})
            if reply.get("op") == 7 and d.get("requestId") == rid:
                status = d.get("requestStatus", {})
                if not status.get("result"):
                    raise RuntimeError("%s failed: %s %s" % (request_type, status.get("code"),
                                                             status.get("comment")))
                return d.get("responseData", {})
        raise RuntimeError("no answer to %s" % request_type)

    def close(self):
        try:
            self.ws.close()
        except Exception:
            pass


def connect_ws(port):
    last = None
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            return ObsWebSocket(port)
        except Exception as e:  # refused while OBS is still starting its server
            last = e
            time.sleep(0.5)
    raise RuntimeError("cannot connect to obs-websocket on port %d: %s" % (port, last))


def check_obs_state(ws, r, label, canvas, expect, total_lorvalen):
    """Checks one applied source through obs-websocket.

    expect: dict with name, settings (ordered pairs), width, height.
    total_lorvalen: how many inputs named "Lorvalen ..." must exist in all.
    """
    name = expect["name"]
    inputs = ws.request("GetInputList")["inputs"]
    named = [i for i in inputs if i.get("inputName") == name]
    r.check(len(named) == 1, "%s: exactly one input named %r" % (label, name),
            [i.get("inputName") for i in inputs])
    if named:
        r.check(named[0].get("inputKind") == "browser_source",
                "%s: input kind is browser_source" % label, named[0].get("inputKind"))
    ours = sorted(i.get("inputName") for i in inputs if i.get("inputName", "").startswith("Lorvalen "))
    r.check(len(ours) == total_lorvalen, "%s: %d Lorvalen input(s) in OBS" % (label, total_lorvalen), ours)
    if not named:
        return

    settings = ws.request("GetInputSettings", {"inputName": name})["inputSettings"]
    want = dict(expect["settings"])
    r.check(sorted(settings) == sorted(want), "%s: settings have exactly the nine keys" % label,
            sorted(settings))
    for key, value in expect["settings"]:
        r.check(same_typed(settings.get(key), value), "%s: setting %s = %s" % (label, key, json.dumps(value)),
                "got %s" % json.dumps(settings.get(key)))

    scene = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
    items = ws.request("GetSceneItemList", {"sceneName": scene})["sceneItems"]
    mine = [i for i in items if i.get("sourceName") == name]
    r.check(len(mine) == 1, "%s: one item of the source in the current scene %r" % (label, scene),
            [(i.get("sourceName"), i.get("sceneItemId")) for i in items])
    if not mine:
        return
    t = ws.request("GetSceneItemTransform", {"sceneName": scene, "sceneItemId": mine[0]["sceneItemId"]})
    t = t["sceneItemTransform"]
    s, x, y = expected_fit(canvas[0], canvas[1], expect["width"], expect["height"])
    got = (t.get("scaleX"), t.get("scaleY"), t.get("positionX"), t.get("positionY"))
    r.check(got == (s, s, x, y),
            "%s: item fitted to the %dx%d canvas: scale %r, position (%r, %r)"
            % (label, canvas[0], canvas[1], s, x, y),
            "got scale (%r, %r), position (%r, %r)" % got)


# --------------------------------------------------------------------------- what the renderer shows and plays

DEMO_BARS = [(0xc0, 0xc0, 0xc0), (0xc0, 0xc0, 0x00), (0x00, 0xc0, 0xc0), (0x00, 0xc0, 0x00),
             (0xc0, 0x00, 0xc0), (0xc0, 0x00, 0x00), (0x00, 0x00, 0xc0)]
DEMO_ASPECT = {"pgm": (16, 9), "vpgm": (9, 16)}
SHOT_SCALE = 4  # screenshots at a quarter of the canvas size


def decode_bmp(data):
    """Pixels of an uncompressed 24- or 32-bit BMP as rows of (r, g, b), top row first."""
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    step_px = bits // 8
    stride = (width * step_px + 3) & ~3
    rows = []
    for y in range(abs(height)):
        start = offset + y * stride
        rows.append([(data[start + x * step_px + 2], data[start + x * step_px + 1], data[start + x * step_px])
                     for x in range(width)])
    return rows if height < 0 else rows[::-1]


def scene_pixels(ws, scene, canvas):
    import base64
    shot = ws.request("GetSourceScreenshot", {"sourceName": scene, "imageFormat": "bmp",
                                              "imageWidth": canvas[0] // SHOT_SCALE,
                                              "imageHeight": canvas[1] // SHOT_SCALE})
    return decode_bmp(base64.b64decode(shot["imageData"].split(",", 1)[1]))


def near(got, want, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(got, want))


def page_samples(canvas, signal, width, height):
    """Where the demo page's colours are on the canvas: [(x, y, colour)] in screenshot pixels, inside the
    fitted rectangle; and points outside it that must stay black (left and right of a pillarboxed page)."""
    s, fx, fy = expected_fit(canvas[0], canvas[1], width, height)
    ax, ay = DEMO_ASPECT[signal]
    k = min(width / ax, height / ay)  # the page's own box of the signal's aspect, centred in the page
    bx, by, bw, bh = (width - ax * k) / 2, (height - ay * k) / 2, ax * k, ay * k
    inside = [((fx + s * (bx + (i + 0.5) * bw / 7)) / SHOT_SCALE, (fy + s * (by + 0.35 * bh)) / SHOT_SCALE, c)
              for i, c in enumerate(DEMO_BARS)]
    outside = []
    left, right = fx / SHOT_SCALE, (fx + s * width) / SHOT_SCALE
    for x in (left / 2, (right + canvas[0] / SHOT_SCALE) / 2):
        if left > 4 and 0 <= x < canvas[0] / SHOT_SCALE:
            outside.append((x, canvas[1] / SHOT_SCALE / 2, (0, 0, 0)))
    return inside, outside


def check_pixels(ws, r, label, canvas, name, signal, width, height, artifacts):
    """The scene shows the page's bars where the fit puts them and nothing around the fitted rectangle; the
    other Lorvalen items are hidden meanwhile."""
    scene = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
    items = ws.request("GetSceneItemList", {"sceneName": scene})["sceneItems"]
    others = [i["sceneItemId"] for i in items
              if i.get("sourceName", "").startswith("Lorvalen ") and i.get("sourceName") != name]
    for item in others:
        ws.request("SetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item, "sceneItemEnabled": False})
    inside, outside = page_samples(canvas, signal, width, height)
    got = {}

    def matches():
        rows = scene_pixels(ws, scene, canvas)
        got["inside"] = [rows[int(y)][int(x)] for x, y, _ in inside]
        got["outside"] = [rows[int(y)][int(x)] for x, y, _ in outside]
        got["rows"] = rows
        return all(near(g, c) for g, (_, _, c) in zip(got["inside"], inside)) and \
            all(near(g, c, 8) for g, (_, _, c) in zip(got["outside"], outside))
    try:
        wait_for(matches, 60, interval=1)
        write_ppm(os.path.join(artifacts, "%s-scene.ppm" % label.replace(" ", "-")), got.get("rows", []))
        r.check(all(near(g, c) for g, (_, _, c) in zip(got["inside"], inside)),
                "%s: the scene shows the page's seven bars where the fit puts them" % label,
                "got %r, want %r" % (got.get("inside"), [c for _, _, c in inside]))
        if outside:
            r.check(all(near(g, c, 8) for g, (_, _, c) in zip(got["outside"], outside)),
                    "%s: nothing drawn outside the fitted rectangle (pillarbox)" % label,
                    "got %r" % got.get("outside"))
    finally:
        for item in others:
            ws.request("SetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item, "sceneItemEnabled": True})


def write_ppm(path, rows):
    if not rows:
        return
    with open(path, "wb") as f:
        f.write(b"P6 %d %d 255\n" % (len(rows[0]), len(rows)))
        for row in rows:
            f.write(bytes(v for px in row for v in px))
    note("screenshot " + path)


def meter_peaks(port, seconds):
    """The highest peak each input's meters reported over `seconds` (InputVolumeMeters events)."""
    import websocket
    ws = websocket.create_connection("ws://127.0.0.1:%d" % port, timeout=5, subprotocols=["obswebsocket.json"])
    try:
        json.loads(ws.recv())
        ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": 1 << 16}}))
        peaks = {}
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            msg = json.loads(ws.recv())
            d = msg.get("d", {})
            if msg.get("op") != 5 or d.get("eventType") != "InputVolumeMeters":
                continue
            for i in d.get("eventData", {}).get("inputs", []):
                levels = [ch[1] for ch in i.get("inputLevelsMul", []) if len(ch) > 1]
                name = i.get("inputName")
                peaks[name] = max([peaks.get(name, 0.0)] + levels)
        return peaks
    finally:
        ws.close()


def refresh_hide_and_show(ws, r, args, canvas, name, p, expected):
    """The studio page, its sound on, refreshed: its tone and its bars are back. Then hidden and shown again: its
    tone and its bars are back."""
    sounds = {n: dict(e["settings"])["reroute_audio"] for n, e in expected.items()}
    step("%s: refresh the page" % p["label"])
    ws.request("PressInputPropertiesButton", {"inputName": name, "propertyName": "refreshnocache"})
    check_meters(args.ws_port, r, "after refresh", sounds)
    check_pixels(ws, r, "after refresh", canvas, name, p["signal"], p["width"], p["height"], args.artifacts)
    step("%s: hide the page, then show it" % p["label"])
    scene = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
    item = ws.request("GetSceneItemId", {"sceneName": scene, "sourceName": name})["sceneItemId"]
    ws.request("SetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item, "sceneItemEnabled": False})
    r.check(wait_for(lambda: not ws.request("GetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item})
                     ["sceneItemEnabled"], 10), "%r is hidden" % name)
    ws.request("SetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item, "sceneItemEnabled": True})
    check_meters(args.ws_port, r, "hidden and shown again", sounds)
    check_pixels(ws, r, "hidden and shown again", canvas, name, p["signal"], p["width"], p["height"],
                 args.artifacts)


INTERACT_PAGE = ("data:text/html,<body style='margin:0;height:100vh;background:%230000ff' "
                 "onmousedown=\"document.body.style.background='%2300ff00'\"></body>")


def interact_click(ws, r, canvas):
    """A page clicked through OBS's own Interact window: the click reaches the page, which turns from blue to
    green."""
    name = "Interact page"
    scene = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
    step("a page of its own, clicked through OBS's Interact window")
    ws.request("CreateInput", {"sceneName": scene, "inputName": name, "inputKind": "browser_source",
                               "inputSettings": {"url": INTERACT_PAGE, "width": 320, "height": 180}})
    try:
        x, y = 160 // SHOT_SCALE, 90 // SHOT_SCALE  # the item's centre: it sits at the canvas's top left

        def shows(colour):
            return wait_for(lambda: near(scene_pixels(ws, scene, canvas)[y][x], colour), 60, interval=1)
        r.check(shows((0, 0, 255)), "the page shows blue before the click")
        ws.request("OpenInputInteractDialog", {"inputName": name})
        found = wait_for(lambda: run(["xdotool", "search", "--onlyvisible", "--name", name]).stdout.split(), 20)
        if not found:
            raise StepFailed("no Interact window for %r" % name)
        geometry = dict(line.split("=", 1) for line in
                        run(["xdotool", "getwindowgeometry", "--shell", found[-1]]).stdout.split())
        # The window's preview fits the source and centres it: its centre is the page's.
        click_at(int(geometry["X"]) + int(geometry["WIDTH"]) / 2, int(geometry["Y"]) + int(geometry["HEIGHT"]) / 2)
        r.check(shows((0, 255, 0)), "the click through the Interact window reached the page: it turned green")
    finally:
        ws.request("RemoveInput", {"inputName": name})


def check_meters(port, r, label, sounds):
    """sounds: {input name: whether its audio is on}. On: the tone (-12 dBFS) shows; off: silence."""
    def heard(peak, on):
        return peak is not None and 0.15 < peak < 0.4 if on else peak is None or peak < 0.001

    peaks = {}
    # The page may still be starting: look again, for at most half a minute. A source whose sound has just
    # started again has shown a wild peak (1e22) on OBS's meters with sane samples: a later look is taken too.
    for _ in range(6):
        peaks = meter_peaks(port, 5)
        if all(heard(peaks.get(n), on) for n, on in sounds.items()):
            break
        print("        looking again: peaks %r" % peaks, flush=True)
    for n, on in sounds.items():
        peak = peaks.get(n)
        if on:
            r.check(heard(peak, on), "%s: %r meters show the page's tone" % (label, n), "peak %r" % peak)
        else:
            # A page heard on the desktop has no place in OBS's mixer: no meter at all, or a silent one.
            r.check(heard(peak, on), "%s: %r meters show silence (audio off)" % (label, n), "peak %r" % peak)
        print("        peak %r" % peak, flush=True)


# --------------------------------------------------------------------------- X input

def run(cmd, timeout=15):
    return subprocess.run(["timeout", str(timeout)] + cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def xdo(*args):
    res = run(["xdotool"] + [str(a) for a in args])
    if res.returncode != 0:
        raise StepFailed("xdotool %s: %s" % (" ".join(map(str, args)), res.stdout.strip()))


def click_at(x, y):
    # One xdotool, so that the X server takes the move before the press. No --sync: it waits forever when the
    # pointer is already there.
    xdo("mousemove", int(x), int(y), "click", 1)


def focus_x_window(title):
    """Gives X input focus to the window of that title, as a window manager does on click; Xvfb runs none,
    so focus can stay with a window that just closed."""
    res = run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title])
    ids = res.stdout.split() if res.returncode == 0 else []
    if ids:
        run(["xdotool", "windowfocus", ids[-1]])
    return bool(ids)


def screenshot(path):
    res = run(["import", "-window", "root", path], timeout=30)
    if res.returncode == 0:
        note("screenshot " + path)
    else:
        note("screenshot failed: " + res.stdout.strip())


# --------------------------------------------------------------------------- AT-SPI

class Ui:
    def __init__(self, artifacts):
        import pyatspi  # python3-pyatspi
        self.at = pyatspi
        self.artifacts = artifacts
        self.app = None

    # tree helpers ---------------------------------------------------------

    def children(self, acc):
        try:
            n = acc.childCount
        except Exception:
            return []
        out = []
        for i in range(min(n, 500)):
            try:
                c = acc.getChildAtIndex(i)
            except Exception:
                c = None
            if c is not None:
                out.append(c)
        return out

    def walk(self, acc, depth=12):
        yield acc
        if depth > 0:
            for c in self.children(acc):
                yield from self.walk(c, depth - 1)

    def role(self, acc):
        try:
            return acc.getRoleName()
        except Exception:
            return ""

    def name(self, acc):
        try:
            return acc.name or ""
        except Exception:
            return ""

    def showing(self, acc):
        try:
            st = acc.getState()
            return st.contains(self.at.STATE_SHOWING) and st.contains(self.at.STATE_VISIBLE)
        except Exception:
            return False

    def state(self, acc, st):
        try:
            return acc.getState().contains(st)
        except Exception:
            return False

    def extents(self, acc):
        e = acc.queryComponent().getExtents(self.at.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def find(self, root, role=None, name=None, pred=None, showing=True, depth=12):
        for a in self.walk(root, depth):
            if role is not None and self.role(a) != role:
                continue
            if name is not None and self.name(a) != name:
                continue
            if showing and not self.showing(a):
                continue
            if pred is not None and not pred(a):
                continue
            return a
        return None

    def find_all(self, root, role=None, showing=True, depth=12):
        return [a for a in self.walk(root, depth)
                if (role is None or self.role(a) == role) and (not showing or self.showing(a))]

    def query(self, acc, interface):
        """acc.queryText() and the like; on a miss, drop what libatspi cached about the path and ask again."""
        try:
            return getattr(acc, "query" + interface)()
        except NotImplementedError:
            acc.clear_cache()
            return getattr(acc, "query" + interface)()

    def text_of(self, acc):
        try:
            t = self.query(acc, "Text")
            return t.getText(0, t.characterCount)
        except Exception:
            return None

    def click(self, acc, dx=None):
        """Clicks the centre of acc (or dx pixels from its left edge); refuses unplaced widgets."""
        x, y, w, h = self.extents(acc)
        if w <= 0 or h <= 0:
            raise StepFailed("%s %r has no place on screen" % (self.role(acc), self.name(acc)))
        click_at(x + (dx if dx is not None else w // 2), y + h // 2)

    # OBS ------------------------------------------------------------------

    def attach(self, timeout=60):
        def main_frame():
            desktop = self.at.Registry.getDesktop(0)
            for app in self.children(desktop):
                if self.name(app) == "obs":
                    for c in self.children(app):
                        if self.role(c) == "frame" and self.name(c).startswith("OBS ") and self.showing(c):
                            self.app = app
                            return c
            return None
        frame = wait_for(main_frame, timeout, 0.5)
        if not frame:
            raise StepFailed("OBS did not appear on the accessibility bus")
        # Qt hands the object paths of closed dialogs to new widgets, and libatspi's cache would go on
        # answering with the old widget's name, role and interfaces: ask OBS every time instead.
        try:
            from gi.repository import Atspi
            self.app.set_cache_mask(Atspi.Cache.NONE)
        except Exception as e:
            note("could not turn the accessibility cache off: %s" % e)
        return frame

    def top_windows(self, role, name):
        return [c for c in self.children(self.app)
                if self.role(c) == role and self.name(c) == name and self.showing(c)]

    def setup_dialog(self):
        """The open setup dialog: the newest one that is on screen and answers (a closed one can linger in
        the tree for a moment)."""
        for w in reversed(self.top_windows("dialog", DIALOG_TITLE)):
            try:
                if self.extents(w)[2] > 0:
                    return w
            except Exception:
                continue
        return None

    def message_box(self, titles=(BOX_TITLE,)):
        for c in self.children(self.app):
            if self.role(c) in ("alert", "dialog") and self.name(c) in titles and self.showing(c):
                return c
        return None

    def any_box(self):
        return self.message_box((BOX_TITLE, ERROR_BOX_TITLE))

    def open_setup_dialog(self, frame):
        if self.setup_dialog():
            raise StepFailed("the dialog is open already")
        menubar = self.find(frame, role="menu bar", depth=3)
        if menubar is None:
            raise StepFailed("no menu bar in the main window")

        def tools():
            return self.find(menubar, role="menu item", name="Tools", depth=1)

        def menu_entry():
            t = tools()
            popup = t and self.find(t, role="popup menu", depth=1)
            if not popup:
                return None
            px, py, pw, ph = self.extents(popup)
            if pw <= 0 or ph <= 0:
                return None  # not mapped yet: its items would report stale places
            entry = self.find(popup, role="menu item", name=MENU_ITEM, depth=1)
            if entry is None:
                return None
            ex, ey, ew, eh = self.extents(entry)
            inside = px <= ex and ey >= py and ex + ew <= px + pw and ey + eh <= py + ph and ew > 0
            return entry if inside else None

        t = tools()
        if t is None:
            raise StepFailed("no Tools menu")
        entry = None
        for attempt in (1, 2):
            self.click(t)
            entry = wait_for(menu_entry, 5)
            if entry:
                break
            note("the Tools menu did not open (try %d)" % attempt)
            t = tools()
        if not entry:
            t = tools()
            popup = t and self.find(t, role="popup menu", depth=1, showing=False)
            names = [self.name(c) for c in self.children(popup)] if popup else []
            raise StepFailed("no %r entry in the Tools menu; it holds %r" % (MENU_ITEM, names))

        dialog = None
        for attempt in (1, 2):
            self.click(entry)
            dialog = wait_for(self.setup_dialog, 15)
            if dialog:
                break
            # Only when the menu is still open did the click get lost; otherwise the module is just slow.
            entry = menu_entry()
            if not entry:
                dialog = wait_for(self.setup_dialog, 15)
                break
            note("the menu entry click did nothing (try %d)" % attempt)
        if not dialog:
            raise StepFailed("the %r dialog did not open" % DIALOG_TITLE)
        # Settle: the dialog's widgets are placed once it is mapped.
        wait_for(lambda: self.extents(dialog)[2] > 0 and self.find(dialog, role="push button", name="OK"), 5)
        focus_x_window(DIALOG_TITLE)
        return dialog

    # dialog fields --------------------------------------------------------

    def field(self, dialog, label, role):
        """The control of a form row: the widget of `role` the label sits level with, to its right."""
        lab = self.find(dialog, role="label", name=label)
        if lab is None:
            raise StepFailed("no label %r in the dialog" % label)
        lx, ly, lw, lh = self.extents(lab)
        mid = ly + lh / 2
        best = None
        for a in self.find_all(dialog, role=role):
            x, y, w, h = self.extents(a)
            if y <= mid <= y + h and x >= lx + lw - 2:
                if best is None or x < self.extents(best)[0]:
                    best = a
        if best is None:
            raise StepFailed("no %s next to %r" % (role, label))
        return best

    def server_field(self, dialog):
        return self.field(dialog, "Servidor Lorvalen", "text")

    def studio_combo(self, dialog):
        return self.field(dialog, "Estúdio", "combo box")

    def combo_items(self, combo):
        lst = self.find(combo, role="list", showing=False, depth=2)
        if lst is None:
            return []
        return [self.name(i) for i in self.children(lst) if self.role(i) == "list item"]

    def combo_text(self, combo):
        edit = self.find(combo, role="text", showing=False, depth=2)
        return self.text_of(edit) if edit is not None else self.name(combo)

    def focus_field(self, acc, dx=None):
        for attempt in (1, 2):
            self.click(acc, dx)
            if wait_for(lambda: self.state(acc, self.at.STATE_FOCUSED), 3):
                return
            note("the click did not focus the field (try %d)" % attempt)
            focus_x_window(DIALOG_TITLE)
        raise StepFailed("cannot focus %s %r" % (self.role(acc), self.name(acc)))

    def type_into(self, acc, text, read, dx=None):
        """Replaces a field's text by typing, as a person would; read(acc) gives back what it holds."""
        for attempt in (1, 2):
            self.focus_field(acc, dx)
            xdo("key", "--clearmodifiers", "ctrl+a")
            xdo("type", "--delay", 30, text)
            if wait_for(lambda: read(acc) == text, 3):
                return
            note("field holds %r after typing %r (try %d)" % (read(acc), text, attempt))
        raise StepFailed("could not type %r" % text)

    def spin(self, dialog, label, value):
        acc = self.field(dialog, label, "spin button")
        if self.spin_value(acc) == value:
            return
        # Click the text part, away from the arrows on the right.
        self.type_into(acc, str(value), lambda a: str(self.spin_value(a)), dx=12)

    def spin_value(self, acc):
        try:
            return int(round(self.query(acc, "Value").currentValue))
        except Exception:
            txt = self.text_of(acc)
            return int(txt) if txt and txt.strip().isdigit() else None

    def choose(self, combo, item, readback):
        """Opens a combo's list with a click on its arrow and clicks the item."""
        if readback() == item:
            return
        for attempt in (1, 2, 3):
            x, y, w, h = self.extents(combo)
            click_at(x + w - 10, y + h // 2)

            def visible_item():
                lst = self.find(combo, role="list", showing=False, depth=1)
                if lst is None:
                    return None
                lx, ly, lw, lh = self.extents(lst)
                if lw <= 0 or lh <= 0:
                    return None  # closed: its items keep places that are not on screen
                for a in self.children(lst):
                    if self.role(a) == "list item" and self.name(a) == item:
                        ix, iy, iw, ih = self.extents(a)
                        if iw > 0 and ih > 0 and ly <= iy + ih / 2 <= ly + lh:
                            return a
                return None
            entry = wait_for(visible_item, 5)
            if entry is None:
                note("the list of %r did not open (try %d)" % (self.name(combo), attempt))
                if self.combo_popup_open(combo):
                    xdo("key", "Escape")
                continue
            self.click(entry)
            if wait_for(lambda: readback() == item, 3):
                return
            note("choosing %r did not take (try %d)" % (item, attempt))
            if self.combo_popup_open(combo):  # else the next click on the arrow only closes the list
                xdo("key", "Escape")
        raise StepFailed("could not choose %r" % item)

    def combo_popup_open(self, combo):
        lst = self.find(combo, role="list", showing=False, depth=1)
        if lst is None:
            return False
        return self.extents(lst)[2] > 0

    def set_checkbox(self, dialog, text, checked):
        box = self.find(dialog, role="check box", name=text)
        if box is None:
            raise StepFailed("no check box %r" % text)
        if self.state(box, self.at.STATE_CHECKED) == checked:
            return
        for attempt in (1, 2):
            self.click(box)
            if wait_for(lambda: self.state(box, self.at.STATE_CHECKED) == checked, 3):
                return
            note("the check box did not change (try %d)" % attempt)
        raise StepFailed("could not set %r" % text)

    def labels_text(self, root):
        return [self.name(a) for a in self.find_all(root, role="label") if self.name(a)]

    def press_ok_and_confirm(self, dialog, r, label, expected_text, shot):
        ok_button = self.find(dialog, role="push button", name="OK")
        if ok_button is None:
            raise StepFailed("no OK button")
        box = None
        for attempt in (1, 2):
            self.click(ok_button)
            box = wait_for(self.any_box, 20)
            if box:
                break
            # Retry only when the click demonstrably did nothing: no box, the dialog still there and answering.
            still = self.setup_dialog()
            if not still or self.find(still, role="push button", name="OK") is None:
                break
            note("OK did nothing (try %d)" % attempt)
        if box is not None and self.name(box) != BOX_TITLE:
            texts = self.labels_text(box)
            screenshot(shot)
            r.check(False, "%s: confirmation box %r appeared" % (label, BOX_TITLE),
                    "a %r box says %r" % (self.name(box), texts))
            ok = self.find(box, role="push button", name="OK")
            if ok is not None:
                self.click(ok)
            raise StepFailed("the plug-in refused: %r" % texts)
        r.check(box is not None, "%s: confirmation box %r appeared" % (label, BOX_TITLE),
                "dialog labels: %r" % (self.labels_text(dialog) if self.setup_dialog() else "dialog gone"))
        if box is None:
            raise StepFailed("no confirmation box")
        wait_for(lambda: self.extents(box)[2] > 0, 5)
        time.sleep(0.3)  # let it paint for the screenshot
        screenshot(shot)
        texts = self.labels_text(box)
        r.check(expected_text in texts, "%s: box says %r" % (label, expected_text), texts)
        box_ok = self.find(box, role="push button", name="OK")
        if box_ok is None:
            raise StepFailed("no OK in the confirmation box")
        for attempt in (1, 2):
            self.click(box_ok)
            if wait_for(lambda: not self.message_box(), 5):
                break
            note("the box did not close (try %d)" % attempt)
        closed = wait_for(lambda: not self.message_box() and not self.setup_dialog(), 10)
        r.check(bool(closed), "%s: box and dialog closed" % label)


# --------------------------------------------------------------------------- scenario

def apply_through_dialog(ui, frame, r, label, a):
    """One pass through the dialog. a: dict with the values to enter and what to expect on the way."""
    step("%s: open Tools > %s" % (label, MENU_ITEM))
    dialog = ui.open_setup_dialog(frame)
    r.check(True, "%s: dialog %r opened from the Tools menu" % (label, DIALOG_TITLE))

    server = ui.server_field(dialog)
    studio = ui.studio_combo(dialog)
    if a.get("check_defaults"):
        sig = ui.field(dialog, "Sinal", "combo box")
        audio = ui.find(dialog, role="check box", name="Incluir áudio do programa")
        got = {
            "server": ui.text_of(server),
            "signal": ui.name(sig),
            "signals": ui.combo_items(sig),
            "width": ui.spin_value(ui.field(dialog, "Largura", "spin button")),
            "height": ui.spin_value(ui.field(dialog, "Altura", "spin button")),
            "fps": ui.spin_value(ui.field(dialog, "FPS", "spin button")),
            "audio": audio is not None and ui.state(audio, ui.at.STATE_CHECKED),
        }
        want = {
            "server": "http://127.0.0.1:3000",
            "signal": SIGNALS["pgm"][0],
            "signals": [SIGNALS["pgm"][0], SIGNALS["vpgm"][0]],
            "width": 1920, "height": 1080, "fps": 60, "audio": True,
        }
        for k in want:
            r.check(got[k] == want[k], "%s: default %s is %r" % (label, k, want[k]), "got %r" % (got[k],))

    if ui.text_of(server) != a["server"]:
        step("%s: set the server to %s and refresh" % (label, a["server"]))
        ui.type_into(server, a["server"], ui.text_of)
        refresh = ui.find(dialog, role="push button", name="Atualizar estúdios")
        if refresh is None:
            raise StepFailed("no 'Atualizar estúdios' button")
        before = ui.combo_items(studio)
        ui.click(refresh)
        listed = wait_for(lambda: ui.combo_items(studio) if ui.combo_items(studio) != before else None, 10)
        if not listed:  # the click may have been lost: only then press again
            note("the studio list did not change; pressing refresh again")
            ui.click(refresh)
    else:
        note("the server field already holds %s" % a["server"])

    want_items = a["expect_studios"]
    items = wait_for(lambda: ui.combo_items(studio) if ui.combo_items(studio) == want_items else None, 10)
    r.check(items == want_items, "%s: studio list shows %r" % (label, want_items),
            "got %r; labels %r" % (ui.combo_items(studio), ui.labels_text(dialog)))

    step("%s: choose %r, %s, %dx%d at %d fps, audio %s"
         % (label, a["studio_item"], a["signal"], a["width"], a["height"], a["fps"], "on" if a["audio"] else "off"))
    ui.choose(studio, a["studio_item"], lambda: ui.combo_text(studio))
    sig = ui.field(dialog, "Sinal", "combo box")
    ui.choose(sig, SIGNALS[a["signal"]][0], lambda: ui.name(ui.field(dialog, "Sinal", "combo box")))
    ui.spin(dialog, "Largura", a["width"])
    ui.spin(dialog, "Altura", a["height"])
    ui.spin(dialog, "FPS", a["fps"])
    ui.set_checkbox(dialog, "Incluir áudio do programa", a["audio"])
    entered = (ui.combo_text(studio), ui.name(ui.field(dialog, "Sinal", "combo box")),
               ui.spin_value(ui.field(dialog, "Largura", "spin button")),
               ui.spin_value(ui.field(dialog, "Altura", "spin button")),
               ui.spin_value(ui.field(dialog, "FPS", "spin button")))
    r.check(entered == (a["studio_item"], SIGNALS[a["signal"]][0], a["width"], a["height"], a["fps"]),
            "%s: dialog holds the values entered" % label, entered)
    screenshot(os.path.join(ui.artifacts, "%s-dialog.png" % a["shot"]))

    step("%s: press OK" % label)
    name = SIGNALS[a["signal"]][1] + a["studio_id"]
    ui.press_ok_and_confirm(dialog, r, label, 'Fonte "%s" criada/atualizada no scene atual.' % name,
                            os.path.join(ui.artifacts, "%s-confirmation.png" % a["shot"]))
    time.sleep(0.5)
    screenshot(os.path.join(ui.artifacts, "%s-result.png" % a["shot"]))
    return name


def cancel_leaves_obs_alone(ui, frame, ws, r):
    step("cancel: open the dialog and press Cancel")
    dialog = ui.open_setup_dialog(frame)
    cancel = ui.find(dialog, role="push button", name="Cancel")
    if cancel is None:
        raise StepFailed("no Cancel button")
    for attempt in (1, 2):
        ui.click(cancel)
        if wait_for(lambda: not ui.setup_dialog(), 5):
            break
        note("Cancel did nothing (try %d)" % attempt)
    r.check(not ui.setup_dialog(), "cancel: the dialog closed")
    r.check(not ui.any_box(), "cancel: no message box")
    names = [i["inputName"] for i in ws.request("GetInputList")["inputs"]]
    r.check(not any(n.startswith("Lorvalen ") for n in names), "cancel: no input created", names)


def cmd_session(args):
    r = Results(args.results)
    canvas = tuple(args.canvas)
    studios_main = json.loads(args.studios_main)
    studios_alt = json.loads(args.studios_alt)
    label_of = lambda s: "%s  (%s)" % (s["name"], s["id"])
    first, alt = studios_main[0], studios_alt[-1]
    spaced = next(s for s in studios_main if " " in s["id"])

    passes = [
        # Defaults as they come: the dialog lists the studios of the default address by itself.
        dict(label="horizontal apply", shot="1-pgm", check_defaults=True, server=args.server_main,
             expect_studios=[label_of(s) for s in studios_main], studio_item=label_of(first),
             studio_id=first["id"], signal="pgm", width=1920, height=1080, fps=60, audio=True),
        # Another server, typed in and refreshed by hand, answering in the {"studios": [...]} shape.
        dict(label="vertical apply", shot="2-vpgm", server=args.server_alt,
             expect_studios=[label_of(s) for s in studios_alt], studio_item=label_of(alt),
             studio_id=alt["id"], signal="vpgm", width=1080, height=1920, fps=30, audio=False),
        # The first source again with new values: updated in place, not duplicated.
        dict(label="update apply", shot="3-update", server=args.server_main,
             expect_studios=[label_of(s) for s in studios_main], studio_item=label_of(first),
             studio_id=first["id"], signal="pgm", width=1280, height=720, fps=50, audio=False),
        # An id with a space and a name with accents; the id goes into the name and the address as it is.
        dict(label="spaced id apply", shot="4-spaced", server=args.server_main,
             expect_studios=[label_of(s) for s in studios_main], studio_item=label_of(spaced),
             studio_id=spaced["id"], signal="pgm", width=1600, height=900, fps=25, audio=True),
    ]
    expected = {}
    try:
        step("connect to obs-websocket on port %d" % args.ws_port)
        ws = connect_ws(args.ws_port)
        video = ws.request("GetVideoSettings")
        r.check((video.get("baseWidth"), video.get("baseHeight")) == canvas,
                "OBS canvas is %dx%d" % canvas, video)
        before = [i["inputName"] for i in ws.request("GetInputList")["inputs"]]
        r.check(not any(n.startswith("Lorvalen ") for n in before), "no Lorvalen input before the first apply",
                before)

        step("find OBS on the accessibility bus")
        ui = Ui(args.artifacts)
        frame = ui.attach()
        cancel_leaves_obs_alone(ui, frame, ws, r)
        for p in passes:
            name = apply_through_dialog(ui, frame, r, p["label"], p)
            server = p["server"]
            expected[name] = dict(name=name, width=p["width"], height=p["height"],
                                  settings=expected_settings(server, p["studio_id"], p["signal"], p["width"],
                                                             p["height"], p["fps"], p["audio"]))
            step("%s: check OBS through obs-websocket" % p["label"])
            check_obs_state(ws, r, p["label"], canvas, expected[name], total_lorvalen=len(expected))
            if args.renderer and p["label"] in ("horizontal apply", "vertical apply"):
                step("%s: listen to the meters and look at the scene" % p["label"])
                # The meters first: looking at one page hides the others for a moment, and libobs 29's
                # meters of a source shown again have read wild peaks (1e28 and more) with sane samples.
                check_meters(args.ws_port, r, p["label"],
                             {n: dict(e["settings"])["reroute_audio"] for n, e in expected.items()})
                check_pixels(ws, r, p["label"], canvas, name, p["signal"], p["width"], p["height"],
                             args.artifacts)
            if args.renderer and p["label"] == "horizontal apply":
                refresh_hide_and_show(ws, r, args, canvas, name, p, expected)
            if args.renderer and p["label"] == "vertical apply":
                interact_click(ws, r, canvas)
            if p["label"] == "update apply":
                # The vertical source must be untouched by updating the other one.
                for other in expected.values():
                    if other["name"] != name:
                        check_obs_state(ws, r, "update apply, other source", canvas, other,
                                        total_lorvalen=len(expected))
        ws.close()
    except StepFailed as e:
        r.check(False, "UI step: %s" % e)
    except Exception as e:
        r.check(False, "driver error: %s: %s" % (type(e).__name__, e))
    finally:
        with open(args.expected, "w", encoding="utf-8") as f:
            json.dump({"canvas": canvas, "sources": list(expected.values())}, f, ensure_ascii=False, indent=1)
    return 1 if r.failed else 0


def cmd_saved(args):
    r = Results(args.results)
    with open(args.expected, encoding="utf-8") as f:
        exp = json.load(f)
    try:
        with open(args.collection, encoding="utf-8") as f:
            doc = json.load(f)
    except Exception as e:
        r.check(False, "saved collection is readable JSON: %s" % e)
        return 1
    r.check(bool(exp["sources"]), "saved: the first run applied sources to look for")
    sources = {s.get("name"): s for s in doc.get("sources", [])}
    scene_name = doc.get("current_program_scene") or doc.get("current_scene")
    scene = sources.get(scene_name)
    r.check(scene is not None and scene.get("id") == "scene", "saved: current scene %r is saved" % scene_name)
    items = (scene or {}).get("settings", {}).get("items", [])
    for e in exp["sources"]:
        name = e["name"]
        src = sources.get(name)
        r.check(src is not None, "saved: source %r in the collection" % name, sorted(sources))
        if src is None:
            continue
        r.check(src.get("id") == "browser_source", "saved: %r is a browser_source" % name, src.get("id"))
        settings = src.get("settings", {})
        want = [(k, v) for k, v in e["settings"]]
        # OBS writes the keys sorted, so only the set of keys can be seen here, not the order they were set in.
        r.check(sorted(settings) == sorted(k for k, _ in want),
                "saved: %r settings hold exactly the nine keys" % name, sorted(settings))
        bad = [(k, settings.get(k), v) for k, v in want if not same_typed(settings.get(k), v)]
        r.check(not bad, "saved: %r settings values" % name, bad)
        mine = [i for i in items if i.get("name") == name]
        r.check(len(mine) == 1, "saved: one scene item of %r" % name, [i.get("name") for i in items])
        if mine:
            s, x, y = expected_fit(exp["canvas"][0], exp["canvas"][1], e["width"], e["height"])
            pos, scale = mine[0].get("pos", {}), mine[0].get("scale", {})
            got = (scale.get("x"), scale.get("y"), pos.get("x"), pos.get("y"))
            r.check(got == (s, s, x, y), "saved: %r item scale %r at (%r, %r)" % (name, s, x, y), got)
    return 1 if r.failed else 0


def cmd_restored(args):
    r = Results(args.results)
    with open(args.expected, encoding="utf-8") as f:
        exp = json.load(f)
    r.check(bool(exp["sources"]), "after restart: the first run applied sources to look for")
    try:
        ws = connect_ws(args.ws_port)
        for e in exp["sources"]:
            e["settings"] = [tuple(p) for p in e["settings"]]
            check_obs_state(ws, r, "after restart", tuple(exp["canvas"]), e, total_lorvalen=len(exp["sources"]))
        ws.close()
    except Exception as e:
        r.check(False, "after restart: driver error: %s: %s" % (type(e).__name__, e))
    return 1 if r.failed else 0


def cmd_absent(args):
    """A plug-in that refused to load: OBS runs on, its Tools menu without our item."""
    r = Results(args.results)
    try:
        ui = Ui(args.artifacts)
        frame = ui.attach()
        if args.expect_box:
            box = wait_for(lambda: ui.message_box((args.expect_box,)), 15)
            r.check(box is not None, "OBS shows a %r box" % args.expect_box,
                    [(ui.role(c), ui.name(c)) for c in ui.children(ui.app)])
            screenshot(os.path.join(args.artifacts, "refused-box.png"))
            ok = box and ui.find(box, role="push button", name="OK")
            if ok:
                ui.click(ok)
                wait_for(lambda: not ui.message_box((args.expect_box,)), 5)
        menubar = ui.find(frame, role="menu bar", depth=3)
        tools = menubar and ui.find(menubar, role="menu item", name="Tools", depth=1)
        if tools is None:
            raise StepFailed("no Tools menu")

        def entries():
            popup = ui.find(tools, role="popup menu", depth=1)
            if not popup or ui.extents(popup)[2] <= 0:
                return None
            return [ui.name(c) for c in ui.children(popup)] or None

        names = None
        for attempt in (1, 2):
            ui.click(tools)
            names = wait_for(entries, 5)
            if names:
                break
        screenshot(os.path.join(args.artifacts, "refused-tools-menu.png"))
        r.check(bool(names) and MENU_ITEM not in names, "the Tools menu opens without %r" % MENU_ITEM, names)
        xdo("key", "Escape")
    except StepFailed as e:
        r.check(False, "UI step: %s" % e)
    except Exception as e:
        r.check(False, "driver error: %s: %s" % (type(e).__name__, e))
    return 1 if r.failed else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("session")
    s.add_argument("--ws-port", type=int, required=True)
    s.add_argument("--server-main", required=True, help="address of the demo server on the default port")
    s.add_argument("--studios-main", required=True, help="JSON list of the studios it serves")
    s.add_argument("--server-alt", required=True, help="address of the second demo server")
    s.add_argument("--studios-alt", required=True, help="JSON list of the studios it serves")
    s.add_argument("--canvas", type=int, nargs=2, default=[1920, 1080])
    s.add_argument("--artifacts", required=True)
    s.add_argument("--expected", required=True, help="where to write what OBS must hold afterwards")
    s.add_argument("--renderer", action="store_true",
                   help="browser_source is the real page renderer: look at the pixels and the meters too")
    s.add_argument("--results", required=True)
    s = sub.add_parser("saved")
    s.add_argument("--collection", required=True)
    s.add_argument("--expected", required=True)
    s.add_argument("--results", required=True)
    s = sub.add_parser("restored")
    s.add_argument("--ws-port", type=int, required=True)
    s.add_argument("--expected", required=True)
    s.add_argument("--results", required=True)
    s = sub.add_parser("absent")
    s.add_argument("--expect-box", help="title of a box OBS shows about the module")
    s.add_argument("--artifacts", required=True)
    s.add_argument("--results", required=True)
    args = ap.parse_args()
    return {"session": cmd_session, "saved": cmd_saved, "restored": cmd_restored,
            "absent": cmd_absent}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
