// Deterministic signatures against @bsv/sdk: both sign with RFC 6979 nonces
// and low s, so for the same key and digest the bytes must be equal. Every
// compact message signature sign-message makes equals the SDK's BSM.sign
// (recovery header included), and every unlocking script sign-tx writes
// equals the one the SDK's ECDSA.sign gives over the SDK's signature hash.
//
// usage: node signatures.mjs KESTREL_TOOL [MESSAGES] [TRANSACTIONS]
import { BSM, BigNumber, ECDSA, PrivateKey, Transaction } from '@bsv/sdk'
import { checker, keyHex, p2pkh, push, randomKey, runBatch, sdkSighash, seededRandom, toHex } from './common.mjs'

const tool = process.argv[2]
const MESSAGES = Number(process.argv[3] ?? 200)
const TRANSACTIONS = Number(process.argv[4] ?? 50)
const random = seededRandom('signatures')
const check = checker('signatures')

// Keys at both ends of the range besides random ones.
const edgeKeys = ['01', '02', 'fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140']
  .map((hex) => PrivateKey.fromHex(hex.padStart(64, '0')))

const messages = []
for (let i = 0; i < MESSAGES; i++) {
  const key = i < edgeKeys.length ? edgeKeys[i] : randomKey(random)
  messages.push({ key, message: `call ${i} ` + toHex(random.bytes(random.int(0, 40))) })
}

const amount = () => random.pick([1, 546, random.int(0, 2 ** 32)])
const transactions = []
for (let t = 0; t < TRANSACTIONS; t++) {
  const inputs = []
  for (let i = random.int(1, 4); i > 0; i--) {
    const key = randomKey(random)
    const script = toHex(p2pkh(key.toPublicKey().toHash()))
    inputs.push({ txid: toHex(random.bytes(32)), vout: random.int(0, 5), sats: amount(), priv: keyHex(key), script, key })
  }
  const outputs = [{ sats: amount(), script: toHex(p2pkh(random.bytes(20))) },
    { sats: 0, script: toHex([0x00, 0x6a, ...push(random.bytes(random.int(1, 80)))]) }]
  transactions.push({ inputs, outputs })
}
const strip = (tx) => ({
  inputs: tx.inputs.map(({ txid, vout, sats, script, priv }) => ({ txid, vout, sats, script, priv })),
  outputs: tx.outputs
})

const answers = runBatch(tool, [
  ...messages.map((m) => ({ command: 'sign-message', priv: keyHex(m.key), message: m.message })),
  ...transactions.map((tx) => ({ command: 'sign-tx', tx: strip(tx) }))
])

let at = 0
for (const m of messages) {
  const a = answers[at++]
  const expected = BSM.sign(Array.from(Buffer.from(m.message, 'utf8')), m.key)
  check.equal(a.signature, expected, `signature of "${m.message}" by ${keyHex(m.key)}`)
}
for (const tx of transactions) {
  const a = answers[at++]
  if (typeof a.hex !== 'string') {
    check.ok(false, `sign-tx refused ${JSON.stringify(strip(tx))}: ${a.error}`)
    continue
  }
  const parsed = Transaction.fromHex(a.hex)
  tx.inputs.forEach((input, i) => {
    const digest = new BigNumber(sdkSighash(tx, i, input.script), 16)
    const der = ECDSA.sign(digest, input.key, true).toDER()
    const expected = toHex([...push([...der, 0x41]), ...push(input.key.toPublicKey().encode(true))])
    check.equal(parsed.inputs[i].unlockingScript.toHex(), expected, `unlocking script of input ${i} of ${a.txid}`)
  })
}
check.finish()
