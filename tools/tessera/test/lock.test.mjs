// Locking a wallet file with a password: the envelope's members, that an
// independent AES-GCM decryption recovers the file, and that unlocking
// restores it exactly and refuses a wrong password.

import { test } from 'node:test'
import assert from 'node:assert/strict'
import { createCipheriv, createDecipheriv, pbkdf2Sync, randomBytes } from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import { readJson, tempDataFolder, tessera } from './helpers.mjs'

function openIndependently (envelope, password) {
  const key = pbkdf2Sync(password, Buffer.from(envelope.salt, 'hex'), envelope.iter, 32, 'sha256')
  const decipher = createDecipheriv('aes-256-gcm', key, Buffer.from(envelope.iv, 'hex'))
  decipher.setAuthTag(Buffer.from(envelope.tag, 'hex'))
  return Buffer.concat([decipher.update(Buffer.from(envelope.ct, 'hex')), decipher.final()])
}

async function oneWallet (t) {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const made = await tessera(data.env, 'create', '--paymail', 'carol')
  assert.equal(made.status, 0, made.stderr)
  const file = path.join(data.corvane, 'wallets', made.json.id, 'wallet.json')
  return { data, id: made.json.id, file, plain: fs.readFileSync(file) }
}

test('lock writes exactly the envelope members, and unlock restores the file byte for byte', async (t) => {
  const { data, id, file, plain } = await oneWallet(t)
  const locked = await tessera(data.env, 'lock', '--wallet', id, '--password', 'correct horse')
  assert.equal(locked.status, 0, locked.stderr)
  assert.deepEqual(locked.json, { id, locked: true, file })

  const envelope = readJson(file)
  assert.deepEqual(Object.keys(envelope), ['lock', 'kdf', 'iter', 'salt', 'iv', 'tag', 'ct'])
  assert.equal(envelope.lock, 'CV-LOCK1')
  assert.equal(envelope.kdf, 'pbkdf2-sha256')
  assert.equal(envelope.iter, 210000)
  assert.match(envelope.salt, /^[0-9a-f]{32}$/)
  assert.match(envelope.iv, /^[0-9a-f]{24}$/)
  assert.match(envelope.tag, /^[0-9a-f]{32}$/)
  assert.match(envelope.ct, /^([0-9a-f]{2})+$/)
  assert.deepEqual(openIndependently(envelope, 'correct horse'), plain)

  const listed = await tessera(data.env, 'list')
  assert.equal(listed.json.wallets[0].state, 'locked')
  const address = await tessera(data.env, 'address')
  assert.equal(address.status, 1)
  assert.match(address.stderr, /is locked/)
  const twice = await tessera(data.env, 'lock', '--wallet', id, '--password', 'other')
  assert.equal(twice.status, 1)
  assert.match(twice.stderr, /already locked/)

  const lockedBytes = fs.readFileSync(file)
  const wrong = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'correct horsE')
  assert.equal(wrong.status, 1)
  assert.equal(wrong.stderr, 'tessera: wrong password (or the locked file is damaged)\n')
  assert.deepEqual(fs.readFileSync(file), lockedBytes)

  const unlocked = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'correct horse')
  assert.equal(unlocked.status, 0, unlocked.stderr)
  assert.deepEqual(unlocked.json, { id, locked: false })
  assert.deepEqual(fs.readFileSync(file), plain)
  const notLocked = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'correct horse')
  assert.equal(notLocked.status, 1)
  assert.match(notLocked.stderr, /is not locked/)
})

test('--seal keeps the plain file and marks the wallet locked by the companion', async (t) => {
  const { data, id, file, plain } = await oneWallet(t)
  const sealed = await tessera(data.env, 'lock', '--wallet', id, '--password', 'pw', '--seal')
  assert.equal(sealed.status, 0, sealed.stderr)
  assert.equal(sealed.json.file, file + '.seal')
  assert.deepEqual(fs.readFileSync(file), plain)
  assert.deepEqual(openIndependently(readJson(file + '.seal'), 'pw'), plain)
  assert.equal((await tessera(data.env, 'list')).json.wallets[0].state, 'locked')

  const wrong = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'nope')
  assert.equal(wrong.status, 1)
  assert.equal(fs.existsSync(file + '.seal'), true)
  const unlocked = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'pw')
  assert.equal(unlocked.status, 0, unlocked.stderr)
  assert.equal(fs.existsSync(file + '.seal'), false)
  assert.deepEqual(fs.readFileSync(file), plain)
  assert.equal((await tessera(data.env, 'list')).json.wallets[0].state, 'hd')
})

test('unlock reads envelopes written elsewhere: iter absent means 210000, out of range is refused', async (t) => {
  const { data, id, file, plain } = await oneWallet(t)
  const seal = (iter) => {
    const salt = randomBytes(16)
    const iv = randomBytes(12)
    const cipher = createCipheriv('aes-256-gcm', pbkdf2Sync('pw', salt, iter ?? 210000, 32, 'sha256'), iv)
    const ct = Buffer.concat([cipher.update(plain), cipher.final()])
    const envelope = { lock: 'CV-LOCK1', kdf: 'pbkdf2-sha256', iter, salt: salt.toString('hex'), iv: iv.toString('hex'), tag: cipher.getAuthTag().toString('hex'), ct: ct.toString('hex') }
    fs.writeFileSync(file, JSON.stringify(envelope))
  }
  seal(5000)
  const low = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'pw')
  assert.equal(low.status, 1)
  assert.match(low.stderr, /iteration count out of range/)

  seal(undefined)
  const absent = await tessera(data.env, 'unlock', '--wallet', id, '--password', 'pw')
  assert.equal(absent.status, 0, absent.stderr)
  assert.deepEqual(fs.readFileSync(file), plain)
})
