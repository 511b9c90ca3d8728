// Keys and addresses against @bsv/sdk: random 12-word phrases and wallet
// paths give the same private keys, public keys and addresses in both;
// malformed phrases are refused, upper case and runs of blanks are not.
//
// usage: node keys.mjs KESTREL_TOOL [PHRASES]
import { HD, Mnemonic, PublicKey } from '@bsv/sdk'
import { pbkdf2Sync } from 'node:crypto'
import { checker, keyHex, runBatch, seededRandom } from './common.mjs'

const tool = process.argv[2]
const PHRASES = Number(process.argv[3] ?? 50)
const random = seededRandom('keys')
const check = checker('keys')
const ACCOUNTS = [0, 1, 2, 3, 4, 5, 100, 102, 103]

const randomIndex = () => (random.chance(0.3) ? random.int(0, 2 ** 31 - 1) : random.int(0, 50))

// Three paths per phrase; two share an account (and so the SDK's work for
// m/44'/236'/a'/0), the third takes its own.
const cases = []
for (let p = 0; p < PHRASES; p++) {
  const phrase = Mnemonic.fromEntropy(random.bytes(16)).toString()
  const master = HD.fromSeed(new Mnemonic(phrase).toSeed())
  const shared = random.pick(ACCOUNTS)
  const chain = master.derive(`m/44'/236'/${shared}'/0`)
  for (let k = 0; k < 2; k++) {
    const index = randomIndex()
    const node = chain.deriveChild(index)
    cases.push({ phrase, path: `m/44'/236'/${shared}'/0/${index}`, node })
  }
  const path = `m/44'/236'/${random.pick(ACCOUNTS)}'/0/${randomIndex()}`
  cases.push({ phrase, path, node: master.derive(path) })
}

const requests = cases.map((c) => ({ command: 'derive', phrase: c.phrase, path: c.path }))
const words = cases[1].phrase.split(' ')
const badPhrases = [
  words.slice(0, 11).join(' '),
  [...words, 'abandon'].join(' '),
  Mnemonic.fromEntropy(random.bytes(32)).toString(), // a valid 24-word phrase
  Mnemonic.fromEntropy(random.bytes(20)).toString(), // a valid 15-word phrase
  [...words.slice(0, 11), 'notaword'].join(' '),
  wrongChecksum(words)
]
// The phrase with another last word whose checksum bits do not match: one
// replacement in sixteen would still be valid, so the SDK picks one that is not.
function wrongChecksum (words) {
  for (const last of ['zoo', 'abandon', 'ability', 'able', 'about', 'above', 'absent', 'absorb']) {
    const phrase = [...words.slice(0, 11), last].join(' ')
    if (last !== words[11] && !Mnemonic.isValid(phrase)) return phrase
  }
  throw new Error('no invalid replacement found')
}

for (const phrase of badPhrases) requests.push({ command: 'derive', phrase, path: "m/44'/236'/1'/0/0" })
// The SDK refuses this spelling, so its seed is made here from the phrase as
// written, the rule the wallet follows.
const loud = cases[0].phrase.toUpperCase().replaceAll(' ', '  \t')
requests.push({ command: 'derive', phrase: loud, path: cases[0].path })

const answers = runBatch(tool, requests)
let at = 0
for (const c of cases) {
  const a = answers[at++]
  const where = `${c.path} of "${c.phrase}"`
  check.equal(a.priv, keyHex(c.node.privKey), `private key of ${where}`)
  check.equal(a.pub, c.node.pubKey.toString(), `public key of ${where}`)
  check.equal(a.address, PublicKey.fromString(c.node.pubKey.toString()).toAddress(), `address of ${where}`)
}
for (const phrase of badPhrases) {
  const a = answers[at++]
  check.ok(typeof a.error === 'string' && a.priv === undefined, `phrase "${phrase}" was accepted`)
}
const loudAnswer = answers[at++]
const loudNode = HD.fromSeed([...pbkdf2Sync(loud, 'mnemonic', 2048, 64, 'sha512')]).derive(cases[0].path)
check.equal(loudAnswer.priv, keyHex(loudNode.privKey), 'upper-case phrase derives from its own text')
check.finish()
