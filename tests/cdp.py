"""Just enough of the DevTools protocol to drive a headless Chromium from a test: launch,
open a page, evaluate JavaScript, take a screenshot. Chromium comes from tools/browser-deps."""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import os
import re
import shutil
import subprocess
import tempfile
from contextlib import asynccontextmanager
from typing import Any

import aiohttp


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Tab:
    def __init__(self, ws: aiohttp.ClientWebSocketResponse) -> None:
        self.ws = ws
        self._ids = itertools.count(1)

    async def call(self, method: str, **params: Any) -> dict:
        ident = next(self._ids)
        await self.ws.send_str(json.dumps({"id": ident, "method": method, "params": params}))
        while True:
            msg = await asyncio.wait_for(self.ws.receive(), 30)
            if msg.type != aiohttp.WSMsgType.TEXT:
                raise RuntimeError(f"DevTools socket ended: {msg}")
            reply = json.loads(msg.data)
            if reply.get("id") == ident:  # events (no id) are not needed here
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    async def js(self, expression: str, *, gesture: bool = False) -> Any:
        result = await self.call(
            "Runtime.evaluate",
            expression=expression,
            returnByValue=True,
            awaitPromise=True,
            userGesture=gesture,
        )
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    async def until(self, expression: str, timeout: float = 20.0) -> Any:
        """Poll a JavaScript condition until it is truthy; its value. A condition that throws
        (the page's script not loaded yet) counts as not yet true."""
        guarded = f"(() => {{ try {{ return ({expression}); }} catch (e) {{ return null; }} }})()"
        async with asyncio.timeout(timeout):
            while not (value := await self.js(guarded)):
                await asyncio.sleep(0.1)
        return value

    async def screenshot(self, path: str, **clip: float) -> None:
        params: dict[str, Any] = {"format": "png"}
        if clip:
            params["clip"] = {**clip, "scale": 1}
        data = (await self.call("Page.captureScreenshot", **params))["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))


@asynccontextmanager
async def chromium(binary: str, width: int = 900, height: int = 640, extra: tuple[str, ...] = ()):
    """A headless browser; yields a function that opens a tab at a URL."""
    profile = tempfile.mkdtemp(prefix="talvo-chromium-")
    proc = subprocess.Popen(
        [
            binary,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-dev-shm-usage",
            "--no-first-run",
            "--remote-debugging-port=0",
            f"--user-data-dir={profile}",
            "--autoplay-policy=no-user-gesture-required",
            f"--window-size={width},{height}",
            # a tone from a fake microphone, granted without a prompt
            "--use-fake-device-for-media-stream",
            "--use-fake-ui-for-media-stream",
            "--hide-scrollbars",
            *extra,
            "about:blank",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=_browser_env(),
    )
    try:
        async with asyncio.timeout(60):
            port = await asyncio.get_running_loop().run_in_executor(None, _devtools_port, proc)
        async with aiohttp.ClientSession() as http:

            async def open_tab(url: str) -> Tab:
                async with http.put(f"http://127.0.0.1:{port}/json/new?{url}") as r:
                    target = await r.json(content_type=None)
                ws = await http.ws_connect(target["webSocketDebuggerUrl"], max_msg_size=0)
                sockets.append(ws)
                tab = Tab(ws)
                await tab.call("Page.enable")
                return tab

            sockets: list[aiohttp.ClientWebSocketResponse] = []
            try:
                yield open_tab
            finally:
                for ws in sockets:
                    await ws.close()
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stderr.close()
        shutil.rmtree(profile, ignore_errors=True)


def _browser_env() -> dict[str, str]:
    """This environment without the sanitizer runtime that tools/sanitize.sh preloads for the
    interpreter: Chromium is not what is under test, and under it Chromium spins forever."""
    drop = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"}
    return {k: v for k, v in os.environ.items() if k not in drop}


def _devtools_port(proc: subprocess.Popen) -> int:
    for line in proc.stderr:
        found = re.search(r"DevTools listening on ws://[^:]+:(\d+)/", line)
        if found:
            # Keep reading Chromium's chatter in the background so its pipe never fills.
            import threading

            threading.Thread(target=lambda: [None for _ in proc.stderr], daemon=True).start()
            return int(found.group(1))
    raise RuntimeError(f"Chromium exited ({proc.wait()}) without a DevTools port")


def artifact_dir() -> str:
    """Where test artifacts go (not committed: /out/ is ignored)."""
    path = os.environ.get("TALVO_TEST_ARTIFACTS") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "out"
    )
    os.makedirs(path, exist_ok=True)
    return path
