// A real browser: headless Chromium (Debian's) signs in, approves consent and lands on the
// application's redirect URI with a code, which the test then exchanges with openid-client.
// Screenshots of the sign-in and consent pages at 375 px and 1280 px wide are kept as test
// artifacts.
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import * as client from 'openid-client';
import { chromium } from 'playwright-core';
import { artifacts, configure, issuer, newClient, newUser } from './support.mjs';

let browser;
let profile;
let app;
const arrivals = [];

before(async () => {
  profile = mkdtempSync(join(tmpdir(), 'tarn-chromium-'));
  // The application: records every request that reaches its redirect URI.
  app = createServer((req, res) => {
    arrivals.push(new URL(req.url, `http://${req.headers.host}`));
    res.writeHead(200, { 'content-type': 'text/plain' }).end('signed in');
  });
  await new Promise((resolve) => app.listen(0, '127.0.0.1', resolve));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  await new Promise((resolve) => app?.close(resolve));
  if (profile) rmSync(profile, { recursive: true, force: true });
});

async function shots(page, name) {
  for (const width of [1280, 375]) {
    await page.setViewportSize({ width, height: 800 });
    await page.screenshot({ path: join(artifacts, `${name}-${width}.png`), fullPage: true });
  }
  await page.setViewportSize({ width: 1280, height: 800 });
}

test('Chromium signs in, approves and lands on the redirect URI with a code that exchanges', async () => {
  const redirectUri = `http://127.0.0.1:${app.address().port}/callback`;
  const user = newUser();
  const c = newClient(redirectUri, { name: 'Browser test app' });
  const config = await configure(c, 'basic');
  const verifier = client.randomPKCECodeVerifier();
  const state = client.randomState();
  const nonce = client.randomNonce();
  const url = client.buildAuthorizationUrl(config, {
    redirect_uri: redirectUri, scope: 'openid profile email', state, nonce, login_hint: user.username,
    code_challenge: await client.calculatePKCECodeChallenge(verifier), code_challenge_method: 'S256',
  });

  const page = await browser.newPage();
  await page.goto(url.href);
  assert.equal(new URL(page.url()).pathname, '/signin');
  assert.equal(await page.inputValue('#username'), user.username);
  await page.fill('#password', user.password);
  await shots(page, 'signin');
  await page.click('button[type=submit]');
  await page.waitForURL((u) => u.pathname === '/authorize');
  assert.match(await page.textContent('main'), /Browser test app/);
  assert.match(await page.textContent('main'), /See your email address/);
  await shots(page, 'consent');
  await Promise.all([page.waitForURL((u) => u.pathname === '/callback'), page.click('button[value=approve]')]);
  assert.equal(await page.textContent('body'), 'signed in');

  const callback = new URL(page.url());
  assert.equal(callback.searchParams.get('state'), state);
  assert.equal(callback.searchParams.get('iss'), issuer);
  assert.deepEqual(arrivals.filter((u) => u.pathname === '/callback').map((u) => u.href), [callback.href]);
  const tokens = await client.authorizationCodeGrant(config, callback, {
    pkceCodeVerifier: verifier, expectedState: state, expectedNonce: nonce, idTokenExpected: true,
  });
  assert.equal(tokens.claims().sub, user.id);
  assert.equal(tokens.claims().preferred_username, user.username);
  await page.close();
});
