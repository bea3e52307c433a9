#!/usr/bin/python3
"""Demo studio server for trying the plug-in without a real studio.

GET /api/studios            -> JSON array of {"id", "name"}
GET /out/<id>?src=pgm|vpgm  -> self-contained HTML page: colour bars, the studio's name and orientation, a 1 kHz tone

Standard library only; run with Debian's /usr/bin/python3.
"""

import argparse
import html
import json
import os
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

BUILTIN_STUDIOS = [
    {"id": "estudio-1", "name": "Estúdio Principal"},
    {"id": "news 2", "name": "Jornal da Manhã"},
    {"id": "esporte", "name": "Esporte Ao Vivo"},
]

ORIENTATIONS = {
    "pgm": ("horizontal 16:9", 16, 9),
    "vpgm": ("vertical 9:16", 9, 16),
}

PAGE = """<!DOCTYPE html>
<html lang="pt-BR">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
html,body{{margin:0;height:100%;background:transparent;overflow:hidden;font-family:sans-serif;color:#fff}}
/* The largest box of the signal's aspect that fits, centred; the rest stays transparent. */
#box{{position:absolute;left:50%;top:50%;transform:translate(-50%,-50%);
  width:min(100vw,calc(100vh*{ax}/{ay}));height:min(100vh,calc(100vw*{ay}/{ax}));
  display:flex;flex-direction:column}}
#bars{{display:flex;height:70%}}
#bars div{{flex:1}}
#band{{height:30%;background:rgba(0,0,0,0.6);display:flex;flex-direction:column;justify-content:center;
  align-items:center;text-align:center;white-space:nowrap;overflow:hidden}}
#name{{font-weight:bold;font-size:min(calc(min(100vh,calc(100vw*{ay}/{ax}))*0.07),calc(min(100vw,calc(100vh*{ax}/{ay}))*0.06))}}
#info{{font-size:min(calc(min(100vh,calc(100vw*{ay}/{ax}))*0.045),calc(min(100vw,calc(100vh*{ax}/{ay}))*0.04))}}
</style>
</head>
<body>
<!-- Colour bars standing still, so that a test knows where each colour is; painted once, so that the page
     costs the renderer little. The clock changes once a second. -->
<div id="box">
<div id="bars"><div style="background:#c0c0c0"></div><div style="background:#c0c000"></div>
<div style="background:#00c0c0"></div><div style="background:#00c000"></div><div style="background:#c000c0"></div>
<div style="background:#c00000"></div><div style="background:#0000c0"></div></div>
<div id="band"><div id="name">{name}</div><div id="info">{orientation} <span id="clock"></span></div></div>
</div>
<script>
(function () {{
  var clock = document.getElementById("clock");
  function tick() {{ clock.textContent = new Date().toLocaleTimeString(); }}
  tick();
  setInterval(tick, 1000);
  // A 1 kHz tone at a quarter of full scale (-12 dBFS), started without a user gesture where the browser
  // allows it (OBS's browser sources do).
  try {{
    var audio = new (window.AudioContext || window.webkitAudioContext)();
    var tone = audio.createOscillator(), level = audio.createGain();
    tone.frequency.value = 1000;
    level.gain.value = 0.25;
    tone.connect(level);
    level.connect(audio.destination);
    tone.start();
  }} catch (e) {{}}
}})();
</script>
</body>
</html>
"""


def normalise_studios(doc):
    """Accept either response shape: a bare array or {"studios": [...]}."""
    if isinstance(doc, dict):
        doc = doc.get("studios")
    if not isinstance(doc, list):
        raise ValueError("studios file must hold an array or an object with a \"studios\" array")
    for item in doc:
        if not isinstance(item, dict) or not isinstance(item.get("id"), str):
            raise ValueError("every studio needs a string \"id\"")
    return doc


class Handler(BaseHTTPRequestHandler):
    server_version = "DemoStudio/1.0"
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("demo_server: %s - %s\n" % (self.address_string(), fmt % args))

    def send_body(self, status, content_type, body):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def not_found(self):
        self.send_body(404, "text/plain; charset=utf-8", "not found\n")

    def do_GET(self):
        parts = urlsplit(self.path)
        path = parts.path
        if path == "/api/studios":
            body = json.dumps(self.server.studio_doc, ensure_ascii=False)
            self.send_body(200, "application/json; charset=utf-8", body)
            return
        if path.startswith("/out/"):
            studio_id = unquote(path[len("/out/"):])
            studio = next((s for s in self.server.studios if s["id"] == studio_id), None)
            src = parse_qs(parts.query).get("src", ["pgm"])[-1]
            if studio is None or src not in ORIENTATIONS:
                self.not_found()
                return
            orientation, ax, ay = ORIENTATIONS[src]
            name = studio.get("name") or studio_id
            page = PAGE.format(
                title=html.escape("%s (%s)" % (name, orientation)),
                name=html.escape(name),
                orientation=html.escape(orientation),
                ax=ax,
                ay=ay,
            )
            self.send_body(200, "text/html; charset=utf-8", page)
            return
        self.not_found()

    do_HEAD = do_GET


def main(argv=None):
    ap = argparse.ArgumentParser(description="Demo studio server")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=3000, help="0 picks a free port")
    ap.add_argument("--studios", metavar="FILE",
                    help="JSON file (array or {\"studios\": [...]}) served instead of the built-in studios")
    ap.add_argument("--ready-file", metavar="FILE",
                    help="once listening, write the bound port to this file")
    ap.add_argument("--quiet", action="store_true", help="no request log")
    args = ap.parse_args(argv)

    if args.studios:
        try:
            with open(args.studios, encoding="utf-8") as f:
                doc = json.load(f)
            studios = normalise_studios(doc)
        except (OSError, ValueError) as e:
            ap.error("--studios %s: %s" % (args.studios, e))
    else:
        doc = BUILTIN_STUDIOS
        studios = BUILTIN_STUDIOS

    server = ThreadingHTTPServer((args.host, args.port), Handler)
    server.daemon_threads = True
    server.studio_doc = doc  # served as given, so both response shapes can be exercised
    server.studios = studios
    server.quiet = args.quiet
    port = server.server_address[1]

    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.ready_file)  # readers never see a half-written file
    print("listening on http://%s:%d" % (args.host, port), flush=True)

    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
