// Serialized transactions: a strict reader (every byte accounted for, nothing
// after the lock time), a writer for the few transactions the devnet makes by
// hand, and the decoded-transaction document of the chain API.
import { sha256d, scriptAsm, scriptType, scriptAddress, isDataCarrier, dataPushes } from './script.mjs'

export const MAX_MONEY = 2_100_000_000_000_000n

// Parses transaction hex. Answers {txid, size, version, lockTime, inputs:
// [{txid, vout, script, sequence}], outputs: [{value (BigInt), script}]} or
// throws an Error whose message says what is wrong ("not hex", "truncated",
// "trailing bytes").
export function parseRawTx(hex) {
  if (typeof hex !== 'string' || hex.length === 0 || hex.length % 2 !== 0 || !/^[0-9a-fA-F]*$/.test(hex)) throw new Error('not hex')
  const buf = Buffer.from(hex, 'hex')
  let p = 0
  const need = n => {
    if (n < 0 || p + n > buf.length) throw new Error('truncated')
  }
  const u32 = () => {
    need(4)
    const v = buf.readUInt32LE(p)
    p += 4
    return v
  }
  const varint = () => {
    need(1)
    const first = buf[p++]
    if (first < 0xfd) return first
    const width = first === 0xfd ? 2 : first === 0xfe ? 4 : 8
    need(width)
    const v = width === 2 ? buf.readUInt16LE(p) : width === 4 ? buf.readUInt32LE(p) : buf.readBigUInt64LE(p)
    p += width
    if (typeof v === 'bigint') {
      if (v > BigInt(buf.length)) throw new Error('truncated')
      return Number(v)
    }
    return v
  }
  const bytes = n => {
    need(n)
    const b = buf.subarray(p, p + n)
    p += n
    return b
  }
  need(4)
  const version = buf.readInt32LE(0)
  p = 4
  const inputCount = varint()
  if (inputCount > buf.length / 41) throw new Error('truncated')
  const inputs = []
  for (let i = 0; i < inputCount; i++) {
    const txid = Buffer.from(bytes(32)).reverse().toString('hex')
    const vout = u32()
    const script = bytes(varint())
    const sequence = u32()
    inputs.push({ txid, vout, script, sequence })
  }
  const outputCount = varint()
  if (outputCount > buf.length / 9) throw new Error('truncated')
  const outputs = []
  for (let i = 0; i < outputCount; i++) {
    need(8)
    const value = buf.readBigUInt64LE(p)
    p += 8
    outputs.push({ value, script: bytes(varint()) })
  }
  const lockTime = u32()
  if (p !== buf.length) throw new Error('trailing bytes')
  return { txid: Buffer.from(sha256d(buf)).reverse().toString('hex'), size: buf.length, version, lockTime, inputs, outputs }
}

// Serializes {version, inputs: [{txid, vout, script, sequence}], outputs:
// [{value, script}], lockTime} and answers the hex.
export function writeRawTx(tx) {
  const parts = []
  const u32 = v => {
    const b = Buffer.alloc(4)
    b.writeUInt32LE(v >>> 0)
    parts.push(b)
  }
  const varint = n => {
    if (n < 0xfd) parts.push(Buffer.from([n]))
    else if (n <= 0xffff) {
      const b = Buffer.alloc(3)
      b[0] = 0xfd
      b.writeUInt16LE(n, 1)
      parts.push(b)
    } else {
      const b = Buffer.alloc(5)
      b[0] = 0xfe
      b.writeUInt32LE(n, 1)
      parts.push(b)
    }
  }
  u32(tx.version)
  varint(tx.inputs.length)
  for (const input of tx.inputs) {
    parts.push(Buffer.from(input.txid, 'hex').reverse())
    u32(input.vout)
    varint(input.script.length)
    parts.push(input.script)
    u32(input.sequence)
  }
  varint(tx.outputs.length)
  for (const output of tx.outputs) {
    const b = Buffer.alloc(8)
    b.writeBigUInt64LE(BigInt(output.value))
    parts.push(b)
    varint(output.script.length)
    parts.push(output.script)
  }
  u32(tx.lockTime)
  return Buffer.concat(parts).toString('hex')
}

export const NULL_TXID = '0'.repeat(64)

export function isCoinbaseInput(input) {
  return input.txid === NULL_TXID && input.vout === 0xffffffff
}

// The decoded document the chain API and the service answer for a
// transaction. chain is {tip, block(hash)}; record holds the parsed
// transaction and where it stands. Scripts longer than truncateBytes are cut
// (hex keeps that many bytes, asm and opReturn are left out) and marked
// isTruncated, as the public chain API does; 0 never cuts.
export function decodedDocument(record, tip, truncateBytes = 0) {
  const tx = record.parsed
  let truncatedAny = false
  const vout = tx.outputs.map((output, n) => {
    const script = output.script
    const truncated = truncateBytes > 0 && script.length > truncateBytes
    truncatedAny ||= truncated
    const shown = truncated ? script.subarray(0, truncateBytes) : script
    const address = scriptAddress(script)
    const scriptPubKey = {
      asm: truncated ? '' : scriptAsm(script),
      hex: shown.toString('hex'),
      type: scriptType(script),
      isTruncated: truncated,
      opReturn: null
    }
    if (address) {
      scriptPubKey.reqSigs = 1
      scriptPubKey.addresses = [address]
    }
    if (!truncated && isDataCarrier(script)) {
      const parts = dataPushes(script).map(data => data.toString('utf8'))
      scriptPubKey.opReturn = { type: 'u', action: '', text: parts.join(' '), parts }
    }
    return { value: Number(output.value) / 1e8, n, scriptPubKey }
  })
  const vin = tx.inputs.map(input =>
    isCoinbaseInput(input)
      ? { coinbase: input.script.toString('hex'), sequence: input.sequence }
      : { txid: input.txid, vout: input.vout, scriptSig: { asm: scriptAsm(input.script, true), hex: input.script.toString('hex') }, sequence: input.sequence }
  )
  const doc = { txid: tx.txid, hash: tx.txid, version: tx.version, size: tx.size, locktime: tx.lockTime, vin, vout }
  if (!truncatedAny) doc.hex = record.hex
  if (record.height !== null) {
    doc.blockhash = record.blockHash
    doc.confirmations = tip - record.height + 1
    doc.time = record.blockTime
    doc.blocktime = record.blockTime
    doc.blockheight = record.height
  } else {
    doc.confirmations = 0
    doc.time = record.time
  }
  return doc
}
