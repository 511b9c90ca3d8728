// The Corvane data folder and the files the Tessera stand-in shares with
// Kestrel: where they live, how they are read, and how they are replaced so
// that a reader never sees half a file.

import fs from 'node:fs'

// LOCALAPPDATA when set and not empty, else $XDG_DATA_HOME, else
// $HOME/.local/share (else "."), then "/Corvane"; created on demand, the same
// rule as Kestrel's own data folder.
export function dataFolder () {
  const folder = dataFolderPath()
  fs.mkdirSync(folder, { recursive: true, mode: 0o700 })
  return folder
}

// The same path without creating it.
export function dataFolderPath () {
  let base = process.env.LOCALAPPDATA || ''
  if (base === '') base = process.env.XDG_DATA_HOME || ''
  if (base === '') {
    const home = process.env.HOME || ''
    base = home === '' ? '.' : home + '/.local/share'
  }
  return base + '/Corvane'
}

export const registryPath = () => dataFolder() + '/wallets.json'
export const registryLockPath = () => dataFolder() + '/wallets.lock'
export const walletsFolder = () => dataFolder() + '/wallets'
export const walletFolder = (id) => walletsFolder() + '/' + id
export const walletFilePath = (id) => walletFolder(id) + '/wallet.json'
export const connectFolder = () => dataFolder() + '/connect'

// "w" followed by the milliseconds since 1970, as Kestrel names request ids
// and wallet folders.
export function newStampId () {
  return 'w' + Date.now()
}

// Wallet ids name folders: refuse anything that could leave "/wallets".
export function isSafeId (id) {
  return typeof id === 'string' && /^[A-Za-z0-9_.-]+$/.test(id) && id !== '.' && id !== '..'
}

// The text of a file, or null when it does not exist.
export function readTextOrNull (file) {
  try {
    return fs.readFileSync(file, 'utf8')
  } catch (err) {
    if (err.code === 'ENOENT') return null
    throw err
  }
}

// Parsed JSON of text, or undefined when it does not parse.
export function parseJsonOrUndefined (text) {
  try {
    return JSON.parse(text)
  } catch {
    return undefined
  }
}

// Writes text to "<file>.tmp", flushes it and renames it over file, so
// readers see either the old or the new whole file. On failure the old
// file stays and the temporary is removed.
export function replaceFileAtomically (file, text, mode = 0o600) {
  const tmp = file + '.tmp'
  try {
    const fd = fs.openSync(tmp, 'w', mode)
    try {
      fs.writeFileSync(fd, text)
      fs.fsyncSync(fd)
    } finally {
      fs.closeSync(fd)
    }
    fs.renameSync(tmp, file)
  } catch (err) {
    fs.rmSync(tmp, { force: true })
    throw err
  }
}

// JSON with two-space indentation and members in ascending byte order at
// every level, the way Kestrel's JSON library writes objects. (JSON.stringify
// alone cannot: JavaScript objects put integer-like keys first.)
export function sortedJson (value, indent = '') {
  if (value === null || typeof value !== 'object') return JSON.stringify(value) ?? 'null'
  const inner = indent + '  '
  if (Array.isArray(value)) {
    if (value.length === 0) return '[]'
    return '[\n' + value.map((item) => inner + sortedJson(item, inner)).join(',\n') + '\n' + indent + ']'
  }
  const keys = Object.keys(value).filter((key) => value[key] !== undefined).sort(byBytes)
  if (keys.length === 0) return '{}'
  const members = keys.map((key) => inner + JSON.stringify(key) + ': ' + sortedJson(value[key], inner))
  return '{\n' + members.join(',\n') + '\n' + indent + '}'
}

function byBytes (a, b) {
  return Buffer.compare(Buffer.from(a, 'utf8'), Buffer.from(b, 'utf8'))
}
