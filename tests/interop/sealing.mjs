// Sealed payloads against @bsv/sdk's Electrum ECIES ("BIE1"): every text
// kestrel-tool seals opens with ECIES.electrumDecrypt, and every text the SDK
// seals with ECIES.electrumEncrypt opens with kestrel-tool, for random keys
// (also given uncompressed) and plain texts of 0 bytes to 100 kB.
//
// usage: node sealing.mjs KESTREL_TOOL [COUNT]
import { ECIES } from '@bsv/sdk'
import { checker, keyHex, randomKey, runBatch, seededRandom, toHex } from './common.mjs'

const tool = process.argv[2]
const COUNT = Number(process.argv[3] ?? 40)
const random = seededRandom('sealing')
const check = checker('sealing')

// Block edges, the largest size, and random sizes up to 100 kB.
const edges = [0, 1, 15, 16, 17, 32, 100, 102400]
const cases = []
for (let i = 0; i < COUNT; i++) {
  const priv = randomKey(random)
  const size = i < edges.length ? edges[i] : random.int(0, 102400)
  const plain = Buffer.from(random.bytes(size))
  cases.push({ priv, privHex: keyHex(priv), plain, uncompressed: random.chance(0.3) })
}
const pubOf = (c) => toHex(c.priv.toPublicKey().encode(!c.uncompressed))

const sdkSealed = cases.map((c) => toHex(ECIES.electrumEncrypt([...c.plain], c.priv.toPublicKey())))
const requests = [
  ...cases.map((c) => ({ command: 'seal', pub: pubOf(c), 'text-hex': toHex(c.plain) })),
  ...cases.map((c, i) => ({ command: 'open', priv: c.privHex, sealed: sdkSealed[i], 'as-hex': true })),
  // A text for another key, and one with its MAC changed, stay shut.
  { command: 'open', priv: cases[1].privHex, sealed: sdkSealed[0], 'as-hex': true },
  { command: 'open', priv: cases[0].privHex, sealed: sdkSealed[0].slice(0, -1) + (sdkSealed[0].endsWith('0') ? '1' : '0') },
  { command: 'seal', pub: '02' + 'ab'.repeat(32).slice(2), text: 'x' }
]
const answers = runBatch(tool, requests)
let at = 0
for (const c of cases) {
  const a = answers[at++]
  let opened = null
  try {
    opened = Buffer.from(ECIES.electrumDecrypt([...Buffer.from(a.sealed, 'hex')], c.priv))
  } catch (e) {
    opened = null
  }
  check.ok(opened !== null && opened.equals(c.plain), `our seal of ${c.plain.length} bytes to ${pubOf(c).slice(0, 8)}… does not open with the SDK`)
  check.ok(typeof a.sealed === 'string' && a.sealed.startsWith('42494531') && (a.sealed.length / 2 - 85) % 16 === 0, 'sealed layout')
}
for (const c of cases) {
  const a = answers[at++]
  check.equal(a.hex, toHex(c.plain), `SDK seal of ${c.plain.length} bytes opens with ours`)
}
check.ok(typeof answers[at++].error === 'string', 'a text sealed to another key opens')
check.ok(typeof answers[at++].error === 'string', 'a text with a changed MAC opens')
check.ok(typeof answers[at++].error === 'string', 'a key off the curve seals')
check.finish()
