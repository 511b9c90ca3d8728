// Phone payload sends in fast mode against a devnet of its own, beside the
// time @bsv/sdk takes to build and sign the same transaction.
//
// usage: node bench/phone-send.mjs [path/to/bench_phone_send] [sends]
//        (default build/bench/bench_phone_send, 100 sends)
// Starts a devnet in this process, makes a wallet with the Tessera stand-in in
// a temporary data folder, runs the C++ sender, then times the SDK.
import { HD, LockingScript, Mnemonic, P2PKH, Transaction, Utils } from '@bsv/sdk'
import { execFile, execFileSync } from 'node:child_process'
import fs from 'node:fs'
import os from 'node:os'
import { dirname, join } from 'node:path'
import { fileURLToPath } from 'node:url'
import { promisify } from 'node:util'
import { startDevnet } from '../devnet/lib/devnet.mjs'

const root = join(dirname(fileURLToPath(import.meta.url)), '..')
const binary = process.argv[2] ?? join(root, 'build/bench/bench_phone_send')
const sends = Number(process.argv[3] ?? 100)
const payloadBytes = 150

const data = fs.mkdtempSync(join(os.tmpdir(), 'kestrel-bench-'))
const env = { ...process.env, LOCALAPPDATA: data }
const dv = await startDevnet({ lifetime: 900 })
try {
  const startLine = join(data, 'devnet.json')
  fs.writeFileSync(startLine, JSON.stringify(dv.info))
  const wallet = JSON.parse(execFileSync(join(root, 'tools/tessera/tessera'), ['create', '--name', 'bench'], { env, encoding: 'utf8' }))

  // The devnet answers from this process, so the sender runs asynchronously.
  const { stdout } = await promisify(execFile)(binary, ['--devnet', startLine, '--wallet-id', wallet.id, '--sends', String(sends), '--payload-bytes', String(payloadBytes)], { env, encoding: 'utf8' })
  const ours = JSON.parse(stdout.trim().split('\n').pop())

  // The same transaction with the SDK: one P2PKH input of 2000 sats from the
  // receive key, 1 sat to the other phone, 1 to the service, the payload, and
  // change at 100 sats per 1000 bytes of the estimate.
  const file = JSON.parse(fs.readFileSync(join(data, 'Corvane', 'wallets', wallet.id, 'wallet.json'), 'utf8'))
  const key = HD.fromSeed(new Mnemonic(file.mnemonic).toSeed()).derive("m/44'/236'/1'/0/0").privKey
  const own = new P2PKH().lock(key.toPublicKey().toAddress())
  const payload = LockingScript.fromHex('006a' + pushHex(Buffer.alloc(payloadBytes, 'p')))
  const outputsSize = (8 + 1 + 25) * 3 + 8 + payload.toHex().length / 2 + 1
  const size = 4 + 1 + (36 + 1 + 107 + 4) + 1 + outputsSize + 4
  const fee = Math.floor((100 * size + 999) / 1000)
  const build = async () => {
    const tx = new Transaction(1, [{
      sourceTXID: 'ab'.repeat(32),
      sourceOutputIndex: 0,
      sequence: 0xffffffff,
      unlockingScriptTemplate: new P2PKH().unlock(key, 'all', false, 2000, own)
    }], [
      { satoshis: 1, lockingScript: new P2PKH().lock('1BoatSLRHtKNngkdXEeobR76b53LETtpyT') },
      { satoshis: 1, lockingScript: new P2PKH().lock(dv.info.config.message_fee_address) },
      { satoshis: 0, lockingScript: payload },
      { satoshis: 2000 - 2 - fee, lockingScript: own }
    ], 0)
    await tx.sign()
    return [tx.toHex(), tx.id('hex')]
  }
  for (let i = 0; i < 20; i++) await build()
  const times = []
  for (let i = 0; i < 200; i++) {
    const start = process.hrtime.bigint()
    await build()
    times.push(Number(process.hrtime.bigint() - start) / 1e6)
  }
  times.sort((a, b) => a - b)
  const sdkMs = (times[99] + times[100]) / 2

  console.log(`fast-mode phone sends to the devnet: ${ours.sends} sends (${ours.failures} failed) in ${ours.seconds.toFixed(2)} s`)
  console.log(`  ${ours.sends_per_second.toFixed(1)} sends/s, median ${ours.median_ms.toFixed(2)} ms, p90 ${ours.p90_ms.toFixed(2)} ms per send`)
  console.log(`build + sign of the same ${payloadBytes}-byte payload transaction (median):`)
  console.log(`  ours ${ours.build_sign_ms.toFixed(3)} ms, @bsv/sdk ${sdkMs.toFixed(3)} ms`)
  console.log(JSON.stringify({ ...ours, sdk_build_sign_ms: sdkMs }))
} finally {
  await dv.stop()
  fs.rmSync(data, { recursive: true, force: true })
}

function pushHex (bytes) {
  const n = bytes.length
  const head = n < 76 ? Utils.toHex([n]) : n < 256 ? '4c' + Utils.toHex([n]) : '4d' + Utils.toHex([n & 255, n >> 8])
  return head + bytes.toString('hex')
}
