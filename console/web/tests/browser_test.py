#!/usr/bin/python3
"""pelmar serve in headless Chromium (Selenium): each page opened, punches filtered and paged,
an export downloaded, a collect round run against readersim; screenshots for docs/web.md when
LORVANE_WEB_SCREENSHOTS names a folder. Exits 77 (skipped) when Chromium or its driver is
missing. Arguments: the build's pelmar, web_seed and readersim."""
import os, re, shutil, signal, subprocess, sys, tempfile, time, unittest

PELMAR, SEED, READERSIM = sys.argv[1:4]
del sys.argv[1:4]
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("SKIP: the browser tests need Debian's chromium and chromium-driver "
          "(scripts/setup installs them)")
    sys.exit(77)
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait, Select
except ImportError:
    print("SKIP: the browser tests need python3-selenium (scripts/setup installs it)")
    sys.exit(77)


def wait_for(pred, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        if pred():
            return True
        time.sleep(0.1)
    return pred()


class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="lorvane-browser-")
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(cls.dir, "config"),
                   XDG_DATA_HOME=os.path.join(cls.dir, "data"))
        env.pop("LORVANE_LOGIN", None)
        cls.env = env
        archive = os.path.join(cls.dir, "archive.sqlite")
        subprocess.run([SEED, archive, "600", "3"], check=True, env=env, stdout=subprocess.DEVNULL)
        # A reader for Collect now: readersim as a device server on an address of its own.
        cls.sim = None
        for attempt in range(20):
            address = "127.%d.%d.%d" % (os.getpid() % 200 + 1, attempt + 1, 9)
            sim = subprocess.Popen([READERSIM, "--tcp", "1001", "--bind", address, "--records", "40"],
                                   stdout=subprocess.PIPE, text=True, env=env)
            line = sim.stdout.readline()
            if line.startswith("tcp "):
                cls.sim = sim
                break
            sim.wait()
        assert cls.sim, "readersim did not start"
        readers = os.path.join(cls.dir, "readers.ini")
        with open(readers, "w") as f:
            f.write("[Gate 1]\nPort=IP:10.255.255.1\n\n[Front door]\nPort=IP:%s\nLogin=4826\n" % address)
        os.chmod(readers, 0o600)
        cls.log = open(os.path.join(cls.dir, "serve.log"), "w+")
        cls.serve = subprocess.Popen([PELMAR, "serve", "--archive", archive, "--readers", readers,
                                      "--listen", "127.0.0.1:0"], stdout=cls.log,
                                     stderr=subprocess.STDOUT, env=env)
        port = None
        def serving():
            nonlocal port
            cls.log.seek(0)
            m = re.search(r"Serving http://127\.0\.0\.1:(\d+)/", cls.log.read())
            port = m and m.group(1)
            return port is not None
        assert wait_for(serving, 60), "serve did not start"
        cls.base = "http://127.0.0.1:%s/" % port
        cls.downloads = os.path.join(cls.dir, "downloads")
        os.mkdir(cls.downloads)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + os.path.join(cls.dir, "profile"),
                     "--window-size=1366,768"):
            options.add_argument(flag)
        options.add_experimental_option("prefs", {"download.default_directory": cls.downloads,
                                                  "download.prompt_for_download": False})
        cls.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        cls.driver.implicitly_wait(0)
        cls.shots = os.environ.get("LORVANE_WEB_SCREENSHOTS")

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.serve.send_signal(signal.SIGTERM)
        cls.serve.wait(30)
        cls.sim.terminate()
        cls.sim.wait(30)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def open(self, page):
        self.driver.get(self.base + "#" + page)
        WebDriverWait(self.driver, 30).until(
            lambda d: d.find_element(By.ID, page).is_displayed())

    def shot(self, name, width=1366, height=768):
        if not self.shots:
            return
        self.driver.set_window_size(width, height)
        time.sleep(0.3)
        self.driver.save_screenshot(os.path.join(self.shots, name))
        self.driver.set_window_size(1366, 768)

    def rows(self, table):
        # In one go: the page may redraw the table between two element look-ups.
        return self.driver.execute_script(
            "return [...document.querySelectorAll(arguments[0])].map("
            "tr => [...tr.cells].map(td => td.innerText.trim()))", "#%s tbody tr" % table)

    def test_1_readers_page(self):
        self.open("readers")
        WebDriverWait(self.driver, 30).until(lambda d: len(self.rows("readers-table")) == 4)
        rows = self.rows("readers-table")
        self.assertEqual([r[0] for r in rows], ["Gate 1", "Gate 2", "Gate 3", "Front door"])
        self.assertEqual(rows[0][1:3], ["IP:10.255.255.1", "LV-2.0"])
        self.assertEqual(rows[0][5], "200")
        self.assertEqual(rows[1][6], "-75 s")
        # Gate 2's clock is 75 s off: marked; Front door was never collected: marked.
        marked = self.driver.find_elements(By.CSS_SELECTOR, "#readers-table td.warn")
        self.assertEqual([m.text for m in marked], ["-75 s"])
        overdue = self.driver.find_elements(By.CSS_SELECTOR, "#readers-table tr.overdue")
        self.assertEqual([o.find_element(By.TAG_NAME, "td").text for o in overdue], ["Front door"])
        self.assertNotIn("4826", self.driver.page_source)
        self.shot("web-readers.png")

    def test_2_punches_filter_and_page(self):
        self.open("punches")
        WebDriverWait(self.driver, 30).until(lambda d: len(self.rows("punches-table")) > 0)
        first = self.rows("punches-table")
        # The newest day first; a card's punches of the day in one row.
        self.assertEqual(first[0][0], "2026-03-02")
        self.assertEqual(self.driver.find_element(By.ID, "page-no").text, "Page 1")
        self.assertFalse(self.driver.find_element(By.ID, "next").get_attribute("disabled"))
        self.driver.find_element(By.ID, "next").click()
        WebDriverWait(self.driver, 30).until(
            lambda d: d.find_element(By.ID, "page-no").text == "Page 2")
        self.assertNotEqual(self.rows("punches-table"), first)
        self.driver.find_element(By.ID, "prev").click()
        WebDriverWait(self.driver, 30).until(
            lambda d: d.find_element(By.ID, "page-no").text == "Page 1")
        # One card, lower case, at one reader.
        Select(self.driver.find_element(By.ID, "f-reader")).select_by_visible_text("Gate 2")
        card = self.driver.find_element(By.ID, "f-card")
        card.clear()
        card.send_keys("03d994032")
        self.driver.find_element(By.ID, "f-search").click()
        wait_for(lambda: [len(r) > 1 and r[1] for r in self.rows("punches-table")] == ["03D994032"])
        rows = self.rows("punches-table")
        self.assertEqual([(r[0], r[1], r[3]) for r in rows],
                         [("2026-03-02", "03D994032", "Gate 2")])
        times = self.driver.find_elements(By.CSS_SELECTOR, "#punches-table td.times span")
        self.assertEqual([t.text for t in times],
                         ["06:00:07 (0)", "06:50:57 (2)", "07:41:47 (0)", "08:32:37 (2)"])
        self.assertTrue(self.driver.find_element(By.ID, "next").get_attribute("disabled"))
        card.clear()
        card.send_keys("NOCARD")
        self.driver.find_element(By.ID, "f-search").click()
        WebDriverWait(self.driver, 30).until(
            lambda d: self.rows("punches-table") == [["No punches match."]])
        card.clear()
        Select(self.driver.find_element(By.ID, "f-reader")).select_by_visible_text("All readers")
        self.driver.find_element(By.ID, "f-search").click()
        WebDriverWait(self.driver, 30).until(lambda d: len(self.rows("punches-table")) > 1)
        self.shot("web-punches.png")
        self.shot("web-punches-phone.png", 412, 915)

    def test_3_export_downloads_what_is_new_once(self):
        self.open("exports")
        target = self.driver.find_element(By.ID, "e-target")
        target.send_keys("payroll")
        Select(self.driver.find_element(By.ID, "e-format")).select_by_value("csv")
        self.driver.find_element(By.ID, "e-run").click()
        WebDriverWait(self.driver, 30).until(
            lambda d: d.find_element(By.ID, "message").text == "600 punches exported to payroll.")
        path = os.path.join(self.downloads, "payroll.csv")
        self.assertTrue(wait_for(lambda: os.path.exists(path) and os.path.getsize(path) > 0))
        with open(path, newline="") as f:
            lines = f.read().split("\r\n")
        self.assertEqual(len([l for l in lines if l]), 600)
        self.assertEqual(lines[0], '"03D994000","1K","0",2026/03/02 06:00:00 Mon')
        WebDriverWait(self.driver, 30).until(lambda d: len(self.rows("history-table")) == 1)
        self.assertEqual(self.rows("history-table")[0][1:], ["csv", "600"])
        # Nothing new the second time.
        self.driver.find_element(By.ID, "e-run").click()
        WebDriverWait(self.driver, 30).until(
            lambda d: d.find_element(By.ID, "message").text == "Nothing new for payroll.")
        self.shot("web-exports.png")

    def test_4_collect_now_shows_progress_and_outcome(self):
        self.open("collect")
        button = self.driver.find_element(By.ID, "c-run")
        WebDriverWait(self.driver, 30).until(lambda d: button.is_enabled())
        button.click()
        WebDriverWait(self.driver, 120).until(
            lambda d: d.find_element(By.ID, "c-state").text.startswith("Round 1 ended"))
        rows = {r[0]: r[1:] for r in self.rows("collect-table")}
        self.assertEqual(rows["Front door"], ["collected", "40 new, 0 already archived"])
        self.assertEqual(rows["Gate 1"][0], "failed")
        self.shot("web-collect.png")
        self.open("readers")
        WebDriverWait(self.driver, 30).until(
            lambda d: ["Front door", "40"] in [[r[0], r[5]] for r in self.rows("readers-table")])
        self.assertNotIn("4826", self.driver.page_source)
        self.log.seek(0)
        self.assertNotIn("4826", self.log.read())


if __name__ == "__main__":
    unittest.main(verbosity=2)
