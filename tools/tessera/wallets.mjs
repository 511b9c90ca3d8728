// The wallets the stand-in keeps: each in "wallets/<id>/wallet.json" and
// listed in the registry. Creating and importing register the new wallet
// under the registry lock; locking and unlocking touch only the wallet file
// and its ".seal" companion.

import fs from 'node:fs'
import {
  isSafeId, newStampId, parseJsonOrUndefined, readTextOrNull, replaceFileAtomically,
  walletFilePath, walletFolder, walletsFolder
} from './files.mjs'
import { listedWallets, loadRegistry, saveRegistry, withRegistryLock } from './registry.mjs'
import { isLockEnvelope, openEnvelope, sealBytes } from './lock.mjs'

// Writes a new wallet file and registers it; answers { id, wallet }. The
// registry's "active" is pointed at the new wallet when it names no listed
// wallet. name defaults to the paymail alias, else "Wallet N".
export async function addWallet (wallet, name) {
  return withRegistryLock(() => {
    const registry = loadRegistry()
    const listed = listedWallets(registry)
    const id = unusedId(listed)
    fs.mkdirSync(walletFolder(id), { mode: 0o700 })
    try {
      replaceFileAtomically(walletFilePath(id), walletText(wallet))
      const shownName = name || wallet.paymail || 'Wallet ' + (listed.length + 1)
      registry.wallets.push({ id, name: shownName })
      if (!listed.some((entry) => entry.id === registry.active)) registry.active = id
      saveRegistry(registry)
    } catch (err) {
      fs.rmSync(walletFolder(id), { recursive: true, force: true })
      throw err
    }
    return { id, wallet }
  })
}

// The registry's wallets with what their files say: { wallets: [{ id, name,
// active, state, paymail }], active }. state is "hd", "key", "locked",
// "missing" or "unreadable".
export async function listWallets () {
  const registry = await withRegistryLock(loadRegistry)
  const active = typeof registry.active === 'string' ? registry.active : ''
  const wallets = listedWallets(registry).map(({ id, name }) => {
    const file = isSafeId(id) ? readWalletFile(id) : { state: 'missing', wallet: null }
    const paymail = file.wallet && typeof file.wallet.paymail === 'string' ? file.wallet.paymail : ''
    return { id, name, active: id === active, state: file.state, paymail }
  })
  return { wallets, active }
}

// The id of the wallet to act for: the given one (which must be listed), else
// the registry's "active" wallet, else the first listed. Throws when there is
// none or its folder holds no wallet file.
export function chooseWallet (registry, requested) {
  const listed = listedWallets(registry)
  let id
  if (requested) {
    if (!listed.some((entry) => entry.id === requested)) throw new Error('no wallet ' + requested + ' in the registry')
    id = requested
  } else {
    if (listed.length === 0) throw new Error('no wallet yet; use tessera create first')
    id = listed.some((entry) => entry.id === registry.active) ? registry.active : listed[0].id
  }
  if (!isSafeId(id) || !fs.existsSync(walletFilePath(id))) throw new Error('wallet ' + id + ' has no wallet file')
  return id
}

export async function chooseListedWallet (requested) {
  return withRegistryLock(() => chooseWallet(loadRegistry(), requested))
}

// { state, wallet } of a wallet's file: state "hd" or "key" with the parsed
// wallet, "locked" (envelope or ".seal" companion), "missing" or
// "unreadable", with wallet null.
export function readWalletFile (id) {
  const text = readTextOrNull(walletFilePath(id))
  if (text === null) return { state: 'missing', wallet: null }
  const wallet = parseJsonOrUndefined(text)
  if (isLockEnvelope(wallet) || fs.existsSync(sealPath(id))) return { state: 'locked', wallet: null }
  if (wallet === null || typeof wallet !== 'object' || Array.isArray(wallet)) return { state: 'unreadable', wallet: null }
  if (typeof wallet.mnemonic === 'string') return { state: 'hd', wallet }
  if (typeof wallet.priv === 'string') return { state: 'key', wallet }
  return { state: 'unreadable', wallet: null }
}

// The parsed plain wallet file; throws when it is locked, missing or
// unreadable.
export function plainWallet (id) {
  const { state, wallet } = readWalletFile(id)
  if (state === 'locked') throw new Error('wallet ' + id + ' is locked; use tessera unlock first')
  if (wallet === null) throw new Error('wallet ' + id + ' has no readable wallet file')
  return wallet
}

// Locks a wallet with password: the envelope replaces the wallet file, or
// with seal is written beside it as "wallet.json.seal" (the plain file
// stays, and the companion alone marks the wallet locked).
export function lockWallet (id, password, seal) {
  requireWalletId(id)
  const file = walletFilePath(id)
  if (!fs.existsSync(file)) throw new Error('wallet ' + id + ' has no wallet file')
  const plain = fs.readFileSync(file)
  const parsed = parseJsonOrUndefined(plain.toString('utf8'))
  if (isLockEnvelope(parsed) || fs.existsSync(sealPath(id))) throw new Error('wallet ' + id + ' is already locked')
  if (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)) throw new Error('wallet ' + id + ' is not a readable wallet file')
  const envelopeText = JSON.stringify(sealBytes(plain, password), null, 2) + '\n'
  replaceFileAtomically(seal ? sealPath(id) : file, envelopeText)
  return { id, locked: true, file: seal ? sealPath(id) : file }
}

// Unlocks a wallet: opens every envelope it has (the file itself and the
// ".seal" companion) with password, writes the plain file back and removes
// the companion. A wrong password changes nothing.
export function unlockWallet (id, password) {
  requireWalletId(id)
  const file = walletFilePath(id)
  const mainText = readTextOrNull(file)
  const sealText = readTextOrNull(sealPath(id))
  const main = mainText === null ? undefined : parseJsonOrUndefined(mainText)
  const mainLocked = isLockEnvelope(main)
  if (mainText === null && sealText === null) throw new Error('wallet ' + id + ' has no wallet file')
  if (!mainLocked && sealText === null) throw new Error('wallet ' + id + ' is not locked')
  const fromMain = mainLocked ? openEnvelope(main, password) : null
  const fromSeal = sealText === null ? null : openEnvelope(parseJsonOrUndefined(sealText), password)
  const plainMissing = !mainLocked && (main === undefined || main === null || typeof main !== 'object')
  if (fromMain !== null) {
    replaceFileAtomically(file, fromMain)
  } else if (plainMissing) {
    replaceFileAtomically(file, fromSeal)
  }
  fs.rmSync(sealPath(id), { force: true })
  return { id, locked: false }
}

export const sealPath = (id) => walletFilePath(id) + '.seal'

// Members in the order they were built, two-space indentation.
function walletText (wallet) {
  return JSON.stringify(wallet, null, 2) + '\n'
}

// "w" + milliseconds, moved on past any id that is listed or has a folder.
function unusedId (listed) {
  fs.mkdirSync(walletsFolder(), { recursive: true, mode: 0o700 })
  let id = newStampId()
  while (listed.some((entry) => entry.id === id) || fs.existsSync(walletFolder(id))) {
    id = 'w' + (Number(id.slice(1)) + 1)
  }
  return id
}

function requireWalletId (id) {
  if (!isSafeId(id)) throw new Error('not a wallet id: ' + JSON.stringify(id))
}
