// Acceptance and refusal of transactions, the way a node would, and the shape
// each submit path gives its answer in.
import assert from 'node:assert/strict'
import { randomBytes } from 'node:crypto'
import { describe, it } from 'node:test'
import { PrivateKey, UnlockingScript } from '@bsv/sdk'
import { buildTx, dataScript, devnetForFile, fundedKey, rebuilt } from './helpers.mjs'

const { host, control } = await devnetForFile()

const N = 0xfffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141n

// The unlocking script of input 0 with its signature's S replaced by N - S
// (the high-S twin of a valid signature).
function highS(unlockingHex) {
  const script = Buffer.from(unlockingHex, 'hex')
  const sig = script.subarray(1, 1 + script[0])
  const rLen = sig[3]
  const r = sig.subarray(4, 4 + rLen)
  const sLen = sig[5 + rLen]
  const s = BigInt('0x' + sig.subarray(6 + rLen, 6 + rLen + sLen).toString('hex'))
  let sHex = (N - s).toString(16)
  if (sHex.length % 2) sHex = '0' + sHex
  let sBytes = Buffer.from(sHex, 'hex')
  if (sBytes[0] & 0x80) sBytes = Buffer.concat([Buffer.from([0]), sBytes])
  const body = Buffer.concat([Buffer.from([0x02, r.length]), r, Buffer.from([0x02, sBytes.length]), sBytes])
  const der = Buffer.concat([Buffer.from([0x30, body.length]), body, sig.subarray(sig.length - 1)])
  return Buffer.concat([Buffer.from([der.length]), der, script.subarray(1 + script[0])]).toString('hex')
}

function withUnlocking(tx, change) {
  return rebuilt(tx, inputs => {
    inputs[0].unlockingScript = UnlockingScript.fromHex(change(inputs[0].unlockingScript.toHex()))
  }).toHex()
}

async function submitService(hex) {
  return host('service', 'POST', '/oi/submit', { txhex: hex })
}

describe('a valid transaction', () => {
  it('is taken into the mempool and then mined', async () => {
    const { coins, address } = await fundedKey(control, [5000])
    const tx = await buildTx(coins, [{ address, sats: 4800 }])
    const answer = await submitService(tx.toHex())
    assert.equal(answer.status, 200)
    assert.deepEqual(answer.json, { ok: true, txid: tx.id('hex') })
    assert.equal((await control('GET', `/control/tx/${tx.id('hex')}`)).json.status, 'mempool')
    await control('POST', '/control/mine', { blocks: 2 })
    const status = (await control('GET', `/control/tx/${tx.id('hex')}`)).json
    assert.equal(status.status, 'confirmed')
    assert.equal(status.confirmations, 2)
    assert.equal(status.hex, tx.toHex())
  })

  it('may spend an output of a transaction still in the mempool', async () => {
    const { coins, key, address } = await fundedKey(control, [5000])
    const parent = await buildTx(coins, [{ address, sats: 4900 }])
    assert.equal((await submitService(parent.toHex())).json.ok, true)
    const child = await buildTx([{ txid: parent.id('hex'), vout: 0, sats: 4900, key }], [{ address, sats: 4800 }])
    assert.equal((await submitService(child.toHex())).json.ok, true)
  })
})

describe('refusals', async () => {
  // Each case makes a transaction that a node refuses and names the marker
  // its refusal text carries.
  const cases = [
    ['a signature by another key', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      const thief = PrivateKey.fromRandom()
      return (await buildTx([{ ...coins[0], key: thief }], [{ address, sats: 4000 }])).toHex()
    }],
    ['an output changed after signing', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      const tx = await buildTx(coins, [{ address, sats: 4000 }])
      return rebuilt(tx, (_, outputs) => {
        outputs[0].satoshis = 4500
      }).toHex()
    }],
    ['a high-S signature', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return withUnlocking(await buildTx(coins, [{ address, sats: 4000 }]), highS)
    }],
    ['a signature without FORKID', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return withUnlocking(await buildTx(coins, [{ address, sats: 4000 }]), hex => {
        const b = Buffer.from(hex, 'hex')
        b[b[0]] = 0x01
        return b.toString('hex')
      })
    }],
    ['an unlocking script that is not push-only', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return withUnlocking(await buildTx(coins, [{ address, sats: 4000 }]), hex => '61' + hex)
    }],
    ['an extra item left on the stack', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return withUnlocking(await buildTx(coins, [{ address, sats: 4000 }]), hex => '51' + hex)
    }],
    ['a push that is not minimal', 'mandatory-script-verify-flag-failed', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return withUnlocking(await buildTx(coins, [{ address, sats: 4000 }]), hex => hex.replace(/21(0[23][0-9a-f]{64})$/, '4c21$1'))
    }],
    ['an input that never existed', 'Missing inputs', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return (await buildTx([{ ...coins[0], txid: randomBytes(32).toString('hex') }], [{ address, sats: 4000 }])).toHex()
    }],
    ['an input already spent in a block', 'Missing inputs', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      assert.equal((await submitService((await buildTx(coins, [{ address, sats: 4000 }])).toHex())).json.ok, true)
      await control('POST', '/control/mine', { blocks: 1 })
      return (await buildTx(coins, [{ address, sats: 3000 }])).toHex()
    }],
    ['a double spend of a mempool transaction', 'txn-mempool-conflict', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      assert.equal((await submitService((await buildTx(coins, [{ address, sats: 4000 }])).toHex())).json.ok, true)
      return (await buildTx(coins, [{ address, sats: 3000 }])).toHex()
    }],
    ['a transaction sent twice', 'txn-already-known', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      const hex = (await buildTx(coins, [{ address, sats: 4000 }])).toHex()
      assert.equal((await submitService(hex)).json.ok, true)
      return hex
    }],
    ['no fee at all', 'insufficient priority', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return (await buildTx(coins, [{ address, sats: 5000 }])).toHex()
    }],
    ['outputs above the inputs', 'bad-txns-in-belowout', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return (await buildTx(coins, [{ address, sats: 6000 }])).toHex()
    }],
    ['a zero-value payment output', '64: dust', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return (await buildTx(coins, [{ address, sats: 4000 }, { address, sats: 0 }])).toHex()
    }],
    ['the same input twice', 'bad-txns-inputs-duplicate', async () => {
      const { coins, address } = await fundedKey(control, [5000])
      return (await buildTx([coins[0], coins[0]], [{ address, sats: 4000 }])).toHex()
    }]
  ]
  for (const [name, marker, make] of cases) {
    it(`refuses ${name} with "${marker}"`, async () => {
      const hex = await make()
      const answer = await submitService(hex)
      assert.equal(answer.status, 200, answer.text)
      assert.equal(answer.json.ok, false)
      assert.ok(answer.json.error.includes(marker), answer.json.error)
      if (marker !== 'txn-already-known') {
        assert.equal((await control('GET', `/control/tx/${answer.json.txid}`)).json.status, 'unknown')
      }
    })
  }

  const badHex = [
    ['text that is not hex', 'zz00', 'txhex is not hex'],
    ['an odd number of digits', '010', 'txhex is not hex'],
    ['a truncated transaction', null, 'truncated'],
    ['bytes after the lock time', 'extra', 'trailing bytes']
  ]
  for (const [name, hex, marker] of badHex) {
    it(`answers 400 to ${name}`, async () => {
      let txhex = hex
      if (hex === null || hex === 'extra') {
        const { coins, address } = await fundedKey(control, [5000])
        const good = (await buildTx(coins, [{ address, sats: 4000 }])).toHex()
        txhex = hex === null ? good.slice(0, good.length - 10) : good + '00'
      }
      const answer = await submitService(txhex)
      assert.equal(answer.status, 400)
      assert.equal(answer.json.ok, false)
      assert.ok(answer.json.error.includes(marker), answer.json.error)
    })
  }
})

describe('the fee rate', () => {
  it('takes a fee of exactly (rate × size + 999) / 1000 and refuses one satoshi less', async () => {
    await control('POST', '/control/settings', { min_fee_rate: 1000 })
    try {
      const { coins, address } = await fundedKey(control, [5000, 5000])
      // Signatures vary in length by a byte, so try fees around the mark (and
      // a data output that changes what is signed, but not the size) and keep
      // a transaction whose fee is exactly feeOf(its own size).
      const paying = async (coin, feeOf) => {
        for (let nonce = 10; nonce < 40; nonce++) {
          for (let fee = 200; fee < 230; fee++) {
            const tx = await buildTx([coin], [{ address, sats: 5000 - fee }, { script: dataScript(`n${nonce}`), sats: 0 }])
            if (feeOf(tx.toBinary().length) === fee) return tx
          }
        }
        throw new Error('no transaction with that fee')
      }
      const need = size => Math.floor((1000 * size + 999) / 1000)
      const short = await paying(coins[0], size => need(size) - 1)
      const enough = await paying(coins[1], need)
      const refused = await submitService(short.toHex())
      assert.ok(refused.json.error.includes('insufficient priority'), refused.text)
      assert.equal((await submitService(enough.toHex())).json.ok, true)
    } finally {
      await control('POST', '/control/settings', { min_fee_rate: 1 })
    }
  })
})

describe('each submit path answers in its own shape', () => {
  it('WhatsOnChain answers the txid as a JSON string, refusals as 400 text', async () => {
    const { coins, address } = await fundedKey(control, [5000])
    const tx = await buildTx(coins, [{ address, sats: 4000 }])
    const ok = await host('chain', 'POST', '/v1/bsv/main/tx/raw', { txhex: tx.toHex() })
    assert.equal(ok.status, 200)
    assert.equal(ok.text, JSON.stringify(tx.id('hex')))
    const again = await host('chain', 'POST', '/v1/bsv/main/tx/raw', { txhex: tx.toHex() })
    assert.equal(again.status, 400)
    assert.equal(again.text, 'unexpected response code 500: 257: txn-already-known')
    const conflict = await buildTx(coins, [{ address, sats: 3000 }])
    const refused = await host('chain', 'POST', '/v1/bsv/main/tx/raw', { txhex: conflict.toHex() })
    assert.equal(refused.text, 'unexpected response code 500: 258: txn-mempool-conflict')
    const missing = await buildTx([{ ...coins[0], txid: randomBytes(32).toString('hex') }], [{ address, sats: 3000 }])
    assert.equal((await host('chain', 'POST', '/v1/bsv/main/tx/raw', { txhex: missing.toHex() })).text, 'unexpected response code 500: Missing inputs')
  })

  it('ARC answers a txStatus, DOUBLE_SPEND_ATTEMPTED for a conflict, and error codes with extraInfo', async () => {
    const { coins, address } = await fundedKey(control, [5000])
    const tx = await buildTx(coins, [{ address, sats: 4000 }])
    const ok = await host('arc', 'POST', '/v1/tx', { rawTx: tx.toHex() })
    assert.equal(ok.status, 200)
    assert.equal(ok.json.txStatus, 'SEEN_ON_NETWORK')
    assert.equal(ok.json.txid, tx.id('hex'))
    const again = await host('arc', 'POST', '/v1/tx', { rawTx: tx.toHex() })
    assert.equal(again.json.txStatus, 'SEEN_ON_NETWORK')
    await control('POST', '/control/mine', { blocks: 1 })
    const mined = await host('arc', 'GET', `/v1/tx/${tx.id('hex')}`)
    assert.equal(mined.json.txStatus, 'MINED')
    assert.equal(mined.json.blockHeight, (await control('GET', '/control/info')).json.height)

    const { coins: more } = await fundedKey(control, [5000])
    assert.equal((await submitService((await buildTx(more, [{ address, sats: 4000 }])).toHex())).json.ok, true)
    const conflict = await host('arc', 'POST', '/v1/tx', { rawTx: (await buildTx(more, [{ address, sats: 3000 }])).toHex() })
    assert.equal(conflict.status, 200)
    assert.equal(conflict.json.txStatus, 'DOUBLE_SPEND_ATTEMPTED')
    assert.equal(conflict.json.competingTxs.length, 1)

    const { coins: fresh } = await fundedKey(control, [5000])
    const forged = await buildTx([{ ...fresh[0], key: PrivateKey.fromRandom() }], [{ address, sats: 3000 }])
    const script = await host('arc', 'POST', '/v1/tx', { rawTx: forged.toHex() })
    assert.equal(script.status, 461)
    assert.ok(script.json.extraInfo.includes('mandatory-script-verify-flag-failed'))
    const missing = await host('arc', 'POST', '/v1/tx', { rawTx: (await buildTx([{ ...more[0], txid: randomBytes(32).toString('hex') }], [{ address, sats: 1 }])).toHex() })
    assert.equal(missing.status, 462)
    assert.ok(missing.text.slice(0, 120).includes('Missing inputs'), 'the marker must survive a client that keeps 120 bytes')
    const raw = await host('arc', 'POST', '/v1/tx', 'not hex', { 'Content-Type': 'text/plain' })
    assert.equal(raw.status, 463)
  })
})
