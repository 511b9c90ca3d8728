// Creating, importing, listing and deriving: the wallet files the stand-in
// writes and the addresses it reports, checked against an independent
// derivation of the same paths.

import { test } from 'node:test'
import assert from 'node:assert/strict'
import fs from 'node:fs'
import path from 'node:path'
import { normalisePhrase, privateKeyFromHex } from '../keys.mjs'
import { REPO, addressAt, addressOfPublicKey, publicKeyOf, readJson, tempDataFolder, tessera } from './helpers.mjs'

const ABOUT = 'abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about'
const PHRASE_MEMBERS = ['version', 'mnemonic', 'backup', 'recv', 'show', 'identity', 'address', 'paymail', 'ord_avatar', 'ord_owned', 'contacts']
const KEY_MEMBERS = ['priv', 'pub', 'address', 'paymail', 'ord_avatar', 'ord_owned', 'contacts']

test('create, list and address agree, and the files hold every member in order', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const first = await tessera(data.env, 'create', '--paymail', '@Alice')
  assert.equal(first.status, 0, first.stderr)
  const second = await tessera(data.env, 'create', '--name', 'Savings')
  assert.equal(second.status, 0, second.stderr)
  assert.deepEqual(Object.keys(first.json), ['id', 'receive', 'identity'])
  assert.match(first.json.id, /^w\d{13,}$/)
  assert.notEqual(first.json.id, second.json.id)

  const wallet = readJson(path.join(data.corvane, 'wallets', first.json.id, 'wallet.json'))
  assert.deepEqual(Object.keys(wallet), PHRASE_MEMBERS)
  assert.equal(wallet.version, 2)
  assert.equal(wallet.mnemonic.split(' ').length, 12)
  assert.equal(normalisePhrase(wallet.mnemonic), wallet.mnemonic)
  assert.deepEqual(wallet.recv, [0, 0, 0, 0, 0, 0])
  assert.equal(wallet.show, 0)
  assert.equal(wallet.backup, false)
  assert.equal(wallet.paymail, 'alice')
  assert.deepEqual([wallet.ord_avatar, wallet.ord_owned, wallet.contacts], [{}, [], []])
  assert.equal(wallet.address, first.json.receive)
  assert.equal(wallet.identity, first.json.identity)

  const registry = readJson(path.join(data.corvane, 'wallets.json'))
  assert.deepEqual(registry, {
    active: first.json.id,
    wallets: [{ id: first.json.id, name: 'alice' }, { id: second.json.id, name: 'Savings' }]
  })

  const listed = await tessera(data.env, 'list')
  assert.equal(listed.status, 0, listed.stderr)
  assert.deepEqual(listed.json, {
    wallets: [
      { id: first.json.id, name: 'alice', active: true, state: 'hd', paymail: 'alice' },
      { id: second.json.id, name: 'Savings', active: false, state: 'hd', paymail: '' }
    ],
    active: first.json.id
  })

  const active = await tessera(data.env, 'address')
  assert.equal(active.json.id, first.json.id)
  assert.equal(active.json.receive, first.json.receive)
  assert.equal(active.json.identity, first.json.identity)
  const other = await tessera(data.env, 'address', '--wallet', second.json.id)
  assert.equal(other.json.receive, second.json.receive)
  const unknown = await tessera(data.env, 'address', '--wallet', 'w1')
  assert.equal(unknown.status, 1)
  assert.match(unknown.stderr, /^tessera: no wallet w1 in the registry\n$/)
})

test('every address equals an independent derivation of its path', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const made = await tessera(data.env, 'create', '--phrase', ABOUT)
  assert.equal(made.status, 0, made.stderr)
  const fresh = await tessera(data.env, 'create')
  const freshPhrase = readJson(path.join(data.corvane, 'wallets', fresh.json.id, 'wallet.json')).mnemonic

  for (const [id, phrase] of [[made.json.id, ABOUT], [fresh.json.id, freshPhrase]]) {
    const shown = await tessera(data.env, 'address', '--wallet', id)
    assert.equal(shown.status, 0, shown.stderr)
    assert.deepEqual(shown.json, {
      id,
      kind: 'hd',
      receive: addressAt(phrase, "m/44'/236'/1'/0/0"),
      identity: addressAt(phrase, "m/44'/236'/100'/0/0"),
      greeting: addressAt(phrase, "m/44'/236'/103'/0/0"),
      ordinals: addressAt(phrase, "m/44'/236'/5'/0/0"),
      identity_pubkey: shown.json.identity_pubkey
    })
    assert.equal(addressOfPublicKey(Buffer.from(shown.json.identity_pubkey, 'hex')), shown.json.identity)
  }

  // The receive index is "show", but never above the highest receive index
  // in use; the ordinals address follows its own counter.
  const file = path.join(data.corvane, 'wallets', made.json.id, 'wallet.json')
  const wallet = readJson(file)
  fs.writeFileSync(file, JSON.stringify({ ...wallet, recv: [0, 3, 0, 0, 0, 2], show: 7 }, null, 2))
  const moved = await tessera(data.env, 'address', '--wallet', made.json.id)
  assert.equal(moved.json.receive, addressAt(ABOUT, "m/44'/236'/1'/0/3"))
  assert.equal(moved.json.ordinals, addressAt(ABOUT, "m/44'/236'/5'/0/2"))
  assert.equal(moved.json.identity, made.json.identity)
})

test('only valid 12-word phrases are accepted, stored lower-case with single spaces', async (t) => {
  const vectors = readJson(path.join(REPO, 'tests/data/bip39-vectors-english.json')).english
  for (const [, phrase] of vectors) {
    const words = phrase.split(' ').length
    assert.equal(normalisePhrase(phrase), words === 12 ? phrase : null, phrase)
  }
  const cases = [
    ['  ABANDON abandon\tabandon  abandon abandon abandon abandon abandon abandon abandon abandon About ', ABOUT],
    ['abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon', null], // checksum
    ['abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abou', null], // not a word
    ['abandon abandon abandon abandon abandon abandon abandon abandon art', null], // 9 words pass the SDK's own check
    ['', null]
  ]
  for (const [input, expected] of cases) assert.equal(normalisePhrase(input), expected, input)

  const data = tempDataFolder()
  t.after(data.cleanup)
  const refused = await tessera(data.env, 'create', '--phrase', 'abandon abandon abandon abandon abandon abandon abandon abandon art')
  assert.equal(refused.status, 1)
  assert.match(refused.stderr, /12 English BIP-39 words/)
  assert.equal(fs.existsSync(path.join(data.corvane, 'wallets.json')), false)
  const badAlias = await tessera(data.env, 'create', '--paymail', 'no spaces')
  assert.equal(badAlias.status, 1)
  assert.equal(badAlias.stderr, 'tessera: need a paymail name (letters, numbers, _ - .)\n')
})

test('import-key writes the single-key form and refuses keys that are not keys', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const priv = 'e8f32e723decf4051aefac8e2c93c9c5b214313817cdb01a1494b917c8436b35'
  const imported = await tessera(data.env, 'import-key', '--priv', priv.toUpperCase(), '--name', 'Old key', '--paymail', 'bob@corvane.example')
  assert.equal(imported.status, 0, imported.stderr)
  const pub = publicKeyOf(Buffer.from(priv, 'hex'))
  assert.deepEqual(imported.json, { id: imported.json.id, receive: addressOfPublicKey(pub) })

  const wallet = readJson(path.join(data.corvane, 'wallets', imported.json.id, 'wallet.json'))
  assert.deepEqual(Object.keys(wallet), KEY_MEMBERS)
  assert.deepEqual(wallet, {
    priv,
    pub: pub.toString('hex'),
    address: imported.json.receive,
    paymail: 'bob',
    ord_avatar: {},
    ord_owned: [],
    contacts: []
  })
  const shown = await tessera(data.env, 'address')
  assert.deepEqual(shown.json, {
    id: imported.json.id, kind: 'key', receive: imported.json.receive, identity: '', greeting: '', ordinals: '', identity_pubkey: ''
  })

  const keyCases = [
    ['0'.repeat(64), false],
    ['fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141', false], // the group order
    ['fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140', true],
    [priv.slice(1), false],
    ['x' + priv.slice(1), false],
    [priv + '00', false]
  ]
  for (const [hex, valid] of keyCases) assert.equal(privateKeyFromHex(hex) !== null, valid, hex)
  const refused = await tessera(data.env, 'import-key', '--priv', '0'.repeat(64))
  assert.equal(refused.status, 1)
  assert.equal(refused.stderr, 'tessera: --priv must be 64 hex digits of a valid secp256k1 private key\n')
  assert.equal(readJson(path.join(data.corvane, 'wallets.json')).wallets.length, 1)
})

test('help for every command, and usage errors exit 2 with one line', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const overview = await tessera(data.env, '--help')
  assert.equal(overview.status, 0)
  const commands = ['create', 'import-key', 'list', 'address', 'approve', 'deny', 'watch', 'lock', 'unlock']
  const helps = await Promise.all(commands.map((command) => tessera(data.env, command, '--help')))
  commands.forEach((command, i) => {
    assert.match(overview.stdout, new RegExp('^  ' + command + ' ', 'm'))
    assert.equal(helps[i].status, 0, command)
    assert.match(helps[i].stdout, new RegExp('^usage: tessera ' + command + '\\b'))
  })
  const wrongs = [['frobnicate'], ['create', '--colour', 'red'], ['lock', '--wallet', 'w1'], ['watch'], ['list', 'extra']]
  const answers = await Promise.all(wrongs.map((args) => tessera(data.env, ...args)))
  for (const [i, args] of wrongs.entries()) {
    const wrong = answers[i]
    assert.equal(wrong.status, 2, args.join(' '))
    assert.match(wrong.stderr, /^tessera: [^\n]+\n$/)
    assert.equal(wrong.stdout, '')
  }
})

test('the data folder is LOCALAPPDATA, else XDG_DATA_HOME, else ~/.local/share, then /Corvane', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const base = data.env.LOCALAPPDATA
  const cases = [
    [{ LOCALAPPDATA: base + '/local', XDG_DATA_HOME: base + '/xdg', HOME: base + '/home' }, base + '/local/Corvane'],
    [{ LOCALAPPDATA: '', XDG_DATA_HOME: base + '/xdg', HOME: base + '/home' }, base + '/xdg/Corvane'],
    [{ LOCALAPPDATA: '', XDG_DATA_HOME: '', HOME: base + '/home' }, base + '/home/.local/share/Corvane']
  ]
  for (const [vars, folder] of cases) {
    const made = await tessera({ ...data.env, ...vars }, 'import-key', '--priv', '01'.repeat(32))
    assert.equal(made.status, 0, made.stderr)
    assert.equal(readJson(path.join(folder, 'wallets.json')).wallets[0].id, made.json.id, folder)
  }
})
