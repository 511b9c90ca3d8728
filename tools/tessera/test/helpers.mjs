// Shared pieces of the stand-in's tests: a temporary data folder per test,
// running the command line against it, and an independent BIP-32 / address
// implementation on node:crypto alone to check the SDK-made wallets against.

import { execFile, spawn } from 'node:child_process'
import { createECDH, createHash, createHmac, pbkdf2Sync } from 'node:crypto'
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { fileURLToPath } from 'node:url'

export const TESSERA = fileURLToPath(new URL('../tessera', import.meta.url))
export const REPO = fileURLToPath(new URL('../../../', import.meta.url))

// A fresh LOCALAPPDATA; answers { env, corvane, cleanup }.
export function tempDataFolder () {
  const base = fs.mkdtempSync(path.join(os.tmpdir(), 'tessera-test-'))
  const env = { ...process.env, LOCALAPPDATA: base }
  return { env, corvane: path.join(base, 'Corvane'), cleanup: () => fs.rmSync(base, { recursive: true, force: true }) }
}

// Runs "tessera ARGS" to its end: { status, stdout, stderr, json }.
export function tessera (env, ...args) {
  return new Promise((resolve) => {
    execFile(process.execPath, [TESSERA, ...args], { env }, (err, stdout, stderr) => {
      const status = err ? (typeof err.code === 'number' ? err.code : -1) : 0
      let json
      try { json = JSON.parse(stdout) } catch { json = undefined }
      resolve({ status, stdout, stderr, json })
    })
  })
}

// Starts "tessera ARGS" and leaves it running: the child process.
export function startTessera (env, ...args) {
  return spawn(process.execPath, [TESSERA, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] })
}

export function readJson (file) {
  return JSON.parse(fs.readFileSync(file, 'utf8'))
}

// Resolves when a stream has printed a line matching re; answers that line.
export function lineMatching (stream, re) {
  return new Promise((resolve, reject) => {
    let text = ''
    const onData = (chunk) => {
      text += chunk
      const line = text.split('\n').find((candidate) => re.test(candidate))
      if (line !== undefined) { stream.off('data', onData); resolve(line) }
    }
    stream.setEncoding('utf8')
    stream.on('data', onData)
    stream.once('end', () => reject(new Error('stream ended without ' + re + '; got ' + JSON.stringify(text))))
  })
}

export function exitOf (child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) resolve(child.exitCode)
    else child.once('exit', (code) => resolve(code))
  })
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms))

// ---- an independent BIP-39 seed, BIP-32 derivation and P2PKH address ----

const N = 0xfffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141n

export function seedOfPhrase (phrase) {
  return pbkdf2Sync(Buffer.from(phrase, 'utf8'), Buffer.from('mnemonic', 'utf8'), 2048, 64, 'sha512')
}

export function masterOfSeed (seed) {
  const I = createHmac('sha512', 'Bitcoin seed').update(seed).digest()
  return { key: I.subarray(0, 32), chain: I.subarray(32) }
}

export function publicKeyOf (priv) {
  const ecdh = createECDH('secp256k1')
  ecdh.setPrivateKey(priv)
  return ecdh.getPublicKey(null, 'compressed')
}

// Derives "m/a'/b/..." below a master { key, chain }.
export function derivePath (master, pathText) {
  let node = master
  for (const level of pathText.split('/').slice(1)) {
    const hardened = level.endsWith("'")
    const index = (parseInt(level, 10) + (hardened ? 0x80000000 : 0)) >>> 0
    const indexBytes = Buffer.alloc(4)
    indexBytes.writeUInt32BE(index)
    const data = hardened
      ? Buffer.concat([Buffer.alloc(1), node.key, indexBytes])
      : Buffer.concat([publicKeyOf(node.key), indexBytes])
    const I = createHmac('sha512', node.chain).update(data).digest()
    const child = (BigInt('0x' + I.subarray(0, 32).toString('hex')) + BigInt('0x' + node.key.toString('hex'))) % N
    node = { key: Buffer.from(child.toString(16).padStart(64, '0'), 'hex'), chain: I.subarray(32) }
  }
  return node
}

const BASE58 = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz'

export function addressOfPublicKey (pub) {
  const hash160 = createHash('ripemd160').update(createHash('sha256').update(pub).digest()).digest()
  const payload = Buffer.concat([Buffer.from([0]), hash160])
  const check = createHash('sha256').update(createHash('sha256').update(payload).digest()).digest().subarray(0, 4)
  const bytes = Buffer.concat([payload, check])
  let value = BigInt('0x' + bytes.toString('hex'))
  let text = ''
  while (value > 0n) { text = BASE58[Number(value % 58n)] + text; value /= 58n }
  for (const byte of bytes) { if (byte !== 0) break; text = '1' + text }
  return text
}

export function addressAt (phrase, pathText) {
  return addressOfPublicKey(publicKeyOf(derivePath(masterOfSeed(seedOfPhrase(phrase)), pathText).key))
}
