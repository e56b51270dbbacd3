"""quillmark.server over loopback: a real uvicorn server over a tiny-encoder
collection, asked with httpx, and its page driven in headless Chromium."""

import concurrent.futures
import datetime
import json
import os
import pathlib
import shutil
import socket
import threading
import time

import pytest

try:
    import httpx
    import uvicorn
except ImportError as error:  # the serve extra (and httpx) absent
    if os.environ.get("QUILLMARK_REQUIRE_BROWSER"):
        raise
    pytest.skip(f"quillmark.server's test needs uvicorn, starlette and httpx: {error}", allow_module_level=True)

from quillmark.collection import Collection  # noqa: E402
from quillmark.server import LOOPBACK_NAMES, MAX_QUERY_CHARS, app  # noqa: E402
from tiny_encoder import WORDS, tiny_encoder  # noqa: E402

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
REPO = pathlib.Path(__file__).resolve().parents[2]
SCRIPT_TEXT = "<script>alert(1)</script> python files"
IMG_TEXT = '<img src=x onerror="window.__pwned=1"> python files <b>bold</b>'


def documents():
    ids, texts, metadata = [], [], []
    for i in range(16):
        words = [WORDS[(i * 7 + j * 3) % len(WORDS)] for j in range(4 + i % 5)]
        ids.append(f"doc-{i:02d}")
        texts.append(" ".join(words))
        metadata.append({"n": i, "kind": "even" if i % 2 == 0 else "odd"})
    ids += ["script", "img", "python-lists"]
    texts += [SCRIPT_TEXT, IMG_TEXT, "python lists are mutable sequences , python tuples are immutable"]
    metadata += [{"kind": "markup"}, {"kind": "markup"}, None]
    return ids, texts, metadata


class Served:
    def __init__(self, path):
        self.writer = Collection.create(path, tiny_encoder())
        self.writer.add(*documents())
        self.writer.commit()
        self.reader = Collection.open(path, tiny_encoder())
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{sock.getsockname()[1]}"
        config = uvicorn.Config(app(self.reader, allowed_hosts=LOOPBACK_NAMES), log_level="warning", lifespan="off")
        self.server = uvicorn.Server(config)
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [sock]}, daemon=True)
        self.thread.start()
        deadline = time.monotonic() + 30
        while not self.server.started:
            assert self.thread.is_alive() and time.monotonic() < deadline, "the server did not start"
            time.sleep(0.02)
        self.http = httpx.Client(base_url=self.url, timeout=30)

    def close(self):
        self.http.close()
        self.server.should_exit = True
        self.thread.join(30)
        assert not self.thread.is_alive(), "the server did not stop"
        self.reader.close()
        self.writer.close()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    s = Served(tmp_path_factory.mktemp("server") / "collection")
    yield s
    s.close()


def expected(collection, q, k, where=None):
    return [{"id": h.id, "score": h.score, "text": h.text, "metadata": h.metadata}
            for h in collection.search(q, limit=k, gather_limit=max(100, k), where=where)]


# -- the JSON endpoint ----------------------------------------------------------------------


@pytest.mark.parametrize("q, k, where", [
    ("python lists", 5, None),
    ("the weather is lovely today", None, None),
    ("python files", 100, None),
    ("he drove to the stadium", 20, {"kind": "even"}),
    ("keys values", 50, {"$or": [{"n": {"$gte": 10}}, {"kind": "markup"}]}),
])
def test_search_returns_collection_hits(served, q, k, where):
    params = {"q": q}
    if k is not None:
        params["k"] = str(k)
    if where is not None:
        params["where"] = json.dumps(where)
    response = served.http.get("/search", params=params)
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json"
    body = response.json()
    assert set(body) == {"hits", "as_of", "timings"}
    assert body["hits"] == expected(served.reader, q, k or 10, where)
    assert 0 < len(body["hits"]) <= (k or 10)
    if where is not None:
        for hit in body["hits"]:
            assert hit["metadata"] is not None
    as_of = datetime.datetime.fromisoformat(body["as_of"])
    assert as_of.tzinfo is not None and as_of <= datetime.datetime.now(datetime.timezone.utc)
    assert set(body["timings"]) == {"gather_seconds", "rerank_seconds", "total_seconds", "search_seconds"}
    for name, value in body["timings"].items():
        assert isinstance(value, float) and 0 <= value < 60, name
    assert body["timings"]["search_seconds"] >= body["timings"]["total_seconds"]


def test_commit_after_start_is_seen_by_the_next_request(served):
    def ids():
        response = served.http.get("/search", params={"q": "dict keys values", "k": "100"})
        assert response.status_code == 200
        return [hit["id"] for hit in response.json()["hits"]], response.json()["as_of"]

    before, as_of_before = ids()
    assert "late" not in before
    served.writer.add(["late"], ["dict keys values dict keys values"], [{"kind": "late"}])
    committed = served.writer.commit()
    after, as_of_after = ids()
    assert "late" in after
    assert datetime.datetime.fromisoformat(as_of_after) == committed > datetime.datetime.fromisoformat(as_of_before)
    served.writer.delete(["late"])
    served.writer.commit()
    assert "late" not in ids()[0]


def test_concurrent_requests_agree(served):
    params = {"q": "python lists are mutable", "k": "8"}
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        bodies = list(pool.map(lambda _: served.http.get("/search", params=params).json(), range(12)))
    assert all(body["hits"] == bodies[0]["hits"] for body in bodies)
    assert [h["id"] for h in bodies[0]["hits"]] == [h["id"] for h in expected(served.reader, params["q"], 8)]


@pytest.mark.parametrize("method, path, params, status, message", [
    ("GET", "/search", {}, 400, "'q' is required"),
    ("GET", "/search", {"q": ""}, 400, "'q' is empty"),
    ("GET", "/search", {"q": " \t\n "}, 400, "'q' is empty"),
    ("GET", "/search", {"q": "a" * (MAX_QUERY_CHARS + 1)}, 400, "more than 1000"),
    ("GET", "/search", {"q": "python", "k": "0"}, 400, "'k' is 0"),
    ("GET", "/search", {"q": "python", "k": "101"}, 400, "'k' is 101"),
    ("GET", "/search", {"q": "python", "k": "abc"}, 400, "'k' must be an integer"),
    ("GET", "/search", {"q": "python", "k": "-1"}, 400, "'k' must be an integer"),
    ("GET", "/search", {"q": "python", "k": "1e2"}, 400, "'k' must be an integer"),
    ("GET", "/search", {"q": "python", "where": "{kind: even"}, 400, "'where' is not JSON"),
    ("GET", "/search", {"q": "python", "where": '{"n": {"$like": 1}}'}, 400, "unknown operator '$like'"),
    ("GET", "/search", {"q": "python", "where": '["kind"]'}, 400, "expected a mapping"),
    ("GET", "/search", {"q": "python", "where": '{"n": null}'}, 400, "'where' is refused"),
    ("GET", "/search", {"q": "python", "limit": "3"}, 400, "unknown parameter 'limit'"),
    ("GET", "/search", [("q", "python"), ("q", "lists")], 400, "more than once"),
    ("GET", "/nope", {}, 404, "Not Found"),
    ("GET", "/page.html", {}, 404, "Not Found"),
    ("GET", "/search/python", {}, 404, "Not Found"),
    ("GET", "/../collection.json", {}, 404, "Not Found"),
    ("POST", "/search", {"q": "python"}, 405, "Method Not Allowed"),
    ("DELETE", "/search", {"q": "python"}, 405, "Method Not Allowed"),
    ("POST", "/", {}, 405, "Method Not Allowed"),
])
def test_bad_requests_answered_with_json_errors(served, method, path, params, status, message):
    response = served.http.request(method, path, params=params)
    assert response.status_code == status
    assert response.headers["content-type"] == "application/json"
    body = response.json()
    assert list(body) == ["error"] and message in body["error"]
    if status == 405:
        assert "GET" in response.headers["allow"]


def test_q_of_the_longest_length_is_accepted(served):
    q = ("python " * MAX_QUERY_CHARS)[:MAX_QUERY_CHARS]
    response = served.http.get("/search", params={"q": q, "k": "1"})
    assert response.status_code == 200 and len(response.json()["hits"]) == 1


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1", 200), ("localhost:8080", 200), ("[::1]:80", 200),
    ("evil.example", 400), ("127.0.0.1.evil.example:80", 400), ("", 400),
])
def test_host_header_checked(served, host, status):
    response = served.http.get("/search", params={"q": "python"}, headers={"Host": host})
    assert response.status_code == status
    if status == 400:
        assert "Host header" in response.json()["error"]


def test_markup_in_texts_is_returned_as_text(served):
    hits = served.http.get("/search", params={"q": "python files", "k": "100"}).json()["hits"]
    texts = {hit["id"]: hit["text"] for hit in hits}
    assert texts["script"] == SCRIPT_TEXT and texts["img"] == IMG_TEXT


def test_page_is_one_self_contained_document(served):
    response = served.http.get("/")
    assert response.status_code == 200
    assert response.headers["content-type"] == "text/html; charset=utf-8"
    policy = response.headers["content-security-policy"]
    assert "default-src 'none'" in policy and "script-src 'sha256-" in policy and "connect-src 'self'" in policy
    assert response.headers["x-content-type-options"] == "nosniff"
    page = response.text
    for needle in ('id="q"', 'id="results"', 'id="timings"', 'fetch("/search?'):
        assert needle in page
    for external in ("http://", "https://", "//fonts", "@import", "src=", "<link"):
        assert external not in page


# -- the page in a browser ------------------------------------------------------------------


@pytest.fixture(scope="module")
def browser():
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(p)]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as error:
        missing.append(f"selenium ({error})")
    if missing:
        reason = f"no headless browser: {', '.join(missing)} missing (apt-get install chromium chromium-driver)"
        if os.environ.get("QUILLMARK_REQUIRE_BROWSER"):
            pytest.fail(reason + ", and QUILLMARK_REQUIRE_BROWSER is set")
        pytest.skip(reason)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1100,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def search_in_page(driver, url, q, k):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    driver.get(url + "/")
    box = driver.find_element(By.ID, "q")
    box.clear()
    box.send_keys(q)
    k_box = driver.find_element(By.ID, "k")
    k_box.clear()
    k_box.send_keys(str(k))
    driver.find_element(By.ID, "go").click()
    WebDriverWait(driver, 30).until(lambda d: d.find_element(By.ID, "timings").text.strip())
    return driver.find_elements(By.CSS_SELECTOR, "#results .hit")


def test_page_shows_the_api_hits_highlighted(served, browser, tmp_path):
    from selenium.webdriver.common.by import By

    q, k = "python lists", 6
    rendered = search_in_page(browser, served.url, q, k)
    api = served.http.get("/search", params={"q": q, "k": str(k)}).json()
    assert [h.find_element(By.CLASS_NAME, "hit-id").text for h in rendered] == [h["id"] for h in api["hits"]]
    assert [float(h.find_element(By.CLASS_NAME, "score").text) for h in rendered] == \
        pytest.approx([h["score"] for h in api["hits"]], abs=1e-4)
    marked = 0
    for element, hit in zip(rendered, api["hits"]):
        marks = [m.text.lower() for m in element.find_elements(By.CSS_SELECTOR, ".snippet mark")]
        assert set(marks) <= {"python", "lists"}
        words = hit["text"].lower().split()
        assert marks.count("python") == words.count("python") and marks.count("lists") == words.count("lists")
        assert element.find_element(By.CLASS_NAME, "snippet").text == hit["text"]
        marked += len(marks)
    assert marked > 0
    timings = browser.find_element(By.ID, "timings").text
    assert "gather" in timings and "rerank" in timings and api["as_of"][:10] in timings
    assert browser.find_element(By.ID, "status").text == f"{len(api['hits'])} results"
    shot = tmp_path / "search-page.png"
    assert browser.save_screenshot(str(shot)) and shot.stat().st_size > 1000
    if (REPO / "build").is_dir():
        (REPO / "build" / "test-artifacts").mkdir(exist_ok=True)
        shutil.copy(shot, REPO / "build" / "test-artifacts" / "search-page.png")


def test_page_renders_markup_as_text(served, browser):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By

    rendered = search_in_page(browser, served.url, "python files", 100)
    by_id = {h.find_element(By.CLASS_NAME, "hit-id").text: h for h in rendered}
    assert by_id["script"].find_element(By.CLASS_NAME, "snippet").text == SCRIPT_TEXT
    assert by_id["img"].find_element(By.CLASS_NAME, "snippet").text == IMG_TEXT
    results = browser.find_element(By.ID, "results")
    assert results.find_elements(By.CSS_SELECTOR, "script, img, b") == []
    assert browser.execute_script("return window.__pwned") is None
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text


def test_page_reports_a_refused_search(served, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get(served.url + "/?q=python&k=500")
    WebDriverWait(browser, 30).until(lambda d: d.find_element(By.ID, "status").text.startswith("Error"))
    assert "'k' is 500" in browser.find_element(By.ID, "status").text
    assert browser.find_elements(By.CSS_SELECTOR, "#results .hit") == []
