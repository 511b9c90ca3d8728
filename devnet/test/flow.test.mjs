// The whole road of a payment: funded, built and signed with @bsv/sdk, sent
// through each of the three submit paths, found in the oracle, the histories
// and the unspent lists, mined, and spent again; a forged spend is refused on
// every path.
import assert from 'node:assert/strict'
import { it } from 'node:test'
import { PrivateKey } from '@bsv/sdk'
import { buildTx, dataScript, devnetForFile, fundedKey } from './helpers.mjs'

const { info, host, control } = await devnetForFile()

const submitPaths = {
  service: async hex => {
    const a = await host('service', 'POST', '/oi/submit', { txhex: hex })
    return { accepted: a.status === 200 && a.json.ok === true, text: a.text }
  },
  chain: async hex => {
    const a = await host('chain', 'POST', '/v1/bsv/main/tx/raw', { txhex: hex })
    return { accepted: a.status === 200, text: a.text }
  },
  arc: async hex => {
    const a = await host('arc', 'POST', '/v1/tx', { rawTx: hex })
    return { accepted: a.status === 200 && a.json.txStatus === 'SEEN_ON_NETWORK', text: a.text }
  }
}

it('funds, submits on every path, lists, mines and spends again; refuses a forgery', async () => {
  const payer = await fundedKey(control, [20000, 20000, 20000, 20000])
  const payee = PrivateKey.fromRandom()
  const payeeAddress = payee.toAddress()
  const feeAddress = info.config.message_fee_address
  const woc = path => host('chain', 'GET', `/v1/bsv/main${path}`)

  // One payment per path: 1000 to the payee, 1 to the service, a record, change.
  const sent = []
  for (const [i, path] of Object.keys(submitPaths).entries()) {
    const tx = await buildTx([payer.coins[i]], [
      { address: payeeAddress, sats: 1000 },
      { address: feeAddress, sats: 1 },
      { script: dataScript(`{"protocol":"CV-Phone","n":${i}}`), sats: 0 },
      { address: payer.address, sats: 18000 }
    ])
    const answer = await submitPaths[path](tx.toHex())
    assert.ok(answer.accepted, `${path}: ${answer.text}`)
    sent.push(tx)
  }
  const txids = sent.map(tx => tx.id('hex'))

  // The oracle lists them newest first.
  const oracle = await host('service', 'GET', `/oi/oracle/cphone/txids?address=${payeeAddress}&kind=all&limit=20`)
  assert.deepEqual(oracle.json.txids, txids.slice().reverse())

  // Decoded from the service and the chain API, raw from the chain API.
  for (const [i, txid] of txids.entries()) {
    for (const doc of [(await host('service', 'GET', `/oi/tx/${txid}`)).json, (await woc(`/tx/${txid}`)).json]) {
      assert.equal(doc.txid, txid)
      const data = doc.vout[2].scriptPubKey
      assert.equal(data.type, 'nulldata')
      assert.equal(data.isTruncated, false)
      assert.equal(data.opReturn.text, `{"protocol":"CV-Phone","n":${i}}`)
      assert.deepEqual(data.opReturn.parts, [data.opReturn.text])
      assert.ok(data.asm.startsWith('0 OP_RETURN '))
      assert.equal(doc.vout[0].scriptPubKey.addresses[0], payeeAddress)
      assert.equal(doc.confirmations, 0)
    }
    assert.equal((await woc(`/tx/${txid}/hex`)).text, sent[i].toHex())
  }

  // Histories and unspent lists before the block.
  const unconfirmedHistory = (await woc(`/address/${payeeAddress}/unconfirmed/history`)).json
  assert.deepEqual(unconfirmedHistory.result.map(r => r.tx_hash).sort(), txids.slice().sort())
  assert.deepEqual((await woc(`/address/${payeeAddress}/history`)).json.map(r => [r.tx_hash, r.height]), txids.map(t => [t, 0]))
  const pending = (await woc(`/address/${payeeAddress}/unconfirmed/unspent`)).json.result
  assert.deepEqual(pending.map(c => [c.tx_hash, c.tx_pos, c.value, c.isSpentInMempoolTx]), txids.map(t => [t, 0, 1000, false]))
  assert.deepEqual((await woc(`/address/${payeeAddress}/unspent/all`)).json.result, [])

  // Mined.
  const mined = (await control('POST', '/control/mine', { blocks: 1 })).json
  assert.deepEqual(mined.txids, txids)
  for (const txid of txids) assert.equal((await control('GET', `/control/tx/${txid}`)).json.status, 'confirmed')
  const confirmed = (await woc(`/address/${payeeAddress}/unspent/all`)).json.result
  assert.deepEqual(confirmed.map(c => [c.tx_hash, c.value, c.height]), txids.map(t => [t, 1000, mined.height]))
  assert.deepEqual((await woc(`/address/${payeeAddress}/history`)).json.map(r => r.height), [mined.height, mined.height, mined.height])
  assert.deepEqual((await woc(`/address/${payeeAddress}/unconfirmed/history`)).json.result, [])
  assert.deepEqual((await woc(`/address/${feeAddress}/balance`)).json, { confirmed: 3, unconfirmed: 0 })

  // Spent again by the payee; the spent coins are flagged until the next block.
  const coins = confirmed.map(c => ({ txid: c.tx_hash, vout: c.tx_pos, sats: c.value, key: payee }))
  const onward = await buildTx(coins, [{ address: payer.address, sats: 2900 }])
  assert.ok((await submitPaths.service(onward.toHex())).accepted)
  assert.ok((await woc(`/address/${payeeAddress}/unspent/all`)).json.result.every(c => c.isSpentInMempoolTx))
  assert.deepEqual((await woc(`/address/${payeeAddress}/balance`)).json, { confirmed: 3000, unconfirmed: -3000 })
  await control('POST', '/control/mine', { blocks: 1 })
  assert.deepEqual((await woc(`/address/${payeeAddress}/unspent/all`)).json.result, [])

  // A forgery (the payer's last coin, signed by somebody else) is refused
  // everywhere and never enters the chain.
  const forged = await buildTx([{ ...payer.coins[3], key: PrivateKey.fromRandom() }], [{ address: payeeAddress, sats: 19000 }])
  for (const [path, submit] of Object.entries(submitPaths)) {
    const answer = await submit(forged.toHex())
    assert.equal(answer.accepted, false, path)
    assert.ok(answer.text.includes('mandatory-script-verify-flag-failed'), `${path}: ${answer.text}`)
  }
  assert.equal((await control('GET', `/control/tx/${forged.id('hex')}`)).json.status, 'unknown')
  const honest = await buildTx([payer.coins[3]], [{ address: payeeAddress, sats: 19000 }])
  assert.ok((await submitPaths.arc(honest.toHex())).accepted)
})
