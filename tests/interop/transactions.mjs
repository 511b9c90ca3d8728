// Transactions against @bsv/sdk: for random transactions (1 to 5 inputs with
// random values and locking scripts, P2PKH or not; 1 to 5 outputs including
// OP_FALSE OP_RETURN data) `sighash` gives the SDK's FORKID signature hashes,
// and every transaction `sign-tx` signs has the SDK's txid and passes the
// SDK's script interpreter on every input with strict verify flags. A
// tampered copy must fail, so the interpreter is known to look.
//
// usage: node transactions.mjs KESTREL_TOOL [HASHED] [SIGNED]
import { LockingScript, Spend, Transaction } from '@bsv/sdk'
import { checker, keyHex, p2pkh, push, randomKey, runBatch, sdkSighash, seededRandom, toHex } from './common.mjs'

const tool = process.argv[2]
const HASHED = Number(process.argv[3] ?? 300)
const SIGNED = Number(process.argv[4] ?? 150)
const random = seededRandom('transactions')
const check = checker('transactions')
const FLAGS = ['STRICTENC', 'DERSIG', 'LOW_S', 'NULLFAIL', 'SIGHASH_FORKID', 'SIGPUSHONLY', 'CLEANSTACK',
  'MINIMALDATA', 'UTXO_AFTER_GENESIS']

const dataScript = () => {
  const parts = []
  for (let i = random.int(1, 3); i > 0; i--) parts.push(...push(random.bytes(random.pick([0, 1, 20, 75, 76, 200, 300]))))
  return [0x00, 0x6a, ...parts]
}
// Pushes and plain opcodes (no OP_CODESEPARATOR, no OP_RETURN inside).
const OPCODES = [0x00, 0x51, 0x52, 0x60, 0x75, 0x76, 0x7c, 0x87, 0x88, 0x93, 0xa8, 0xa9, 0xac, 0xad, 0xae]
const mixedScript = () => {
  const out = []
  for (let i = random.int(1, 8); i > 0; i--) {
    if (random.chance(0.5)) out.push(...push(random.bytes(random.int(1, 90))))
    else out.push(random.pick(OPCODES))
  }
  return out
}
const newKey = () => randomKey(random)
const lockingFor = (kind) => {
  switch (kind) {
    case 'p2pkh': return p2pkh(random.bytes(20))
    case 'p2pk': return [...push(newKey().toPublicKey().encode(true)), 0xac]
    case 'true': return [0x51]
    case 'data': return dataScript()
    default: return mixedScript()
  }
}
const amount = () => random.pick([0, 1, 546, random.int(0, 2 ** 32), random.int(0, 2 ** 52)])
const outputs = () => {
  const list = []
  for (let i = random.int(1, 5); i > 0; i--) {
    const kind = i === 1 && random.chance(0.7) ? 'data' : random.pick(['p2pkh', 'p2pkh', 'data', 'mixed'])
    list.push({ sats: kind === 'data' ? random.pick([0, 0, 1]) : amount(), script: toHex(lockingFor(kind)) })
  }
  return list
}
const outpoint = () => ({ txid: toHex(random.bytes(32)), vout: random.pick([0, 1, random.int(0, 20), 2 ** 32 - 1]) })

// Random transactions for the hash check; an input without a script is
// hashed against the P2PKH script of its key.
const hashed = []
for (let t = 0; t < HASHED; t++) {
  const inputs = []
  for (let i = random.int(1, 5); i > 0; i--) {
    const kind = random.pick(['p2pkh', 'p2pk', 'true', 'data', 'mixed', 'none'])
    const input = { ...outpoint(), sats: amount() }
    if (kind === 'none') {
      const key = newKey()
      input.script = ''
      input.priv = keyHex(key)
      input.code = toHex(p2pkh(key.toPublicKey().toHash()))
    } else {
      input.script = toHex(lockingFor(kind))
      input.code = input.script
      if (random.chance(0.3)) input.priv = keyHex(newKey())
    }
    inputs.push(input)
  }
  hashed.push({ inputs, outputs: outputs() })
}

// Transactions to sign: P2PKH coins with their keys, the locking script given
// or left for the wallet to rebuild.
const signed = []
for (let t = 0; t < SIGNED; t++) {
  const inputs = []
  for (let i = random.int(1, 5); i > 0; i--) {
    const key = newKey()
    const script = toHex(p2pkh(key.toPublicKey().toHash()))
    inputs.push({ ...outpoint(), sats: amount(), priv: keyHex(key), script: random.chance(0.5) ? script : '', lock: script })
  }
  signed.push({ inputs, outputs: outputs() })
}

const strip = (tx) => ({
  inputs: tx.inputs.map(({ txid, vout, sats, script, priv }) => ({ txid, vout, sats, script, priv })),
  outputs: tx.outputs
})
const answers = runBatch(tool, [
  ...hashed.map((tx) => ({ command: 'sighash', tx: strip(tx) })),
  ...signed.map((tx) => ({ command: 'sign-tx', tx: strip(tx) }))
])

let at = 0
for (const tx of hashed) {
  const a = answers[at++]
  check.ok(Array.isArray(a.sighash) && a.sighash.length === tx.inputs.length, `sighash answer ${JSON.stringify(a)}`)
  tx.inputs.forEach((input, i) => {
    check.equal(a.sighash?.[i], sdkSighash(tx, i, input.code), `sighash of input ${i} of ${JSON.stringify(strip(tx))}`)
  })
}

function spendOk (parsed, tx, i, outputsOverride) {
  const input = parsed.inputs[i]
  try {
    const spend = new Spend({
      sourceTXID: tx.inputs[i].txid,
      sourceOutputIndex: tx.inputs[i].vout,
      sourceSatoshis: tx.inputs[i].sats,
      lockingScript: LockingScript.fromHex(tx.inputs[i].lock),
      transactionVersion: parsed.version,
      otherInputs: parsed.inputs.filter((_, k) => k !== i),
      outputs: outputsOverride ?? parsed.outputs,
      inputIndex: i,
      unlockingScript: input.unlockingScript,
      inputSequence: input.sequence,
      lockTime: parsed.lockTime,
      verifyFlags: FLAGS
    })
    return spend.validate() === true
  } catch (e) {
    return false
  }
}

for (const tx of signed) {
  const a = answers[at++]
  if (typeof a.hex !== 'string') {
    check.ok(false, `sign-tx refused ${JSON.stringify(strip(tx))}: ${a.error}`)
    continue
  }
  const parsed = Transaction.fromHex(a.hex)
  check.equal(a.txid, parsed.id('hex'), 'txid of a signed transaction')
  check.equal(parsed.version, 1, 'version')
  check.equal(parsed.lockTime, 0, 'lock time')
  check.equal(parsed.outputs.length, tx.outputs.length, 'output count')
  tx.inputs.forEach((input, i) => {
    check.equal(parsed.inputs[i].sequence, 0xffffffff, 'sequence')
    check.ok(spendOk(parsed, tx, i), `input ${i} of ${a.txid} does not validate in the SDK interpreter`)
  })
  // The same signatures over different outputs must not validate.
  if (!random.chance(0.25)) continue
  const changed = parsed.outputs.map((o) => ({ satoshis: o.satoshis, lockingScript: o.lockingScript }))
  changed[0] = { satoshis: changed[0].satoshis + 1, lockingScript: changed[0].lockingScript }
  check.ok(!spendOk(parsed, tx, 0, changed), `a tampered copy of ${a.txid} validates`)
}
check.finish()
