// Bitcoin Signed Message against @bsv/sdk: every signature sign-message makes
// verifies with the SDK's BSM against the signer's key, and every SDK
// signature recovers to its signer with verify-message.
//
// usage: node messages.mjs KESTREL_TOOL [COUNT]
import { BSM, PublicKey, Signature } from '@bsv/sdk'
import { checker, keyHex, randomKey, runBatch, seededRandom } from './common.mjs'

const tool = process.argv[2]
const COUNT = Number(process.argv[3] ?? 300)
const random = seededRandom('messages')
const check = checker('messages')

// Lengths around the one-byte/three-byte length prefix, text beyond ASCII.
const bodies = ['', 'hello', 'Grüße ☎ 通话', 'x'.repeat(252), 'y'.repeat(253), 'z'.repeat(1000)]
const cases = []
for (let i = 0; i < COUNT; i++) {
  const priv = randomKey(random)
  cases.push({ priv: keyHex(priv), key: priv, message: bodies[i % bodies.length] + i })
}
const sdkCases = cases.slice(0, 30).map((c) => ({
  ...c,
  message: 'sdk ' + c.message,
  signature: BSM.sign(Array.from(Buffer.from('sdk ' + c.message, 'utf8')), c.key)
}))

const requests = [
  ...cases.map((c) => ({ command: 'sign-message', priv: c.priv, message: c.message })),
  ...sdkCases.map((c) => ({ command: 'verify-message', message: c.message, signature: c.signature })),
  { command: 'sign-message', priv: '00'.repeat(32), message: 'zero key' },
  { command: 'sign-message', priv: 'abc', message: 'short key' }
]
const answers = runBatch(tool, requests)
let at = 0
for (const c of cases) {
  const a = answers[at++]
  let valid = false
  try {
    const sig = Signature.fromCompact(a.signature, 'base64')
    valid = BSM.verify(Array.from(Buffer.from(c.message, 'utf8')), sig, c.key.toPublicKey())
  } catch (e) {
    valid = false
  }
  check.ok(valid, `signature ${a.signature} of "${c.message.slice(0, 20)}" by ${c.priv} does not verify`)
  const header = Buffer.from(a.signature ?? '', 'base64')[0]
  check.ok(header >= 31 && header <= 34, `signature header ${header} is not a compressed-key header`)
}
for (const c of sdkCases) {
  const a = answers[at++]
  const pub = c.key.toPublicKey().toString()
  check.ok(a.valid === true && a.pub === pub, `SDK signature of "${c.message.slice(0, 20)}" recovers ${a.pub}`)
  check.equal(a.address, PublicKey.fromString(pub).toAddress(), 'recovered address')
}
check.ok(typeof answers[at++].error === 'string', 'a zero private key signs')
check.ok(typeof answers[at++].error === 'string', 'a short private key signs')
check.finish()
