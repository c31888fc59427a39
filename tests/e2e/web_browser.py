#!/usr/bin/python3
"""The map page in a real browser (headless Chromium through Selenium).

Run by web_browser_test.sh, which starts wayloom-server on 127.0.0.1:80 of a
private network, the simulated receiver and the real Wayloom reporting as
"walker" every 30 seconds, and passes: the work folder, Wayloom's process id
and the accounts' passwords. One browser for the whole run:

1. the sign-in page comes first; walker signs in;
2. a marker appears at the position of Wayloom's first report;
3. it moves to the second report's position within 2 s of the answer;
4. with 8 more reports sent as Wayloom sends them, the track of the last
   24 hours has all N = 10 points, every one inside the fitted map;
5. the GPX download parses with N track points at the reported positions;
6. pages of another site (http://localhost:9090, served here) can neither
   sign the browser in as another account nor sign it out;
7. signed in as the admin, every account shows, logins full of markup show as
   text, and a device silent for three of its intervals is marked.
"""
import glob
import http.server
import os
import signal
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ElementTree

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

BASE = 'http://127.0.0.1'
OTHER_SITE = 'http://localhost:9090'  # another site than 127.0.0.1 to the browser
GPX = '{http://www.topografix.com/GPX/1/1}'
work, wayloom_pid, walker_password, admin_password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
EXTRA_REPORTS = 8


def wait_until(what, probe, seconds):
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f'{what}: not within {seconds} s')
        time.sleep(0.05)


def sent_reports():
    """(lat, lon) texts of Wayloom's reports answered "Sent successfully."."""
    try:
        with open(os.path.join(work, 'walker', 'out'), encoding='utf-8') as out:
            lines = out.read().splitlines()
    except FileNotFoundError:
        return []
    reports = []
    for at, line in enumerate(lines):
        if line == 'Sent successfully.' and at >= 2 and lines[at - 1] == 'Connecting...':
            lon, lat, _speed = lines[at - 2].split(' ')
            reports.append((lat, lon))
    return reports


def report(login, password, lat, lon, speed):
    """Sends one report with Wayloom's exact bytes and returns the answer's body."""
    body = f'v=1.1&l={login}&p={password}&lat={lat}&lon={lon}&s={speed}'
    request = ('POST http://localhost/wayloom/Receiver.php HTTP/1.0\nAccept: text/html\n'
               'Content-Type: application/x-www-form-urlencoded\n'
               f'Content-Length: {len(body)}\n\n{body}').encode()
    with socket.create_connection(('127.0.0.1', 80), timeout=10) as connection:
        connection.sendall(request)
        answer = b''
        while chunk := connection.recv(4096):
            answer += chunk
    return answer.split(b'\r\n\r\n', 1)[-1].decode()


def marker(driver, login):
    found = driver.find_elements(By.CSS_SELECTOR, f'.device-marker[data-login="{login}"]')
    return found[0] if found else None


def marker_at(driver, login, lat, lon):
    element = marker(driver, login)
    return (element is not None and float(element.get_attribute('data-lat')) == float(lat)
            and float(element.get_attribute('data-lon')) == float(lon))


def sign_in(driver, login, password):
    driver.delete_all_cookies()
    driver.get(BASE + '/')
    wait_until('the sign-in page first', lambda: driver.current_url == BASE + '/signin', 10)
    driver.find_element(By.ID, 'login').send_keys(login)
    driver.find_element(By.ID, 'password').send_keys(password)
    driver.find_element(By.CSS_SELECTOR, '#signin button').click()
    wait_until('the map page after sign-in', lambda: driver.current_url == BASE + '/', 10)
    wait_until('the device list', lambda: driver.find_elements(By.CSS_SELECTOR, '#devices li'), 10)


def inside(outer, inner):
    return (outer['x'] <= inner['x'] and inner['x'] + inner['width'] <= outer['x'] + outer['width']
            and outer['y'] <= inner['y'] and inner['y'] + inner['height'] <= outer['y'] + outer['height'])


def check_walker(driver, downloads):
    sign_in(driver, 'walker', walker_password)
    first = wait_until("Wayloom's first report", lambda: sent_reports()[:1], 60)[0]
    wait_until(f'the marker at {first}', lambda: marker_at(driver, 'walker', *first), 5)
    before = marker(driver, 'walker').rect
    print(f'ok: the marker shows the first report at {first}')

    second = wait_until("Wayloom's second report", lambda: sent_reports()[1:2], 45)[0]
    answered = time.monotonic()
    wait_until(f'the marker at {second}', lambda: marker_at(driver, 'walker', *second), 2)
    after = marker(driver, 'walker').rect
    assert (before['x'], before['y']) != (after['x'], after['y']), f'the marker stayed at {before}'
    print(f'ok: the marker moved to {second} {time.monotonic() - answered:.2f} s after the answer')
    os.kill(wayloom_pid, signal.SIGTERM)

    lat, lon = float(second[0]), float(second[1])
    expected = list(sent_reports()[:2])
    for step in range(1, EXTRA_REPORTS + 1):
        point = (f'{lat + step * 0.001:.6f}', f'{lon + step * 0.0015:.6f}')
        assert report('walker', walker_password, *point, 12.5) == '1', 'an extra report was refused'
        expected.append(point)
    count = len(expected)

    Select(driver.find_element(By.ID, 'track-login')).select_by_value('walker')
    driver.find_element(By.ID, 'track-show').click()
    status = driver.find_element(By.ID, 'track-status')
    wait_until(f'a track of {count} points', lambda: status.get_attribute('data-points') == str(count), 10)
    points = driver.find_elements(By.CSS_SELECTOR, 'path.track-point')
    assert len(points) == count, f'{len(points)} points drawn, {count} reported'
    assert len(driver.find_elements(By.CSS_SELECTOR, 'path.track-line')) == 1, 'no track line'
    time.sleep(0.5)  # the fitting animation
    area = driver.find_element(By.ID, 'map').rect
    outside = [point.rect for point in points if not inside(area, point.rect)]
    assert not outside, f'points outside the map: {outside}'
    print(f'ok: a track of {count} points, fitted to the map')
    if os.environ.get('WAYLOOM_WEB_SCREENSHOT'):
        driver.save_screenshot(os.environ['WAYLOOM_WEB_SCREENSHOT'])

    driver.find_element(By.ID, 'export-gpx').click()
    files = wait_until('the GPX download',
                       lambda: [f for f in glob.glob(os.path.join(downloads, '*.gpx'))], 10)
    time.sleep(0.2)
    track = ElementTree.parse(files[0]).getroot()
    trkpts = track.findall(f'{GPX}trk/{GPX}trkseg/{GPX}trkpt')
    assert len(trkpts) == count, f'the GPX file has {len(trkpts)} trkpt, not {count}'
    got = [(float(p.get('lat')), float(p.get('lon'))) for p in trkpts]
    assert got == [(float(a), float(b)) for a, b in expected], f'GPX points {got}, reported {expected}'
    assert all(p.find(f'{GPX}time') is not None for p in trkpts), 'a trkpt without its time'
    print(f'ok: {os.path.basename(files[0])} parses with {count} trkpt at the reported positions')

    driver.find_element(By.ID, 'signout').click()
    wait_until('the sign-in page after signing out', lambda: driver.current_url == BASE + '/signin', 10)
    driver.get(BASE + '/')
    assert driver.current_url == BASE + '/signin', 'the map is shown after signing out'
    print('ok: signing out ends the session')


class OtherSite(http.server.BaseHTTPRequestHandler):
    """Pages that post a form to the map's server as soon as they load."""
    FORMS = {'/signin': '<input name="login" value="quiet"><input name="password" value="quietpass">',
             '/signout': ''}

    def do_GET(self):
        body = (f'<form method="post" action="{BASE}{self.path}">{self.FORMS[self.path]}</form>'
                '<script>document.forms[0].submit()</script>').encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/html')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *_):
        pass


def check_other_site(driver):
    other = http.server.ThreadingHTTPServer(('127.0.0.1', 9090), OtherSite)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    try:
        driver.delete_all_cookies()
        driver.get(OTHER_SITE + '/signin')
        time.sleep(1.5)  # the form posts itself
        driver.get(BASE + '/api/config')
        assert 'quiet' not in driver.page_source, 'a page of another site signed the browser in'
        sign_in(driver, 'walker', walker_password)
        driver.get(OTHER_SITE + '/signout')
        time.sleep(1.5)
        driver.get(BASE + '/')
        assert driver.current_url == BASE + '/', 'a page of another site signed the browser out'
    finally:
        other.shutdown()
    print('ok: pages of another site can neither sign the browser in nor out')


def check_admin(driver):
    sign_in(driver, 'boss', admin_password)
    wait_until('every account in the list', lambda: len(driver.find_elements(By.CSS_SELECTOR, '#devices li')) == 5,
               5)
    # The list as shown, read in one step in the page: the live update
    # replaces the rows, so an element found by one call may be gone by the next.
    shown = driver.execute_script(
        'return Array.from(document.querySelectorAll("#devices li")).map(row => '
        '[row.getAttribute("data-login"), (row.querySelector(".device-login") || {}).innerText]);')
    rows = dict(shown)
    for login in ('<svg/onload=__x=1>', '<script>__y=1</script>'):
        assert login in rows, f'{login} is not in the list: {list(rows)}'
        assert rows[login] == login, f'the login shows as {rows[login]!r}'
    assert not driver.find_elements(By.CSS_SELECTOR, '#panel svg, #panel script'), 'a login became markup'
    assert driver.execute_script('return typeof __x === "undefined" && typeof __y === "undefined"'), 'markup ran'
    def silent_row_text():
        # The live update replaces the rows: a row found may be gone when read.
        try:
            rows = driver.find_elements(By.CSS_SELECTOR, '#devices li.silent[data-login="quiet"]')
            return rows[0].text if rows else None
        except StaleElementReferenceException:
            return None
    quiet = wait_until('the silent device marked', silent_row_text, 10)
    assert 'silent' in quiet, f'the silent row reads {quiet!r}'
    print('ok: the admin sees every account, markup in logins shows as text, the silent device is marked')


def main():
    downloads = os.path.join(work, 'downloads')
    os.makedirs(downloads, exist_ok=True)
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for argument in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     '--disable-dev-shm-usage', '--window-size=1280,800',
                     f'--user-data-dir={os.path.join(work, "profile")}'):
        options.add_argument(argument)
    options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                              'download.prompt_for_download': False})
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    try:
        driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': downloads})
        for step in range(3):
            assert report('quiet', 'quietpass', 10 + step * 0.01, 20, 0) == '1', 'a report of quiet was refused'
            time.sleep(1)
        check_walker(driver, downloads)
        check_other_site(driver)
        check_admin(driver)
    except Exception:
        driver.save_screenshot(os.path.join(work, 'failure.png'))
        print('--- the page:', driver.find_element(By.TAG_NAME, 'body').text, file=sys.stderr)
        raise
    finally:
        driver.quit()


if __name__ == '__main__':
    main()
