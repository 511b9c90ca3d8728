// Runs the wallet benchmark operations with @bsv/sdk and with our
// bench_wallet binary (one run each) and prints our throughput over the
// SDK's for each: derive, sign, sighash, serialise, build-and-sign of the
// phone-record transaction.
//
// usage: node bench/compare-with-sdk.mjs [path/to/bench_wallet]   (default build/bench/bench_wallet)
import { ECDSA, Hash, HD, LockingScript, Mnemonic, P2PKH, PrivateKey, Script, Transaction, TransactionSignature, BigNumber } from '@bsv/sdk'
import { execFileSync } from 'node:child_process'
import { dirname, join } from 'node:path'
import { fileURLToPath } from 'node:url'

const root = join(dirname(fileURLToPath(import.meta.url)), '..')
const binary = process.argv[2] ?? join(root, 'build/bench/bench_wallet')

// Operations per second of fn, run for about `seconds` after a warm-up.
async function rate (fn, seconds = 1) {
  for (let i = 0; i < 5; i++) await fn(i)
  let count = 0
  const start = process.hrtime.bigint()
  const limit = start + BigInt(Math.round(seconds * 1e9))
  let now = start
  while (now < limit) {
    await fn(count++)
    now = process.hrtime.bigint()
  }
  return count / (Number(now - start) / 1e9)
}

const phrase = 'legal winner thank year wave sausage worth useful legal winner thank yellow'
const master = HD.fromSeed(new Mnemonic(phrase).toSeed())
const keyAt = (i) => master.derive(`m/44'/236'/1'/0/${i}`).privKey
const fill = (b) => Buffer.alloc(32, b).toString('hex')
const p2pkh = (hash) => LockingScript.fromHex('76a914' + Buffer.from(hash).toString('hex') + '88ac')
const coins = [
  { txid: fill(0xa1), vout: 0, sats: 700, key: keyAt(0) },
  { txid: fill(0xb2), vout: 1, sats: 1200, key: keyAt(1) }
].map((c) => ({ ...c, lock: p2pkh(c.key.toPublicKey().toHash()) }))
const data = LockingScript.fromHex('006a4cc8' + '7b'.repeat(200))

// The phone-record transaction; change pays 1 sat per 1000 bytes of the
// size with 107-byte unlocking placeholders, as the wallet computes it.
function phoneTx () {
  const tx = new Transaction(1, coins.map((c) => ({
    sourceTXID: c.txid,
    sourceOutputIndex: c.vout,
    sequence: 0xffffffff,
    unlockingScriptTemplate: new P2PKH().unlock(c.key, 'all', false, c.sats, c.lock)
  })), [
    { satoshis: 1, lockingScript: p2pkh(Array(20).fill(0x11)) },
    { satoshis: 1, lockingScript: p2pkh(Array(20).fill(0x22)) },
    { satoshis: 0, lockingScript: data },
    { satoshis: 0, lockingScript: coins[0].lock }
  ], 0)
  const size = 4 + 1 + 2 * (36 + 1 + 107 + 4) + 1 + (8 + 1 + 25) * 3 + (8 + 3 + 202) + 4
  tx.outputs[3].satoshis = 1900 - 2 - Math.max(1, Math.floor((size + 999) / 1000))
  return tx
}
const signedTx = phoneTx()
await signedTx.sign()

function sighash (tx, index) {
  const c = coins[index]
  return Hash.hash256(TransactionSignature.format({
    sourceTXID: c.txid,
    sourceOutputIndex: c.vout,
    sourceSatoshis: c.sats,
    transactionVersion: 1,
    otherInputs: tx.inputs.filter((_, k) => k !== index),
    outputs: tx.outputs,
    inputIndex: index,
    subscript: Script.fromHex(c.lock.toHex()),
    inputSequence: 0xffffffff,
    lockTime: 0,
    scope: TransactionSignature.SIGHASH_ALL | TransactionSignature.SIGHASH_FORKID
  }))
}

const digest = Hash.hash256([1, 2, 3])
const sdk = {
  BM_Derive: await rate((i) => {
    const node = master.derive(`m/44'/236'/1'/0/${i % 1000}`)
    return [node.privKey.toHex(), node.pubKey.toString(), node.pubKey.toAddress()]
  }),
  BM_Sign: await rate((i) => {
    digest[0] = i & 255
    return ECDSA.sign(new BigNumber(digest), coins[0].key, true).toDER()
  }),
  BM_Sighash: await rate(() => sighash(signedTx, 1)),
  BM_Serialize: await rate(() => new Transaction(1, signedTx.inputs, signedTx.outputs, 0).toBinary()),
  BM_BuildAndSignPhoneTx: await rate(async () => {
    const tx = phoneTx()
    await tx.sign()
    return [tx.toHex(), tx.id('hex')]
  })
}

const report = JSON.parse(execFileSync(binary, ['--benchmark_format=json', '--benchmark_min_time=0.5'], { encoding: 'utf8' }))
console.log('operation                 ours/s        sdk/s    ours/sdk')
for (const b of report.benchmarks) {
  if (!(b.name in sdk)) continue
  const ours = 1e9 / (b.cpu_time * (b.time_unit === 'us' ? 1e3 : b.time_unit === 'ms' ? 1e6 : 1))
  const theirs = sdk[b.name]
  console.log(`${b.name.padEnd(24)} ${ours.toFixed(0).padStart(9)} ${theirs.toFixed(0).padStart(12)} ${(ours / theirs).toFixed(2).padStart(10)}x`)
}
