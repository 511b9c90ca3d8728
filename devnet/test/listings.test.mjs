// What the chain API, the oracle and the ordinals API list: paging with page
// tokens, the oracle's order, decoded documents (cut when large), balances
// and inscriptions.
import assert from 'node:assert/strict'
import { describe, it } from 'node:test'
import { LockingScript, P2PKH, PrivateKey, Transaction } from '@bsv/sdk'
import { buildTx, dataScript, devnetForFile, fundedKey } from './helpers.mjs'

const { host, control } = await devnetForFile({ pageSize: 100 })
const woc = path => host('chain', 'GET', `/v1/bsv/main${path}`)

describe('paged unspent lists', async () => {
  const values = Array.from({ length: 250 }, (_, i) => 1000 + i)
  const { address } = await fundedKey(control, values)

  for (const listing of ['unspent/all', 'confirmed/unspent']) {
    it(`${listing} pages with nextPageToken until the last page`, async () => {
      const seen = []
      let token = null
      let pages = 0
      do {
        const answer = await woc(`/address/${address}/${listing}${token ? `?token=${encodeURIComponent(token)}` : ''}`)
        assert.equal(answer.status, 200, answer.text)
        seen.push(...answer.json.result.map(c => c.value))
        token = answer.json.nextPageToken ?? null
        if (token) assert.match(token, /^\+\/\+\//)
        pages++
      } while (token)
      assert.equal(pages, 3)
      assert.deepEqual(seen, values)
    })
  }

  it('refuses a token sent without percent-encoding, or one for another list', async () => {
    const first = (await woc(`/address/${address}/unspent/all`)).json
    const raw = await woc(`/address/${address}/unspent/all?token=${first.nextPageToken}`)
    assert.equal(raw.status, 400)
    assert.equal(raw.text, 'Invalid page token')
    const other = PrivateKey.fromRandom().toAddress()
    assert.equal((await woc(`/address/${other}/unspent/all?token=${encodeURIComponent(first.nextPageToken)}`)).status, 400)
    assert.equal((await woc(`/address/${address}/confirmed/unspent?token=${encodeURIComponent(first.nextPageToken)}`)).status, 400)
  })

  it('answers the unpaged list whole, as an array', async () => {
    const list = (await woc(`/address/${address}/unspent`)).json
    assert.ok(Array.isArray(list))
    assert.equal(list.length, 250)
    assert.deepEqual(Object.keys(list[0]).sort(), ['height', 'isSpentInMempoolTx', 'status', 'tx_hash', 'tx_pos', 'value'])
  })
})

describe('the oracle', () => {
  it('lists the transactions paying an address newest first, confirmed or not', async () => {
    const payer = await fundedKey(control, [5000, 5000, 5000])
    const target = PrivateKey.fromRandom().toAddress()
    const funding = (await control('POST', '/control/fund', { address: target, sats: [700] })).json.txid
    const later = []
    for (const coin of payer.coins) {
      const tx = await buildTx([coin], [{ address: target, sats: 1000 }, { address: payer.address, sats: 3900 }])
      assert.equal((await host('service', 'POST', '/oi/submit', { txhex: tx.toHex() })).json.ok, true)
      later.push(tx.id('hex'))
    }
    const ask = query => host('service', 'GET', `/oi/oracle/cphone/txids?address=${target}${query}`)
    const newestFirst = [...later.reverse(), funding]
    assert.deepEqual((await ask('&kind=all&limit=20')).json.txids, newestFirst)
    assert.deepEqual((await ask('&kind=all&limit=2')).json.txids, newestFirst.slice(0, 2))
    assert.deepEqual((await ask('&kind=mempool')).json.txids, newestFirst.slice(0, 3))
    assert.deepEqual((await ask('&kind=confirmed')).json.txids, [funding])
    await control('POST', '/control/mine', { blocks: 1 })
    assert.deepEqual((await ask('&kind=all&limit=8')).json.txids, newestFirst)
    // The payer's own address is not paid by the spends' inputs, only by change.
    assert.equal((await host('service', 'GET', `/oi/oracle/cphone/txids?address=${payer.address}`)).json.txids.length, 4)
  })

  it('answers 400 with an error object for a bad address, kind or limit', async () => {
    for (const query of ['address=1nothing', 'address=&kind=all', `address=${PrivateKey.fromRandom().toAddress()}&kind=some`, `address=${PrivateKey.fromRandom().toAddress()}&limit=0`]) {
      const answer = await host('service', 'GET', `/oi/oracle/cphone/txids?${query}`)
      assert.equal(answer.status, 400, query)
      assert.equal(typeof answer.json.error, 'string')
    }
  })
})

describe('decoded transactions', () => {
  it('show node-style asm, types and addresses', async () => {
    const { coins, address, txid } = await fundedKey(control, [5000])
    const tx = await buildTx(coins, [{ address, sats: 4000 }, { script: dataScript('hello'), sats: 0 }])
    await host('service', 'POST', '/oi/submit', { txhex: tx.toHex() })
    const doc = (await woc(`/tx/${tx.id('hex')}`)).json
    assert.match(doc.vout[0].scriptPubKey.asm, /^OP_DUP OP_HASH160 [0-9a-f]{40} OP_EQUALVERIFY OP_CHECKSIG$/)
    assert.equal(doc.vout[0].scriptPubKey.type, 'pubkeyhash')
    assert.equal(doc.vout[0].value, 0.00004)
    assert.equal(doc.vout[1].scriptPubKey.asm, '0 OP_RETURN 68656c6c6f')
    assert.equal(doc.vout[1].scriptPubKey.hex, dataScript('hello'))
    assert.deepEqual(doc.vout[1].scriptPubKey.opReturn.parts, ['hello'])
    assert.equal(doc.vin[0].txid, txid)
    assert.match(doc.vin[0].scriptSig.asm, /^[0-9a-f]+\[ALL\|FORKID\] 0[23][0-9a-f]{64}$/)
    const decoded = (await woc(`/tx/${tx.id('hex')}/decoded`)).json
    assert.equal(decoded.vout[0].satoshis, 4000)
    assert.equal(decoded.vout[0].scriptPubKey.address, address)
  })

  it('are cut by the chain API, not by the service, when an output script is large', async () => {
    await control('POST', '/control/settings', { truncate_bytes: 200 })
    try {
      const { coins, address } = await fundedKey(control, [5000])
      const big = 'x'.repeat(300)
      const tx = await buildTx(coins, [{ address, sats: 4000 }, { script: dataScript(big), sats: 0 }])
      await host('service', 'POST', '/oi/submit', { txhex: tx.toHex() })
      const cut = (await woc(`/tx/${tx.id('hex')}`)).json
      assert.equal(cut.vout[1].scriptPubKey.isTruncated, true)
      assert.equal(cut.vout[1].scriptPubKey.hex.length, 400)
      assert.equal(cut.vout[1].scriptPubKey.opReturn, null)
      assert.equal(cut.vout[1].scriptPubKey.type, 'nulldata')
      assert.equal(cut.hex, undefined)
      assert.equal(cut.vout[0].scriptPubKey.isTruncated, false)
      const whole = (await host('service', 'GET', `/oi/tx/${tx.id('hex')}`)).json
      assert.equal(whole.vout[1].scriptPubKey.opReturn.text, big)
      assert.equal((await woc(`/tx/${tx.id('hex')}/hex`)).text, tx.toHex())
    } finally {
      await control('POST', '/control/settings', { truncate_bytes: 100000 })
    }
  })

  it('answer 404 for an unknown txid and 400 for a malformed one', async () => {
    assert.equal((await woc(`/tx/${'ab'.repeat(32)}`)).status, 404)
    assert.equal((await woc(`/tx/${'ab'.repeat(32)}/hex`)).status, 404)
    assert.equal((await host('service', 'GET', `/oi/tx/${'ab'.repeat(32)}`)).status, 404)
    assert.equal((await woc('/tx/1234')).status, 400)
    assert.equal((await host('service', 'GET', '/oi/tx/zz')).status, 400)
  })
})

describe('balances', () => {
  it('answers up to 20 addresses in one request, and refuses 21', async () => {
    const { address } = await fundedKey(control, [1234])
    const empty = PrivateKey.fromRandom().toAddress()
    const answer = await host('chain', 'POST', '/v1/bsv/main/addresses/balance', { addresses: [address, empty, 'nonsense'] })
    assert.equal(answer.status, 200)
    assert.deepEqual(answer.json[0], { address, balance: { confirmed: 1234, unconfirmed: 0 }, error: '' })
    assert.deepEqual(answer.json[1].balance, { confirmed: 0, unconfirmed: 0 })
    assert.equal(answer.json[2].error, 'Invalid address')
    const many = Array.from({ length: 21 }, () => empty)
    assert.equal((await host('chain', 'POST', '/v1/bsv/main/addresses/balance', { addresses: many })).status, 400)
  })
})

describe('inscriptions', () => {
  it('are listed by the ordinals API with their origin; plain coins carry none, and both can be spent', async () => {
    const key = PrivateKey.fromRandom()
    const address = key.toAddress()
    const funded = (await control('POST', '/control/fund', { address, sats: [{ sats: 1, inscription: { contentType: 'text/plain', content: 'hi' } }, 5000] })).json
    for (const path of [`/api/txos/address/${address}/unspent`, `/txos/address/${address}/unspent`]) {
      const items = (await host('ordinals', 'GET', path)).json
      assert.equal(items.length, 2)
      const [insc, plain] = items
      assert.equal(insc.origin.outpoint, `${funded.txid}_0`)
      assert.equal(insc.origin.data.insc.file.type, 'text/plain')
      assert.equal(insc.satoshis, 1)
      assert.equal(plain.origin, undefined)
      assert.equal(plain.outpoint, undefined)
      assert.equal(plain.satoshis, 5000)
    }
    const doc = (await woc(`/tx/${funded.txid}`)).json
    assert.equal(doc.vout[0].scriptPubKey.type, 'nonstandard')
    assert.deepEqual(doc.vout[0].scriptPubKey.addresses, [address])
    const lockScript = doc.vout[0].scriptPubKey.hex
    const tx = await buildTx(
      [
        { txid: funded.txid, vout: 1, sats: 5000, key },
        { txid: funded.txid, vout: 0, sats: 1, key }
      ],
      [{ address, sats: 4990 }]
    )
    // The inscription input must be signed against its own locking script.
    const fixed = new Transaction()
    fixed.addInput({ sourceTXID: funded.txid, sourceOutputIndex: 1, unlockingScriptTemplate: new P2PKH().unlock(key, 'all', false, 5000, new P2PKH().lock(address)) })
    fixed.addInput({ sourceTXID: funded.txid, sourceOutputIndex: 0, unlockingScriptTemplate: new P2PKH().unlock(key, 'all', false, 1, LockingScript.fromHex(lockScript)) })
    fixed.addOutput({ satoshis: 4990, lockingScript: new P2PKH().lock(address) })
    await fixed.sign()
    const wrong = await host('service', 'POST', '/oi/submit', { txhex: tx.toHex() })
    assert.equal(wrong.json.ok, false, 'a signature over the wrong script code must fail')
    const right = await host('service', 'POST', '/oi/submit', { txhex: fixed.toHex() })
    assert.equal(right.json.ok, true, right.text)
    assert.deepEqual((await host('ordinals', 'GET', `/txos/address/${address}/unspent`)).json.map(i => i.satoshis), [4990])
  })
})
