// The shared registry: updates keep what other applications wrote, and they
// wait for the byte lock on "wallets.lock" that Kestrel holds (an
// open-file-description lock) around its own updates.

import { test } from 'node:test'
import assert from 'node:assert/strict'
import { spawn } from 'node:child_process'
import fs from 'node:fs'
import path from 'node:path'
import { exitOf, lineMatching, readJson, sleep, startTessera, tempDataFolder, tessera } from './helpers.mjs'

// Holds (or, with tryOnce, tries once for) an open-file-description write
// lock on byte 0, as Kestrel's openLocked does. F_OFD_SETLK is 37 and
// F_OFD_SETLKW 38 on Linux; l_pid must be 0.
const OFD_LOCKER = `
use strict; use Fcntl; $| = 1;
my ($path, $mode) = @ARGV;
sysopen(my $fh, $path, O_RDWR | O_CREAT, 0644) or die "open: $!";
my $request = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 1, 0);
if ($mode eq "try") { print(fcntl($fh, 37, $request) ? "locked\\n" : "busy\\n"); exit 0 }
fcntl($fh, 38, $request) or die "lock: $!";
print "locked\\n";
1 while sysread(STDIN, my $buffer, 1);
`

function holdOfdLock (file) {
  const holder = spawn('perl', ['-e', OFD_LOCKER, file, 'wait'], { stdio: ['pipe', 'pipe', 'inherit'] })
  return holder
}

function tryOfdLock (file) {
  return new Promise((resolve) => {
    const trier = spawn('perl', ['-e', OFD_LOCKER, file, 'try'], { stdio: ['ignore', 'pipe', 'inherit'] })
    let out = ''
    trier.stdout.on('data', (chunk) => { out += chunk })
    trier.on('close', () => resolve(out.trim()))
  })
}

// True once /proc/locks shows a process waiting for a lock on file.
function someoneWaitsOn (file) {
  const inode = fs.statSync(file).ino
  return fs.readFileSync('/proc/locks', 'utf8').split('\n')
    .some((line) => line.includes('->') && line.includes(':' + inode + ' '))
}

test('a create waits while another process holds the registry lock', async (t) => {
  if (!fs.existsSync('/proc/locks')) return t.skip('no /proc/locks to see the waiter')
  const data = tempDataFolder()
  t.after(data.cleanup)
  const first = await tessera(data.env, 'create')
  const lockFile = path.join(data.corvane, 'wallets.lock')
  const registryFile = path.join(data.corvane, 'wallets.json')
  const before = fs.readFileSync(registryFile, 'utf8')

  const holder = holdOfdLock(lockFile)
  t.after(() => holder.kill())
  await lineMatching(holder.stdout, /^locked$/)
  const second = startTessera(data.env, 'create', '--name', 'Late')
  t.after(() => second.kill())
  let output = ''
  second.stdout.on('data', (chunk) => { output += chunk })
  while (!someoneWaitsOn(lockFile)) {
    assert.equal(second.exitCode, null, 'create ended without waiting for the lock')
    await sleep(20)
  }
  assert.equal(fs.readFileSync(registryFile, 'utf8'), before)
  assert.equal(second.exitCode, null)

  holder.stdin.end()
  assert.equal(await exitOf(second), 0)
  const late = JSON.parse(output)
  assert.deepEqual(readJson(registryFile).wallets.map((entry) => entry.id), [first.json.id, late.id])
})

test("the stand-in's lock keeps an open-file-description locker out until released", async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const saved = process.env.LOCALAPPDATA
  process.env.LOCALAPPDATA = data.env.LOCALAPPDATA
  t.after(() => { if (saved === undefined) delete process.env.LOCALAPPDATA; else process.env.LOCALAPPDATA = saved })
  const { registryLockPath } = await import('../files.mjs')
  const { takeByteLock } = await import('../registry.mjs')
  const lockFile = registryLockPath()
  const held = await takeByteLock(lockFile)
  let released = false
  t.after(() => released || held.release())
  assert.equal(await tryOfdLock(lockFile), 'busy')
  await held.release()
  released = true
  assert.equal(await tryOfdLock(lockFile), 'locked')
})

test('concurrent creates all end up in the registry', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const made = await Promise.all([1, 2, 3, 4].map((n) => tessera(data.env, 'create', '--name', 'W' + n)))
  for (const result of made) assert.equal(result.status, 0, result.stderr)
  const registry = readJson(path.join(data.corvane, 'wallets.json'))
  assert.deepEqual(registry.wallets.map((entry) => entry.id).sort(), made.map((result) => result.json.id).sort())
  assert.equal(new Set(made.map((result) => result.json.id)).size, 4)
})

test('members other applications wrote are kept, and "active" moves only when stale', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const registryFile = path.join(data.corvane, 'wallets.json')
  fs.mkdirSync(data.corvane, { recursive: true })
  const written = {
    wallets: [{ id: 'wOld', name: 'Old', colour: 'red', tags: [1, 2] }, 'not a wallet', { name: 'no id' }],
    active: 'wOld',
    theme: { dark: true },
    10: 'integer-like key'
  }
  fs.writeFileSync(registryFile, JSON.stringify(written))
  const made = await tessera(data.env, 'create', '--name', 'New')
  assert.equal(made.status, 0, made.stderr)
  const text = fs.readFileSync(registryFile, 'utf8')
  assert.deepEqual(JSON.parse(text), { ...written, wallets: [...written.wallets, { id: made.json.id, name: 'New' }] })
  // Saved the way Kestrel saves: members sorted by their bytes, one final newline.
  assert.match(text, /^\{\n {2}"10": "integer-like key",\n {2}"active": "wOld",\n {2}"theme"/)
  assert.ok(text.endsWith('}\n') && !text.endsWith('\n\n'))

  fs.writeFileSync(registryFile, JSON.stringify({ wallets: { broken: true }, active: 'wGone', note: 'kept' }))
  const again = await tessera(data.env, 'create', '--name', 'Again')
  assert.deepEqual(readJson(registryFile), { wallets: [{ id: again.json.id, name: 'Again' }], active: again.json.id, note: 'kept' })
})

test('a registry that is not a JSON object is left alone and nothing is created', async (t) => {
  const data = tempDataFolder()
  t.after(data.cleanup)
  const registryFile = path.join(data.corvane, 'wallets.json')
  fs.mkdirSync(data.corvane, { recursive: true })
  for (const damaged of ['{"wallets": [', '[1, 2]']) {
    fs.writeFileSync(registryFile, damaged)
    const refused = await tessera(data.env, 'create')
    assert.equal(refused.status, 1)
    assert.match(refused.stderr, /wallets\.json is not a JSON object/)
    assert.equal(fs.readFileSync(registryFile, 'utf8'), damaged)
    const walletsFolder = path.join(data.corvane, 'wallets')
    assert.deepEqual(fs.existsSync(walletsFolder) ? fs.readdirSync(walletsFolder) : [], [])
  }
  fs.writeFileSync(registryFile, '')
  assert.equal((await tessera(data.env, 'create')).status, 0)
})
