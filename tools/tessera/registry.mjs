// The shared wallet registry ("wallets.json") and the byte lock that
// serialises its updates across every Corvane application.
//
// Kestrel holds an open-file-description lock on byte 0 of "wallets.lock"
// around its registry updates. Node cannot call fcntl, so a small perl
// process takes a POSIX record lock on the same byte (on Linux the two kinds
// of lock exclude each other), reports "locked", and keeps the lock until
// its stdin closes. If perl cannot be started or cannot lock, the update
// goes ahead without the byte lock, as Kestrel does when its own lock fails.

import { spawn } from 'node:child_process'
import {
  registryLockPath, registryPath, readTextOrNull, parseJsonOrUndefined,
  replaceFileAtomically, sortedJson
} from './files.mjs'

// Runs fn (sync or async) while holding the registry byte lock; answers its
// result. Waits as long as another holder keeps the lock.
export async function withRegistryLock (fn) {
  const holder = await takeByteLock(registryLockPath())
  try {
    return await fn()
  } finally {
    await holder.release()
  }
}

// The registry as an object with a "wallets" array. A missing or empty file
// loads as an empty registry; a file that does not parse as a JSON object is
// refused rather than silently replaced, so that the wallets another
// application listed there are not lost. Unknown members are kept.
export function loadRegistry () {
  const text = readTextOrNull(registryPath())
  let registry = {}
  if (text !== null && text.trim() !== '') {
    registry = parseJsonOrUndefined(text)
    if (registry === null || typeof registry !== 'object' || Array.isArray(registry)) {
      throw new Error(registryPath() + ' is not a JSON object; fix or remove it first')
    }
  }
  if (!Array.isArray(registry.wallets)) registry.wallets = []
  return registry
}

// Writes the whole registry (sorted members, two-space indentation, one
// trailing newline) through "wallets.json.tmp" and a rename.
export function saveRegistry (registry) {
  replaceFileAtomically(registryPath(), sortedJson(registry) + '\n', 0o644)
}

// The wallets of a registry that name a folder: objects with a non-empty
// string "id"; an empty name shows the id.
export function listedWallets (registry) {
  return registry.wallets
    .filter((entry) => entry && typeof entry === 'object' && typeof entry.id === 'string' && entry.id !== '')
    .map((entry) => ({ id: entry.id, name: typeof entry.name === 'string' && entry.name !== '' ? entry.name : entry.id }))
}

// Perl's struct flock for 64-bit Linux: short l_type, short l_whence,
// (padding), off_t l_start, off_t l_len, pid_t l_pid, (padding).
const LOCKER = `
use strict; use Fcntl;
$| = 1;
my $path = shift;
sysopen(my $fh, $path, O_RDWR | O_CREAT, 0644) or do { print "failed: open $path: $!\\n"; exit 1 };
my $request = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 1, 0);
until (fcntl($fh, F_SETLKW, $request)) {
  next if $!{EINTR};
  print "failed: lock $path: $!\\n"; exit 1;
}
print "locked\\n";
while (1) {
  my $n = sysread(STDIN, my $buffer, 256);
  next if !defined($n) && $!{EINTR};
  last if !$n;
}
exit 0;
`

// Starts the perl holder and answers { release } once it holds the lock.
// Without perl, or when it cannot lock, answers a no-op holder after a
// warning on stderr.
export function takeByteLock (file) {
  return new Promise((resolve) => {
    let settled = false
    let output = ''
    const child = spawn('perl', ['-e', LOCKER, file], { stdio: ['pipe', 'pipe', 'inherit'] })
    const closed = new Promise((resolveClose) => child.once('close', resolveClose))
    const unlocked = (reason) => {
      if (settled) return
      settled = true
      process.stderr.write('tessera: warning: registry updated without the byte lock (' + reason + ')\n')
      child.kill()
      resolve({ release: async () => {} })
    }
    child.once('error', (err) => unlocked(err.message))
    closed.then(() => unlocked(output.trim() || 'lock holder ended'))
    child.stdin.on('error', () => {})
    child.stdout.setEncoding('utf8')
    child.stdout.on('data', (chunk) => {
      output += chunk
      if (settled || !output.includes('\n')) return
      if (!output.startsWith('locked\n')) return unlocked(output.trim())
      settled = true
      resolve({
        release: async () => {
          child.stdin.end()
          await closed
        }
      })
    })
  })
}
