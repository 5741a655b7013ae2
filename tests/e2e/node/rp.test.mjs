// The provider as openid-client sees it: discovery, the code flow with PKCE for confidential
// clients (client_secret_basic, client_secret_post) and a public client, ID token and claims
// checked by the client, UserInfo, refresh with rotation and reuse detection, revocation and
// sign-out.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import * as client from 'openid-client';
import { Browser, configure, deleteUser, issuer, newClient, newUser } from './support.mjs';

const redirectUri = 'http://127.0.0.1:9/callback';

// One whole code flow through a browser; returns the token answer and what it was made from.
async function codeFlow(config, user, { scope = 'openid profile email', browser = new Browser(), extra = {} } = {}) {
  const verifier = client.randomPKCECodeVerifier();
  const state = client.randomState();
  const nonce = client.randomNonce();
  const url = client.buildAuthorizationUrl(config, {
    redirect_uri: redirectUri, scope, state, nonce,
    code_challenge: await client.calculatePKCECodeChallenge(verifier), code_challenge_method: 'S256', ...extra,
  });
  const back = await browser.authorize(url.href, user);
  // 303 after the consent form's POST, 302 when the code came without a page.
  assert.ok([302, 303].includes(back.status), back.text);
  const callback = new URL(back.headers.get('location'));
  assert.equal(callback.origin + callback.pathname, redirectUri);
  const tokens = await client.authorizationCodeGrant(config, callback, {
    pkceCodeVerifier: verifier, expectedState: state, expectedNonce: nonce, idTokenExpected: scope.includes('openid'),
  });
  return { tokens, browser, verifier, callback, nonce };
}

test('discovery names this issuer and only what is supported', async () => {
  const c = newClient(redirectUri);
  const config = await configure(c, 'basic');
  const meta = config.serverMetadata();
  assert.equal(meta.issuer, issuer);
  assert.equal(meta.authorization_endpoint, `${issuer}/authorize`);
  assert.equal(meta.token_endpoint, `${issuer}/token`);
  assert.equal(meta.userinfo_endpoint, `${issuer}/userinfo`);
  assert.equal(meta.jwks_uri, `${issuer}/.well-known/jwks.json`);
  assert.equal(meta.revocation_endpoint, `${issuer}/revoke`);
  assert.equal(meta.end_session_endpoint, `${issuer}/logout`);
  assert.deepEqual(meta.response_types_supported, ['code']);
  assert.deepEqual(meta.response_modes_supported, ['query']);
  assert.deepEqual(meta.grant_types_supported, ['authorization_code', 'refresh_token']);
  assert.deepEqual(meta.code_challenge_methods_supported, ['S256']);
  assert.deepEqual(meta.token_endpoint_auth_methods_supported, ['client_secret_basic', 'client_secret_post', 'none']);
  assert.deepEqual(meta.subject_types_supported, ['public']);
  assert.deepEqual(meta.id_token_signing_alg_values_supported, ['RS256']);
  assert.deepEqual(meta.scopes_supported, ['openid', 'profile', 'email']);
  assert.equal(meta.authorization_response_iss_parameter_supported, true);
});

for (const auth of ['basic', 'post', 'none']) {
  test(`code flow with PKCE, ${auth === 'none' ? 'public client' : `client_secret_${auth}`}`, async () => {
    const user = newUser();
    const c = newClient(redirectUri, { isPublic: auth === 'none' });
    const config = await configure(c, auth);
    const { tokens, nonce } = await codeFlow(config, user);
    assert.equal(tokens.token_type, 'bearer');
    assert.equal(tokens.expires_in, 3600);
    assert.equal(tokens.scope, 'openid profile email');
    assert.match(tokens.refresh_token, /^rt_[A-Za-z0-9_-]{43}$/);
    const claims = tokens.claims();
    assert.equal(claims.iss, issuer);
    assert.equal(claims.sub, user.id);
    assert.equal(claims.aud, c.id);
    assert.equal(claims.nonce, nonce);
    assert.equal(claims.preferred_username, user.username);
    assert.equal(claims.email, user.email);
    assert.ok(Math.abs(claims.auth_time - Date.now() / 1000) < 120, `auth_time ${claims.auth_time}`);
    assert.match(claims.at_hash, /^[A-Za-z0-9_-]{22}$/);

    const info = await client.fetchUserInfo(config, tokens.access_token, user.id);
    assert.deepEqual(info, { sub: user.id, preferred_username: user.username, email: user.email });
  });
}

test('a signed-in user with consent gets a code without seeing a page; max_age asks again', async () => {
  const user = newUser();
  const c = newClient(redirectUri);
  const config = await configure(c, 'basic');
  const first = await codeFlow(config, user);
  const again = await codeFlow(config, { username: 'nobody', password: 'never used' }, { browser: first.browser });
  assert.equal(again.tokens.claims().sub, user.id);
  assert.equal(again.tokens.claims().auth_time, first.tokens.claims().auth_time);
  const url = client.buildAuthorizationUrl(config, {
    redirect_uri: redirectUri, scope: 'openid', max_age: '0',
    code_challenge: await client.calculatePKCECodeChallenge(client.randomPKCECodeVerifier()),
    code_challenge_method: 'S256',
  });
  const page = await first.browser.go('GET', url.href);
  assert.equal(page.status, 200);
  assert.match(page.text, /name="password"/);
});

test('refresh rotates; the old token presented again is refused and ends the new one too', async () => {
  const user = newUser();
  const c = newClient(redirectUri);
  const config = await configure(c, 'basic');
  const { tokens } = await codeFlow(config, user);
  const refreshed = await client.refreshTokenGrant(config, tokens.refresh_token);
  assert.notEqual(refreshed.refresh_token, tokens.refresh_token);
  assert.notEqual(refreshed.access_token, tokens.access_token);
  assert.equal(refreshed.claims().sub, user.id);
  assert.equal(refreshed.claims().auth_time, tokens.claims().auth_time, 'the original sign-in time');
  assert.equal(refreshed.scope, 'openid profile email');
  const info = await client.fetchUserInfo(config, refreshed.access_token, user.id);
  assert.equal(info.sub, user.id);

  await assert.rejects(client.refreshTokenGrant(config, tokens.refresh_token), (e) => e.error === 'invalid_grant');
  await assert.rejects(client.refreshTokenGrant(config, refreshed.refresh_token), (e) => e.error === 'invalid_grant');
});

test('revocation: a refresh token ends its family, an access token stops working at UserInfo', async () => {
  const user = newUser();
  const c = newClient(redirectUri);
  const config = await configure(c, 'post');
  const { tokens } = await codeFlow(config, user);
  await client.tokenRevocation(config, tokens.access_token);
  await assert.rejects(client.fetchUserInfo(config, tokens.access_token, user.id),
    (e) => e.status === 401 && /invalid_token/.test(e.response?.headers.get('www-authenticate') ?? ''));
  await client.tokenRevocation(config, tokens.refresh_token);
  await assert.rejects(client.refreshTokenGrant(config, tokens.refresh_token), (e) => e.error === 'invalid_grant');
  // Unknown tokens are answered 200 as well.
  await client.tokenRevocation(config, 'rt_not-a-token');
});

test('end session ends the session and returns to a registered URI with the state', async () => {
  const user = newUser();
  const c = newClient(redirectUri);
  const config = await configure(c, 'basic');
  const { tokens, browser } = await codeFlow(config, user);
  const end = client.buildEndSessionUrl(config, {
    id_token_hint: tokens.id_token, post_logout_redirect_uri: redirectUri, state: 'bye-1',
  });
  const out = await browser.request('GET', end.href);
  assert.equal(out.status, 302, out.text);
  assert.equal(out.headers.get('location'), `${redirectUri}?state=bye-1`);
  assert.equal(browser.cookies.has('id_session'), false);
  const url = client.buildAuthorizationUrl(config, { redirect_uri: redirectUri, scope: 'openid', prompt: 'none',
    code_challenge: await client.calculatePKCECodeChallenge(client.randomPKCECodeVerifier()), code_challenge_method: 'S256' });
  const back = await browser.request('GET', url.href);
  assert.equal(new URL(back.headers.get('location')).searchParams.get('error'), 'login_required');
});

test('a deleted user gets nothing more from the token endpoint or UserInfo', async () => {
  const user = newUser();
  const c = newClient(redirectUri);
  const config = await configure(c, 'basic');
  const { tokens } = await codeFlow(config, user);
  deleteUser(user.id);
  await assert.rejects(client.refreshTokenGrant(config, tokens.refresh_token), (e) => e.error === 'invalid_grant');
  await assert.rejects(client.fetchUserInfo(config, tokens.access_token, user.id), (e) => e.status === 401);
});
