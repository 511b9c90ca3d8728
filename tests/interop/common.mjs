// Shared pieces of the interoperability checks: a seeded random source (the
// seed is printed so that a failure can be replayed with KESTREL_INTEROP_SEED),
// one kestrel-tool process for a whole batch of requests, and script and
// signature-hash helpers built on @bsv/sdk.
import { Hash, LockingScript, PrivateKey, Script, TransactionSignature } from '@bsv/sdk'
import { spawnSync } from 'node:child_process'
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join } from 'node:path'

export function seededRandom (name) {
  const seed = Number(process.env.KESTREL_INTEROP_SEED ?? Math.floor(Math.random() * 2 ** 31))
  console.log(`${name}: seed ${seed} (replay with KESTREL_INTEROP_SEED=${seed})`)
  let state = seed >>> 0
  // mulberry32
  const next = () => {
    state = (state + 0x6d2b79f5) >>> 0
    let t = state
    t = Math.imul(t ^ (t >>> 15), t | 1)
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61)
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296
  }
  return {
    int: (lo, hi) => lo + Math.floor(next() * (hi - lo + 1)),
    bytes: (n) => Array.from({ length: n }, () => Math.floor(next() * 256)),
    pick: (list) => list[Math.floor(next() * list.length)],
    chance: (p) => next() < p
  }
}

// Runs every request through `kestrel-tool batch` and answers the parsed
// answer lines, in order.
export function runBatch (tool, requests) {
  const folder = mkdtempSync(join(tmpdir(), 'kestrel-interop-'))
  try {
    const file = join(folder, 'requests.jsonl')
    writeFileSync(file, requests.map((r) => JSON.stringify(r)).join('\n') + '\n')
    const run = spawnSync(tool, ['batch', '--file', file], { encoding: 'utf8', maxBuffer: 256 * 1024 * 1024 })
    if (run.status !== 0) throw new Error(`kestrel-tool batch failed (${run.status}): ${run.stderr}`)
    const answers = run.stdout.trim().split('\n').map((line) => JSON.parse(line))
    if (answers.length !== requests.length) throw new Error(`${answers.length} answers for ${requests.length} requests`)
    return answers
  } finally {
    rmSync(folder, { recursive: true, force: true })
  }
}

export const toHex = (bytes) => Buffer.from(bytes).toString('hex')

// A random non-zero private key from the seeded source.
export function randomKey (random) {
  let key
  do key = PrivateKey.fromHex(toHex(random.bytes(32)))
  while (key.toHex() === '0')
  return key
}

// A private key as the 64 hex digits kestrel-tool takes.
export const keyHex = (priv) => priv.toHex().padStart(64, '0')

// Collects failures and exits non-zero at the end with the first few shown.
export function checker (name) {
  const failures = []
  let checks = 0
  return {
    equal (actual, expected, what) {
      checks++
      if (actual !== expected) failures.push(`${what}: got ${actual}, expected ${expected}`)
    },
    ok (condition, what) {
      checks++
      if (!condition) failures.push(what)
    },
    finish () {
      if (failures.length > 0) {
        console.error(`${name}: ${failures.length} of ${checks} checks failed`)
        for (const f of failures.slice(0, 10)) console.error('  ' + f)
        process.exit(1)
      }
      console.log(`${name}: ${checks} checks passed`)
    }
  }
}

// A minimal data push of bytes (direct, PUSHDATA1 or PUSHDATA2).
export function push (bytes) {
  const n = bytes.length
  if (n < 76) return [n, ...bytes]
  if (n < 256) return [0x4c, n, ...bytes]
  return [0x4d, n & 255, n >> 8, ...bytes]
}

// The P2PKH locking script of a 20-byte key hash.
export const p2pkh = (hash) => [0x76, 0xa9, 0x14, ...hash, 0x88, 0xac]

// The SDK's ALL|FORKID signature hash (SHA-256d of its preimage) of input
// `index` of tx ({ inputs: [{ txid, vout, sats }], outputs: [{ sats, script }] },
// version 1, lock time 0, every sequence 0xffffffff) with scriptHex as the
// script code.
export function sdkSighash (tx, index, scriptHex) {
  const input = tx.inputs[index]
  const preimage = TransactionSignature.format({
    sourceTXID: input.txid,
    sourceOutputIndex: input.vout,
    sourceSatoshis: input.sats,
    transactionVersion: 1,
    otherInputs: tx.inputs.filter((_, i) => i !== index)
      .map((o) => ({ sourceTXID: o.txid, sourceOutputIndex: o.vout, sequence: 0xffffffff })),
    outputs: tx.outputs.map((o) => ({ satoshis: o.sats, lockingScript: LockingScript.fromHex(o.script) })),
    inputIndex: index,
    subscript: Script.fromHex(scriptHex),
    inputSequence: 0xffffffff,
    lockTime: 0,
    scope: TransactionSignature.SIGHASH_ALL | TransactionSignature.SIGHASH_FORKID
  })
  return toHex(Hash.hash256(preimage))
}
