// Scripts as the chain API shows them: node-style asm, the output type, the
// addresses a P2PKH script pays, the data pushes of an OP_RETURN output and
// the 1Sat ordinal envelope. Every function takes a Buffer and never throws on
// malformed scripts; a push that runs past the end shows as "[error]".
import { createHash } from 'node:crypto'
import { OP, Utils } from '@bsv/sdk'

const opNames = (() => {
  const names = new Map()
  for (const [name, value] of Object.entries(OP)) {
    if (typeof value === 'number' && name.startsWith('OP_') && !names.has(value)) names.set(value, name)
  }
  return names
})()

// Splits a script into operations: {op, data} for pushes, {op} otherwise, and
// a final {op, bad: true} when a push announces more bytes than remain.
export function parseOps(script) {
  const ops = []
  let p = 0
  while (p < script.length) {
    const op = script[p++]
    let len = -1
    if (op > 0 && op < 0x4c) len = op
    else if (op === 0x4c || op === 0x4d || op === 0x4e) {
      const width = op === 0x4c ? 1 : op === 0x4d ? 2 : 4
      if (p + width > script.length) {
        ops.push({ op, bad: true })
        return ops
      }
      len = width === 1 ? script[p] : width === 2 ? script.readUInt16LE(p) : script.readUInt32LE(p)
      p += width
    }
    if (len >= 0) {
      if (p + len > script.length) {
        ops.push({ op, bad: true })
        return ops
      }
      ops.push({ op, data: script.subarray(p, p + len) })
      p += len
    } else {
      ops.push({ op })
    }
  }
  return ops
}

// Node-style asm. With sighashDecode (unlocking scripts) a pushed DER signature
// shows its hash type as "[ALL|FORKID]" the way nodes print it.
export function scriptAsm(script, sighashDecode = false) {
  const words = []
  for (const item of parseOps(script)) {
    if (item.bad) {
      words.push('[error]')
      break
    }
    if (item.data !== undefined) words.push(pushAsm(item.data, sighashDecode))
    else if (item.op === 0) words.push('0')
    else if (item.op === 0x4f) words.push('-1')
    else if (item.op >= 0x51 && item.op <= 0x60) words.push(String(item.op - 0x50))
    else words.push(opNames.get(item.op) ?? 'OP_UNKNOWN')
  }
  return words.join(' ')
}

function pushAsm(data, sighashDecode) {
  if (data.length <= 4) return String(scriptNumber(data))
  if (sighashDecode && looksLikeDerSignature(data)) {
    const types = { 0x01: 'ALL', 0x02: 'NONE', 0x03: 'SINGLE', 0x81: 'ALL|ANYONECANPAY', 0x82: 'NONE|ANYONECANPAY', 0x83: 'SINGLE|ANYONECANPAY' }
    const type = data[data.length - 1]
    const base = types[type & ~0x40]
    if (base !== undefined) {
      const name = type & 0x40 ? base.replace(/^(\w+)/, '$1|FORKID') : base
      return data.subarray(0, data.length - 1).toString('hex') + `[${name}]`
    }
  }
  return data.toString('hex')
}

// Little-endian sign-magnitude number, as nodes print short pushes.
function scriptNumber(data) {
  if (data.length === 0) return 0
  let value = 0n
  for (let i = 0; i < data.length; i++) value |= BigInt(data[i]) << BigInt(8 * i)
  const signBit = 0x80n << BigInt(8 * (data.length - 1))
  if (value & signBit) return -(value & ~signBit)
  return value
}

function looksLikeDerSignature(sig) {
  if (sig.length < 9 || sig.length > 73) return false
  if (sig[0] !== 0x30 || sig[1] !== sig.length - 3) return false
  const lenR = sig[3]
  if (5 + lenR >= sig.length) return false
  const lenS = sig[5 + lenR]
  return lenR + lenS + 7 === sig.length && sig[2] === 0x02 && sig[4 + lenR] === 0x02
}

// The 20-byte hash a P2PKH script pays, or null for any other script.
export function p2pkhHash(script) {
  if (script.length === 25 && script[0] === 0x76 && script[1] === 0xa9 && script[2] === 0x14 && script[23] === 0x88 && script[24] === 0xac) {
    return script.subarray(3, 23)
  }
  return null
}

export function p2pkhScript(hash) {
  return Buffer.concat([Buffer.from([0x76, 0xa9, 0x14]), Buffer.from(hash), Buffer.from([0x88, 0xac])])
}

export function hashToAddress(hash) {
  return Utils.toBase58Check([...hash], [0x00])
}

// The hash160 of a mainnet P2PKH address, or null when the text is not one.
export function addressToHash(address) {
  if (typeof address !== 'string' || address.length < 26 || address.length > 35 || !/^1[1-9A-HJ-NP-Za-km-z]+$/.test(address)) return null
  try {
    const decoded = Utils.fromBase58Check(address, undefined, 1)
    const prefix = Array.isArray(decoded.prefix) ? decoded.prefix : Utils.toArray(decoded.prefix, 'hex')
    const data = Array.isArray(decoded.data) ? decoded.data : Utils.toArray(decoded.data, 'hex')
    if (prefix.length !== 1 || prefix[0] !== 0x00 || data.length !== 20) return null
    return Buffer.from(data)
  } catch {
    return null
  }
}

// The address that owns an output: a plain P2PKH script, or a P2PKH script
// followed by an ordinal envelope. Null for anything else.
export function scriptAddress(script) {
  const hash = p2pkhHash(script) ?? (script.length > 25 && p2pkhHash(script.subarray(0, 25)) && findInscription(script.subarray(25)) ? script.subarray(3, 23) : null)
  return hash ? hashToAddress(hash) : null
}

// True for OP_RETURN and OP_FALSE OP_RETURN outputs.
export function isDataCarrier(script) {
  return (script.length >= 1 && script[0] === 0x6a) || (script.length >= 2 && script[0] === 0x00 && script[1] === 0x6a)
}

// The pushes after OP_RETURN, as buffers; empty for other scripts.
export function dataPushes(script) {
  if (!isDataCarrier(script)) return []
  const start = script[0] === 0x6a ? 1 : 2
  return parseOps(script.subarray(start))
    .filter(item => item.data !== undefined)
    .map(item => item.data)
}

// The chain API's type word for an output script.
export function scriptType(script) {
  if (p2pkhHash(script)) return 'pubkeyhash'
  if (isDataCarrier(script)) return 'nulldata'
  return 'nonstandard'
}

// A 1Sat ordinal envelope (OP_FALSE OP_IF "ord" OP_1 type OP_0 data OP_ENDIF)
// anywhere in the script: {contentType, size} or null.
export function findInscription(script) {
  const ops = parseOps(script)
  for (let i = 0; i + 2 < ops.length; i++) {
    if (ops[i].op === 0x00 && ops[i + 1].op === 0x63 && ops[i + 2].data?.toString('latin1') === 'ord') {
      let contentType = ''
      let size = 0
      for (let j = i + 3; j + 1 < ops.length && ops[j].op !== 0x68; j += 2) {
        const field = ops[j]
        const value = ops[j + 1].data ?? Buffer.alloc(0)
        if (field.op === 0x51) contentType = value.toString('utf8')
        else if (field.op === 0x00) size = value.length
      }
      return { contentType, size }
    }
  }
  return null
}

// The P2PKH script of address followed by an ordinal envelope of the content.
export function inscriptionScript(address, contentType, content) {
  const push = data => {
    const b = Buffer.from(data)
    if (b.length < 0x4c) return Buffer.concat([Buffer.from([b.length]), b])
    if (b.length <= 0xff) return Buffer.concat([Buffer.from([0x4c, b.length]), b])
    const len = Buffer.alloc(4)
    len.writeUInt32LE(b.length)
    return Buffer.concat([Buffer.from([0x4e]), len, b])
  }
  return Buffer.concat([
    p2pkhScript(addressToHash(address)),
    Buffer.from([0x00, 0x63]),
    push('ord'),
    Buffer.from([0x51]),
    push(contentType),
    Buffer.from([0x00]),
    push(content),
    Buffer.from([0x68])
  ])
}

export function sha256d(data) {
  return createHash('sha256').update(createHash('sha256').update(data).digest()).digest()
}
