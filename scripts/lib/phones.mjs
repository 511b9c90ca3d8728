// Headless phones on a devnet, for scripts and benchmarks: kestrel-cli
// processes with data folders of their own, wallets made by the Tessera
// stand-in, spoken sentences as microphones, and reading the WAV files
// their speakers write.
import { execFile, spawn } from 'node:child_process'
import fs from 'node:fs'
import { dirname, join } from 'node:path'
import readline from 'node:readline'
import { fileURLToPath } from 'node:url'
import { promisify } from 'node:util'
import { controlRequest } from '../../devnet/lib/client.mjs'
import { scriptAddress } from '../../devnet/lib/script.mjs'

export const root = join(dirname(fileURLToPath(import.meta.url)), '../..')
export const tessera = join(root, 'tools/tessera/tessera')
export const run = promisify(execFile)
export const RATE = 8000
export const PCM = ['-r', String(RATE), '-c', '1', '-b', '16', '-e', 'signed-integer']
export const WAIT_MS = 120000 // any one step of a call

const clockTicks = Number((await run('getconf', ['CLK_TCK'])).stdout.trim()) || 100

// A kestrel-cli process on its own data folder: its events as they arrive,
// and waits for them.
export class Phone {
  constructor (name, folder, cli) {
    this.name = name
    this.folder = folder
    this.cli = cli
    this.events = []
    this.waiters = []
    this.exited = null
  }

  start () {
    const stderr = fs.openSync(join(this.folder, 'stderr'), 'a')
    this.child = spawn(this.cli, [], { env: { ...process.env, LOCALAPPDATA: this.folder }, stdio: ['pipe', 'pipe', stderr] })
    fs.closeSync(stderr)
    this.exitedPromise = new Promise(resolve => this.child.on('exit', (code, signal) => {
      this.exited = { code, signal }
      this.notify()
      resolve(this.exited)
    }))
    this.child.stdin.on('error', () => {}) // a phone that died is reported by the waits
    readline.createInterface({ input: this.child.stdout }).on('line', line => {
      try {
        this.events.push(JSON.parse(line))
      } catch {
        this.events.push({ event: 'unparsed', text: line })
      }
      this.notify()
    })
  }

  send (command) {
    if (this.child && !this.exited) this.child.stdin.write(command + '\n')
  }

  notify () {
    for (const w of [...this.waiters]) w()
  }

  // The first event at index >= from that satisfies want; rejects after ms or
  // when the phone ends first.
  waitFor (want, from = 0, ms = WAIT_MS, what = 'an event') {
    return new Promise((resolve, reject) => {
      const check = () => {
        const found = this.events.slice(from).find(want)
        if (found) return finish(() => resolve(found))
        if (this.exited) return finish(() => reject(new Error(`${this.name}'s phone ended (${JSON.stringify(this.exited)}) while waiting for ${what}\n${this.tail()}`)))
      }
      const timer = setTimeout(() => finish(() => reject(new Error(`${this.name}: no ${what} within ${ms / 1000} s\n${this.tail()}`))), ms)
      const finish = then => {
        clearTimeout(timer)
        this.waiters = this.waiters.filter(w => w !== check)
        then()
      }
      this.waiters.push(check)
      check()
    })
  }

  waitEvent (name, match = {}, from = 0, ms = WAIT_MS) {
    const want = e => e.event === name && Object.entries(match).every(([k, v]) => e[k] === v)
    return this.waitFor(want, from, ms, `${name} ${JSON.stringify(match)}`)
  }

  // Starts the phone and connects it to its wallet.
  async connect (handle) {
    this.start()
    await this.waitEvent('ready')
    this.send('connect')
    await this.waitEvent('connection', { connected: true, handle })
  }

  tail () {
    let text = ''
    try {
      text = fs.readFileSync(join(this.folder, 'stderr'), 'utf8').slice(-2000)
    } catch {}
    return `last events of ${this.name}:\n${this.events.slice(-15).map(e => JSON.stringify(e)).join('\n')}\nstderr of ${this.name}:\n${text}`
  }

  // CPU seconds (user + system) and peak resident memory (kB) so far.
  usage () {
    const stat = fs.readFileSync(`/proc/${this.child.pid}/stat`, 'utf8')
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ') // fields from the third on
    const ticks = Number(fields[11]) + Number(fields[12]) // utime, stime
    const status = fs.readFileSync(`/proc/${this.child.pid}/status`, 'utf8')
    const hwm = Number(/VmHWM:\s+(\d+)/.exec(status)?.[1] ?? NaN)
    return { cpuSeconds: ticks / clockTicks, peakKb: hwm }
  }

  // Ends the phone in order; SIGKILL when it has not ended after 30 s.
  async quit () {
    if (!this.child) return null
    if (this.exited) return this.exited
    this.send('quit')
    const timeout = new Promise(resolve => setTimeout(resolve, 30000, null))
    const done = await Promise.race([this.exitedPromise, timeout])
    if (done) return done
    this.child.kill('SIGKILL')
    return this.exitedPromise
  }
}

// A control-port call that must succeed; answers the JSON body.
export async function control (info, method, path, body) {
  const answer = await controlRequest(info, method, path, body)
  if (answer.status !== 200) throw new Error(`${method} ${path}: ${answer.status} ${answer.text}`)
  return answer.json
}

// A wallet made by the Tessera stand-in in folder, its handle registered on
// the devnet and its receive address funded with coins; the phone's
// configuration (the devnet's, with extra keys) written beside it.
export async function makeWallet (info, { folder, name, alias, coins, config = {} }) {
  fs.mkdirSync(join(folder, 'Corvane'), { recursive: true })
  const env = { ...process.env, LOCALAPPDATA: folder }
  const lastJson = text => JSON.parse(text.trim().split('\n').pop())
  const made = lastJson((await run(tessera, ['create', '--name', name, '--paymail', alias], { env })).stdout)
  const keys = lastJson((await run(tessera, ['address', '--wallet', made.id], { env })).stdout)
  await control(info, 'POST', '/control/alias', { alias, pubkey: keys.identity_pubkey, address: made.receive })
  await control(info, 'POST', '/control/fund', { address: made.receive, sats: coins })
  fs.writeFileSync(join(folder, 'Corvane', 'kestrel-config.json'), JSON.stringify({ ...info.config, ...config }))
  return { alias, receive: made.receive }
}

// A sentence spoken by espeak-ng as 8000 Hz mono 16-bit PCM after lead
// seconds of silence; answers its length in seconds.
export async function speak (text, path, lead = 1.5) {
  const raw = `${path}.espeak.wav`
  await run('espeak-ng', ['-s', '150', '-w', raw, text])
  await run('sox', [raw, ...PCM, path, 'pad', String(lead)])
  fs.rmSync(raw)
  return wavSamples(path).length / RATE
}

// The 16-bit samples of a mono WAV; a data chunk whose size was never
// written (a file not closed) is read to the end of the file.
export function wavSamples (path) {
  const bytes = fs.readFileSync(path)
  let at = 12
  while (at + 8 <= bytes.length) {
    const id = bytes.toString('ascii', at, at + 4)
    let size = bytes.readUInt32LE(at + 4)
    if (id === 'data') {
      if (size === 0 || at + 8 + size > bytes.length) size = bytes.length - at - 8
      const data = bytes.subarray(at + 8, at + 8 + (size & ~1))
      return new Int16Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.length))
    }
    at += 8 + size + (size & 1)
  }
  throw new Error(`${path}: no data chunk`)
}

// The transactions of the devnet's chain that spend a coin of address:
// txid -> {fee, size, inputs, outputs (counts), out: {address or "data": sats}}.
export function spendsOf (chain, address) {
  const found = new Map()
  for (const { txid } of chain.history(address)) {
    const parsed = chain.tx(txid).parsed
    let fromAddress = false
    let inSats = 0
    for (const input of parsed.inputs) {
      const out = chain.tx(input.txid)?.parsed?.outputs[input.vout]
      if (!out) continue
      inSats += Number(out.value)
      if (scriptAddress(out.script) === address) fromAddress = true
    }
    if (!fromAddress) continue
    const out = {}
    let outSats = 0
    for (const o of parsed.outputs) {
      const to = scriptAddress(o.script) ?? 'data'
      out[to] = (out[to] ?? 0) + Number(o.value)
      outSats += Number(o.value)
    }
    found.set(txid, { fee: inSats - outSats, size: parsed.size, inputs: parsed.inputs.length, outputs: parsed.outputs.length, out })
  }
  return found
}

export function median (values) {
  return percentile(values, 50)
}

export function percentile (values, p) {
  if (values.length === 0) return NaN
  const sorted = [...values].sort((a, b) => a - b)
  const rank = (p / 100) * (sorted.length - 1)
  const low = Math.floor(rank)
  return sorted[low] + (sorted[Math.min(low + 1, sorted.length - 1)] - sorted[low]) * (rank - low)
}

// Satoshis from a balance line ("handle   12345 sats" or "... 0.00012345 bsv").
export function balanceSats (text) {
  const m = /(-?\d+(?:\.\d+)?) (sats|bsv)$/.exec(text ?? '')
  if (!m) return NaN
  return m[2] === 'sats' ? Number(m[1]) : Math.round(Number(m[1]) * 1e8)
}

export const sleep = ms => new Promise(resolve => setTimeout(resolve, ms))
export const fmt = (v, digits = 0) => (Number.isFinite(v) ? v.toFixed(digits) : 'n/a')
