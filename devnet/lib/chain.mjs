// The devnet's chain: blocks, a mempool and the outputs they create, with a
// node's admission rules. Every submitted transaction is parsed strictly,
// its inputs must exist and be unspent, it may not conflict with the
// mempool, every unlocking script is run by the SDK's interpreter with strict
// flags, outputs may not exceed inputs and the fee must meet the minimum rate.
// Refusals carry the texts a node gives, so that callers can classify them.
import { LockingScript, P2PKH, PrivateKey, Spend, Transaction } from '@bsv/sdk'
import { MAX_MONEY, NULL_TXID, decodedDocument, isCoinbaseInput, parseRawTx, writeRawTx } from './rawtx.mjs'
import { addressToHash, inscriptionScript, isDataCarrier, p2pkhScript, scriptAddress, sha256d } from './script.mjs'

export const VERIFY_FLAGS = ['STRICTENC', 'DERSIG', 'LOW_S', 'NULLFAIL', 'SIGHASH_FORKID', 'SIGPUSHONLY', 'CLEANSTACK', 'MINIMALDATA', 'UTXO_AFTER_GENESIS']

// Refusal codes and the node's text for each. "script" gets the
// interpreter's reason appended in parentheses.
export const REFUSALS = {
  decode: 'TX decode failed',
  known: '257: txn-already-known',
  conflict: '258: txn-mempool-conflict',
  missing: 'Missing inputs',
  script: '16: mandatory-script-verify-flag-failed',
  belowout: '16: bad-txns-in-belowout',
  fee: '66: insufficient priority',
  dust: '64: dust',
  'vin-empty': '16: bad-txns-vin-empty',
  'vout-empty': '16: bad-txns-vout-empty',
  duplicate: '16: bad-txns-inputs-duplicate',
  'vout-toolarge': '16: bad-txns-vout-toolarge',
  'total-toolarge': '16: bad-txns-txouttotal-toolarge',
  'prevout-null': '16: bad-txns-prevout-null',
  version: '64: version',
  'non-final': '64: non-final'
}

const FAUCET_GENESIS_SATS = 1_000_000_000_000_000n

// An Error that carries a refusal code (and the competing txid of a conflict).
function refusal(code, detail = '', competing = null) {
  const error = new Error(detail ? `${REFUSALS[code]} (${detail})` : REFUSALS[code])
  return Object.assign(error, { refusal: code, competing })
}

// options: {minFeeRate (sat/kB), faucetKey (PrivateKey), now () -> unix
// seconds, onChange () called after every change, log (event) for every
// acceptance and refusal}.
export function createChain(options) {
  const faucetKey = options.faucetKey ?? PrivateKey.fromRandom()
  const faucetAddress = faucetKey.toAddress()
  const now = options.now ?? (() => Math.floor(Date.now() / 1000))
  const log = options.log ?? (() => {})
  const onChange = options.onChange ?? (() => {})
  let minFeeRate = options.minFeeRate ?? 1
  let s

  function clear() {
    s = { txs: new Map(), outs: new Map(), addrs: new Map(), blocks: [], mempool: [], seq: 0 }
  }

  // ---- state changes ----

  function addressEntry(address) {
    let entry = s.addrs.get(address)
    if (!entry) {
      entry = { paid: [], touched: [], touchedSet: new Set(), outKeys: [] }
      s.addrs.set(address, entry)
    }
    return entry
  }

  function touch(address, txid) {
    const entry = addressEntry(address)
    if (!entry.touchedSet.has(txid)) {
      entry.touchedSet.add(txid)
      entry.touched.push(txid)
    }
  }

  // Records a parsed transaction and the outputs it creates and spends.
  function apply(parsed, hex, seq, time) {
    const record = { txid: parsed.txid, hex, parsed, size: parsed.size, seq, time, height: null, blockHash: null, blockTime: null }
    s.txs.set(parsed.txid, record)
    s.seq = Math.max(s.seq, seq)
    for (const input of parsed.inputs) {
      if (isCoinbaseInput(input)) continue
      const out = s.outs.get(`${input.txid}:${input.vout}`)
      if (!out) continue
      out.spentBy = parsed.txid
      if (out.address) touch(out.address, parsed.txid)
    }
    parsed.outputs.forEach((output, vout) => {
      const key = `${parsed.txid}:${vout}`
      const address = scriptAddress(output.script)
      s.outs.set(key, { txid: parsed.txid, vout, sats: Number(output.value), script: output.script, address, spentBy: null })
      if (address) {
        const entry = addressEntry(address)
        if (entry.paid[entry.paid.length - 1] !== parsed.txid) entry.paid.push(parsed.txid)
        entry.outKeys.push(key)
        touch(address, parsed.txid)
      }
    })
    return record
  }

  function makeBlock(txids, time = now()) {
    const height = s.blocks.length
    const prevHash = height === 0 ? NULL_TXID : s.blocks[height - 1].hash
    const merkleRoot = merkle(txids)
    const header = Buffer.alloc(80)
    header.writeUInt32LE(0x20000000, 0)
    Buffer.from(prevHash, 'hex').reverse().copy(header, 4)
    Buffer.from(merkleRoot, 'hex').reverse().copy(header, 36)
    header.writeUInt32LE(time >>> 0, 68)
    header.writeUInt32LE(0x207fffff, 72)
    header.writeUInt32LE(height, 76)
    const hash = Buffer.from(sha256d(header)).reverse().toString('hex')
    const block = { height, hash, prevHash, merkleRoot, time, txids }
    s.blocks.push(block)
    for (const txid of txids) {
      const record = s.txs.get(txid)
      record.height = height
      record.blockHash = hash
      record.blockTime = time
    }
    const inBlock = new Set(txids)
    s.mempool = s.mempool.filter(txid => !inBlock.has(txid))
    return block
  }

  function genesis() {
    const coinbase = writeRawTx({
      version: 1,
      inputs: [{ txid: NULL_TXID, vout: 0xffffffff, script: Buffer.from('0000' + Buffer.from('kestrel devnet').toString('hex'), 'hex'), sequence: 0xffffffff }],
      outputs: [{ value: FAUCET_GENESIS_SATS, script: p2pkhScript(addressToHash(faucetAddress)) }],
      lockTime: 0
    })
    const parsed = parseRawTx(coinbase)
    apply(parsed, coinbase, ++s.seq, now())
    makeBlock([parsed.txid])
  }

  // ---- admission ----

  // Checks a parsed transaction against the chain and mempool; answers its
  // fee or throws a refusal.
  function validate(parsed, hex) {
    if (s.txs.has(parsed.txid)) throw refusal('known')
    if (parsed.version < 1 || parsed.version > 2) throw refusal('version')
    if (parsed.inputs.length === 0) throw refusal('vin-empty')
    if (parsed.outputs.length === 0) throw refusal('vout-empty')
    let outSum = 0n
    for (const output of parsed.outputs) {
      if (output.value > MAX_MONEY) throw refusal('vout-toolarge')
      outSum += output.value
      if (outSum > MAX_MONEY) throw refusal('total-toolarge')
    }
    const seen = new Set()
    const prevouts = []
    for (const input of parsed.inputs) {
      if (input.txid === NULL_TXID) throw refusal('prevout-null')
      const key = `${input.txid}:${input.vout}`
      if (seen.has(key)) throw refusal('duplicate')
      seen.add(key)
    }
    for (const input of parsed.inputs) {
      const out = s.outs.get(`${input.txid}:${input.vout}`)
      if (!out) throw refusal('missing')
      if (out.spentBy) {
        if (s.txs.get(out.spentBy).height === null) throw refusal('conflict', '', out.spentBy)
        throw refusal('missing')
      }
      prevouts.push(out)
    }
    if (!isFinal(parsed)) throw refusal('non-final')
    for (const output of parsed.outputs) {
      if (output.value === 0n && !isDataCarrier(output.script)) throw refusal('dust')
    }
    const inSum = prevouts.reduce((sum, out) => sum + BigInt(out.sats), 0n)
    if (outSum > inSum) throw refusal('belowout')
    const fee = inSum - outSum
    if (fee < BigInt(requiredFee(parsed.size))) throw refusal('fee', `fee ${fee} < ${requiredFee(parsed.size)}`)
    verifyScripts(hex, prevouts)
    return Number(fee)
  }

  function isFinal(parsed) {
    if (parsed.lockTime === 0) return true
    const reached = parsed.lockTime < 500_000_000 ? parsed.lockTime < s.blocks.length : parsed.lockTime < now()
    return reached || parsed.inputs.every(input => input.sequence === 0xffffffff)
  }

  function verifyScripts(hex, prevouts) {
    const tx = Transaction.fromHex(hex)
    for (let i = 0; i < tx.inputs.length; i++) {
      const input = tx.inputs[i]
      let valid = false
      let reason = 'Script evaluated without error but finished with a false/empty top stack element'
      try {
        valid = new Spend({
          sourceTXID: input.sourceTXID,
          sourceOutputIndex: input.sourceOutputIndex,
          sourceSatoshis: prevouts[i].sats,
          lockingScript: LockingScript.fromBinary([...prevouts[i].script]),
          transactionVersion: tx.version,
          otherInputs: tx.inputs.filter((_, j) => j !== i),
          outputs: tx.outputs,
          inputIndex: i,
          unlockingScript: input.unlockingScript,
          inputSequence: input.sequence,
          lockTime: tx.lockTime,
          verifyFlags: VERIFY_FLAGS
        }).validate()
      } catch (e) {
        reason = String(e.message).split('\n')[0].replace(/^Script evaluation error: /, '')
      }
      if (!valid) throw refusal('script', `input ${i}: ${reason}`)
    }
  }

  function requiredFee(size) {
    if (minFeeRate <= 0) return 0
    return Math.max(1, Math.floor((minFeeRate * size + 999) / 1000))
  }

  // Takes a transaction into the mempool. Answers {ok: true, txid, fee} or
  // {ok: false, code, reason, txid?, competing?}; never throws.
  function submit(hex, via = 'control') {
    let parsed
    try {
      parsed = parseRawTx(typeof hex === 'string' ? hex.toLowerCase() : hex)
    } catch (e) {
      log({ event: 'refuse', via, code: 'decode', reason: `${REFUSALS.decode} (${e.message})` })
      return { ok: false, code: 'decode', reason: REFUSALS.decode, detail: e.message }
    }
    try {
      const fee = validate(parsed, hex.toLowerCase())
      s.mempool.push(parsed.txid)
      apply(parsed, hex.toLowerCase(), ++s.seq, now())
      log({ event: 'accept', via, txid: parsed.txid, fee, size: parsed.size })
      onChange()
      return { ok: true, txid: parsed.txid, fee }
    } catch (e) {
      if (!e.refusal) throw e
      log({ event: 'refuse', via, txid: parsed.txid, code: e.refusal, reason: e.message })
      const answer = { ok: false, code: e.refusal, reason: e.message, txid: parsed.txid }
      if (e.competing) answer.competing = e.competing
      return answer
    }
  }

  // ---- faucet and mining ----

  // Pays address one output per entry (a number of satoshis, or
  // {sats, inscription: {contentType, content}}) in one transaction that is
  // mined at once in a block of its own. Answers {txid, height, outputs}.
  async function fund(address, entries) {
    const hash = addressToHash(address)
    if (!hash) throw new Error('address is not a P2PKH address')
    if (!Array.isArray(entries) || entries.length === 0 || entries.length > 10000) throw new Error('sats must be an array of 1 to 10000 values')
    const outputs = entries.map(entry => {
      const sats = typeof entry === 'number' ? entry : entry?.sats
      if (!Number.isSafeInteger(sats) || sats < 1 || sats > 1e15) throw new Error('every value must be a whole number of satoshis from 1')
      const script = entry?.inscription
        ? inscriptionScript(address, String(entry.inscription.contentType ?? 'text/plain'), String(entry.inscription.content ?? ''))
        : p2pkhScript(hash)
      return { sats, script }
    })
    const total = outputs.reduce((sum, o) => sum + o.sats, 0)
    const coin = faucetCoin()
    if (!coin) throw new Error('faucet is empty')
    const tx = new Transaction()
    tx.addInput({
      sourceTXID: coin.txid,
      sourceOutputIndex: coin.vout,
      sequence: 0xffffffff,
      unlockingScriptTemplate: new P2PKH().unlock(faucetKey, 'all', false, coin.sats, LockingScript.fromBinary([...coin.script]))
    })
    for (const o of outputs) tx.addOutput({ satoshis: o.sats, lockingScript: LockingScript.fromBinary([...o.script]) })
    const estimate = 10 + 149 + 34 + outputs.reduce((sum, o) => sum + 9 + 3 + o.script.length, 0)
    const fee = Math.max(1, requiredFee(estimate))
    const change = coin.sats - total - fee
    if (change < 1) throw new Error('faucet is empty')
    tx.addOutput({ satoshis: change, lockingScript: new P2PKH().lock(faucetAddress) })
    await tx.sign()
    const hex = tx.toHex()
    const parsed = parseRawTx(hex)
    validate(parsed, hex)
    apply(parsed, hex, ++s.seq, now())
    const block = makeBlock([parsed.txid])
    log({ event: 'fund', address, txid: parsed.txid, sats: outputs.map(o => o.sats), height: block.height })
    onChange()
    return { txid: parsed.txid, height: block.height, outputs: outputs.map((o, vout) => ({ vout, sats: o.sats })) }
  }

  function faucetCoin() {
    let best = null
    for (const coin of unspent(faucetAddress, true)) {
      if (!coin.spentInMempool && (!best || coin.sats > best.sats)) best = coin
    }
    return best && { ...best, script: s.outs.get(`${best.txid}:${best.vout}`).script }
  }

  // Mines n blocks; the first takes the whole mempool. Answers the blocks.
  function mine(n = 1) {
    const blocks = []
    for (let i = 0; i < n; i++) blocks.push(makeBlock([...s.mempool]))
    if (n > 0) {
      log({ event: 'mine', blocks: n, height: tip(), txids: blocks[0].txids.length })
      onChange()
    }
    return blocks
  }

  // ---- queries ----

  function tip() {
    return s.blocks.length - 1
  }

  function tx(txid) {
    return s.txs.get(String(txid).toLowerCase()) ?? null
  }

  function status(txid) {
    const record = tx(txid)
    if (!record) return { status: 'unknown' }
    if (record.height === null) return { status: 'mempool', hex: record.hex }
    return { status: 'confirmed', hex: record.hex, height: record.height, blockhash: record.blockHash, confirmations: tip() - record.height + 1 }
  }

  function decoded(txid, truncateBytes = 0) {
    const record = tx(txid)
    return record ? decodedDocument(record, tip(), truncateBytes) : null
  }

  // Outputs paying address: confirmed ones (created and not spent in a block)
  // or those created in the mempool. Each {txid, vout, sats, height,
  // spentInMempool}, oldest first.
  function unspent(address, confirmed) {
    const entry = s.addrs.get(address)
    if (!entry) return []
    const list = []
    for (const key of entry.outKeys) {
      const out = s.outs.get(key)
      const creator = s.txs.get(out.txid)
      const spender = out.spentBy ? s.txs.get(out.spentBy) : null
      if (confirmed) {
        if (creator.height === null || (spender && spender.height !== null)) continue
        list.push({ txid: out.txid, vout: out.vout, sats: out.sats, height: creator.height, spentInMempool: !!spender, script: out.script })
      } else {
        if (creator.height !== null) continue
        list.push({ txid: out.txid, vout: out.vout, sats: out.sats, height: 0, spentInMempool: !!spender, script: out.script })
      }
    }
    return list
  }

  // {confirmed, unconfirmed}: the confirmed coins, and what the mempool adds
  // or takes away.
  function balance(address) {
    const entry = s.addrs.get(address)
    let confirmed = 0
    let withMempool = 0
    for (const key of entry?.outKeys ?? []) {
      const out = s.outs.get(key)
      const creator = s.txs.get(out.txid)
      const spender = out.spentBy ? s.txs.get(out.spentBy) : null
      if (creator.height !== null && (!spender || spender.height === null)) confirmed += out.sats
      if (!spender) withMempool += out.sats
    }
    return { confirmed, unconfirmed: withMempool - confirmed }
  }

  // Transactions that pay address, newest first.
  function paying(address, limit) {
    const entry = s.addrs.get(address)
    if (!entry) return []
    const list = entry.paid.slice().sort((a, b) => s.txs.get(b).seq - s.txs.get(a).seq)
    return list.slice(0, limit)
  }

  // Transactions that pay or spend from address: {txid, height (0 in the
  // mempool), seq}, oldest first.
  function history(address) {
    const entry = s.addrs.get(address)
    if (!entry) return []
    return entry.touched
      .map(txid => {
        const record = s.txs.get(txid)
        return { txid, height: record.height ?? 0, confirmed: record.height !== null, seq: record.seq }
      })
      .sort((a, b) => (a.confirmed !== b.confirmed ? (a.confirmed ? -1 : 1) : a.height - b.height || a.seq - b.seq))
  }

  // ---- persistence ----

  function save() {
    const order = [...s.blocks.flatMap(block => block.txids), ...s.mempool]
    return {
      blocks: s.blocks.map(({ height, hash, prevHash, merkleRoot, time, txids }) => ({ height, hash, prevHash, merkleRoot, time, txids })),
      txs: order.map(txid => {
        const record = s.txs.get(txid)
        return { hex: record.hex, seq: record.seq, time: record.time }
      }),
      mempool: s.mempool.slice()
    }
  }

  function load(saved) {
    clear()
    for (const entry of saved.txs) {
      const parsed = parseRawTx(entry.hex)
      apply(parsed, entry.hex, entry.seq, entry.time)
    }
    for (const block of saved.blocks) {
      s.blocks.push({ ...block })
      for (const txid of block.txids) {
        const record = s.txs.get(txid)
        record.height = block.height
        record.blockHash = block.hash
        record.blockTime = block.time
      }
    }
    s.mempool = saved.mempool.slice()
    for (const entry of s.addrs.values()) entry.touched.sort((a, b) => s.txs.get(a).seq - s.txs.get(b).seq)
  }

  function reset() {
    clear()
    genesis()
    onChange()
  }

  clear()
  genesis()

  return {
    faucetAddress,
    submit,
    fund,
    mine,
    tip,
    tx,
    status,
    decoded,
    unspent,
    balance,
    paying,
    history,
    save,
    load,
    reset,
    mempoolSize: () => s.mempool.length,
    blockAt: height => s.blocks[height] ?? null,
    setMinFeeRate: rate => {
      minFeeRate = rate
    },
    minFeeRate: () => minFeeRate
  }
}

function merkle(txids) {
  if (txids.length === 0) return NULL_TXID
  let level = txids.map(txid => Buffer.from(txid, 'hex').reverse())
  while (level.length > 1) {
    const next = []
    for (let i = 0; i < level.length; i += 2) {
      const right = level[i + 1] ?? level[i]
      next.push(sha256d(Buffer.concat([level[i], right])))
    }
    level = next
  }
  return Buffer.from(level[0]).reverse().toString('hex')
}
