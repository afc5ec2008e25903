"""The dashboard page's files: as the service serves them, what they may
reference, and that an installed package carries them."""

from __future__ import annotations

import html.parser
import os
import re
import shutil
import subprocess
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import lumarq.service

STATIC = Path(lumarq.service.__file__).parent / "static"
REPO = Path(__file__).resolve().parents[3]
IN_CI = os.environ.get("CI") == "true"
SERVED = {
    "/": ("index.html", "text/html"),
    "/static/app.js": ("app.js", "text/javascript"),
    "/static/app.css": ("app.css", "text/css"),
    "/static/favicon.svg": ("favicon.svg", "image/svg+xml"),
}
# An XML namespace name, never fetched: the only absolute URL the files may hold.
SVG_NAMESPACE = "http://www.w3.org/2000/svg"


def get(url, headers=None):
    req = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, resp.headers, resp.read()
    except urllib.error.HTTPError as err:
        return err.code, err.headers, err.read()


def policy(header):
    return {d.split()[0]: d.split()[1:] for d in (p.strip() for p in header.split(";")) if d}


def test_page_and_files_are_served_without_a_key_under_a_strict_policy(service):
    for path, (name, media) in SERVED.items():
        status, headers, body = get(service.url + path)
        assert status == 200, path
        assert headers["Content-Type"].split(";")[0] == media, path
        assert body == (STATIC / name).read_bytes(), path
        csp = policy(headers["Content-Security-Policy"])
        assert csp["default-src"] == ["'self'"] and csp["object-src"] == ["'none'"], path
        assert csp["frame-ancestors"] == ["'none'"] and csp["form-action"] == ["'none'"], path
        assert csp["require-trusted-types-for"] == ["'script'"], path
        assert not {"script-src", "style-src", "connect-src"} & set(csp), path  # nothing looser than default
        assert "unsafe" not in headers["Content-Security-Policy"], path
        assert headers["X-Content-Type-Options"] == "nosniff" and headers["Referrer-Policy"] == "no-referrer"
        assert headers["Cache-Control"] == "no-cache" and headers["ETag"], path
        # Revalidation answers 304 with no body and the same policy; a stale tag gets the file.
        etag = headers["ETag"]
        for sent in (etag, "W/" + etag, '"other", ' + etag):
            status, again, body = get(service.url + path, {"If-None-Match": sent})
            assert (status, body, again["ETag"]) == (304, b"", etag), (path, sent)
            assert again["Content-Security-Policy"] == headers["Content-Security-Policy"]
        assert get(service.url + path, {"If-None-Match": '"stale"'})[0] == 200


@pytest.mark.parametrize("path", [
    "/static/page.py", "/static/../page.py", "/static/%2e%2e/page.py", "/static/", "/static/nothing.js",
    "/static/index.html", "/index.html", "/static/app.js/x",
])
def test_nothing_but_the_shipped_files_is_reachable(service, path):
    status, headers, body = get(service.url + path)
    assert status == 404 and b"import" not in body


class _Markup(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags = []
        self.inline_script = False
        self._in_script = False

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        self._in_script = tag == "script"

    def handle_endtag(self, tag):
        self._in_script = False

    def handle_data(self, data):
        if self._in_script and data.strip():
            self.inline_script = True


def test_files_reference_nothing_outside_the_service():
    files = {p.name: p.read_text("utf-8") for p in STATIC.iterdir() if p.is_file()}
    assert {"index.html", "app.js", "app.css"} <= set(files)
    for name, text in files.items():
        found = re.findall(r"(?i)\b(?:https?|wss?|ftp):[^\s\"'<>)]*", text)
        assert set(found) <= {SVG_NAMESPACE}, (name, found)
        assert not re.search(r"(?i)@import|url\(\s*['\"]?(?!#)", text), name

    page = _Markup()
    page.feed(files["index.html"])
    assert not page.inline_script
    refs = []
    for tag, attrs in page.tags:
        assert not [a for a in attrs if a.startswith("on") or a == "style"], (tag, attrs)
        if tag in ("script", "link", "img", "iframe", "object", "embed"):
            ref = attrs.get("src") or attrs.get("href")
            assert ref, (tag, attrs)
            refs.append(ref)
    assert refs and all(re.fullmatch(r"static/[\w.-]+", r) for r in refs), refs
    assert all((STATIC / r.split("/", 1)[1]).is_file() for r in refs), refs
    assert [a["src"] for t, a in page.tags if t == "script"] == ["static/app.js"]

    # The script puts data into the page as text only, and never builds code.
    script = re.sub(r"//[^\n]*", "", files["app.js"])
    for sink in ("innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "Function(",
                 "localStorage"):
        assert sink not in script, sink


def _install_rule(cmake_text):
    start = cmake_text.index("install(DIRECTORY src/lumarq/")
    depth = 0
    for i in range(start, len(cmake_text)):
        depth += {"(": 1, ")": -1}.get(cmake_text[i], 0)
        if depth == 0 and cmake_text[i] == ")":
            return cmake_text[start:i + 1]
    raise AssertionError("unbalanced install() in CMakeLists.txt")


def test_the_package_install_rule_ships_the_page(tmp_path):
    cmake = shutil.which("cmake")
    if cmake is None:
        if IN_CI:
            pytest.fail("cmake is required in CI")
        pytest.skip("cmake not found")
    # The package's own install rule, run on its own in a throw-away project.
    rule = _install_rule((REPO / "CMakeLists.txt").read_text("utf-8"))
    rule = rule.replace("src/lumarq/", (REPO / "src" / "lumarq").as_posix() + "/", 1)
    project = tmp_path / "project"
    project.mkdir()
    (project / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.18)\nproject(page_files NONE)\n" + rule + "\n", "utf-8")
    for args in (["-S", str(project), "-B", str(tmp_path / "build")],
                 ["--install", str(tmp_path / "build"), "--prefix", str(tmp_path / "prefix")]):
        done = subprocess.run([cmake, *args], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
    installed = tmp_path / "prefix" / "lumarq" / "service" / "static"
    shipped = sorted(p.name for p in STATIC.iterdir() if p.is_file())
    assert sorted(p.name for p in installed.iterdir()) == shipped
    for name in shipped:
        assert (installed / name).read_bytes() == (STATIC / name).read_bytes(), name
    assert (tmp_path / "prefix" / "lumarq" / "service" / "page.py").is_file()
