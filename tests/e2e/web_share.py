#!/usr/bin/python3
"""Share links and the management page in a real browser (headless Chromium).

Run by web_share_test.sh, which starts wayloom-server on 127.0.0.1:80 of a
private network with the admin "boss", and passes the work folder and boss's
password.

1. boss adds the device "van" in the management page: its key and a QR code
   show once; the QR code reads back as the OsmAnd tracking address shown
   beside it, which, filled in as the app does, stores a position; van's
   marker shows on the map;
2. boss makes a link to van with its track; a browser with a fresh profile
   opens it without signing in and sees van's marker, which moves when van
   reports, and the track drawn from the reports since the link;
3. boss revokes the link: the open page says the link has expired within
   2 s, and so does the link opened again;
4. deleting van asks first, naming the number of its positions.
"""
import os
import socket
import subprocess
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

BASE = 'http://127.0.0.1'
work, admin_password = sys.argv[1], sys.argv[2]
screenshots = os.environ.get('WAYLOOM_WEB_SCREENSHOTS')


def wait_until(what, probe, seconds):
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f'{what}: not within {seconds} s')
        time.sleep(0.05)


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


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for argument in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                     '--disable-background-networking', '--disable-component-update', '--disable-sync',
                     '--disable-dev-shm-usage', '--window-size=1280,800',
                     f'--user-data-dir={os.path.join(work, profile)}'):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def marker_at(driver, lat, lon, login=None):
    selector = f'.device-marker[data-login="{login}"]' if login else '.device-marker'
    found = driver.find_elements(By.CSS_SELECTOR, selector)
    return bool(found) and (float(found[0].get_attribute('data-lat')), float(found[0].get_attribute('data-lon'))) == (lat, lon)


def add_device(admin):
    admin.get(BASE + '/signin')
    admin.find_element(By.ID, 'login').send_keys('boss')
    admin.find_element(By.ID, 'password').send_keys(admin_password)
    admin.find_element(By.CSS_SELECTOR, '#signin button').click()
    wait_until('the map after sign-in', lambda: admin.current_url == BASE + '/', 10)
    admin.find_element(By.ID, 'to-manage').click()
    wait_until('the accounts table', lambda: admin.find_elements(By.CSS_SELECTOR, '#accounts tr[data-login="boss"]'), 10)
    admin.find_element(By.ID, 'add-login').send_keys('van')
    Select(admin.find_element(By.ID, 'add-kind')).select_by_value('device')
    admin.find_element(By.ID, 'add-submit').click()
    key = wait_until('the new key', lambda: admin.find_element(By.ID, 'secret-key').text, 10)
    setup = admin.find_element(By.ID, 'secret-setup').text
    assert len(key) == 26 and setup.startswith(f'{BASE}/osmand?id={key}&'), f'key {key!r}, settings {setup!r}'
    qr_file = os.path.join(work, 'qr.png')
    wait_until('the QR code', lambda: admin.find_element(By.ID, 'secret-qr').size['width'] > 50, 5)
    admin.find_element(By.ID, 'secret-qr').screenshot(qr_file)
    decoded = subprocess.run(['zbarimg', '--quiet', '--raw', qr_file], capture_output=True, text=True, check=True)
    assert decoded.stdout.strip() == setup, f'the QR code reads {decoded.stdout!r}, not {setup!r}'
    print('ok: a device added in the page gets a key, shown once with a QR code of its settings')

    # The phone app fills in the address it scanned and sends it.
    filled = setup
    for placeholder, value in (('{0}', '51.5'), ('{1}', '-0.1'), ('{2}', str(int(time.time()))), ('{3}', '1.2'),
                               ('{4}', '30'), ('{5}', '2.5'), ('{6}', '90')):
        filled = filled.replace(placeholder, value)
    with urllib.request.urlopen(filled, timeout=10) as answer:
        assert answer.status == 200, f'the scanned address was answered {answer.status}'
    wait_until('van in the accounts table', lambda: 'key' in admin.find_element(
        By.CSS_SELECTOR, '#accounts tr[data-login="van"]').text, 5)
    if screenshots:
        admin.save_screenshot(os.path.join(screenshots, 'web-manage.png'))
    admin.find_element(By.ID, 'to-map').click()
    wait_until("van's marker on the map", lambda: marker_at(admin, 51.5, -0.1, 'van'), 10)
    print('ok: a position sent to the scanned address shows the device on the map')
    return key


def share_and_revoke(admin, key):
    admin.get(BASE + '/manage')
    wait_until('van to share', lambda: admin.find_elements(By.CSS_SELECTOR, '#share-login option[value="van"]'), 10)
    Select(admin.find_element(By.ID, 'share-login')).select_by_value('van')
    Select(admin.find_element(By.ID, 'share-hours')).select_by_value('6')
    admin.find_element(By.ID, 'share-track').click()
    admin.find_element(By.ID, 'share-create').click()
    url = wait_until('the link', lambda: admin.find_element(By.ID, 'share-url').text, 10)
    assert url.startswith(BASE + '/s/'), f'the link is {url}'

    guest = browser('guest-profile')
    try:
        guest.get(url)
        wait_until("van's marker on the shared page", lambda: marker_at(guest, 51.5, -0.1), 10)
        assert report('van', key, 51.51, -0.09, 12) == '1', 'a report of van was refused'
        answered = time.monotonic()
        wait_until('the marker moved', lambda: marker_at(guest, 51.51, -0.09), 2)
        print(f'ok: the shared page, without signing in, follows the device ({time.monotonic() - answered:.2f} s)')
        assert report('van', key, 51.52, -0.075, 12) == '1', 'a report of van was refused'
        wait_until('the marker moved again', lambda: marker_at(guest, 51.52, -0.075), 2)
        line = guest.execute_script('return shared.track.getLatLngs().map((p) => [p.lat, p.lng])')
        assert line == [[51.51, -0.09], [51.52, -0.075]], f'the track since the link is {line}'
        assert not guest.get_cookies(), f'the shared page set cookies: {guest.get_cookies()}'
        assert 'boss' not in guest.page_source, 'the shared page names another account'
        if screenshots:
            guest.save_screenshot(os.path.join(screenshots, 'web-share.png'))

        admin.find_element(By.CSS_SELECTOR, '#shares tr[data-login="van"] .share-revoke').click()
        revoked = time.monotonic()
        wait_until('the expired notice', lambda: guest.find_element(By.ID, 'shared-expired').is_displayed(), 2)
        print(f'ok: revoking the link shows the open page as expired ({time.monotonic() - revoked:.2f} s)')
        guest.get(url)
        assert guest.find_element(By.TAG_NAME, 'body').text == 'This link has expired.', guest.page_source
        print('ok: the revoked link opens the plain expired page')
    finally:
        guest.quit()


def delete_device(admin):
    row = wait_until('van in the table', lambda: admin.find_elements(By.CSS_SELECTOR, '#accounts tr[data-login="van"]'), 5)
    row[0].find_element(By.CLASS_NAME, 'account-delete').click()
    alert = WebDriverWait(admin, 5).until(expected_conditions.alert_is_present(), 'no confirmation')
    assert 'van' in alert.text and '3 positions' in alert.text, f'the confirmation reads {alert.text!r}'
    alert.accept()
    wait_until('van gone', lambda: not admin.find_elements(By.CSS_SELECTOR, '#accounts tr[data-login="van"]'), 5)
    print('ok: deleting a device asks first, naming its number of positions')


def main():
    admin = browser('admin-profile')
    try:
        key = add_device(admin)
        share_and_revoke(admin, key)
        delete_device(admin)
    except Exception:
        admin.save_screenshot(os.path.join(work, 'failure.png'))
        print('--- the page:', admin.find_element(By.TAG_NAME, 'body').text, file=sys.stderr)
        raise
    finally:
        admin.quit()


if __name__ == '__main__':
    main()
