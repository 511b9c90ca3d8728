// The "CV-LOCK1" envelope that locks a wallet file with a password:
// PBKDF2-HMAC-SHA256 turns the password and a 16-byte salt into a 32-byte
// key, and AES-256-GCM (12-byte IV, 16-byte tag, no additional data)
// encrypts the plain wallet file's exact bytes.

import { createCipheriv, createDecipheriv, pbkdf2Sync, randomBytes } from 'node:crypto'

export const LOCK_MARK = 'CV-LOCK1'
export const LOCK_KDF = 'pbkdf2-sha256'
export const LOCK_ITERATIONS = 210000
const MIN_ITERATIONS = 10000
const MAX_ITERATIONS = 5000000

// True when parsed JSON is a locked envelope (whatever its other members).
export function isLockEnvelope (value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value) && value.lock === LOCK_MARK
}

// The envelope of plain (bytes or text) under password, members in the order readers
// expect: lock, kdf, iter, salt, iv, tag, ct.
export function sealBytes (plain, password) {
  const salt = randomBytes(16)
  const iv = randomBytes(12)
  const key = pbkdf2Sync(Buffer.from(password, 'utf8'), salt, LOCK_ITERATIONS, 32, 'sha256')
  const cipher = createCipheriv('aes-256-gcm', key, iv)
  const ct = Buffer.concat([cipher.update(Buffer.isBuffer(plain) ? plain : Buffer.from(plain, 'utf8')), cipher.final()])
  const tag = cipher.getAuthTag()
  key.fill(0)
  return {
    lock: LOCK_MARK,
    kdf: LOCK_KDF,
    iter: LOCK_ITERATIONS,
    salt: salt.toString('hex'),
    iv: iv.toString('hex'),
    tag: tag.toString('hex'),
    ct: ct.toString('hex')
  }
}

// The plain bytes inside an envelope. Throws "wrong password" when the tag
// does not verify, and a plain description when the envelope is malformed.
export function openEnvelope (envelope, password) {
  if (!isLockEnvelope(envelope)) throw new Error('not a ' + LOCK_MARK + ' envelope')
  if (envelope.kdf !== LOCK_KDF) throw new Error('unknown key derivation ' + JSON.stringify(envelope.kdf))
  const iter = envelope.iter === undefined ? LOCK_ITERATIONS : envelope.iter
  if (!Number.isInteger(iter) || iter < MIN_ITERATIONS || iter > MAX_ITERATIONS) throw new Error('iteration count out of range')
  const salt = hexMember(envelope, 'salt', 16)
  const iv = hexMember(envelope, 'iv', 12)
  const tag = hexMember(envelope, 'tag', 16)
  const ct = hexMember(envelope, 'ct', 0)
  const key = pbkdf2Sync(Buffer.from(password, 'utf8'), salt, iter, 32, 'sha256')
  try {
    const decipher = createDecipheriv('aes-256-gcm', key, iv, { authTagLength: 16 })
    decipher.setAuthTag(tag)
    return Buffer.concat([decipher.update(ct), decipher.final()])
  } catch {
    throw new Error('wrong password (or the locked file is damaged)')
  } finally {
    key.fill(0)
  }
}

// A hex member of the envelope as bytes; size 0 means any non-empty length.
function hexMember (envelope, name, size) {
  const text = envelope[name]
  const valid = typeof text === 'string' && /^([0-9a-fA-F]{2})+$/.test(text) && (size === 0 || text.length === 2 * size)
  if (!valid) throw new Error('envelope member "' + name + '" is not ' + (size ? size + ' bytes of hex' : 'hex'))
  return Buffer.from(text, 'hex')
}
