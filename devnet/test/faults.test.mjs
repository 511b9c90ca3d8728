// Fault injection: each kind, counted down per host, method and path, and
// the request log that shows what the hosts were asked.
import assert from 'node:assert/strict'
import { describe, it } from 'node:test'
import { PrivateKey } from '@bsv/sdk'
import { buildTx, devnetForFile, fundedKey } from './helpers.mjs'

const { host, control } = await devnetForFile()
const fault = async wanted => {
  const answer = await control('POST', '/control/fault', wanted)
  assert.equal(answer.status, 200, answer.text)
  return answer.json
}
const someAddress = PrivateKey.fromRandom().toAddress()
const balance = () => host('chain', 'GET', `/v1/bsv/main/address/${someAddress}/balance`)
const oracle = () => host('service', 'GET', `/oi/oracle/cphone/txids?address=${someAddress}&kind=all&limit=20`)

describe('fault kinds', () => {
  it('status 429 answers once in the host\'s shape, then the host answers again', async () => {
    await fault({ host: 'chain', kind: 'status', status: 429 })
    const limited = await balance()
    assert.equal(limited.status, 429)
    assert.equal(limited.headers['retry-after'], '1')
    assert.equal(limited.headers['content-type'], 'text/plain; charset=utf-8')
    assert.equal((await balance()).status, 200)
  })

  it('status 503 for the next two requests, by host name', async () => {
    await fault({ host: 'corvane.app', kind: 'status', status: 503, count: 2 })
    const first = await oracle()
    assert.deepEqual([first.status, typeof first.json.error], [503, 'string'])
    assert.equal((await oracle()).status, 503)
    assert.equal((await oracle()).status, 200)
  })

  it('an HTML error page with status 502', async () => {
    await fault({ host: 'arc', kind: 'html' })
    const page = await host('arc', 'GET', '/v1/policy')
    assert.equal(page.status, 502)
    assert.ok(page.text.includes('<html') && page.text.includes('502 Bad Gateway'))
    assert.equal((await host('arc', 'GET', '/v1/policy')).status, 200)
  })

  it('a dropped connection, after which the transaction was not taken', async () => {
    const { coins, address } = await fundedKey(control, [5000])
    const tx = await buildTx(coins, [{ address, sats: 4000 }])
    await fault({ host: 'service', method: 'POST', path: '/oi/submit', kind: 'drop' })
    await assert.rejects(host('service', 'POST', '/oi/submit', { txhex: tx.toHex() }), err => ['ECONNRESET', 'EPIPE'].includes(err.code) || /socket hang up/.test(err.message))
    assert.equal((await control('GET', `/control/tx/${tx.id('hex')}`)).json.status, 'unknown')
    assert.equal((await host('service', 'POST', '/oi/submit', { txhex: tx.toHex() })).json.ok, true)
  })

  it('a delay, after which the answer is the normal one', async () => {
    await fault({ host: 'download', kind: 'delay', ms: 300 })
    const started = Date.now()
    const rate = await host('download', 'GET', '/c-rate.json')
    assert.ok(Date.now() - started >= 290)
    assert.deepEqual(rate.json, { ok: true, gbp: 40 })
  })

  it('a fixed body, such as the oracle asking to be left alone', async () => {
    await fault({ host: 'service', path: '/oi/oracle/', kind: 'body', body: { error: 'rate' } })
    const answer = await oracle()
    assert.deepEqual([answer.status, answer.json], [200, { error: 'rate' }])
  })

  it('an ARC txStatus of the test\'s choice; the transaction is taken only when asked', async () => {
    const { coins, address } = await fundedKey(control, [5000, 5000])
    const orphan = await buildTx([coins[0]], [{ address, sats: 4000 }])
    await fault({ host: 'arc', kind: 'arc_status', txStatus: 'SEEN_IN_ORPHAN_MEMPOOL', extraInfo: 'parent not found' })
    const refused = (await host('arc', 'POST', '/v1/tx', { rawTx: orphan.toHex() })).json
    assert.deepEqual([refused.txStatus, refused.extraInfo, refused.txid], ['SEEN_IN_ORPHAN_MEMPOOL', 'parent not found', orphan.id('hex')])
    assert.equal((await control('GET', `/control/tx/${orphan.id('hex')}`)).json.status, 'unknown')

    const mined = await buildTx([coins[1]], [{ address, sats: 4000 }])
    await fault({ host: 'arc', kind: 'arc_status', txStatus: 'MINED', omitTxid: true, admit: true })
    const answer = (await host('arc', 'POST', '/v1/tx', { rawTx: mined.toHex() })).json
    assert.equal(answer.txStatus, 'MINED')
    assert.equal('txid' in answer, false)
    assert.equal((await control('GET', `/control/tx/${mined.id('hex')}`)).json.status, 'mempool')
  })
})

describe('matching and bookkeeping', () => {
  it('a fault for one method and path leaves other requests alone', async () => {
    await fault({ host: 'service', method: 'POST', path: '/oi/submit', kind: 'status', status: 503 })
    assert.equal((await oracle()).status, 200)
    assert.equal((await balance()).status, 200)
    assert.equal((await host('service', 'POST', '/oi/submit', { txhex: '00' })).status, 503)
  })

  it('"always" lasts until the fault is cleared', async () => {
    const { id } = await fault({ host: 'chain', kind: 'status', status: 503, count: 'always' })
    for (let i = 0; i < 3; i++) assert.equal((await balance()).status, 503)
    assert.equal((await control('GET', '/control/faults')).json.faults.length, 1)
    assert.deepEqual((await control('DELETE', `/control/faults/${id}`)).json, { cleared: 1 })
    assert.equal((await balance()).status, 200)
  })

  it('refuses fault requests it cannot honour', async () => {
    for (const wanted of [
      { host: 'nowhere.example', kind: 'status', status: 503 },
      { host: 'chain', kind: 'explode' },
      { host: 'chain', kind: 'status', status: 200 },
      { host: 'service', kind: 'arc_status', txStatus: 'MINED' },
      { host: 'chain', kind: 'delay', ms: -1 },
      { host: 'chain', kind: 'drop', count: 0 }
    ]) {
      const answer = await control('POST', '/control/fault', wanted)
      assert.equal(answer.status, 400, JSON.stringify(wanted))
      assert.equal(typeof answer.json.error, 'string')
    }
  })

  it('the request log shows what each host was asked and answered', async () => {
    const before = (await control('GET', '/control/requests')).json.requests.at(-1).id
    await fault({ host: 'chain', kind: 'status', status: 429 })
    await balance()
    await balance()
    const seen = (await control('GET', `/control/requests?since=${before}&host=chain&path=/v1/bsv/main/address/`)).json.requests
    assert.deepEqual(seen.map(r => [r.method, r.status, r.fault]), [['GET', 429, 'status'], ['GET', 200, null]])
  })
})

describe('reset', () => {
  it('forgets the chain, the registry, the deliveries and the faults', async () => {
    const { txid, address } = await fundedKey(control, [5000])
    await control('POST', '/control/alias', { alias: 'gone' })
    await fault({ host: 'chain', kind: 'status', status: 503, count: 'always' })
    assert.deepEqual((await control('POST', '/control/reset', {})).json, { ok: true, height: 0 })
    assert.equal((await control('GET', `/control/tx/${txid}`)).json.status, 'unknown')
    assert.equal((await host('service', 'GET', '/api/bsvalias/id/gone@corvane.app')).status, 404)
    assert.deepEqual((await control('GET', '/control/faults')).json.faults, [])
    const coins = await host('chain', 'GET', `/v1/bsv/main/address/${address}/unspent`)
    assert.deepEqual([coins.status, coins.json], [200, []])
    assert.equal((await fundedKey(control, [1000])).coins.length, 1)
  })
})
