"""`python -m talvo serve` in production: probes, metrics, the SIGTERM drain, workers, and the
nginx recipe of docs/deploy.md run as written."""

from __future__ import annotations

import asyncio
import os
import re
import shutil
import signal
import socket
import subprocess
from pathlib import Path

import pytest

pytest.importorskip("aiohttp", reason="the serve extra (aiohttp) is not installed")
pytest.importorskip("prometheus_client", reason="the serve extra (prometheus_client) is not installed")

from aiohttp import ClientSession, WSServerHandshakeError  # noqa: E402
from pipeline_harness import wait_until  # noqa: E402
from serve_support import Page, serving, start_server  # noqa: E402
from talvo.engine.video_reader import pack_demo_model  # noqa: E402
from talvo.serve import drain  # noqa: E402
from talvo.serve.probes import ADMISSION  # noqa: E402

DEPLOY_DOC = Path(__file__).resolve().parent.parent / "docs" / "deploy.md"


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "demo.imx"
    pack_demo_model(path)
    return str(path)


async def scrape(get) -> dict[str, float]:
    async with get("/metrics") as r:
        assert r.status == 200
        text = await r.text()
    return {k: float(v) for k, v in re.findall(r"^(talvo_\S+) (\S+)$", text, re.M)}


async def open_page(http, url: str) -> tuple[Page, dict]:
    page = Page(await http.ws_connect(url + "ws"))
    return page, await page.text()


@pytest.mark.asyncio
async def test_probes_and_metrics_follow_the_sessions(model):
    async with serving(model, max_sessions=1) as (client, _):
        before = await scrape(client.get)
        async with client.get("/healthz") as r:
            assert r.status == 200 and (await r.json())["pid"] == os.getpid()
        async with client.get("/readyz") as r:
            assert r.status == 200
        page = Page(await client.ws_connect("/ws"))
        assert (await page.text())["worker"] == os.getpid()
        await page.send(type="builtin")
        frames, _ = await page.utterance()
        async with client.get("/readyz") as r:
            assert r.status == 503 and (await r.json())["reason"] == "full"
        refused = Page(await client.ws_connect("/ws"))
        assert (await refused.text())["type"] == "refused"
        after = await scrape(client.get)
    delta = {k: v - before.get(k, 0.0) for k, v in after.items()}
    sent = delta["talvo_frames_sent_total"]
    assert delta["talvo_sessions_open"] == 1 and delta['talvo_sessions_refused_total{reason="full"}'] == 1
    assert delta['talvo_utterances_total{source="builtin"}'] == 1
    assert sent >= len(page.frames) >= len(frames) and delta["talvo_frame_latency_seconds_count"] == sent
    assert delta['talvo_bytes_sent_total{transport="websocket"}'] >= sent * 96 * 96 * 3


@pytest.mark.asyncio
@pytest.mark.parametrize("speaking", ["builtin", "endless microphone"])
async def test_a_drain_refuses_new_sessions_and_lets_utterances_finish(model, speaking):
    timeout = 30.0 if speaking == "builtin" else 0.5
    async with serving(model) as (client, sessions):
        quiet, talker = Page(await client.ws_connect("/ws")), Page(await client.ws_connect("/ws"))
        await quiet.text(), await talker.text()
        if speaking == "builtin":
            await talker.send(type="builtin")
        else:
            await talker.send(type="audio_start", sample_rate=16000)
        assert (await talker.text())["type"] == "speaking"
        draining = asyncio.ensure_future(drain.drain(client.server.app[ADMISSION], timeout))
        assert await quiet.text() == {"type": "draining", "seconds": timeout}
        assert await quiet.close_code() == 1001  # at once: it was saying nothing
        async with client.get("/readyz") as r:
            assert r.status == 503 and (await r.json())["reason"] == "draining"
        with pytest.raises(WSServerHandshakeError) as refused:
            await client.ws_connect("/ws")
        assert refused.value.status == 503
        assert (await talker.text())["type"] == "draining"
        await talker.send(type="builtin")
        assert "no new utterance" in (await talker.text())["message"]
        if speaking == "builtin":
            await talker.utterance()  # to its last frame
        assert await talker.close_code() == 1001
        await asyncio.wait_for(draining, 10)
        assert not sessions


def children(pid: int) -> set[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return {int(x) for x in f.read().split()}


def alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


async def two_workers_serve(url: str) -> tuple[set[int], float]:
    """Opens sessions until two workers have answered (the kernel picks), holding them open."""
    async with ClientSession() as http:
        pages, workers = [], set()
        for _ in range(24):
            page, hello = await open_page(http, url)
            pages.append(page)
            workers.add(hello["worker"])
            if len(workers) == 2:
                break
        async with http.get(url + "metrics") as r:
            open_now = float(re.search(r"^talvo_sessions_open (\S+)$", await r.text(), re.M)[1])
        for page in pages:
            await page.ws.close()
    return workers, open_now - len(pages)


@pytest.mark.parametrize("ending", [signal.SIGTERM, signal.SIGKILL])
def test_workers_share_the_port_are_restarted_and_never_outlive_the_supervisor(model, ending):
    proc, url = start_server("--workers", "2", "--model", model)
    try:
        wait_until(lambda: len(children(proc.pid)) == 2, timeout=20)
        workers, uncounted = asyncio.run(two_workers_serve(url))
        assert workers == children(proc.pid) and uncounted == 0  # the metrics sum both workers
        victim = workers.pop()
        os.kill(victim, signal.SIGKILL)
        wait_until(lambda: victim not in children(proc.pid) and len(children(proc.pid)) == 2, timeout=20)
        last = children(proc.pid)
        proc.send_signal(ending)
        wait_until(lambda: not any(alive(p) for p in last), timeout=20)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate()
    assert f"(pid {victim}) ended with status -9; restarting it" in err
    if ending == signal.SIGTERM:
        assert proc.returncode == 0 and "stopped" in out and "Traceback" not in err, err
    else:
        assert "the supervisor" in err and "is gone: stopping" in err


# -- nginx in front, configured as docs/deploy.md says --------------------------------------------


def nginx_config(tmp: Path, port: int, upstreams: list[int]) -> Path:
    site = re.search(r"```nginx\n(.*?)```", DEPLOY_DOC.read_text(), re.S)[1]
    for old, new in [("listen 80;", f"listen 127.0.0.1:{port};")] + [
        (f"127.0.0.1:{doc_port}", f"127.0.0.1:{real}") for doc_port, real in zip((8081, 8082), upstreams)
    ]:
        assert site.count(old) == 1, f"docs/deploy.md no longer holds {old!r}"
        site = site.replace(old, new)
    (tmp / "talvo.conf").write_text(site)
    temps = "".join(
        f"{kind}_temp_path {tmp}/{kind};\n" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")
    )
    conf = tmp / "nginx.conf"
    conf.write_text(
        ("user root;\n" if os.geteuid() == 0 else "")
        + f"pid {tmp}/nginx.pid;\nerror_log {tmp}/error.log;\nevents {{ worker_connections 64; }}\n"
        + f"http {{\naccess_log off;\n{temps}include {tmp}/talvo.conf;\n}}\n"
    )
    return conf


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port: int) -> bool:
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


async def through_nginx(url: str, a: subprocess.Popen, b: subprocess.Popen) -> None:
    """A drains while B takes its new sessions; then B is stopped by a second SIGTERM."""
    async with ClientSession() as http:
        (one, hello1), (two, hello2) = await open_page(http, url), await open_page(http, url)
        assert {hello1["worker"], hello2["worker"]} == {a.pid, b.pid}  # both serve
        on_a, on_b = (one, two) if hello1["worker"] == a.pid else (two, one)
        await on_a.send(type="builtin")
        while not any(f.speech for f in on_a.frames):
            await on_a.frame()
        a.send_signal(signal.SIGTERM)
        assert (await on_a.text())["type"] == "draining"
        for _ in range(2):  # nginx passes A's 503 on to B
            page, hello = await open_page(http, url)
            assert hello["worker"] == b.pid
            await page.ws.close()
        _, audio = await on_a.utterance()
        assert audio and await on_a.close_code() == 1001
        await on_b.send(type="builtin")  # B goes on serving
        while not any(f.speech for f in on_b.frames):
            await on_b.frame()
        b.send_signal(signal.SIGTERM)
        assert (await on_b.text())["type"] == "draining"
        b.send_signal(signal.SIGTERM)  # the second ends the drain at once, mid-utterance
        assert await on_b.close_code() == 1001 and not any(f.end_of_speech for f in on_b.frames)


def test_the_nginx_recipe_serves_from_both_and_drains_one(model, tmp_path):
    nginx = shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin")
    if nginx is None:
        pytest.skip("nginx is not installed (tools/browser-deps installs it with apt-get)")
    (a, url_a), (b, url_b) = start_server("--model", model), start_server("--model", model)
    port = free_port()
    conf = nginx_config(tmp_path, port, [int(u.rstrip("/").rsplit(":", 1)[1]) for u in (url_a, url_b)])
    proxy = subprocess.Popen(
        [nginx, "-p", str(tmp_path), "-c", str(conf), "-e", str(tmp_path / "error.log"), "-g", "daemon off;"],
        stderr=subprocess.PIPE,
    )
    try:
        wait_until(lambda: proxy.poll() is not None or listening(port), timeout=10)
        assert proxy.poll() is None, proxy.stderr.read()
        asyncio.run(through_nginx(f"http://127.0.0.1:{port}/", a, b))
        for server in (a, b):
            _, err = server.communicate(timeout=30)
            assert server.returncode == 0 and "Traceback" not in err, err
    finally:
        for p in (proxy, a, b):
            p.kill()
            p.communicate()
