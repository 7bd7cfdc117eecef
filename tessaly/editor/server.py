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


def _page(nonce: str) -> str:
    text = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")
    return text.replace("__NONCE__", nonce)


def app(session, token: str, port: int):
    """The ASGI application of one session; `port` is where it listens, the only Host it answers to."""
    from starlette.applications import Starlette
    from starlette.concurrency import run_in_threadpool
    from starlette.responses import HTMLResponse, JSONResponse
    from starlette.routing import Route

    hosts = {f"{HOST}:{port}", f"localhost:{port}"}
    lock = threading.Lock()  # one edit at a time: the session is one modeller's state

    def refuse(status: int, message: str) -> JSONResponse:
        return JSONResponse({"error": message}, status_code=status)

    def allowed(request) -> str | None:
        """Why a request is refused, or None."""
        if request.headers.get("host", "") not in hosts:
            return "this server answers only to its own address"
        given = request.headers.get(TOKEN_HEADER) or request.query_params.get("token") or ""
        if not hmac.compare_digest(given.encode("utf-8", "replace"), token.encode()):
            return "missing or wrong token: open the address the editor printed"
        return None

    async def guarded(request, work):
        why = allowed(request)
        if why is not None:
            return refuse(403, why)
        body = {}
        if request.method == "POST":
            raw = await request.body()
            if len(raw) > LARGEST_BODY:
                return refuse(413, "request too large")
            try:
                body = json.loads(raw or b"{}")
            except ValueError:
                return refuse(400, "the request is not JSON")
            if not isinstance(body, dict):
                return refuse(400, "the request must be a JSON object")

        def locked():
            with lock:
                return work(body)

        try:
            return JSONResponse(await run_in_threadpool(locked))
        except InputError as e:
            return refuse(400, str(e))

    async def page(request):
        why = allowed(request)
        if why is not None:
            return refuse(403, why)
        nonce = secrets.token_urlsafe(16)
        return HTMLResponse(
            _page(nonce),
            headers={
                "Content-Security-Policy": f"default-src 'none'; script-src 'nonce-{nonce}'; style-src 'unsafe-inline'; "
                "connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                "base-uri 'none'; form-action 'none'",
                "Referrer-Policy": "no-referrer",
                "Cache-Control": "no-store",
                "X-Content-Type-Options": "nosniff",
            },
        )

    async def state(request):
        return await guarded(request, lambda body: session.view())

    async def edit(request):
        def work(body):
            session.edit(body)
            return session.view()

        return await guarded(request, work)

    async def preview(request):
        return await guarded(request, lambda body: {"bins": session.preview(body.get("predictor"), body.get("at"))})

    async def save(request):
        def work(body):
            result = session.save(rebuild=bool(body.get("rebuild")))
            return {**result, "view": session.view()}

        return await guarded(request, work)

    async def other(request):
        why = allowed(request)
        return refuse(403, why) if why is not None else refuse(404, "no such page")

    routes = [
        Route("/", page),
        Route("/api/state", state),
        Route("/api/edit", edit, methods=["POST"]),
        Route("/api/preview", preview, methods=["POST"]),
        Route("/api/save", save, methods=["POST"]),
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
        server.should_exit = True
        thread.join(5)
        sock.close()
