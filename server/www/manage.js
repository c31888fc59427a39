// The management page: every account changes its own password or key and
// makes and revokes links that share its device; an admin also lists, adds,
// disables, enables and deletes accounts and gives them passwords or keys. A
// new key is shown once, with a QR code of the device's settings. Texts from the
// server go in through textContent only.
'use strict';

const page = {config: null, accounts: []};

// A request of the API as the page makes it (no Basic prompt on 401); the
// answer's JSON, or an Error with the server's message.
async function call(method, path, body) {
  const options = {method, credentials: 'same-origin', headers: {'X-Wayloom-Page': '1'}};
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (response.status === 401) {
    window.location.assign('/signin');
    throw new Error('signed out');
  }
  const text = await response.text();
  const answer = text ? JSON.parse(text) : {};
  if (!response.ok) throw new Error(answer.error || `${method} ${path}: ${response.status}`);
  return answer;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function button(className, text, action) {
  const node = element('button', className, text);
  node.type = 'button';
  node.addEventListener('click', () => action().catch((error) => notice(error.message)));
  return node;
}

function utcText(iso) {
  return iso ? iso.replace('T', ' ').replace(/(\.\d+)?Z$/, ' UTC') : 'never';
}

function notice(text) {
  document.getElementById('notice').textContent = text;
}

// The key just made, with its QR code (drawn here by qrcode-generator).
function showKey(answer) {
  document.getElementById('secret-login').textContent = answer.login;
  document.getElementById('secret-key').textContent = answer.key;
  document.getElementById('secret-setup').textContent = answer.setup;
  const code = qrcode(0, 'M');
  code.addData(answer.setup);
  code.make();
  document.getElementById('secret-qr').src = code.createDataURL(6, 12);
  document.getElementById('secret').hidden = false;
}

function accountPath(login) {
  return `/api/accounts/${encodeURIComponent(login)}`;
}

// ---- Share links

function shareRow(share) {
  const row = element('tr', 'share');
  row.dataset.id = String(share.id);
  row.dataset.login = share.login;
  row.append(element('td', '', share.login), element('td', '', utcText(share.created)),
             element('td', '', utcText(share.expires)), element('td', '', share.track ? 'yes' : 'no'));
  const cell = element('td');
  cell.append(button('share-revoke', 'Revoke', async () => {
    await call('DELETE', `/api/shares/${share.id}`);
    notice(`The link to ${share.login} is revoked.`);
    await loadShares();
  }));
  row.append(cell);
  return row;
}

async function loadShares() {
  const shares = await call('GET', '/api/shares');
  document.getElementById('shares').replaceChildren(...shares.map(shareRow));
  document.getElementById('no-shares').hidden = shares.length > 0;
}

async function makeShare(event) {
  event.preventDefault();
  const share = await call('POST', '/api/shares', {
    login: document.getElementById('share-login').value,
    hours: Number(document.getElementById('share-hours').value),
    track: document.getElementById('share-track').checked,
  });
  const link = document.getElementById('share-url');
  link.href = share.url;
  link.textContent = share.url;
  document.getElementById('share-result').hidden = false;
  await loadShares();
}

// ---- Accounts (admins)

function accountRow(account) {
  const row = element('tr', account.enabled ? 'account' : 'account disabled-row');
  row.dataset.login = account.login;
  row.append(element('td', 'account-login', account.login),
             element('td', '', account.admin ? 'administrator' : 'account'),
             element('td', 'account-state', account.enabled ? 'enabled' : 'disabled'),
             element('td', 'account-credential', account.key ? 'key' : account.password ? 'password' : 'none'),
             element('td', 'account-last', utcText(account.last)));
  const cell = element('td');
  if (account.login !== page.config.login) {
    cell.append(button('account-toggle', account.enabled ? 'Disable' : 'Enable', async () => {
      await call('PATCH', accountPath(account.login), {enabled: !account.enabled});
      await loadAccounts();
    }));
  }
  cell.append(button('account-password', 'New password', async () => {
    const password = window.prompt(`The new password of ${account.login}`);
    if (!password) return;
    await call('PATCH', accountPath(account.login), {password});
    notice(`The password of ${account.login} is changed.`);
    await loadAccounts();
  }));
  cell.append(button('account-key', 'New key', async () => {
    showKey(await call('PATCH', accountPath(account.login), {key: true}));
    await loadAccounts();
  }));
  if (account.login !== page.config.login) {
    cell.append(button('account-delete', 'Delete', async () => {
      const {positions} = await call('GET', accountPath(account.login));
      const noun = positions === 1 ? 'position' : 'positions';
      if (!window.confirm(`Delete ${account.login} and all its ${positions} ${noun}? This cannot be undone.`)) return;
      await call('DELETE', accountPath(account.login));
      notice(`${account.login} and its ${positions} ${noun} are deleted.`);
      await loadAccounts();
    }));
  }
  row.append(cell);
  return row;
}

function updateShareChoice() {
  const select = document.getElementById('share-login');
  const chosen = select.value;
  select.replaceChildren(...page.accounts.map((account) => {
    const option = element('option', '', account.login);
    option.value = account.login;
    return option;
  }));
  if (chosen) select.value = chosen;
}

async function loadAccounts() {
  page.accounts = await call('GET', '/api/accounts');
  updateShareChoice();
  if (page.config.admin) document.getElementById('accounts').replaceChildren(...page.accounts.map(accountRow));
}

async function addAccount(event) {
  event.preventDefault();
  const login = document.getElementById('add-login').value;
  const request = {login, admin: document.getElementById('add-admin').checked};
  if (document.getElementById('add-kind').value === 'device') request.key = true;
  else request.password = document.getElementById('add-password').value;
  const answer = await call('POST', '/api/accounts', request);
  if (answer.key) showKey(answer);
  notice(`${login} is added.`);
  document.getElementById('add-form').reset();
  document.getElementById('add-kind').dispatchEvent(new Event('change'));
  await loadAccounts();
}

async function changeOwnPassword(event) {
  event.preventDefault();
  const input = document.getElementById('own-password');
  await call('PATCH', accountPath(page.config.login), {password: input.value});
  input.value = '';
  notice('Your password is changed.');
}

async function start() {
  page.config = await call('GET', '/api/config');
  document.getElementById('whoami').textContent =
      `Signed in as ${page.config.login}${page.config.admin ? ' (administrator)' : ''}`;
  document.getElementById('admin').hidden = !page.config.admin;
  const handle = (action) => (event) => action(event).catch((error) => notice(error.message));
  document.getElementById('share-form').addEventListener('submit', handle(makeShare));
  document.getElementById('add-form').addEventListener('submit', handle(addAccount));
  document.getElementById('own-password-form').addEventListener('submit', handle(changeOwnPassword));
  document.getElementById('own-key').addEventListener('click', handle(async () => {
    if (!window.confirm('A key replaces your password. Make one?')) return;
    showKey(await call('PATCH', accountPath(page.config.login), {key: true}));
  }));
  const kind = document.getElementById('add-kind');
  kind.addEventListener('change', () => {
    document.getElementById('add-password').disabled = kind.value === 'device';
  });
  kind.dispatchEvent(new Event('change'));
  await loadAccounts();
  await loadShares();
}

window.addEventListener('DOMContentLoaded', () => {
  start().catch((error) => notice(`The page could not start: ${error.message}`));
});
