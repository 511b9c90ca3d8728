// The connect handshake from Tessera's side: which requests are answered,
// with which wallet, and what the reply files say.

import { test } from 'node:test'
import assert from 'node:assert/strict'
import fs from 'node:fs'
import path from 'node:path'
import { exitOf, lineMatching, readJson, startTessera, tempDataFolder, tessera } from './helpers.mjs'

// Writes a request the way Kestrel does (two-space JSON, no newline).
function writeRequest (corvane, id, text) {
  fs.mkdirSync(path.join(corvane, 'connect'), { recursive: true })
  const body = text ?? JSON.stringify({ app: 'Kestrel', id, instance: '/opt/kestrel', ts: 1700000000 }, null, 2)
  fs.writeFileSync(path.join(corvane, 'connect', id + '.req.json'), body)
}

const replyFile = (corvane, id) => path.join(corvane, 'connect', id + '.rep.json')
const replyOf = (corvane, id) => readJson(replyFile(corvane, id))

async function twoWallets (data) {
  const first = await tessera(data.env, 'create', '--name', 'First')
  const second = await tessera(data.env, 'create', '--name', 'Second')
  assert.equal(first.status + second.status, 0, first.stderr + second.stderr)
  return [first.json.id, second.json.id]
}

test('approve answers only requests without a reply, for the active or the named wallet', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const [first, second] = await twoWallets(data)
  writeRequest(data.corvane, 'w100')
  writeRequest(data.corvane, 'w101')
  writeRequest(data.corvane, 'w102', '{"app": "Kes') // still being written
  writeRequest(data.corvane, 'w099')
  fs.writeFileSync(replyFile(data.corvane, 'w099'), '{"ok": false}')

  const approved = await tessera(data.env, 'approve')
  assert.equal(approved.status, 0, approved.stderr)
  assert.deepEqual(approved.json, {
    answered: [
      { id: 'w100', app: 'Kestrel', instance: '/opt/kestrel', ok: true, wallet_id: first },
      { id: 'w101', app: 'Kestrel', instance: '/opt/kestrel', ok: true, wallet_id: first }
    ],
    skipped: ['w102']
  })
  assert.deepEqual(replyOf(data.corvane, 'w100'), { ok: true, wallet_id: first })
  assert.deepEqual(replyOf(data.corvane, 'w099'), { ok: false })
  assert.equal(fs.existsSync(replyFile(data.corvane, 'w102')), false)

  // Once complete, the late request is answered, here for the other wallet.
  writeRequest(data.corvane, 'w102')
  const named = await tessera(data.env, 'approve', '--wallet', second)
  assert.deepEqual(named.json.answered.map((entry) => [entry.id, entry.wallet_id]), [['w102', second]])
  assert.deepEqual(replyOf(data.corvane, 'w102'), { ok: true, wallet_id: second })
  assert.deepEqual(fs.readdirSync(path.join(data.corvane, 'connect')).filter((name) => name.endsWith('.tmp')), [])

  const again = await tessera(data.env, 'approve')
  assert.deepEqual(again.json, { answered: [], skipped: [] })
})

test('deny writes {"ok": false}; approving without a usable wallet answers nothing', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  writeRequest(data.corvane, 'w200')
  const noWallet = await tessera(data.env, 'approve')
  assert.equal(noWallet.status, 1)
  assert.equal(noWallet.stderr, 'tessera: no wallet yet; use tessera create first\n')
  assert.equal(fs.existsSync(replyFile(data.corvane, 'w200')), false)

  const made = await tessera(data.env, 'create')
  const unknown = await tessera(data.env, 'approve', '--wallet', 'w42')
  assert.equal(unknown.status, 1)
  assert.match(unknown.stderr, /no wallet w42 in the registry/)
  fs.rmSync(path.join(data.corvane, 'wallets', made.json.id, 'wallet.json'))
  const noFile = await tessera(data.env, 'approve')
  assert.equal(noFile.status, 1)
  assert.match(noFile.stderr, /has no wallet file/)
  assert.equal(fs.existsSync(replyFile(data.corvane, 'w200')), false)

  const denied = await tessera(data.env, 'deny')
  assert.equal(denied.status, 0, denied.stderr)
  assert.deepEqual(denied.json, { answered: [{ id: 'w200', app: 'Kestrel', instance: '/opt/kestrel', ok: false }], skipped: [] })
  assert.equal(fs.readFileSync(replyFile(data.corvane, 'w200'), 'utf8'), '{\n  "ok": false\n}')
})

test('a locked wallet is still approved: the app is the one to refuse it', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const made = await tessera(data.env, 'create')
  assert.equal((await tessera(data.env, 'lock', '--wallet', made.json.id, '--password', 'pw')).status, 0)
  writeRequest(data.corvane, 'w300')
  const approved = await tessera(data.env, 'approve')
  assert.equal(approved.status, 0, approved.stderr)
  assert.deepEqual(replyOf(data.corvane, 'w300'), { ok: true, wallet_id: made.json.id })
})

test('watch answers requests as they arrive until stopped', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const [, second] = await twoWallets(data)
  const watcher = startTessera(data.env, 'watch', '--approve', '--wallet', second)
  t.after(() => watcher.kill())
  const lines = []
  watcher.stdout.setEncoding('utf8')
  const firstAnswer = lineMatching(watcher.stdout, /"w401"/)
  watcher.stdout.on('data', (chunk) => lines.push(chunk))

  writeRequest(data.corvane, 'w401')
  await firstAnswer
  const secondAnswer = lineMatching(watcher.stdout, /"w402"/)
  writeRequest(data.corvane, 'w402')
  await secondAnswer
  watcher.kill('SIGTERM')
  assert.equal(await exitOf(watcher), 0)

  const answers = lines.join('').trim().split('\n').map((line) => JSON.parse(line))
  assert.deepEqual(answers.map((entry) => [entry.id, entry.ok, entry.wallet_id]), [['w401', true, second], ['w402', true, second]])
  assert.deepEqual(replyOf(data.corvane, 'w402'), { ok: true, wallet_id: second })
})

test('watch --once ends after the first answers; with a timeout and no request it fails', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const watcher = startTessera(data.env, 'watch', '--deny', '--once', '--timeout', '30')
  t.after(() => watcher.kill())
  let output = ''
  watcher.stdout.setEncoding('utf8')
  watcher.stdout.on('data', (chunk) => { output += chunk })
  writeRequest(data.corvane, 'w500')
  assert.equal(await exitOf(watcher), 0)
  assert.deepEqual(JSON.parse(output), { id: 'w500', app: 'Kestrel', instance: '/opt/kestrel', ok: false })
  assert.deepEqual(replyOf(data.corvane, 'w500'), { ok: false })

  const idle = await tessera(data.env, 'watch', '--deny', '--once', '--timeout', '0.2')
  assert.equal(idle.status, 1)
  assert.equal(idle.stderr, 'tessera: no connect request within 0.2 seconds\n')
  const noWallet = await tessera(data.env, 'watch', '--approve', '--once', '--timeout', '0.2')
  assert.equal(noWallet.status, 1)
  assert.match(noWallet.stderr, /no wallet yet/)
})
