// A paid call between two kestrel-cli phones on a devnet of its own: the
// mouth-to-ear latency of tone bursts, beside the floor the record format
// sets, and what the call costs and uses.
//
// usage: node bench/call-bench.mjs [BUILD_DIR] [SECONDS]   (default build, 60)
//        CALL_BENCH_KEEP=1 keeps the phones' folders, with their events in
//        events.jsonl, instead of removing them.
//
// Alice's microphone is near-silence with a 200 ms 1 kHz burst every 2.5 s;
// bob's is a spoken sentence over and over, so both directions carry audio.
// Alice calls bob, they talk SECONDS seconds, alice hangs up. Each burst's
// wall time (alice's input first_frame_t + its offset) is paired with the
// first 1 kHz onset after it in bob's speaker file (bob's output
// first_frame_t + sample / 8000), within 10 s.
import crypto from 'node:crypto'
import fs from 'node:fs'
import os from 'node:os'
import { join, resolve } from 'node:path'
import { hostRequest } from '../devnet/lib/client.mjs'
import { startDevnet } from '../devnet/lib/devnet.mjs'
import { PCM, Phone, RATE, WAIT_MS, balanceSats, control as controlCall, fmt, makeWallet, median, percentile, root, run, sleep, speak, spendsOf, wavSamples } from '../scripts/lib/phones.mjs'

const buildDir = resolve(process.argv[2] ?? join(root, 'build'))
const talkSeconds = Number(process.argv[3] ?? 60)
const cli = join(buildDir, 'app/cli/kestrel-cli')
const BURST_EVERY_S = 2.5
const BURST_S = 0.2
const FIRST_BURST_S = 1.0 // the first burst's offset in alice's microphone file
const PAIR_WITHIN_MS = 10000
const CONNECTION_FEE = 25000 // the devnet's rate
const CHUNK_FLOOR_MS = 800 // the shortest audio record after speech starts
const POLL_MS = 100 // one chain pass during a call

if (!fs.existsSync(cli)) {
  console.error(`no kestrel-cli at ${cli}; build it first (cmake --build ${buildDir} --target kestrel-cli)`)
  process.exit(2)
}
if (!(talkSeconds > 0)) {
  console.error('SECONDS must be a positive number')
  process.exit(2)
}

// --- Sound files ----------------------------------------------------------------------

// Near-silence with a 200 ms 1 kHz burst every 2.5 s from FIRST_BURST_S on;
// answers the burst offsets in ms.
async function toneMicrophone (folder, seconds) {
  const lead = join(folder, 'lead.wav')
  const tone = join(folder, 'tone.wav')
  const gap = join(folder, 'gap.wav')
  const period = join(folder, 'period.wav')
  const mic = join(folder, 'microphone.wav')
  const bursts = Math.ceil((seconds - FIRST_BURST_S) / BURST_EVERY_S)
  await run('sox', ['-n', ...PCM, lead, 'synth', String(FIRST_BURST_S), 'whitenoise', 'vol', '0.002'])
  // A quarter-period phase: the phone's silence test reads every 8th sample,
  // which for a 1 kHz tone at 8000 Hz is always the same phase; from phase 0
  // that is the zero crossing, and the bursts would count as silence.
  await run('sox', ['-n', ...PCM, tone, 'synth', String(BURST_S), 'sine', '1000', '0', '25', 'vol', '0.5'])
  await run('sox', ['-n', ...PCM, gap, 'synth', String(BURST_EVERY_S - BURST_S), 'whitenoise', 'vol', '0.002'])
  const periods = join(folder, 'periods.wav')
  await run('sox', [tone, gap, period])
  await run('sox', [period, periods, 'repeat', String(bursts - 1)])
  await run('sox', [lead, periods, mic])
  return { path: mic, offsetsMs: Array.from({ length: bursts }, (_, i) => (FIRST_BURST_S + i * BURST_EVERY_S) * 1000) }
}

// A spoken sentence after 1.5 s of silence, over and over for seconds.
async function speechMicrophone (folder, seconds) {
  const one = join(folder, 'sentence.wav')
  const mic = join(folder, 'microphone.wav')
  const length = await speak('Seven silver swans swim slowly south, singing softly at sunset.', one)
  await run('sox', [one, mic, 'repeat', String(Math.ceil(seconds / length))])
  return mic
}

// Sample indexes where a 1 kHz tone starts: 20 ms windows whose Goertzel
// amplitude at 1 kHz is over a threshold and most of the window's energy,
// after at least 100 ms without.
function toneOnsets (samples) {
  const n = RATE / 50
  const coeff = 2 * Math.cos((2 * Math.PI * 1000) / RATE)
  const onsets = []
  let quietWindows = 5
  for (let start = 0; start + n <= samples.length; start += n) {
    let s1 = 0
    let s2 = 0
    let energy = 0
    for (let i = start; i < start + n; i++) {
      const x = samples[i]
      const s0 = x + coeff * s1 - s2
      s2 = s1
      s1 = s0
      energy += x * x
    }
    const power = s1 * s1 + s2 * s2 - coeff * s1 * s2 // |X(1 kHz)|^2
    const amplitude = (2 * Math.sqrt(power)) / n
    const share = energy > 0 ? power / ((n * energy) / 2) : 0 // 1 for a pure tone
    const tone = amplitude > 1500 && share > 0.5
    if (tone && quietWindows >= 5) onsets.push(start)
    quietWindows = tone ? 0 : quietWindows + 1
  }
  return onsets
}

// --- The run ----------------------------------------------------------------------------

const keep = process.env.CALL_BENCH_KEEP === '1' // keep the folders and event logs to look into
const temp = fs.mkdtempSync(join(os.tmpdir(), 'kestrel-call-bench-'))
const phones = []
let dv = null
let failed = false
const stop = async () => {
  for (const phone of phones) {
    if (phone.child && !phone.exited) phone.child.kill('SIGKILL')
  }
  await Promise.all(phones.map(p => p.exitedPromise).filter(Boolean))
  if (dv) await dv.stop()
  dv = null
  if (keep) {
    for (const phone of phones) fs.writeFileSync(join(phone.folder, 'events.jsonl'), phone.events.map(e => JSON.stringify(e) + '\n').join(''))
    console.error(`call-bench: kept ${temp}`)
  } else {
    fs.rmSync(temp, { recursive: true, force: true })
  }
}
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => stop().finally(() => process.exit(130)))
}

try {
  dv = await startDevnet({ lifetime: talkSeconds + 1200 })
  const info = dv.info
  const control = (method, path, body) => controlCall(info, method, path, body)
  await control('POST', '/control/settings', { mine_interval: 3 })

  // Coins of an address on the chain API, confirmed and not.
  const coinValues = async address => {
    const values = []
    for (const list of ['/unspent/all', '/unconfirmed/unspent']) {
      const answer = await hostRequest(info, info.hosts.chain, 'GET', `/v1/bsv/main/address/${address}${list}`)
      for (const coin of answer.json?.result ?? []) values.push(coin.value)
    }
    return values
  }

  // Two sides: a wallet with a registered handle, funded, and a phone.
  const makeSide = async (name, microphone) => {
    const folder = join(temp, name)
    const speaker = join(folder, 'speaker.wav')
    const { alias, receive } = await makeWallet(info, {
      folder,
      name,
      alias: `${name}-${crypto.randomBytes(8).toString('hex')}`,
      coins: Array(40).fill(2000),
      config: { audio_input: `file:${microphone}`, audio_output: `file:${speaker}` }
    })
    const phone = new Phone(name, folder, cli)
    phones.push(phone)
    return { name, folder, alias, receive, speaker, phone }
  }

  const soundFolder = join(temp, 'sounds')
  fs.mkdirSync(soundFolder)
  const micSeconds = talkSeconds + 30
  const aliceMic = await toneMicrophone(soundFolder, micSeconds)
  const bobSoundFolder = join(soundFolder, 'bob')
  fs.mkdirSync(bobSoundFolder)
  const bobMic = await speechMicrophone(bobSoundFolder, micSeconds)
  const alice = await makeSide('alice', aliceMic.path)
  const bob = await makeSide('bob', bobMic)
  await control('POST', '/control/mine', { blocks: 1 })

  for (const side of [alice, bob]) {
    side.phone.start()
    await side.phone.waitEvent('ready')
    side.phone.send('connect')
    await side.phone.waitEvent('connection', { connected: true, handle: side.alias })
  }
  // The balance before the call: the first line that shows the funding.
  const fundedLine = await alice.phone.waitFor(e => e.event === 'balance' && balanceSats(e.text) > 0, 0, WAIT_MS, 'a funded balance')

  console.error(`call-bench: alice calls bob, ${talkSeconds} s of talk`)
  const callFrom = alice.phone.events.length
  const spentBefore = new Set(spendsOf(dv.chain, alice.receive).keys())
  alice.phone.send(`call ${bob.alias}`)
  await bob.phone.waitEvent('ring')
  bob.phone.send('answer')
  const aliceConnected = await alice.phone.waitEvent('state', { state: 'Connected' }, callFrom)
  await bob.phone.waitEvent('state', { state: 'Connected' })
  const startBalance = balanceSats(alice.phone.events.slice(0, callFrom).filter(e => e.event === 'balance').pop()?.text ?? fundedLine.text)
  const usageAtConnect = { alice: alice.phone.usage(), bob: bob.phone.usage() }
  const connectedAt = Date.now()

  await sleep(talkSeconds * 1000)
  const usageAtHangup = { alice: alice.phone.usage(), bob: bob.phone.usage() }
  const talkWallSeconds = (Date.now() - connectedAt) / 1000
  const hangupFrom = alice.phone.events.length
  alice.phone.send('hangup')
  const hungUp = await alice.phone.waitEvent('status', { text: 'Hung up.' }, hangupFrom)
  await bob.phone.waitEvent('status', { text: 'They hung up.' })
  const connectedSeconds = (hungUp.t - aliceConnected.t) / 1000

  // Let the last spends settle into alice's balance: mine, then wait until
  // the balance line has not changed for 10 s (at most 60 s).
  await control('POST', '/control/mine', { blocks: 1 })
  let lastChange = Date.now()
  let seen = alice.phone.events.length
  for (const until = Date.now() + 60000; Date.now() < until && Date.now() - lastChange < 10000;) {
    await sleep(1000)
    const fresh = alice.phone.events.slice(seen)
    seen += fresh.length
    if (fresh.some(e => e.event === 'balance')) lastChange = Date.now()
  }
  const endBalance = balanceSats(alice.phone.events.filter(e => e.event === 'balance').pop()?.text)

  const usageAtEnd = { alice: alice.phone.usage(), bob: bob.phone.usage() }
  const calleeCoins = await coinValues(bob.receive)
  const aliceCoins = await coinValues(alice.receive)
  const serviceCoins = await coinValues(info.config.message_fee_address)
  const connectionCoins = await coinValues(info.config.connection_fee_address)
  const callSpends = [...spendsOf(dv.chain, alice.receive)].filter(([txid]) => !spentBefore.has(txid)).map(([, t]) => t)
  const quits = { alice: await alice.phone.quit(), bob: await bob.phone.quit() }

  // --- Latency --------------------------------------------------------------------------
  const inputDevice = alice.phone.events.filter(e => e.event === 'device' && e.kind === 'input')
  const outputDevice = bob.phone.events.filter(e => e.event === 'device' && e.kind === 'output')
  if (inputDevice.length === 0 || outputDevice.length === 0) throw new Error('no device events: cannot place the files in time')
  // The capture that ran during the call: the last opened before the hang-up.
  // The speaker file is rewritten at each open, so it holds the last one.
  const talkEnd = hungUp.t
  const micLine = inputDevice.filter(e => e.t <= talkEnd).pop() ?? inputDevice[0]
  const speakerLine = outputDevice[outputDevice.length - 1]
  const micStart = micLine.first_frame_t
  const speakerStart = speakerLine.first_frame_t
  // Bursts that went into alice's microphone while the call was connected.
  const sentBursts = aliceMic.offsetsMs.map(o => micStart + o).filter(t => t >= aliceConnected.t && t + BURST_S * 1000 <= talkEnd)
  const heardAt = toneOnsets(wavSamples(bob.speaker)).map(s => speakerStart + (s * 1000) / RATE)
  const latencies = []
  let next = 0
  for (const sent of sentBursts) {
    while (next < heardAt.length && heardAt[next] < sent) next++
    if (next < heardAt.length && heardAt[next] - sent <= PAIR_WITHIN_MS) latencies.push(heardAt[next++] - sent)
  }

  // --- Records, fees, resources -----------------------------------------------------------
  const sends = alice.phone.events.filter(e => e.event === 'audio_sent')
  const sentRecords = sends.filter(e => e.sent)
  const submitMs = median(sends.map(e => e.ms))
  const floorMs = CHUNK_FLOOR_MS + POLL_MS + submitMs
  const perMinute = value => (value * 60) / connectedSeconds
  const count = (values, v) => values.filter(x => x === v).length
  const calleeSats = 10 * count(calleeCoins, 10)
  const aliceRecordsOut = count(calleeCoins, 1) // each of alice's records pays bob 1 sat ...
  const serviceOnes = count(serviceCoins, 1) // ... and the service 1 sat (so do bob's)
  const bobRecordsIn = count(aliceCoins, 1) // each of bob's records pays alice 1 sat
  const paidConnection = count(connectionCoins, CONNECTION_FEE) > 0
  const drop = startBalance - endBalance
  const minerSats = drop - calleeSats - CONNECTION_FEE - 2 * aliceRecordsOut + bobRecordsIn
  const briefMinerSats = drop - calleeSats - CONNECTION_FEE - sentRecords.length
  // The same from alice's transactions on the chain, exactly.
  const chainMiner = callSpends.reduce((sum, t) => sum + t.fee, 0)
  const feeOfRest = callSpends.filter(t => !t.out[info.config.connection_fee_address]).reduce((sum, t) => sum + t.fee, 0)
  const chainPaid = address => callSpends.reduce((sum, t) => sum + (t.out[address] ?? 0), 0)
  const bobReceived = bob.phone.events.filter(e => e.event === 'audio_received').length
  const aliceReceived = alice.phone.events.filter(e => e.event === 'audio_received').length
  const share = (side) => (100 * (usageAtHangup[side].cpuSeconds - usageAtConnect[side].cpuSeconds)) / talkWallSeconds

  const rows = [
    ['mouth-to-ear latency, median', `${fmt(median(latencies))} ms`, `floor ${fmt(floorMs)} ms = ${CHUNK_FLOOR_MS} chunk + ${POLL_MS} poll + ${fmt(submitMs)} submit (median)`],
    ['mouth-to-ear latency, p90', `${fmt(percentile(latencies, 90))} ms`, ''],
    ['latency min / max', `${fmt(Math.min(...latencies))} / ${fmt(Math.max(...latencies))} ms`, ''],
    ['bursts sent / heard', `${sentBursts.length} / ${latencies.length}`, `paired within ${PAIR_WITHIN_MS / 1000} s; ${heardAt.length} tone onsets in bob's speaker`],
    ['connected', `${fmt(connectedSeconds, 1)} s`, 'alice: Connected to "Hung up."'],
    ['audio records per talking minute', fmt(perMinute(sentRecords.length), 1), `alice: ${sentRecords.length} sent, ${sends.length - sentRecords.length} not; bob received ${bobReceived}; alice received ${aliceReceived}`],
    ['submit time (alice), median / p90', `${fmt(submitMs)} / ${fmt(percentile(sends.map(e => e.ms), 90))} ms`, ''],
    ['callee fee per talking minute', `${fmt(perMinute(calleeSats), 1)} sats`, `${calleeSats} sats in 10-sat coins at bob's address (prepayment included)`],
    ['miner fees per talking minute', `${fmt(perMinute(minerSats), 1)} sats`, `${fmt(minerSats)} sats in the call (see below)`],
    ['miner fees per minute, from the chain', `${fmt(perMinute(chainMiner), 1)} sats`, `${chainMiner} sats over alice's ${callSpends.length} transactions from the call on (inputs - outputs)`],
    ['  without the connection fee\'s', `${fmt(perMinute(feeOfRest), 1)} sats`, 'leaving out the transaction that pays the connection fee'],
    ['CPU share, alice / bob', `${fmt(share('alice'), 1)} % / ${fmt(share('bob'), 1)} %`, 'of one core, user + system, while connected'],
    ['peak RSS, alice / bob', `${fmt(usageAtEnd.alice.peakKb / 1024, 1)} / ${fmt(usageAtEnd.bob.peakKb / 1024, 1)} MB`, 'VmHWM before quit']
  ]
  const w0 = Math.max(...rows.map(r => r[0].length))
  const w1 = Math.max(...rows.map(r => r[1].length))
  console.log(`call bench: ${talkSeconds} s of talk on the devnet (a block every 3 s), ${new Date().toISOString()}`)
  for (const [name, value, note] of rows) console.log(`  ${name.padEnd(w0)}  ${value.padEnd(w1)}  ${note}`)
  console.log('miner fees: alice\'s balance drop from her "balance" lines, minus the callee fees, minus the')
  console.log(`  ${CONNECTION_FEE}-sat connection fee, minus 2 sats per record of hers (1 to bob, 1 to the service),`)
  console.log('  plus the 1-sat coins bob\'s records paid her:')
  console.log(`  ${fmt(startBalance)} - ${fmt(endBalance)} = ${fmt(drop)}; ${fmt(drop)} - ${calleeSats} - ${CONNECTION_FEE} - 2 x ${aliceRecordsOut} + ${bobRecordsIn} = ${fmt(minerSats)} sats`)
  console.log(`  (1 sat per audio record sent only, as a first estimate: ${fmt(briefMinerSats)} sats;`)
  console.log(`   1-sat coins at the service: ${serviceOnes}; connection fee arrived: ${paidConnection ? 'yes' : 'NO'})`)
  console.log(`alice's transactions from the call on paid bob ${chainPaid(bob.receive)} sats, the service ${chainPaid(info.config.message_fee_address)}, the connection fee address ${chainPaid(info.config.connection_fee_address)}, and miners ${chainMiner}`)
  console.log(`  per transaction: fee median ${fmt(median(callSpends.map(t => t.fee)))}, max ${fmt(Math.max(...callSpends.map(t => t.fee)))} sats; size median ${fmt(median(callSpends.map(t => t.size)))} bytes; rate median ${fmt(median(callSpends.map(t => (1000 * t.fee) / t.size)), 1)} sats/kB`)
  const dearest = callSpends.reduce((a, t) => (!a || t.fee > a.fee ? t : a), null)
  if (dearest) console.log(`  the dearest: ${dearest.fee} sats, ${dearest.size} bytes, ${dearest.inputs} inputs, ${dearest.outputs} outputs, ${fmt((1000 * dearest.fee) / dearest.size, 1)} sats/kB (${Object.entries(dearest.out).filter(([, v]) => v >= 25000).map(([a, v]) => `${v} to ${a === info.config.connection_fee_address ? 'the connection fee' : a}`).join(', ') || 'no large payment'})`)
  console.log(`latencies (ms): ${latencies.map(v => fmt(v)).join(' ')}`)
  if (inputDevice.length > 1 || outputDevice.length > 1) console.log(`note: ${inputDevice.length} input and ${outputDevice.length} output device lines; used alice's input opened ${micLine.t - aliceConnected.t} ms after Connected and bob's output opened ${speakerLine.t - aliceConnected.t} ms after`)
  if (speakerLine.t > talkEnd) console.log('note: bob\'s speaker was reopened after the hang-up; the file holds no call audio')
  if (quits.alice.code !== 0 || quits.bob.code !== 0) console.log(`note: exit alice ${JSON.stringify(quits.alice)}, bob ${JSON.stringify(quits.bob)}`)
  console.log(JSON.stringify({
    seconds: talkSeconds,
    connected_s: connectedSeconds,
    latency_median_ms: median(latencies),
    latency_p90_ms: percentile(latencies, 90),
    floor_ms: floorMs,
    submit_median_ms: submitMs,
    bursts_sent: sentBursts.length,
    bursts_heard: latencies.length,
    records_per_minute: perMinute(sentRecords.length),
    callee_sats_per_minute: perMinute(calleeSats),
    miner_sats_per_minute: perMinute(minerSats),
    chain_miner_sats_per_minute: perMinute(chainMiner),
    chain_miner_sats_per_minute_without_connection_fee_tx: perMinute(feeOfRest),
    cpu_share_alice: share('alice'),
    cpu_share_bob: share('bob'),
    peak_kb_alice: usageAtEnd.alice.peakKb,
    peak_kb_bob: usageAtEnd.bob.peakKb
  }))
} catch (e) {
  failed = true
  console.error(`call-bench failed: ${e.stack ?? e}`)
} finally {
  await stop()
}
process.exit(failed ? 1 : 0)
