// Run by CTest inside the "devnet" fixture: the start line file names a
// devnet that answers on both ports and takes a funded payment.
import assert from 'node:assert/strict'
import fs from 'node:fs'
import { PrivateKey } from '@bsv/sdk'
import { controlRequest, hostRequest } from '../lib/client.mjs'
import { buildTx } from './helpers.mjs'

const info = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'))
assert.ok(fs.existsSync(info.ca_file))
const key = PrivateKey.fromRandom()
const funded = (await controlRequest(info, 'POST', '/control/fund', { address: key.toAddress(), sats: [3000] })).json
const tx = await buildTx([{ txid: funded.txid, vout: 0, sats: 3000, key }], [{ address: key.toAddress(), sats: 2900 }])
const answer = await hostRequest(info, info.hosts.service, 'POST', '/oi/submit', { txhex: tx.toHex() })
assert.deepEqual(answer.json, { ok: true, txid: tx.id('hex') })
console.log(`devnet fixture answers: ${tx.id('hex')}`)
