// Runs the wallet, identity and curve benchmark operations with @bsv/sdk and
// with our bench_wallet, bench_identity and bench_curve binaries (one run
// each) and prints our throughput over the SDK's for each: derive, sign,
// sighash, serialise, build-and-sign of the phone-record transaction; sealing
// and opening a 2000-byte record, an identity signature and its verification;
// DER signing and verification, the sealing ECDH and one child-key step, each
// also beside the same work done by direct libsecp256k1 calls (BM_Raw*).
//
// usage: node bench/compare-with-sdk.mjs [path/to/bench_wallet]   (default build/bench/bench_wallet;
//        bench_identity and bench_curve are taken from the same folder)
import { BSM, ECDSA, ECIES, Hash, HD, LockingScript, Mnemonic, P2PKH, PrivateKey, PublicKey, Script, Signature, Transaction, TransactionSignature, BigNumber } from '@bsv/sdk'
import { execFileSync } from 'node:child_process'
import { dirname, join } from 'node:path'
import { fileURLToPath } from 'node:url'

const root = join(dirname(fileURLToPath(import.meta.url)), '..')
const binary = process.argv[2] ?? join(root, 'build/bench/bench_wallet')

// Operations per second of the process's CPU time of fn, run for about
// `seconds` of it after a warm-up. CPU time, as Google Benchmark's cpu_time
// on our side, so that a busy machine slows neither side's figure.
const cpuSeconds = () => {
  const used = process.cpuUsage()
  return (used.user + used.system) / 1e6
}
async function rate (fn, seconds = 1) {
  for (let i = 0; i < 5; i++) await fn(i)
  let count = 0
  const start = cpuSeconds()
  let now = start
  while (now < start + seconds) {
    await fn(count++)
    now = cpuSeconds()
  }
  return count / (now - start)
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

// Identity and sealing, with the inputs bench_identity uses.
const idKey = PrivateKey.fromHex('1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001')
const idPub = idKey.toPublicKey()
const canonical = [...Buffer.from('CV1|cp|cphone|alice|alice|1700000000|audio|0123456789abcdef|3|gsm||0|' +
  'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855', 'utf8')]
const plain = [...Buffer.alloc(2000, 'r')]
const sealedHex = Buffer.from(ECIES.electrumEncrypt(plain, idPub)).toString('hex')
const rsBase64 = (sig) => Buffer.concat([Buffer.from(sig.r.toArray('be', 32)), Buffer.from(sig.s.toArray('be', 32))]).toString('base64')
const idSignature = rsBase64(BSM.sign(canonical, idKey, 'raw'))
Object.assign(sdk, {
  BM_Seal: await rate(() => Buffer.from(ECIES.electrumEncrypt(plain, PublicKey.fromString(idPub.toString()))).toString('hex')),
  BM_Open: await rate(() => Buffer.from(ECIES.electrumDecrypt([...Buffer.from(sealedHex, 'hex')], idKey)).toString('utf8')),
  BM_IdentitySign: await rate(() => [idKey.toPublicKey().toString(), rsBase64(BSM.sign(canonical, idKey, 'raw'))]),
  BM_IdentityVerify: await rate(() => {
    const raw = Buffer.from(idSignature, 'base64')
    const sig = new Signature(new BigNumber([...raw.subarray(0, 32)]), new BigNumber([...raw.subarray(32)]))
    return ECDSA.verify(new BigNumber(BSM.magicHash(canonical)), sig, PublicKey.fromString(idPub.toString()))
  })
})

// Curve operations, with the keys bench_curve uses.
const curveKey = PrivateKey.fromHex(Buffer.from(Hash.sha256([...Buffer.from('key')])).toString('hex'))
const curvePeer = PrivateKey.fromHex(Buffer.from(Hash.sha256([...Buffer.from('peer')])).toString('hex')).toPublicKey()
const curveDigest = Hash.hash256([1, 2, 3])
const verifyDigest = Hash.hash256([1, 2, 3])
const curveDer = ECDSA.sign(new BigNumber(verifyDigest), curveKey, true).toDER()
const curvePub = curveKey.toPublicKey().toString()
const tweak = Hash.sha256([...Buffer.from('t')])
const order = new BigNumber('fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141', 16)
Object.assign(sdk, {
  BM_CurveSign: await rate((i) => {
    curveDigest[0] = i & 255
    return ECDSA.sign(new BigNumber(curveDigest), curveKey, true).toDER()
  }),
  BM_CurveVerify: await rate(() => ECDSA.verify(new BigNumber(verifyDigest), Signature.fromDER(curveDer),
    PublicKey.fromString(curvePub))),
  BM_CurveEcdh: await rate(() => curveKey.deriveSharedSecret(PublicKey.fromString(curvePeer.toString())).encode(true)),
  BM_CurveChildKey: await rate((i) => {
    tweak[31] = i & 255
    const child = new PrivateKey(new BigNumber(tweak).add(curveKey).umod(order).toArray('be', 32))
    return child.toPublicKey().encode(true)
  })
})

const benchmarks = []
for (const file of [binary, join(dirname(binary), 'bench_identity'), join(dirname(binary), 'bench_curve')]) {
  benchmarks.push(...JSON.parse(execFileSync(file, ['--benchmark_format=json', '--benchmark_min_time=0.5'], { encoding: 'utf8' })).benchmarks)
}
const perSecond = (b) => 1e9 / (b.cpu_time * (b.time_unit === 'us' ? 1e3 : b.time_unit === 'ms' ? 1e6 : 1))
const raw = Object.fromEntries(benchmarks.filter((b) => b.name.startsWith('BM_Raw')).map((b) => [b.name, perSecond(b)]))
console.log('operation                 ours/s        sdk/s    ours/sdk        raw/s    ours/raw')
for (const b of benchmarks) {
  if (!(b.name in sdk)) continue
  const ours = perSecond(b)
  const theirs = sdk[b.name]
  const direct = raw[b.name.replace('BM_Curve', 'BM_Raw')]
  const rawColumns = direct === undefined ? '' : ` ${direct.toFixed(0).padStart(12)} ${(ours / direct).toFixed(2).padStart(10)}x`
  console.log(`${b.name.padEnd(24)} ${ours.toFixed(0).padStart(9)} ${theirs.toFixed(0).padStart(12)} ${(ours / theirs).toFixed(2).padStart(10)}x${rawColumns}`)
}
