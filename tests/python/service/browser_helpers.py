"""A headless Chromium driven over the DevTools protocol, standard library only.

The browser talks the protocol on a pipe (``--remote-debugging-pipe``): it
reads commands on its fd 3 and writes answers and events on its fd 4, each
message JSON followed by a NUL byte. No port is opened and no websocket is
needed.

    with Chromium(binary, tmp_path / "profile") as browser:
        page = browser.new_page()
        page.navigate(url)
        page.wait_for("document.title === 'x'")
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

CHROMIUM_NAMES = ("chromium", "chromium-browser")


def find_chromium() -> Optional[str]:
    for name in CHROMIUM_NAMES:
        found = shutil.which(name)
        if found:
            return found
    return None


class ProtocolError(RuntimeError):
    pass


class Chromium:
    def __init__(self, binary: str, profile: Path, timeout: float = 30.0):
        self.timeout = timeout
        profile.mkdir(parents=True, exist_ok=True)
        self.log_path = profile.parent / "chromium.log"
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        args = [
            binary, "--headless", "--no-sandbox", "--disable-gpu",
            "--remote-debugging-pipe", "--user-data-dir=%s" % profile,
            "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--hide-scrollbars", "about:blank",
        ]
        # The shell moves the pipe ends to the fds the browser expects.
        with open(self.log_path, "wb") as log:
            self._proc = subprocess.Popen(
                ["/bin/sh", "-c", 'exec "$@" 3<&0 4>&1 </dev/null >&2', "sh", *args],
                stdin=to_browser_r, stdout=from_browser_w, stderr=log, start_new_session=True,
            )
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._next_id = 0
        self._answers: Dict[int, Dict[str, Any]] = {}
        self.events: List[Dict[str, Any]] = []
        self._cond = threading.Condition()
        self._closed = False
        self._reader = threading.Thread(target=self._read, name="chromium-protocol", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        buf = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 20)
            except OSError:
                chunk = b""
            if not chunk:
                break
            buf += chunk
            *messages, buf = buf.split(b"\0")
            with self._cond:
                for raw in messages:
                    msg = json.loads(raw)
                    if "id" in msg:
                        self._answers[msg["id"]] = msg
                    else:
                        self.events.append(msg)
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def send(self, method: str, params: Optional[Dict[str, Any]] = None, session: Optional[str] = None,
             timeout: Optional[float] = None) -> Dict[str, Any]:
        with self._cond:
            self._next_id += 1
            mid = self._next_id
        msg: Dict[str, Any] = {"id": mid, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        data = memoryview(json.dumps(msg).encode("utf-8") + b"\0")
        while data:
            data = data[os.write(self._to_browser, data):]
        deadline = time.monotonic() + (timeout or self.timeout)
        with self._cond:
            while mid not in self._answers:
                left = deadline - time.monotonic()
                if self._closed or left <= 0:
                    raise ProtocolError("no answer to %s (browser %s); see %s"
                                        % (method, "exited" if self._closed else "timed out", self.log_path))
                self._cond.wait(left)
            answer = self._answers.pop(mid)
        if "error" in answer:
            raise ProtocolError("%s failed: %s" % (method, answer["error"]))
        return answer.get("result", {})

    def events_of(self, method: str, session: Optional[str] = None) -> List[Dict[str, Any]]:
        with self._cond:
            return [e.get("params", {}) for e in self.events
                    if e.get("method") == method and (session is None or e.get("sessionId") == session)]

    def new_page(self, width: int = 1366, height: int = 900) -> "Page":
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        return Page(self, session, width, height)

    def close(self) -> None:
        try:
            self.send("Browser.close", timeout=5)
        except ProtocolError:
            pass
        try:
            self._proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self._proc.pid, signal.SIGKILL)
            self._proc.wait(10)
        os.close(self._to_browser)
        self._reader.join(5)
        os.close(self._from_browser)

    def __enter__(self) -> "Chromium":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


class Page:
    def __init__(self, browser: Chromium, session: str, width: int, height: int):
        self.browser = browser
        self.session = session
        for domain in ("Page", "Runtime", "Network", "Log"):
            self.call(domain + ".enable")
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def call(self, method: str, params: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
        return self.browser.send(method, params, self.session)

    def events(self, method: str) -> List[Dict[str, Any]]:
        return self.browser.events_of(method, self.session)

    def before_each_document(self, source: str) -> None:
        self.call("Page.addScriptToEvaluateOnNewDocument", {"source": source})

    def navigate(self, url: str) -> None:
        answer = self.call("Page.navigate", {"url": url})
        if answer.get("errorText"):
            raise ProtocolError("navigation to %s failed: %s" % (url, answer["errorText"]))

    def reload(self) -> None:
        self.call("Page.reload", {"ignoreCache": False})

    def evaluate(self, expression: str) -> Any:
        answer = self.call("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True, "awaitPromise": True})
        if "exceptionDetails" in answer:
            details = answer["exceptionDetails"]
            raise ProtocolError("script failed: %s" % details.get("exception", {}).get("description", details))
        return answer["result"].get("value")

    def wait_for(self, expression: str, timeout: float = 20.0) -> Any:
        """The first truthy value of `expression`, polled; AssertionError with
        the page's text when it stays falsy."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except ProtocolError:
                value = None  # the document is being replaced
            if value:
                return value
            if time.monotonic() > deadline:
                text = self.evaluate("document.body ? document.body.innerText : ''")
                raise AssertionError("timed out waiting for %s; the page reads:\n%s" % (expression, text))
            time.sleep(0.05)

    def type_into(self, selector: str, text: str) -> None:
        """Focus a field, clear it and type `text` as a user would."""
        self.evaluate("(() => { const e = document.querySelector(%s); e.focus(); e.select(); })()"
                      % json.dumps(selector))
        self.call("Input.insertText", {"text": text})

    def press(self, key: str, code: str, key_code: int, text: str = "") -> None:
        down = {"type": "keyDown", "key": key, "code": code, "windowsVirtualKeyCode": key_code}
        if text:
            down["text"] = text
        self.call("Input.dispatchKeyEvent", down)
        self.call("Input.dispatchKeyEvent", {"type": "keyUp", "key": key, "code": code,
                                             "windowsVirtualKeyCode": key_code})

    def press_enter(self) -> None:
        self.press("Enter", "Enter", 13, "\r")

    def screenshot(self, path: Path) -> Path:
        """The whole page as a PNG."""
        size = self.call("Page.getLayoutMetrics")["cssContentSize"]
        shot = self.call("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1},
        })
        path.write_bytes(base64.b64decode(shot["data"]))
        return path
