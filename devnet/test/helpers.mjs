// Shared pieces of the devnet tests: a devnet per test file, and
// transactions built and signed with @bsv/sdk.
import { after } from 'node:test'
import { LockingScript, P2PKH, PrivateKey, Transaction, UnlockingScript } from '@bsv/sdk'
import { startDevnet } from '../lib/devnet.mjs'
import { controlRequest, hostRequest } from '../lib/client.mjs'

// Starts a devnet for this test file and stops it when the file is done.
export async function devnetForFile(options = {}) {
  const devnet = await startDevnet({ lifetime: 300, ...options })
  after(() => devnet.stop('test finished'))
  const info = devnet.info
  return {
    devnet,
    info,
    host: (role, method, path, body, headers) => hostRequest(info, info.hosts[role], method, path, body, headers),
    control: (method, path, body) => controlRequest(info, method, path, body)
  }
}

// Funds a fresh key with one confirmed output per value. Answers {key,
// address, txid, coins: [{txid, vout, sats, key}]}.
export async function fundedKey(control, sats) {
  const key = PrivateKey.fromRandom()
  const address = key.toAddress()
  const answer = await control('POST', '/control/fund', { address, sats })
  if (answer.status !== 200) throw new Error(`fund failed: ${answer.text}`)
  return { key, address, txid: answer.json.txid, coins: answer.json.outputs.map(o => ({ txid: answer.json.txid, vout: o.vout, sats: o.sats, key })) }
}

// Builds and signs a transaction spending coins ({txid, vout, sats, key}) to
// outputs ({address, sats} or {script (hex), sats}). Answers the SDK
// Transaction.
export async function buildTx(coins, outputs) {
  const tx = new Transaction()
  for (const coin of coins) {
    tx.addInput({
      sourceTXID: coin.txid,
      sourceOutputIndex: coin.vout,
      sequence: 0xffffffff,
      unlockingScriptTemplate: new P2PKH().unlock(coin.key, 'all', false, coin.sats, new P2PKH().lock(coin.key.toAddress()))
    })
  }
  for (const out of outputs) {
    tx.addOutput({ satoshis: out.sats, lockingScript: out.script ? LockingScript.fromHex(out.script) : new P2PKH().lock(out.address) })
  }
  await tx.sign()
  return tx
}

// A copy of tx with changes made after signing: edit (inputs, outputs) may
// replace unlocking scripts or outputs. The copy is rebuilt, so its bytes
// follow the edit.
export function rebuilt(tx, edit) {
  const inputs = tx.inputs.map(i => ({ sourceTXID: i.sourceTXID, sourceOutputIndex: i.sourceOutputIndex, sequence: i.sequence, unlockingScript: UnlockingScript.fromHex(i.unlockingScript.toHex()) }))
  const outputs = tx.outputs.map(o => ({ satoshis: o.satoshis, lockingScript: LockingScript.fromHex(o.lockingScript.toHex()) }))
  edit(inputs, outputs)
  return new Transaction(tx.version, inputs, outputs, tx.lockTime)
}

// A data output: OP_FALSE OP_RETURN and one push of text.
export function dataScript(text) {
  const data = Buffer.from(text, 'utf8')
  let push
  if (data.length < 0x4c) push = Buffer.from([data.length])
  else if (data.length <= 0xff) push = Buffer.from([0x4c, data.length])
  else if (data.length <= 0xffff) push = Buffer.from([0x4d, data.length & 0xff, data.length >> 8])
  else {
    push = Buffer.alloc(5)
    push[0] = 0x4e
    push.writeUInt32LE(data.length, 1)
  }
  return Buffer.concat([Buffer.from([0x00, 0x6a]), push, data]).toString('hex')
}
