// Verifies RS256 tokens with jose against a key set fetched from a URL, as a relying party does.
//
//     node verify_tokens.mjs URL TOKEN...
//
// Prints one JSON array on standard output, one element per token in order: {"ok": true, "kid",
// "payload"} when the token verifies with a key of the set, else {"ok": false, "code"} with jose's
// error code. Each run fetches the set afresh (no cache survives the process).
import { createRemoteJWKSet, jwtVerify } from 'jose';

const [url, ...tokens] = process.argv.slice(2);
if (!url || tokens.length === 0) {
  process.stderr.write('usage: node verify_tokens.mjs URL TOKEN...\n');
  process.exit(2);
}
const keySet = createRemoteJWKSet(new URL(url), { cooldownDuration: 0, cacheMaxAge: 0 });
const results = [];
for (const token of tokens) {
  try {
    const { payload, protectedHeader } = await jwtVerify(token, keySet, { algorithms: ['RS256'] });
    results.push({ ok: true, kid: protectedHeader.kid, payload });
  } catch (err) {
    results.push({ ok: false, code: err.code ?? String(err) });
  }
}
process.stdout.write(JSON.stringify(results) + '\n');
