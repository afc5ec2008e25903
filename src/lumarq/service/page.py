"""The dashboard page: static files shipped in the package and served by the
service itself, so the page works with no network beyond this service.

The page reads only the ``/v1`` endpoints of its own origin, with the API key
the user signs in with. Its files are read once when the app is made; every
answer carries a strict Content-Security-Policy (no inline scripts or
styles, nothing from other origins, no string-to-HTML sinks) and an ETag, and
is revalidated on each load (``no-cache``): the files change only with an
upgrade, when a stale script must not outlive the service it talks to.
"""

from __future__ import annotations

import hashlib
from importlib import resources
from typing import Dict, NamedTuple

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

STATIC_URL = "/static"
MEDIA_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".svg": "image/svg+xml",
}
CONTENT_SECURITY_POLICY = "; ".join((
    "default-src 'self'",
    "object-src 'none'",
    "base-uri 'none'",
    # The sign-in form is handled by the script; should the script not run,
    # the browser must not submit the key in a URL.
    "form-action 'none'",
    "frame-ancestors 'none'",
    "require-trusted-types-for 'script'",
    "trusted-types 'none'",
))
SECURITY_HEADERS = {
    "Content-Security-Policy": CONTENT_SECURITY_POLICY,
    "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-cache",
}


class StaticFile(NamedTuple):
    body: bytes
    media_type: str
    etag: str


def load_files() -> Dict[str, StaticFile]:
    """The page's files by name; empty when the package was installed without them."""
    folder = resources.files(__package__).joinpath("static")
    files: Dict[str, StaticFile] = {}
    if not folder.is_dir():
        return files
    for entry in folder.iterdir():
        suffix = "." + entry.name.rsplit(".", 1)[-1] if "." in entry.name else ""
        if entry.is_file() and suffix in MEDIA_TYPES:
            body = entry.read_bytes()
            etag = '"%s"' % hashlib.sha256(body).hexdigest()[:32]
            files[entry.name] = StaticFile(body, MEDIA_TYPES[suffix], etag)
    return files


def _not_modified(request: Request, etag: str) -> bool:
    for tag in request.headers.get("if-none-match", "").split(","):
        tag = tag.strip()
        if tag == "*" or (tag[2:] if tag.startswith("W/") else tag) == etag:
            return True
    return False


def _answer(request: Request, f: StaticFile) -> Response:
    headers = dict(SECURITY_HEADERS, ETag=f.etag)
    if _not_modified(request, f.etag):
        return Response(status_code=304, headers=headers)
    return Response(f.body, media_type=f.media_type, headers=headers)


def mount(app: object) -> None:
    """Serve the page at ``/`` and its files under ``/static/`` on `app`.

    Plain routes, not API operations: they need no key and stay out of the
    OpenAPI document.
    """
    files = load_files()

    def missing(what: str) -> Response:
        return JSONResponse({"detail": what}, status_code=404, headers={"X-Content-Type-Options": "nosniff"})

    async def index(request: Request) -> Response:
        f = files.get("index.html")
        if f is None:
            return missing("The dashboard files are not installed with this service")
        return _answer(request, f)

    async def static(request: Request) -> Response:
        # Only the names loaded above: nothing else on disk is reachable.
        f = files.get(request.path_params["name"])
        if f is None or request.path_params["name"] == "index.html":
            return missing("Not Found")
        return _answer(request, f)

    app.add_route("/", index, methods=["GET"], include_in_schema=False)  # type: ignore[attr-defined]
    app.add_route(STATIC_URL + "/{name}", static, methods=["GET"],  # type: ignore[attr-defined]
                  include_in_schema=False)
