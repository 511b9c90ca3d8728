// The paymail side of the devnet: the service's alias registry (claims signed
// with the identity key, phone records signed with the key registered for the
// alias, roles and quotas) and the external paymail host's aliases, payment
// references and received transactions.
import { createHash, randomBytes } from 'node:crypto'
import { BSM, BigNumber, ECDSA, PrivateKey, PublicKey, Signature } from '@bsv/sdk'
import { addressToHash, p2pkhScript, sha256d } from './script.mjs'

export const ALIAS_PATTERN = /^[a-z0-9._-]{1,64}$/

// True when sigBase64 (64 bytes r||s, or 65 with a leading recovery byte) is
// an ECDSA signature by pubkeyHex over message: the Bitcoin signed-message
// digest, or the single or double SHA-256 of the message as the client's
// identity signer may fall back to. Any malformed input answers false.
export function verifyIdentitySignature(message, pubkeyHex, sigBase64) {
  try {
    if (typeof message !== 'string' || typeof pubkeyHex !== 'string' || typeof sigBase64 !== 'string') return false
    if (!/^(02|03)[0-9a-fA-F]{64}$|^04[0-9a-fA-F]{128}$/.test(pubkeyHex)) return false
    if (sigBase64.length % 4 !== 0 || !/^[A-Za-z0-9+/]+={0,2}$/.test(sigBase64)) return false
    const raw = Buffer.from(sigBase64, 'base64')
    if (raw.length !== 64 && raw.length !== 65) return false
    const rs = raw.subarray(raw.length - 64)
    const sig = new Signature(new BigNumber([...rs.subarray(0, 32)]), new BigNumber([...rs.subarray(32)]))
    const key = PublicKey.fromString(pubkeyHex)
    const bytes = Buffer.from(message, 'utf8')
    const digests = [BSM.magicHash([...bytes]), [...createHash('sha256').update(bytes).digest()], [...sha256d(bytes)]]
    return digests.some(digest => ECDSA.verify(new BigNumber(digest), sig, key))
  } catch {
    return false
  }
}

// The claim message the client signs: fields joined by "|", the BN key pair
// (or the ordinals address alone) before the ts.
export function claimMessage(c) {
  let text = `CV-PAYMAIL-CLAIM|${c.alias}|${c.pubkey}|${c.address}|${c.avatar}|`
  if (c.bnPub && c.bnAddress) text += `${c.ordAddress ?? ''}|${c.bnPub}|${c.bnAddress}|`
  else if (c.ordAddress) text += `${c.ordAddress}|`
  return text + String(c.ts)
}

export function phoneMessage(r) {
  return `CV-PAYMAIL-PHONE|${r.alias}|${r.pubkey}|${r.greetAddress}|${r.phoneFee}|${r.ts}`
}

const QUOTAS = { architect: Infinity, dev: 20 }
const ROLES = new Set(['default', 'dev', 'agent', 'operator', 'architect'])

// The service's registry. Each answer is {status, body} in the service's
// JSON shape.
export function createRegistry({ domain, log = () => {}, onChange = () => {} }) {
  let r

  function clear() {
    r = { aliases: new Map(), roles: new Map(), claims: [], phoneRecords: [], refusals: [] }
  }

  function refuse(kind, status, error, body) {
    const alias = typeof body?.alias === 'string' ? body.alias : ''
    r.refusals.push({ kind, alias, error, time: Date.now() })
    log({ event: 'refuse', via: kind, alias, reason: error })
    return { status, body: kind === 'phone' ? { ok: false, error } : { error } }
  }

  function quotaOf(pubkey) {
    const role = r.roles.get(pubkey) ?? 'default'
    return { role, limit: QUOTAS[role] ?? 10, used: [...r.aliases.values()].filter(a => a.pubkey === pubkey).length }
  }

  // POST /api/paymail/claim.
  function claim(body) {
    if (!isObject(body)) return refuse('claim', 400, 'body must be a JSON object', body)
    const { alias, pubkey, address, avatar = '', ordAddress = '', bnPub = '', bnAddress = '', ts, sig } = body
    if (typeof alias !== 'string' || !ALIAS_PATTERN.test(alias)) return refuse('claim', 400, 'alias must be 1 to 64 of a-z 0-9 . _ -', body)
    if (typeof pubkey !== 'string' || !/^(02|03)[0-9a-f]{64}$/.test(pubkey)) return refuse('claim', 400, 'pubkey must be a compressed public key in lower-case hex', body)
    if (!addressToHash(address)) return refuse('claim', 400, 'address must be a P2PKH address', body)
    if (typeof avatar !== 'string' || avatar.length > 2048) return refuse('claim', 400, 'avatar must be a text', body)
    if (typeof ordAddress !== 'string' || (ordAddress !== '' && !addressToHash(ordAddress))) return refuse('claim', 400, 'ordAddress must be a P2PKH address', body)
    if (typeof bnPub !== 'string' || typeof bnAddress !== 'string') return refuse('claim', 400, 'bnPub and bnAddress must be texts', body)
    if (!Number.isSafeInteger(ts) || ts <= 0) return refuse('claim', 400, 'ts must be a whole number of seconds', body)
    if (typeof sig !== 'string') return refuse('claim', 400, 'sig is missing', body)
    if (!verifyIdentitySignature(claimMessage({ alias, pubkey, address, avatar, ordAddress, bnPub, bnAddress, ts }), pubkey, sig)) {
      return refuse('claim', 401, 'signature does not verify', body)
    }
    const existing = r.aliases.get(alias)
    if (existing && existing.pubkey !== pubkey) return refuse('claim', 409, `${alias}@${domain} is already taken`, body)
    if (existing && ts < existing.ts) return refuse('claim', 409, 'an older claim than the one in force', body)
    if (!existing) {
      const quota = quotaOf(pubkey)
      if (quota.used >= quota.limit) return refuse('claim', 403, `paymail quota reached (${quota.limit} free labels per identity)`, body)
    }
    const entry = { alias, pubkey, address, avatar, ordAddress, bnPub, bnAddress, ts, source: 'claim', phone: existing?.phone ?? null }
    r.aliases.set(alias, entry)
    r.claims.push({ ...body, time: Date.now() })
    log({ event: 'accept', via: 'claim', alias, pubkey, address })
    onChange()
    return { status: 200, body: { ok: true, alias, paymail: `${alias}@${domain}`, address } }
  }

  // POST /api/paymail/phone.
  function phone(body) {
    if (!isObject(body)) return refuse('phone', 400, 'body must be a JSON object', body)
    const { alias, pubkey, greetAddress, phoneFee, ts, sig } = body
    if (typeof alias !== 'string' || !ALIAS_PATTERN.test(alias)) return refuse('phone', 400, 'alias must be 1 to 64 of a-z 0-9 . _ -', body)
    const entry = r.aliases.get(alias)
    if (!entry) return refuse('phone', 404, `${alias}@${domain} is not registered`, body)
    if (typeof pubkey !== 'string' || pubkey !== entry.pubkey) return refuse('phone', 403, 'pubkey is not the key registered for this alias', body)
    if (!Number.isInteger(phoneFee) || phoneFee < 1 || phoneFee > 100) return refuse('phone', 400, 'phoneFee must be a whole number from 1 to 100', body)
    if (typeof greetAddress !== 'string' || (greetAddress !== '' && !addressToHash(greetAddress))) return refuse('phone', 400, 'greetAddress must be empty or a P2PKH address', body)
    if (!Number.isSafeInteger(ts) || ts <= 0) return refuse('phone', 400, 'ts must be a whole number of seconds', body)
    if (typeof sig !== 'string' || !verifyIdentitySignature(phoneMessage({ alias, pubkey, greetAddress, phoneFee, ts }), entry.pubkey, sig)) {
      return refuse('phone', 401, 'signature does not verify', body)
    }
    if (entry.phone && ts < entry.phone.ts) return refuse('phone', 409, 'an older record than the one in force', body)
    entry.phone = { phoneFee, greetAddress, ts, sig }
    r.phoneRecords.push({ ...body, time: Date.now() })
    log({ event: 'accept', via: 'phone', alias, phoneFee, greetAddress })
    onChange()
    return { status: 200, body: { ok: true } }
  }

  // Registers an alias without a claim (test fixtures). Takes {alias,
  // privateKey (hex or WIF) | pubkey, address, avatar, phoneFee,
  // greetAddress, uncompressed}; a missing key is made; with uncompressed
  // true the identity document publishes the key in its 65-byte form. Answers
  // the entry, with the private key when one is known, or throws with a reason.
  function register(wanted) {
    if (!isObject(wanted) || typeof wanted.alias !== 'string' || !ALIAS_PATTERN.test(wanted.alias)) throw new Error('alias must be 1 to 64 of a-z 0-9 . _ -')
    let key = null
    if (typeof wanted.privateKey === 'string') key = /^[0-9a-fA-F]{64}$/.test(wanted.privateKey) ? PrivateKey.fromHex(wanted.privateKey) : PrivateKey.fromWif(wanted.privateKey)
    else if (wanted.pubkey === undefined) key = PrivateKey.fromRandom()
    const pubkey = key ? key.toPublicKey().toString() : String(wanted.pubkey).toLowerCase()
    if (!/^(02|03)[0-9a-f]{64}$/.test(pubkey)) throw new Error('pubkey must be a compressed public key in hex')
    const address = wanted.address ?? (key ? key.toAddress() : PublicKey.fromString(pubkey).toAddress())
    if (!addressToHash(address)) throw new Error('address must be a P2PKH address')
    const entry = { alias: wanted.alias, pubkey, address, avatar: String(wanted.avatar ?? ''), ordAddress: '', bnPub: '', bnAddress: '', ts: 0, source: 'control', phone: null }
    if (wanted.uncompressed === true) entry.publishedKey = Buffer.from(PublicKey.fromString(pubkey).encode(false)).toString('hex')
    if (wanted.phoneFee !== undefined || wanted.greetAddress !== undefined) {
      entry.phone = { phoneFee: Number(wanted.phoneFee ?? 1), greetAddress: String(wanted.greetAddress ?? ''), ts: 0, sig: '' }
    }
    r.aliases.set(wanted.alias, entry)
    log({ event: 'register', alias: wanted.alias, pubkey, address })
    onChange()
    const answer = { ...entry, paymail: `${entry.alias}@${domain}` }
    if (key) answer.privateKey = key.toHex()
    return answer
  }

  function setRole(pubkey, role) {
    if (!ROLES.has(role)) throw new Error(`role must be one of ${[...ROLES].join(', ')}`)
    if (role === 'default') r.roles.delete(pubkey)
    else r.roles.set(pubkey, role)
    onChange()
  }

  // "alice@domain" (case-insensitive, URL-decoded by the caller) → the entry.
  function lookup(paymail) {
    const at = paymail.lastIndexOf('@')
    if (at < 1 || paymail.slice(at + 1).toLowerCase() !== domain.toLowerCase()) return null
    return r.aliases.get(paymail.slice(0, at).toLowerCase()) ?? null
  }

  function quota(pubkey) {
    const q = quotaOf(pubkey.toLowerCase())
    return { pubkey: pubkey.toLowerCase(), role: q.role, used: q.used, limit: q.limit === Infinity ? null : q.limit }
  }

  function save() {
    return { aliases: [...r.aliases.values()], roles: [...r.roles.entries()], claims: r.claims, phoneRecords: r.phoneRecords, refusals: r.refusals }
  }

  function load(saved) {
    clear()
    for (const entry of saved.aliases ?? []) r.aliases.set(entry.alias, entry)
    for (const [key, role] of saved.roles ?? []) r.roles.set(key, role)
    r.claims = saved.claims ?? []
    r.phoneRecords = saved.phoneRecords ?? []
    r.refusals = saved.refusals ?? []
  }

  clear()
  return {
    claim,
    phone,
    // A claim or phone record whose body did not parse; recorded like the rest.
    malformed: (kind, error) => refuse(kind, 400, error, null),
    register,
    setRole,
    lookup,
    quota,
    save,
    load,
    reset: () => {
      clear()
      onChange()
    },
    snapshot: () => ({ aliases: [...r.aliases.values()], claims: r.claims, phoneRecords: r.phoneRecords, refusals: r.refusals })
  }
}

// The external paymail host: every well-formed alias exists, with a key
// derived from the host's seed, so tests can pay anybody there and then look
// the key up through the control API.
export function createExternalHost({ domain, seed = randomBytes(32).toString('hex'), log = () => {}, onChange = () => {} }) {
  let references = new Map()
  let deliveries = []

  function alias(name) {
    const key = PrivateKey.fromHex(createHash('sha256').update(`${seed}:${name}`).digest('hex'))
    const address = key.toAddress()
    return { alias: name, paymail: `${name}@${domain}`, address, pubkey: key.toPublicKey().toString(), privateKey: key.toHex(), wif: key.toWif(), script: p2pkhScript(addressToHash(address)).toString('hex') }
  }

  // A P2P payment destination for satoshis: one output and a reference.
  function destination(name, satoshis) {
    const a = alias(name)
    const reference = randomBytes(16).toString('hex')
    references.set(reference, { alias: name, satoshis, script: a.script, address: a.address, time: Date.now() })
    log({ event: 'destination', alias: name, satoshis, reference })
    onChange()
    return { outputs: [{ script: a.script, satoshis }], reference }
  }

  function reference(ref) {
    return references.get(ref) ?? null
  }

  function recordDelivery(entry) {
    deliveries.push({ ...entry, time: Date.now() })
    log({ event: entry.accepted ? 'accept' : 'refuse', via: 'receive-transaction', alias: entry.alias, txid: entry.txid, reason: entry.error })
    onChange()
  }

  return {
    domain,
    alias,
    destination,
    reference,
    recordDelivery,
    deliveries: () => deliveries,
    save: () => ({ seed, references: [...references.entries()], deliveries }),
    load: saved => {
      seed = saved.seed ?? seed
      references = new Map(saved.references ?? [])
      deliveries = saved.deliveries ?? []
    },
    reset: () => {
      references = new Map()
      deliveries = []
      onChange()
    }
  }
}

export function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value)
}
