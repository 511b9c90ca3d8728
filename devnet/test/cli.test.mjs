// devnet/start as a process: its start line, stopping on SIGTERM, on its own
// after its lifetime and through the control port, the state file, and bad
// input that must not bring it down.
import assert from 'node:assert/strict'
import { spawn } from 'node:child_process'
import fs from 'node:fs'
import os from 'node:os'
import path from 'node:path'
import { after, describe, it } from 'node:test'
import { fileURLToPath } from 'node:url'
import { PrivateKey } from '@bsv/sdk'
import { controlRequest, hostRequest } from '../lib/client.mjs'

const start = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'start')
// Children still running when the file ends (a failed test) get SIGTERM, so
// that they remove their folders, and SIGKILL if they do not go.
const running = new Map()
after(async () => {
  await Promise.all(
    [...running].map(([child, exited]) => {
      child.kill('SIGTERM')
      const timer = setTimeout(() => child.kill('SIGKILL'), 3000)
      return exited.then(() => clearTimeout(timer))
    })
  )
})

// Starts devnet/start with args; answers {child, info, exited} once the start
// line is out. exited settles with the exit code.
function launch(args) {
  const child = spawn(start, args, { stdio: ['ignore', 'pipe', 'pipe'] })
  const exited = new Promise(resolve => child.on('exit', code => {
    running.delete(child)
    resolve(code)
  }))
  running.set(child, exited)
  return new Promise((resolve, reject) => {
    let out = ''
    let err = ''
    child.stderr.on('data', d => (err += d))
    child.stdout.on('data', d => {
      out += d
      const newline = out.indexOf('\n')
      if (newline >= 0) resolve({ child, info: JSON.parse(out.slice(0, newline)), exited, rest: () => out.slice(newline + 1) })
    })
    exited.then(code => reject(new Error(`devnet exited with ${code} before its start line: ${err}`)))
  })
}

describe('the start line', () => {
  it('names ports, CA, hosts, the config fragment and fee keys; SIGTERM stops it and removes its folder', async () => {
    const { child, info, exited, rest } = await launch(['--lifetime', '60'])
    assert.deepEqual(Object.keys(info.config).sort(), ['arc_api', 'ca_file', 'chain_api', 'connect_to', 'connection_fee_address', 'download_site', 'house_oracles', 'message_fee_address', 'ordinals_api', 'service_domain', 'service_host', 'service_pinned_ip'])
    assert.deepEqual(
      { service_host: info.config.service_host, service_domain: info.config.service_domain, service_pinned_ip: info.config.service_pinned_ip, chain_api: info.config.chain_api, arc_api: info.config.arc_api, ordinals_api: info.config.ordinals_api, download_site: info.config.download_site },
      { service_host: 'corvane.app', service_domain: 'corvane.app', service_pinned_ip: '', chain_api: 'https://api.whatsonchain.com/v1/bsv/main', arc_api: 'https://arc.gorillapool.io', ordinals_api: 'https://ordinals.gorillapool.io', download_site: 'https://corvane.com' }
    )
    assert.equal(info.config.ca_file, info.ca_file)
    assert.equal(PrivateKey.fromHex(info.fee_keys.message_fee.private_key).toAddress(), info.config.message_fee_address)
    assert.equal(PrivateKey.fromWif(info.fee_keys.connection_fee.wif).toAddress(), info.config.connection_fee_address)
    const played = ['corvane.app', 'www.corvane.app', 'api.whatsonchain.com', 'arc.gorillapool.io', 'ordinals.gorillapool.io', 'corvane.com', 'extpay.test']
    assert.deepEqual(info.config.connect_to, played.map(name => `${name}:443:127.0.0.1:${info.https_port}`))
    // Every played name passes certificate checks against the CA file.
    for (const name of played) {
      const answer = await hostRequest(info, name, 'GET', '/')
      assert.ok(answer.status > 0, name)
    }
    assert.equal((await hostRequest(info, 'localhost', 'GET', '/')).status, 421)
    assert.equal(rest(), '', 'standard output holds the start line only')
    child.kill('SIGTERM')
    assert.equal(await exited, 0)
    assert.equal(fs.existsSync(info.dir), false)
  })

  it('mines on its interval and stops by itself when its lifetime is over', async () => {
    const { info, exited } = await launch(['--lifetime', '3', '--mine-interval', '0.1'])
    let height = 0
    while (height < 2) height = (await controlRequest(info, 'GET', '/control/info')).json.height
    assert.equal(await exited, 0)
  })

  it('refuses an unknown option, and a state file that does not parse', async () => {
    await assert.rejects(launch(['--frobnicate']), /exited with 2/)
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'devnet-bad-state-'))
    after(() => fs.rmSync(dir, { recursive: true, force: true }))
    fs.writeFileSync(path.join(dir, 'state.json'), '{"keys":')
    await assert.rejects(launch(['--state', path.join(dir, 'state.json')]), /exited with 1 before its start line: devnet: could not start/)
  })
})

describe('host names', () => {
  it('can be played under other names', async () => {
    const { info, child, exited } = await launch(['--lifetime', '60', '--host-service', 'svc.test', '--host-paymail-domain', 'svc.test', '--host-chain', 'chain.test'])
    assert.deepEqual([info.config.service_host, info.config.service_domain, info.config.chain_api], ['svc.test', 'svc.test', 'https://chain.test/v1/bsv/main'])
    assert.ok(info.config.connect_to.includes(`svc.test:443:127.0.0.1:${info.https_port}`))
    const made = (await controlRequest(info, 'POST', '/control/alias', { alias: 'zed' })).json
    assert.equal(made.paymail, 'zed@svc.test')
    assert.equal((await hostRequest(info, 'svc.test', 'GET', '/api/bsvalias/id/zed@svc.test')).json.pubkey, made.pubkey)
    assert.equal((await hostRequest(info, 'chain.test', 'GET', '/v1/bsv/main/chain/info')).status, 200)
    child.kill('SIGTERM')
    assert.equal(await exited, 0)
  })
})

describe('the state file', () => {
  it('keeps the chain, the registry and the keys across a restart', async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'devnet-state-'))
    after(() => fs.rmSync(dir, { recursive: true, force: true }))
    const state = path.join(dir, 'state.json')
    const address = PrivateKey.fromRandom().toAddress()

    const first = await launch(['--state', state, '--lifetime', '60'])
    const funded = (await controlRequest(first.info, 'POST', '/control/fund', { address, sats: [700, 800] })).json
    await controlRequest(first.info, 'POST', '/control/alias', { alias: 'kept', phoneFee: 5 })
    assert.deepEqual((await controlRequest(first.info, 'POST', '/control/stop', {})).json, { ok: true })
    assert.equal(await first.exited, 0)

    const second = await launch(['--state', state, '--lifetime', '60'])
    assert.equal(second.info.config.message_fee_address, first.info.config.message_fee_address)
    assert.equal((await controlRequest(second.info, 'GET', `/control/tx/${funded.txid}`)).json.status, 'confirmed')
    const coins = (await hostRequest(second.info, 'api.whatsonchain.com', 'GET', `/v1/bsv/main/address/${address}/unspent`)).json
    assert.deepEqual(coins.map(c => c.value), [700, 800])
    assert.equal((await hostRequest(second.info, 'corvane.app', 'GET', '/api/bsvalias/id/kept@corvane.app')).json.phoneFee, 5)
    second.child.kill('SIGTERM')
    assert.equal(await second.exited, 0)
  })
})

describe('bad input', () => {
  it('answers clear errors and keeps running', async () => {
    const { info, child, exited } = await launch(['--lifetime', '60'])
    const service = (method, p, body, headers) => hostRequest(info, 'corvane.app', method, p, body, headers)
    const chain = (method, p, body) => hostRequest(info, 'api.whatsonchain.com', method, p, body)
    const cases = [
      [() => service('POST', '/oi/submit', '{"txhex":'), 400, 'body is not JSON'],
      [() => service('POST', '/oi/submit', { hex: '00' }), 400, 'txhex must be a hex string'],
      [() => service('POST', '/oi/submit', { txhex: 12 }), 400, 'txhex must be a hex string'],
      [() => service('POST', '/oi/submit', ['00']), 400, 'body must be a JSON object'],
      [() => service('POST', '/oi/submit', { txhex: '01000000' }), 400, 'TX decode failed'],
      [() => service('GET', '/oi/submit'), 405, 'use POST'],
      [() => chain('POST', '/v1/bsv/main/tx/raw', 'nonsense'), 400, 'body is not JSON'],
      [() => chain('POST', '/v1/bsv/main/tx/raw', { txhex: 'abc' }), 400, 'txhex is not hex'],
      [() => chain('POST', '/v1/bsv/main/tx/raw', { txhex: '0100000001' }), 400, 'TX decode failed'],
      [() => chain('GET', '/v1/bsv/main/address/not-an-address/unspent'), 400, 'Invalid address'],
      [() => hostRequest(info, 'arc.gorillapool.io', 'POST', '/v1/tx', { rawTx: 7 }), 400, 'rawTx must be a hex string'],
      [() => controlRequest(info, 'POST', '/control/fund', { address: 'x', sats: [1] }), 400, 'P2PKH'],
      [() => controlRequest(info, 'POST', '/control/fund', { address: PrivateKey.fromRandom().toAddress(), sats: [0] }), 400, 'whole number'],
      [() => controlRequest(info, 'POST', '/control/mine', { blocks: 'many' }), 400, 'blocks'],
      [() => controlRequest(info, 'GET', '/control/nothing'), 404, 'no control route']
    ]
    for (const [call, status, marker] of cases) {
      const answer = await call()
      assert.equal(answer.status, status, answer.text)
      assert.ok(answer.text.includes(marker), `${marker} in ${answer.text}`)
    }
    const huge = Buffer.alloc(11 * 1024 * 1024, 0x61)
    const tooLarge = await service('POST', '/oi/submit', huge, { 'Content-Type': 'application/json' })
    assert.equal(tooLarge.status, 413)
    assert.equal(tooLarge.json.ok, false)
    assert.equal((await chain('GET', '/v1/bsv/main/chain/info')).status, 200)
    const log = fs.readFileSync(info.log_file, 'utf8').trim().split('\n').map(line => JSON.parse(line))
    assert.ok(log.some(e => e.event === 'refuse' && e.via === 'chain' && e.code === 'decode'), 'refusals are logged')
    assert.ok(log.some(e => e.event === 'request' && e.status === 413), 'requests are logged')
    child.kill('SIGTERM')
    assert.equal(await exited, 0)
  })
})
