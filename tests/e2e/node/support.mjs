// What the node tests share: the provider handed over by run_node.py, users and clients
// registered through the fixture tool, and a browser without JavaScript that keeps cookies and
// submits the forms of a page with their hidden fields as they are.
import { spawnSync } from 'node:child_process';
import * as client from 'openid-client';

export const issuer = process.env.TARN_ISSUER;
export const artifacts = process.env.TARN_ARTIFACTS;

function fixture(...args) {
  const out = spawnSync(process.env.PROVIDER_FIXTURE, args, {
    env: { ...process.env, IDENTITY_DATA_DIR: process.env.IDENTITY_DATA_DIR },
    encoding: 'utf8',
  });
  if (out.status !== 0) throw new Error(`fixture ${args[0]}: ${out.stderr}`);
  return out.stdout.trim().split(/\s+/);
}

let counter = 0;
export function newUser(password = 'correct horse 1') {
  counter += 1;
  const username = `user${process.pid}x${counter}`;
  const id = fixture('user', username, password, `${username}@example.com`)[0];
  return { id, username, password, email: `${username}@example.com` };
}
export const deleteUser = (id) => fixture('delete-user', id);

export function newClient(redirectUri, { isPublic = false, scopes = 'openid profile email', name = 'Test app' } = {}) {
  const [id, secret] = fixture('client', name, redirectUri, scopes, isPublic ? 'public' : 'confidential');
  return { id, secret: secret ?? '', redirectUri };
}

// openid-client's configuration for `c`, found through discovery; http is allowed for the
// loopback issuer of the tests.
export async function configure(c, auth) {
  const method = auth === 'post' ? client.ClientSecretPost(c.secret)
    : auth === 'none' ? client.None() : client.ClientSecretBasic(c.secret);
  return client.discovery(new URL(issuer), c.id, c.secret ? { client_secret: c.secret } : undefined, method, {
    execute: [client.allowInsecureRequests],
  });
}

const decode = (s) => s.replace(/&quot;/g, '"').replace(/&#39;/g, "'").replace(/&lt;/g, '<')
  .replace(/&gt;/g, '>').replace(/&amp;/g, '&');
const attrs = (tag) => Object.fromEntries([...tag.matchAll(/([a-z-]+)="([^"]*)"/g)].map((m) => [m[1], decode(m[2])]));

// Every form of a page: action, method, the values of its inputs and its buttons.
export function formsOf(html) {
  return [...html.matchAll(/<form\b([^>]*)>([\s\S]*?)<\/form>/g)].map((m) => {
    const form = attrs(m[1]);
    const fields = {};
    for (const i of m[2].matchAll(/<input\b[^>]*>/g)) {
      const a = attrs(i[0]);
      if (a.name) fields[a.name] = a.value ?? '';
    }
    const buttons = {};
    for (const b of m[2].matchAll(/<button\b[^>]*>/g)) {
      const a = attrs(b[0]);
      if (a.name) buttons[a.value] = a.name;
    }
    return { action: form.action, method: (form.method ?? 'get').toUpperCase(), fields, buttons };
  });
}

export class Browser {
  constructor() {
    this.cookies = new Map();
  }

  async request(method, url, form) {
    const headers = {};
    if (this.cookies.size) headers.cookie = [...this.cookies].map(([k, v]) => `${k}=${v}`).join('; ');
    let body;
    if (form) {
      body = new URLSearchParams(form).toString();
      headers['content-type'] = 'application/x-www-form-urlencoded';
    }
    const res = await fetch(url, { method, headers, body, redirect: 'manual' });
    for (const line of res.headers.getSetCookie()) {
      const [pair] = line.split(';');
      const eq = pair.indexOf('=');
      if (/max-age=0(;|$)/i.test(line.replace(/ /g, ''))) this.cookies.delete(pair.slice(0, eq));
      else this.cookies.set(pair.slice(0, eq), pair.slice(eq + 1));
    }
    return { status: res.status, headers: res.headers, url, text: await res.text() };
  }

  // Follows redirects while they stay on the provider; the answer that leaves it, or a page.
  async go(method, url, form) {
    let res = await this.request(method, url, form);
    while ([302, 303].includes(res.status) && res.headers.get('location').startsWith(`${issuer}/`)) {
      res = await this.request('GET', res.headers.get('location'));
    }
    return res;
  }

  async submit(page, values = {}, button) {
    let forms = formsOf(page.text);
    if (button) forms = forms.filter((f) => button in f.buttons);
    if (forms.length !== 1) throw new Error(`expected one form, found ${forms.length}: ${page.text}`);
    const [f] = forms;
    const fields = { ...f.fields, ...values };
    if (button) fields[f.buttons[button]] = button;
    return this.go(f.method, f.action, fields);
  }

  // Signs in and approves as needed on the way from `url` back to the application.
  async authorize(url, user, { approve = true } = {}) {
    let page = await this.go('GET', url);
    if (page.status === 200 && formsOf(page.text)[0]?.fields.password !== undefined) {
      page = await this.submit(page, { username: user.username, password: user.password });
    }
    if (page.status === 200 && formsOf(page.text)[0]?.buttons.approve) {
      page = await this.submit(page, {}, approve ? 'approve' : 'deny');
    }
    return page;
  }
}
