// What scripts/run shows after building: a paid call on a devnet of its own.
//
// usage: node scripts/main-job.mjs [--build DIR] [--folder DIR] [--headless] [--file-audio] [--summary FILE]
//
// It starts the devnet (a block every 3 s) and three funded wallets made by
// the Tessera stand-in, each with its handle claimed and a data folder of its
// own under FOLDER (default BUILD/run, emptied first; never the user's real
// data folder), and two headless phones:
//   echo       answers every call after one ring and plays back what it
//              heard about a second later, as a telephone test line does;
//   voicemail  its answer-phone on and a greeting published, so that a call
//              to it leaves a message.
// With a display (DISPLAY or WAYLAND_DISPLAY) and without --headless, the
// user's phone is the windowed kestrel with the machine's microphone and
// speakers (with --file-audio, for a machine without a sound card: the
// spoken sentence as its microphone and a file as its speaker); closing it
// ends the run. Otherwise a scripted headless call: the
// user's phone speaks a sentence to echo for about twenty seconds, hangs up,
// calls voicemail and leaves a message, then a transcript and a summary are
// printed (with --summary, also written as JSON). Ctrl-C ends the run; it
// leaves nothing running.
import fs from 'node:fs'
import { join, resolve } from 'node:path'
import { startDevnet } from '../devnet/lib/devnet.mjs'
import { Phone, control, fmt, makeWallet, median, root, run, sleep, speak, spendsOf, wavSamples } from './lib/phones.mjs'
import { spawn } from 'node:child_process'

const args = process.argv.slice(2)
const option = name => {
  const i = args.indexOf(name)
  return i >= 0 ? args[i + 1] : undefined
}
const buildDir = resolve(option('--build') ?? join(root, 'build'))
const folder = resolve(option('--folder') ?? join(buildDir, 'run'))
const summaryFile = option('--summary')
const windowed = !args.includes('--headless') && Boolean(process.env.DISPLAY || process.env.WAYLAND_DISPLAY)
const fileAudio = !windowed || args.includes('--file-audio')
const cli = join(buildDir, 'app/cli/kestrel-cli')
const windowApp = join(buildDir, 'app/shell/kestrel')

const USER = 'newcomer'
const USER_SAYS = 'Hello, this is a paid call on Kestrel. Can you hear me clearly?'
const GREETING_SAYS = 'You have reached the voicemail line. Please leave a message after the beep.'
const TALK_MS = 20000 // the call to echo
const MESSAGE_SECONDS = 8 // the message left on voicemail

for (const file of [cli, ...(windowed ? [windowApp] : [])]) {
  if (!fs.existsSync(file)) {
    console.error(`no ${file}; build first (scripts/run does)`)
    process.exit(2)
  }
}

const started = Date.now()
const say = text => console.log(`[${fmt((Date.now() - started) / 1000, 1).padStart(5)} s] ${text}`)
const phones = []
let windowChild = null
let devnet = null

// Ends everything this run started, whatever state it is in.
let stopping = null
function stopAll () {
  stopping ??= (async () => {
    if (windowChild && windowChild.exitCode === null && windowChild.signalCode === null) {
      windowChild.kill('SIGTERM')
      await new Promise(resolve => {
        const timer = setTimeout(() => { windowChild.kill('SIGKILL'); resolve() }, 15000)
        windowChild.once('exit', () => { clearTimeout(timer); resolve() })
        if (windowChild.exitCode !== null || windowChild.signalCode !== null) { clearTimeout(timer); resolve() }
      })
    }
    await Promise.all(phones.map(p => p.quit()))
    if (devnet) await devnet.stop()
    devnet = null
  })()
  return stopping
}
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => {
    console.log('\nStopping: the phones, then the devnet.')
    stopAll().finally(() => process.exit(130))
  })
}

// --- Sound ------------------------------------------------------------------------------

// 10 ms envelopes (mean |sample|) of 8000 Hz samples.
function envelope (samples) {
  const out = new Float64Array(Math.floor(samples.length / 80))
  for (let w = 0; w < out.length; w++) {
    let sum = 0
    for (let i = w * 80; i < w * 80 + 80; i++) sum += Math.abs(samples[i])
    out[w] = sum / 80
  }
  return out
}

function pearson (a, b, at) {
  const n = a.length
  let sa = 0; let sb = 0; let saa = 0; let sbb = 0; let sab = 0
  for (let i = 0; i < n; i++) {
    const x = a[i]
    const y = b[at + i] ?? 0
    sa += x; sb += y; saa += x * x; sbb += y * y; sab += x * y
  }
  const va = saa - (sa * sa) / n
  const vb = sbb - (sb * sb) / n
  return va > 0 && vb > 0 ? (sab - (sa * sb) / n) / Math.sqrt(va * vb) : 0
}

// The mouth-to-ear latency of each sentence the talker said while connected:
// the sentence's place in the microphone file (opened at micStart, wall ms)
// against the best match in the listener's speaker file (opened at
// speakerStart) within 8 s after it. Matches under 0.6 are left out.
function sentenceLatencies ({ sentence, micStart, speaker, speakerStart, from, to }) {
  const said = envelope(sentence)
  const heard = envelope(speaker)
  const period = said.length * 10 // ms: the microphone file is the sentence over and over
  const latencies = []
  for (let k = 0; micStart + (k + 1) * period <= to; k++) {
    const saidAt = micStart + k * period
    if (saidAt < from) continue
    let best = { r: 0, lag: 0 }
    for (let lag = 0; lag <= 800; lag++) {
      const at = Math.round((saidAt - speakerStart) / 10) + lag
      if (at < 0 || at + said.length > heard.length) continue
      const r = pearson(said, heard, at)
      if (r > best.r) best = { r, lag }
    }
    if (best.r >= 0.6) latencies.push(best.lag * 10)
  }
  return latencies
}

// The device line of kind that was open at time t (the last opened before it).
const deviceAt = (phone, kind, t) => phone.events.filter(e => e.event === 'device' && e.kind === kind && e.t <= t).pop()

// --- The run ----------------------------------------------------------------------------

async function main () {
  fs.rmSync(folder, { recursive: true, force: true })
  fs.mkdirSync(join(folder, 'sounds'), { recursive: true })

  say('Starting the devnet: every outside service on 127.0.0.1, a block every 3 seconds.')
  devnet = await startDevnet({ dir: join(folder, 'devnet'), lifetime: windowed ? 0 : 3600 })
  const info = devnet.info
  await control(info, 'POST', '/control/settings', { mine_interval: 3 })

  const sounds = join(folder, 'sounds')
  const userSentence = join(sounds, 'newcomer-says.wav')
  const userMic = join(sounds, 'newcomer-microphone.wav')
  const greetingSentence = join(sounds, 'voicemail-greeting.wav')
  const greetingSeconds = await speak(GREETING_SAYS, greetingSentence)
  const sentenceSeconds = await speak(USER_SAYS, userSentence)
  await run('sox', [userSentence, userMic, 'repeat', String(Math.ceil(600 / sentenceSeconds))])

  say('Making three wallets in Tessera (the stand-in), funding them and claiming the handles newcomer, echo and voicemail.')
  const side = async (name, coins, config) => {
    const home = join(folder, name)
    const made = await makeWallet(info, { folder: home, name, alias: name, coins, config })
    return { name, folder: home, ...made, speaker: config.audio_output?.slice(5) }
  }
  const userConfig = !fileAudio ? {} : { audio_input: `file:${userMic}`, audio_output: `file:${join(folder, USER, 'speaker.wav')}` }
  const user = await side(USER, Array(40).fill(5000), userConfig)
  const echo = await side('echo', Array(30).fill(2000), { audio_input: 'null', audio_output: `file:${join(folder, 'echo', 'speaker.wav')}` })
  // A greeting is a transaction of up to 45 kB.
  const voicemail = await side('voicemail', [...Array(30).fill(2000), 20000, 20000], {
    audio_input: `file:${greetingSentence}`,
    audio_output: `file:${join(folder, 'voicemail', 'speaker.wav')}`
  })
  await control(info, 'POST', '/control/mine', { blocks: 1 })

  say('Starting echo: it answers after one ring and plays back what it hears.')
  const echoPhone = new Phone('echo', echo.folder, cli)
  phones.push(echoPhone)
  await echoPhone.connect('echo')
  echoPhone.send('autoanswer 2')
  echoPhone.send('echo on')

  say('Starting voicemail: answer-phone on, recording and publishing its greeting.')
  const voicemailPhone = new Phone('voicemail', voicemail.folder, cli)
  phones.push(voicemailPhone)
  await voicemailPhone.connect('voicemail')
  voicemailPhone.send('answerphone on')
  const recordFrom = voicemailPhone.events.length
  voicemailPhone.send('greeting record')
  await voicemailPhone.waitEvent('status', { text: 'Recording the greeting.' }, recordFrom)
  await sleep(greetingSeconds * 1000)
  voicemailPhone.send('greeting stop')
  const greeted = await voicemailPhone.waitFor(e => e.event === 'status' && e.text.startsWith('Greeting saved'), recordFrom, 120000, 'the greeting saved')
  say(`voicemail: ${greeted.text}`)

  if (windowed) return runWindowed(user)
  return runHeadless({ info, user, echo, voicemail, echoPhone, voicemailPhone, userSentence, greetingSentence })
}

async function runWindowed (user) {
  say('Starting your phone. Type echo and press Call; or call voicemail and leave a message. Close the phone to end.')
  const log = fs.openSync(join(user.folder, 'kestrel.log'), 'a')
  windowChild = spawn(windowApp, ['--hint', 'Type echo and press Call.'], { env: { ...process.env, LOCALAPPDATA: user.folder }, stdio: ['ignore', log, log] })
  fs.closeSync(log)
  const exit = await new Promise(resolve => windowChild.once('exit', (code, signal) => resolve({ code, signal })))
  say(`Your phone closed (${exit.signal ?? `exit ${exit.code}`}).`)
  return { windowed: true }
}

async function runHeadless ({ info, user, echo, voicemail, echoPhone, voicemailPhone, userSentence, greetingSentence }) {
  say('No display: your phone runs headless, its microphone a spoken sentence and its speaker a file.')
  const phone = new Phone(USER, user.folder, cli)
  phones.push(phone)
  await phone.connect(USER)
  await phone.waitFor(e => e.event === 'balance' && /[1-9]/.test(e.text), 0, 60000, 'a funded balance')

  // --- echo ---
  say('Calling echo.')
  const echoFrom = { user: phone.events.length, echo: echoPhone.events.length }
  const echoSpentBefore = new Set(spendsOf(devnet.chain, user.receive).keys())
  phone.send('call echo --yes')
  const connected = await phone.waitEvent('state', { state: 'Connected' }, echoFrom.user)
  say('Connected to echo; talking for twenty seconds.')
  await sleep(TALK_MS)
  phone.send('hangup')
  const hungUp = await phone.waitEvent('status', { text: 'Hung up.' }, echoFrom.user)
  await echoPhone.waitEvent('status', { text: 'They hung up.' }, echoFrom.echo)
  await sleep(1500) // the speaker file's header is rewritten every second
  const echoCallSpeaker = join(folder, 'newcomer-hears-echo.wav')
  fs.copyFileSync(user.speaker, echoCallSpeaker)
  const echoHeard = join(folder, 'echo-hears-newcomer.wav')
  fs.copyFileSync(echo.speaker, echoHeard)
  const echoSpends = [...spendsOf(devnet.chain, user.receive)].filter(([txid]) => !echoSpentBefore.has(txid)).map(([, t]) => t)

  // --- voicemail ---
  say('Calling voicemail: it diverts after three rings, plays its greeting and the beep.')
  const vmFrom = { user: phone.events.length, voicemail: voicemailPhone.events.length }
  const vmSpentBefore = new Set(spendsOf(devnet.chain, user.receive).keys())
  phone.send('call voicemail --yes')
  await phone.waitEvent('state', { state: 'LeavingMessage' }, vmFrom.user)
  await phone.waitEvent('status', { text: `Recording  ${MESSAGE_SECONDS} / 60` }, vmFrom.user)
  phone.send('hangup')
  const left = await phone.waitFor(e => e.event === 'status' && /^Message left|did not send|No message/.test(e.text), vmFrom.user, 120000, 'the message sent')
  const filed = await voicemailPhone.waitEvent('message', { from: USER }, vmFrom.voicemail)
  const inboxFrom = voicemailPhone.events.length
  voicemailPhone.send('inbox')
  const inbox = await voicemailPhone.waitEvent('inbox', {}, inboxFrom)
  await sleep(1500)
  const vmCallSpeaker = join(folder, 'newcomer-hears-voicemail.wav')
  fs.copyFileSync(user.speaker, vmCallSpeaker)
  const vmSpends = [...spendsOf(devnet.chain, user.receive)].filter(([txid]) => !vmSpentBefore.has(txid)).map(([, t]) => t)

  // --- what it showed ---
  // Status lines of both sides in time order, seconds from the call's start;
  // a run of lines that only count on ("Connected.  N sats broadcast.",
  // "Recording  N / 60") shows its first and last.
  const transcript = (title, sides, fromT) => {
    console.log(`\n${title}`)
    const lines = []
    for (const [name, p, from, to] of sides) {
      for (const e of p.events.slice(from, to)) if (e.event === 'status') lines.push({ t: e.t, name, text: e.text })
    }
    lines.sort((a, b) => a.t - b.t)
    const counting = l => l.text.replace(/\d+/g, '#')
    const shown = lines.filter(l => {
      const same = (m) => m && m.name === l.name && counting(m) === counting(l) && /\d/.test(l.text)
      const mine = lines.filter(m => m.name === l.name)
      const at = mine.indexOf(l)
      return !(same(mine[at - 1]) && same(mine[at + 1]))
    })
    for (const l of shown) console.log(`  +${fmt((l.t - fromT) / 1000, 1).padStart(5)} s  ${l.name.padEnd(9)}  ${l.text}`)
  }
  transcript('The call to echo (status lines, seconds from the call):',
    [[USER, phone, echoFrom.user, vmFrom.user], ['echo', echoPhone, echoFrom.echo, undefined]], phone.events[echoFrom.user]?.t ?? connected.t)
  transcript('The call to voicemail:',
    [[USER, phone, vmFrom.user, undefined], ['voicemail', voicemailPhone, vmFrom.voicemail, undefined]], phone.events[vmFrom.user]?.t ?? left.t)

  const paid = (spends, address) => spends.reduce((sum, t) => sum + (t.out[address] ?? 0), 0)
  const oneSatRecords = (spends, address) => spends.filter(t => t.out[address] === 1).length
  const miner = spends => spends.reduce((sum, t) => sum + t.fee, 0)
  const sent = (p, from, to) => p.events.slice(from).filter(e => e.event === 'audio_sent' && e.sent && e.t <= to).length
  const micLine = deviceAt(phone, 'input', hungUp.t)
  const echoSpeakerLine = deviceAt(echoPhone, 'output', hungUp.t)
  const latencies = micLine && echoSpeakerLine
    ? sentenceLatencies({ sentence: wavSamples(userSentence), micStart: micLine.first_frame_t, speaker: wavSamples(echoHeard), speakerStart: echoSpeakerLine.first_frame_t, from: connected.t, to: hungUp.t })
    : []
  const echoSeconds = (hungUp.t - connected.t) / 1000
  const echoCallee = paid(echoSpends, echo.receive) - oneSatRecords(echoSpends, echo.receive)
  const vmCallee = paid(vmSpends, voicemail.receive) - oneSatRecords(vmSpends, voicemail.receive)
  const summary = {
    echo_call: {
      connected_s: echoSeconds,
      callee_sats: echoCallee,
      connection_fee_sats: paid(echoSpends, info.config.connection_fee_address),
      miner_sats: miner(echoSpends),
      audio_records_sent: sent(phone, echoFrom.user, hungUp.t),
      audio_records_echoed: sent(echoPhone, echoFrom.echo, hungUp.t),
      latency_median_ms: median(latencies),
      latencies_ms: latencies
    },
    voicemail_call: {
      message_secs: filed.secs,
      status: left.text,
      callee_sats: vmCallee,
      connection_fee_sats: paid(vmSpends, info.config.connection_fee_address),
      miner_sats: miner(vmSpends),
      inbox: inbox.messages
    },
    files: {
      newcomer_says: userSentence,
      voicemail_greeting: greetingSentence,
      newcomer_hears_echo: echoCallSpeaker,
      echo_hears_newcomer: echoHeard,
      newcomer_hears_voicemail: vmCallSpeaker,
      folder
    }
  }
  console.log('\nSummary')
  const rows = [
    ['call to echo', `${fmt(echoSeconds, 1)} s connected`],
    ['  paid to echo', `${echoCallee} sats (the callee's fee; plus ${summary.echo_call.connection_fee_sats} sats connection fee)`],
    ['  miner fees', `${summary.echo_call.miner_sats} sats over ${echoSpends.length} transactions`],
    ['  audio records', `${summary.echo_call.audio_records_sent} sent, ${summary.echo_call.audio_records_echoed} echoed back`],
    ['  mouth-to-ear', `${fmt(median(latencies))} ms median (newcomer to echo, ${latencies.length} sentences)`],
    ['call to voicemail', `a message of ${filed.secs} s; voicemail's inbox lists ${inbox.messages.length}`],
    ['  paid to voicemail', `${vmCallee} sats (plus ${summary.voicemail_call.connection_fee_sats} sats connection fee)`],
    ['  miner fees', `${summary.voicemail_call.miner_sats} sats over ${vmSpends.length} transactions`]
  ]
  for (const [name, value] of rows) console.log(`  ${name.padEnd(20)} ${value}`)
  console.log('\nListen:')
  console.log(`  what you said:                 ${userSentence}`)
  console.log(`  what echo heard:               ${echoHeard}`)
  console.log(`  what you heard from echo:      ${echoCallSpeaker}`)
  console.log(`  what you heard from voicemail: ${vmCallSpeaker}`)
  console.log(`  (play them with: play FILE)`)
  if (summaryFile) fs.writeFileSync(summaryFile, JSON.stringify(summary, null, 2) + '\n')
  return summary
}

let failed = false
try {
  await main()
} catch (e) {
  failed = true
  console.error(`The run failed: ${e.stack ?? e}`)
} finally {
  await stopAll()
}
say(failed ? 'Stopped after a failure.' : 'Done; nothing is left running.')
process.exit(failed ? 1 : 0)
