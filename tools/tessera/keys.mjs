// Recovery phrases, key paths and the plain wallet file, made with @bsv/sdk so
// that the wallets come from an implementation independent of Kestrel's.
//
// Paths are m/44'/236'/account'/0/index: account 1' receives, 5' holds
// inscriptions, 100' is the identity key, 103' the answer-phone greeting.

import { randomBytes } from 'node:crypto'
import { HD, Hash, Mnemonic, PrivateKey, Utils } from '@bsv/sdk'

const ORDER = 0xfffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141n

export const RECEIVE_ACCOUNT = 1
export const ORDINALS_ACCOUNT = 5
export const IDENTITY_ACCOUNT = 100
export const GREETING_ACCOUNT = 103

// A fresh 12-word English phrase from 16 random bytes.
export function newPhrase () {
  return Mnemonic.fromEntropy([...randomBytes(16)]).toString()
}

// The phrase in the form it is stored: words lower-cased and joined by single
// spaces. Answers null unless it is exactly 12 English words with a correct
// checksum (the SDK's own check also passes 3, 6 and 9 words).
export function normalisePhrase (text) {
  const words = String(text).split(/[ \t]+/).filter((word) => word !== '').map((word) => word.toLowerCase())
  if (words.length !== 12) return null
  const phrase = words.join(' ')
  try {
    return Mnemonic.fromString(phrase).check() ? phrase : null
  } catch {
    return null
  }
}

// The key node m/44'/236' of a phrase, below which every path of the wallet
// lies. The seed is made from the phrase exactly as stored (no passphrase),
// which is what Kestrel does too.
export function walletRootOf (storedPhrase) {
  const seed = Hash.pbkdf2(Utils.toArray(storedPhrase, 'utf8'), Utils.toArray('mnemonic', 'utf8'), 2048, 64, 'sha512')
  return HD.fromSeed(seed).derive("m/44'/236'")
}

// { priv, pub, address } of m/44'/236'/account'/0/index, given the root node.
export function deriveKey (root, account, index) {
  return keyRecord(root.derive(`m/${account}'/0/${index}`).privKey)
}

// A private key from 64 hex digits, or null when it is not a valid secp256k1
// scalar (zero or not below the group order).
export function privateKeyFromHex (hex) {
  if (typeof hex !== 'string' || !/^[0-9a-fA-F]{64}$/.test(hex)) return null
  const value = BigInt('0x' + hex)
  if (value === 0n || value >= ORDER) return null
  return PrivateKey.fromHex(hex.toLowerCase())
}

export function keyRecord (key) {
  return {
    priv: key.toHex().padStart(64, '0'),
    pub: key.toPublicKey().toString(),
    address: key.toAddress()
  }
}

// A new phrase wallet file, every member in the order Kestrel writes them.
export function phraseWalletFile (phrase, paymail) {
  const root = walletRootOf(phrase)
  return {
    version: 2,
    mnemonic: phrase,
    backup: false,
    recv: [0, 0, 0, 0, 0, 0],
    show: 0,
    identity: deriveKey(root, IDENTITY_ACCOUNT, 0).address,
    address: deriveKey(root, RECEIVE_ACCOUNT, 0).address,
    paymail,
    ord_avatar: {},
    ord_owned: [],
    contacts: []
  }
}

// A single-key wallet file: the key is the receive key; there is no phrase.
export function singleKeyWalletFile (key, paymail) {
  const record = keyRecord(key)
  return {
    priv: record.priv,
    pub: record.pub,
    address: record.address,
    paymail,
    ord_avatar: {},
    ord_owned: [],
    contacts: []
  }
}

// The addresses a wallet file stands for, derived afresh (stored "address"
// and "identity" members are not trusted): receive (account 1' at "show",
// lowered to the highest receive index in use), identity, greeting, the
// ordinals address and the identity public key. A single-key wallet has only
// its receive address; the others are empty. Throws on a file that is
// neither form or whose phrase or key is invalid.
export function walletAddresses (wallet) {
  if (typeof wallet.mnemonic === 'string') {
    if (normalisePhrase(wallet.mnemonic) === null) throw new Error('the wallet phrase is not a valid 12-word phrase')
    const counters = Array.from({ length: 6 }, (_, i) => counterOf(Array.isArray(wallet.recv) ? wallet.recv[i] : 0))
    const shown = Math.min(counterOf(wallet.show), counters[RECEIVE_ACCOUNT])
    const root = walletRootOf(wallet.mnemonic)
    const identity = deriveKey(root, IDENTITY_ACCOUNT, 0)
    return {
      kind: 'hd',
      receive: deriveKey(root, RECEIVE_ACCOUNT, shown).address,
      identity: identity.address,
      greeting: deriveKey(root, GREETING_ACCOUNT, 0).address,
      ordinals: deriveKey(root, ORDINALS_ACCOUNT, counters[ORDINALS_ACCOUNT]).address,
      identity_pubkey: identity.pub
    }
  }
  if (typeof wallet.priv === 'string') {
    const key = privateKeyFromHex(wallet.priv)
    if (key === null) throw new Error('the wallet key is not a valid private key')
    return { kind: 'key', receive: key.toAddress(), identity: '', greeting: '', ordinals: '', identity_pubkey: '' }
  }
  throw new Error('the wallet file holds neither a phrase nor a key')
}

// A missing or malformed counter reads as 0; one that would reach the
// hardened indexes has no address of this layout and is refused.
function counterOf (value) {
  if (!Number.isInteger(value) || value < 0) return 0
  if (value >= 0x80000000) throw new Error('address counter ' + value + ' is out of range')
  return value
}
