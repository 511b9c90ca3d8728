// Starts and stops one devnet for a CTest run (the "devnet" fixture).
//
//   node devnet/fixture.mjs start --out FILE [--lifetime SECONDS]
//   node devnet/fixture.mjs stop --out FILE
//
// start launches the devnet in the background (folder: FILE's folder + "/run",
// lifetime 1800 s unless given or set in KESTREL_DEVNET_LIFETIME), waits until
// the control port and the HTTPS port answer, and writes the start line to
// FILE. A devnet left by an earlier run under the same FILE is stopped first.
// stop asks the devnet to stop (then SIGTERM, then SIGKILL) and removes FILE;
// with nothing running it succeeds quietly.
import { spawn } from 'node:child_process'
import fs from 'node:fs'
import path from 'node:path'
import { fileURLToPath } from 'node:url'
import { controlRequest, hostRequest } from './lib/client.mjs'

const here = path.dirname(fileURLToPath(import.meta.url))

async function main(argv) {
  const command = argv[0]
  const option = name => {
    const i = argv.indexOf(name)
    return i >= 0 ? argv[i + 1] : undefined
  }
  const out = option('--out')
  if (!['start', 'stop'].includes(command) || !out) throw new Error('usage: fixture.mjs start|stop --out FILE [--lifetime SECONDS]')
  if (command === 'stop') return stop(out)
  const lifetime = Number(option('--lifetime') ?? process.env.KESTREL_DEVNET_LIFETIME ?? 1800)
  if (!Number.isFinite(lifetime) || lifetime <= 0) throw new Error('--lifetime needs a number of seconds above 0')
  return start(out, lifetime)
}

async function start(out, lifetime) {
  await stop(out)
  const folder = path.dirname(path.resolve(out))
  fs.mkdirSync(folder, { recursive: true })
  const stdoutFile = path.join(folder, 'devnet.stdout')
  const stderrFile = path.join(folder, 'devnet.stderr')
  const child = spawn(process.execPath, [path.join(here, 'devnet.mjs'), '--dir', path.join(folder, 'run'), '--lifetime', String(lifetime)], {
    detached: true,
    stdio: ['ignore', fs.openSync(stdoutFile, 'w'), fs.openSync(stderrFile, 'w')]
  })
  let exitCode = null
  child.on('exit', code => (exitCode = code))
  child.unref()

  let info
  try {
    info = await ready(stdoutFile, stderrFile, () => exitCode)
  } catch (err) {
    // Without a start line file stop cannot find it, so end it here.
    if (exitCode === null) child.kill('SIGKILL')
    throw err
  }
  const tmp = `${out}.tmp`
  fs.writeFileSync(tmp, JSON.stringify(info, null, 2) + '\n')
  fs.renameSync(tmp, out)
  process.stdout.write(`devnet ${info.pid} on https ${info.https_port}, control ${info.control_port}; start line in ${out}\n`)
}

// Waits for the start line in stdoutFile, then for both ports to answer.
// Answers the parsed start line; throws when the devnet exits or is not
// ready within 20 s.
async function ready(stdoutFile, stderrFile, exitCode) {
  const deadline = Date.now() + 20000
  let info = null
  while (!info) {
    if (exitCode() !== null) throw new Error(`devnet exited with ${exitCode()}: ${fs.readFileSync(stderrFile, 'utf8')}`)
    if (Date.now() > deadline) throw new Error('devnet printed no start line within 20 s')
    const text = fs.readFileSync(stdoutFile, 'utf8')
    if (text.includes('\n')) info = JSON.parse(text.slice(0, text.indexOf('\n')))
    else await sleep(50)
  }
  const control = await controlRequest(info, 'GET', '/control/info')
  if (control.status !== 200 || control.json.pid !== info.pid) throw new Error('the control port does not answer')
  const chain = await hostRequest(info, info.hosts.chain, 'GET', '/v1/bsv/main/chain/info')
  if (chain.status !== 200) throw new Error('the HTTPS port does not answer')
  return info
}

async function stop(out) {
  if (!fs.existsSync(out)) return
  let info = null
  try {
    info = JSON.parse(fs.readFileSync(out, 'utf8'))
  } catch {
    fs.rmSync(out, { force: true })
    return
  }
  if (alive(info.pid)) {
    try {
      await controlRequest(info, 'POST', '/control/stop', {})
    } catch {
      // Not answering: the signals below end it.
    }
    for (const [signal, wait] of [[null, 5000], ['SIGTERM', 3000], ['SIGKILL', 2000]]) {
      if (signal && alive(info.pid)) process.kill(info.pid, signal)
      const until = Date.now() + wait
      while (alive(info.pid) && Date.now() < until) await sleep(50)
      if (!alive(info.pid)) break
    }
  }
  fs.rmSync(out, { force: true })
  process.stdout.write(`devnet ${info.pid} stopped\n`)
}

// True while pid runs. A process that has exited but waits to be reaped by
// its new parent (a zombie) counts as gone.
function alive(pid) {
  try {
    process.kill(pid, 0)
  } catch {
    return false
  }
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8')
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z'
  } catch {
    return true
  }
}

function sleep(ms) {
  return new Promise(resolve => setTimeout(resolve, ms))
}

main(process.argv.slice(2)).catch(err => {
  process.stderr.write(`devnet fixture: ${err.message}\n`)
  process.exit(1)
})
