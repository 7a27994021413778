"""The plant page's web server (Flask): the page, its script and style, and
one stream of server-sent events per open page.

    GET /               the page
    GET /events         text/event-stream: a "snapshot" event, then each change
    GET /api/machines   the whole picture as JSON
    GET /api/shift      from the plant history, per machine: the state timeline,
                        the faults by operator message, OEE (?span=hour|shift,
                        ?machine=LINE/MACHINE for one)

The stream sends a comment every few seconds while nothing changes, so a page
whose connection died is noticed and forgotten.
"""
import json
import logging
import os
import threading
from typing import Iterator, Optional

from flask import Flask, Response, jsonify, request, send_from_directory
from werkzeug.serving import BaseWSGIServer, make_server

from .history import History
from .plant_view import PlantView

log = logging.getLogger("kvo_kit.plant")

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
KEEPALIVE = 5.0


def create_app(view: PlantView, stopping: threading.Event) -> Flask:
    app = Flask(__name__, static_folder=None)

    @app.get("/")
    def page() -> Response:
        return send_from_directory(STATIC, "plant.html")

    @app.get("/static/<path:name>")
    def static_file(name: str) -> Response:
        return send_from_directory(STATIC, name)

    @app.get("/api/machines")
    def machines() -> Response:
        return jsonify(view.snapshot())

    @app.get("/api/shift")
    def shift() -> Response:
        history = view.history
        span = request.args.get("span", "shift")
        if span not in ("hour", "shift"):
            return Response(json.dumps({"error": f"span must be hour or shift, not {span!r}"}), 400,
                            mimetype="application/json")
        wanted = request.args.get("machine")
        try:
            if history is None:
                raise RuntimeError("this page keeps no history")
            keys = [wanted] if wanted else sorted(set(view.snapshot()["machines"]) | set(history.machines()))
            return jsonify({"span": span, "machines": {key: history.shift(key, span) for key in keys}})
        except Exception as error:  # the database is away: the page says so and keeps the live view
            log.warning("plant page: the history cannot answer: %s", error)
            return Response(json.dumps({"error": f"the plant history cannot answer: {error}"}), 503,
                            mimetype="application/json")

    @app.get("/events")
    def events() -> Response:
        def stream() -> Iterator[str]:
            listener = view.listen()
            try:
                yield _sse(view.snapshot())
                while True:
                    event = listener.get(KEEPALIVE)
                    if stopping.is_set():
                        return
                    yield _sse(event) if event is not None else ": keep-alive\n\n"
            finally:
                view.forget(listener)

        return Response(stream(), mimetype="text/event-stream",
                        headers={"Cache-Control": "no-cache", "X-Accel-Buffering": "no"})

    return app


def _sse(event: dict[str, object]) -> str:
    return f"data: {json.dumps(event, separators=(',', ':'))}\n\n"


class PageServer:
    """The plant page on http://host:port/, fed by a PlantView of `broker`.

    `history` is where the plant history lives: a SQLite file, a postgresql:// URL, or None for one in
    memory (the shift views work, and are lost when the page ends).
    """

    def __init__(self, broker: str, host: str = "127.0.0.1", port: int = 8080, prefix: str = "kvo",
                 history: Optional[str] = None) -> None:
        self.history = History(history)
        self.view = PlantView(broker, prefix, history=self.history)
        self._stopping = threading.Event()
        self._server: BaseWSGIServer = make_server(host, port, create_app(self.view, self._stopping), threaded=True)
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        return f"http://{self._server.host}:{self._server.port}/"

    def start(self) -> None:
        self.history.start()
        self.view.start()
        self._thread = threading.Thread(target=self._server.serve_forever, name="plant page server")
        self._thread.start()

    def serve_forever(self) -> None:
        self.history.start()
        self.view.start()
        try:
            self._server.serve_forever()
        finally:
            self._stopping.set()
            self.view.close()
            self.history.close()

    def close(self) -> None:
        self._stopping.set()
        self.view.tell({"type": "closing"})  # wakes every open stream, which then ends
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()
        self.view.close()
        self.history.close()  # after the view: the last reports it noted are written too
