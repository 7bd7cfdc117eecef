"""The editor's web server: one page and a small JSON API on 127.0.0.1 only. Every request must carry the session's
random token and name this server as its Host, so neither another user of the machine nor a web page that
rebinds a domain to 127.0.0.1 can read or edit the card."""

from __future__ import annotations

import hmac
import json
import secrets
import socket
import threading
from importlib import resources

from .._errors import InputError

HOST = "127.0.0.1"
TOKEN_HEADER = "x-tessaly-token"
LARGEST_BODY = 1 << 20  # an edit is a few hundred bytes
STOP_WAIT = 60  # seconds a rebuild under way has to stop when the editor is stopped
LARGEST_FLOAT = 1.7976931348623157e308


class _Unreadable(ValueError):
    pass


def _number(text: str):
    """A JSON number as Python reads it, refused where no float holds it (a 401-digit integer, 1e400)."""
    try:
        value = float(text) if any(c in text for c in ".eE") else int(text)
    except ValueError:  # more digits than Python converts
        value = float("inf")
    if not abs(value) <= LARGEST_FLOAT:
        raise _Unreadable(
            f"the number {text[:20]}{'...' if len(text) > 20 else ''} is beyond a float: give a smaller one"
        )
    return value


def _constant(text: str):
    raise _Unreadable(f"{text} is not a number the editor takes: give finite numbers")


# The page's script and style are files of their own, so the policy allows no inline code at all; they hold no
# data and no token, so they are served to this server's own Host without one.
POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"
)
ASSETS = {"/editor.js": "text/javascript; charset=utf-8", "/editor.css": "text/css; charset=utf-8"}
HEADERS = {
    "Content-Security-Policy": POLICY,
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
    "X-Content-Type-Options": "nosniff",
}


def _file(*parts: str) -> str:
    return resources.files(__package__).joinpath(*parts).read_text(encoding="utf-8")


def _refuse(status: int, message: str):
    from starlette.responses import JSONResponse

    return JSONResponse({"error": message}, status_code=status)


class _Gate:
    """What every request passes: this server's own Host and the session's token, compared in constant time."""

    def __init__(self, token: str, port: int):
        self.token = token.encode()
        self.hosts = {f"{HOST}:{port}", f"localhost:{port}"}

    def own_host(self, request) -> bool:
        return request.headers.get("host", "") in self.hosts

    def why_not(self, request) -> str | None:
        if not self.own_host(request):
            return "this server answers only to its own address"
        given = request.headers.get(TOKEN_HEADER) or request.query_params.get("token") or ""
        if not hmac.compare_digest(given.encode("utf-8", "replace"), self.token):
            return "missing or wrong token: open the address the editor printed"
        return None


async def _body(request) -> dict | str:
    """The request's JSON object, or why it is none."""
    if request.method != "POST":
        return {}
    raw = await request.body()
    if len(raw) > LARGEST_BODY:
        return "request too large"
    try:
        body = json.loads(raw or b"{}", parse_int=_number, parse_float=_number, parse_constant=_constant)
    except _Unreadable as e:
        return str(e)
    except ValueError:
        return "the request is not JSON"
    return body if isinstance(body, dict) else "the request must be a JSON object"


def _page_response(gate: _Gate):
    from starlette.responses import HTMLResponse

    async def page(request):
        why = gate.why_not(request)
        if why is not None:
            return _refuse(403, why)
        return HTMLResponse(_file("page.html"), headers=HEADERS)

    return page


def _asset_response(gate: _Gate):
    from starlette.responses import Response

    async def asset(request):
        if not gate.own_host(request):
            return _refuse(403, "this server answers only to its own address")
        path = request.url.path
        return Response(_file("static", path.lstrip("/")), media_type=ASSETS[path], headers=HEADERS)

    return asset


def _api(gate: _Gate, lock: threading.Lock, work):
    """An endpoint: the gate, the body, then `work(body)` in a worker thread, one at a time."""
    from starlette.concurrency import run_in_threadpool
    from starlette.responses import JSONResponse

    async def endpoint(request):
        why = gate.why_not(request)
        if why is not None:
            return _refuse(403, why)
        body = await _body(request)
        if isinstance(body, str):
            return _refuse(413 if body.endswith("large") else 400, body)

        def locked():
            with lock:
                return work(body)

        try:
            return JSONResponse(await run_in_threadpool(locked))
        except InputError as e:
            return _refuse(400, str(e))

    return endpoint


def app(session, token: str, port: int):
    """The ASGI application of one session; `port` is where it listens, the only Host it answers to."""
    from starlette.applications import Starlette
    from starlette.routing import Route

    gate = _Gate(token, port)
    lock = session.lock

    def edit(body):
        session.edit(body)
        return session.view()

    def save(body):
        return {**session.save(rebuild=bool(body.get("rebuild"))), "view": session.view()}

    async def other(request):
        why = gate.why_not(request)
        return _refuse(403, why) if why is not None else _refuse(404, "no such page")

    routes = [
        Route("/", _page_response(gate)),
        *(Route(path, _asset_response(gate)) for path in ASSETS),
        Route("/api/state", _api(gate, lock, lambda body: session.view())),
        Route("/api/edit", _api(gate, lock, edit), methods=["POST"]),
        Route(
            "/api/preview",
            _api(gate, lock, lambda body: {"bins": session.preview(body.get("predictor"), body.get("at"))}),
            methods=["POST"],
        ),
        Route("/api/save", _api(gate, lock, save), methods=["POST"]),
        Route("/{path:path}", other, methods=["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS"]),
    ]
    return Starlette(routes=routes)


def listen(port: int = 0) -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((HOST, port))
    except OSError as e:
        sock.close()
        raise InputError(f"cannot listen on {HOST}:{port} ({e.strerror}): choose another --port") from None
    sock.listen(64)
    return sock


def serve(session, *, port: int = 0, browser: bool = True, announce=print) -> None:
    """Serve the session until interrupted (KeyboardInterrupt in the calling thread stops the server)."""
    import uvicorn

    sock = listen(port)
    port = sock.getsockname()[1]
    token = secrets.token_urlsafe(32)
    url = f"http://{HOST}:{port}/?token={token}"
    server = uvicorn.Server(
        uvicorn.Config(app(session, token, port), log_level="warning", access_log=False, lifespan="off")
    )
    # The server runs in a thread of its own, so Ctrl-C reaches this one and the command ends as every other does.
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, name="tessaly-editor", daemon=True)
    thread.start()
    announce(url)
    if browser:
        import webbrowser

        try:
            webbrowser.open(url)
        except Exception:  # no browser on this machine: the printed address is enough
            pass
    try:
        while thread.is_alive():
            thread.join(0.5)
    finally:
        # A rebuild under way stops at its next step and removes its staged card before the process ends.
        session.cancelled.set()
        if session.lock.acquire(timeout=STOP_WAIT):
            session.lock.release()
        server.should_exit = True
        thread.join(5)
        sock.close()
