// Identity signatures against @bsv/sdk: every signature sign-identity makes
// (Base64 of r||s over the Bitcoin signed-message digest) verifies with the
// SDK's ECDSA and BSM code, and SDK signatures (BSM raw and compact, and
// ECDSA over the single and double SHA-256 of the message) verify with
// verify-message --pub; altered messages and other keys do not.
//
// usage: node identity.mjs KESTREL_TOOL [COUNT]
import { BigNumber, BSM, ECDSA, Hash, Signature } from '@bsv/sdk'
import { checker, keyHex, randomKey, runBatch, seededRandom, toHex } from './common.mjs'

const tool = process.argv[2]
const COUNT = Number(process.argv[3] ?? 100)
const random = seededRandom('identity')
const check = checker('identity')

// Lengths around the CompactSize steps (253, 65536), a record's canonical
// text, and text beyond ASCII.
const bodies = ['', 'CV1|cp|cphone|alice|alice|1700000000|hangup|0123456789abcdef|0|||0|' + 'e3'.repeat(32),
  'Grüße ☎ 通话', 'x'.repeat(252), 'y'.repeat(300), 'z'.repeat(65535), 'w'.repeat(70000)]
const cases = []
for (let i = 0; i < COUNT; i++) {
  const priv = randomKey(random)
  const message = i < bodies.length ? bodies[i] : bodies[i % bodies.length].slice(0, 400) + i
  cases.push({ priv, privHex: keyHex(priv), pub: priv.toPublicKey().toString(), message })
}
const bytesOf = (text) => [...Buffer.from(text, 'utf8')]
const rsBase64 = (sig) => Buffer.concat([Buffer.from(sig.r.toArray('be', 32)), Buffer.from(sig.s.toArray('be', 32))]).toString('base64')

// The SDK's signatures of each message, in the forms a verifier meets.
const sdkForms = cases.slice(0, 40).flatMap((c) => {
  const bytes = bytesOf(c.message)
  const single = Hash.sha256(bytes)
  return [
    { c, what: 'BSM raw', signature: rsBase64(BSM.sign(bytes, c.priv, 'raw')), valid: true },
    { c, what: 'BSM compact (65 bytes)', signature: BSM.sign(bytes, c.priv, 'base64'), valid: true },
    { c, what: 'ECDSA over SHA-256', signature: rsBase64(ECDSA.sign(new BigNumber(single), c.priv, true)), valid: true },
    { c, what: 'ECDSA over SHA-256d', signature: rsBase64(ECDSA.sign(new BigNumber(Hash.sha256(single)), c.priv, true)), valid: true },
    { c, what: 'uncompressed key', pub: toHex(c.priv.toPublicKey().encode(false)), signature: rsBase64(BSM.sign(bytes, c.priv, 'raw')), valid: true },
    { c, what: 'another message', message: c.message + '.', signature: rsBase64(BSM.sign(bytes, c.priv, 'raw')), valid: false },
    { c, what: 'another key', pub: cases[(cases.indexOf(c) + 1) % cases.length].pub, signature: rsBase64(BSM.sign(bytes, c.priv, 'raw')), valid: false }
  ]
})

const requests = [
  ...cases.map((c) => ({ command: 'sign-identity', priv: c.privHex, message: c.message })),
  ...sdkForms.map((f) => ({ command: 'verify-message', pub: f.pub ?? f.c.pub, message: f.message ?? f.c.message, signature: f.signature }))
]
const answers = runBatch(tool, requests)
let at = 0
for (const c of cases) {
  const a = answers[at++]
  const raw = Buffer.from(a.signature ?? '', 'base64')
  let ecdsa = false
  let bsm = false
  try {
    const sig = new Signature(new BigNumber([...raw.subarray(0, 32)]), new BigNumber([...raw.subarray(32)]))
    const pub = c.priv.toPublicKey()
    ecdsa = ECDSA.verify(new BigNumber(BSM.magicHash(bytesOf(c.message))), sig, pub)
    bsm = BSM.verify(bytesOf(c.message), sig, pub)
  } catch (e) {}
  check.equal(raw.length, 64, `signature of a ${c.message.length}-byte message is r||s`)
  check.equal(a.pubkey, c.pub, 'signing key')
  check.ok(ecdsa && bsm, `our signature of a ${c.message.length}-byte message by ${c.privHex} does not verify with the SDK`)
}
for (const f of sdkForms) {
  const a = answers[at++]
  check.equal(a.valid, f.valid, `${f.what} of a ${f.c.message.length}-byte message`)
}
check.finish()
