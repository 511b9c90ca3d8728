// Small HTTP pieces shared by the hosts and the control port: capped body
// reading, answers as plain records, and the throw-away certificate
// authority made with the openssl command.
import { execFileSync } from 'node:child_process'
import { randomBytes } from 'node:crypto'
import fs from 'node:fs'
import path from 'node:path'
import zlib from 'node:zlib'

export const BODY_CAP = 10 * 1024 * 1024

// Reads a request body of at most cap bytes. Answers the Buffer, or null when
// the body is larger: the rest is read and dropped up to four times the cap,
// so that the client sees the answer; beyond that req.abandoned is set and
// the caller closes the connection after answering.
export function readBody(req, cap = BODY_CAP) {
  return new Promise((resolve, reject) => {
    const hardLimit = 4 * cap
    const announced = Number(req.headers['content-length'])
    if (Number.isFinite(announced) && announced > hardLimit) {
      req.abandoned = true
      resolve(null)
      return
    }
    const chunks = []
    let size = 0
    let settled = false
    req.on('data', chunk => {
      if (settled) return
      size += chunk.length
      if (size > hardLimit) {
        settled = true
        req.abandoned = true
        req.pause()
        resolve(null)
      } else if (size <= cap) {
        chunks.push(chunk)
      }
    })
    req.on('end', () => {
      if (!settled) {
        settled = true
        resolve(size > cap ? null : Buffer.concat(chunks))
      }
    })
    req.on('error', err => {
      if (!settled) {
        settled = true
        reject(err)
      }
    })
  })
}

// Parses a body as JSON; answers {value} or {error: text}.
export function parseJson(buffer) {
  if (!buffer || buffer.length === 0) return { error: 'body is empty' }
  try {
    return { value: JSON.parse(buffer.toString('utf8')) }
  } catch {
    return { error: 'body is not JSON' }
  }
}

export const json = (status, value, headers = {}) => ({ status, type: 'application/json', body: JSON.stringify(value), headers })
export const text = (status, value, headers = {}) => ({ status, type: 'text/plain; charset=utf-8', body: String(value), headers })
export const html = (status, value, headers = {}) => ({ status, type: 'text/html; charset=utf-8', body: String(value), headers })

export function send(res, answer) {
  if (res.destroyed || res.headersSent) return
  const body = Buffer.isBuffer(answer.body) ? answer.body : Buffer.from(answer.body ?? '', 'utf8')
  res.writeHead(answer.status, { 'Content-Type': answer.type, 'Content-Length': body.length, ...answer.headers })
  res.end(body)
}

// The page a proxy in front of a host shows when the host behind it fails.
export function proxyErrorPage(status) {
  const reason = { 500: 'Internal Server Error', 502: 'Bad Gateway', 503: 'Service Temporarily Unavailable', 504: 'Gateway Time-out' }[status] ?? 'Error'
  return `<html>\r\n<head><title>${status} ${reason}</title></head>\r\n<body>\r\n<center><h1>${status} ${reason}</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n`
}

// Makes a CA and a server certificate for names (and 127.0.0.1) in dir with
// the openssl command; the CA key is deleted once it has signed. Answers
// {caFile, certFile, keyFile}.
export function makeCertificates(dir, names) {
  const caKey = path.join(dir, 'ca.key')
  const caFile = path.join(dir, 'ca.pem')
  const keyFile = path.join(dir, 'server.key')
  const csrFile = path.join(dir, 'server.csr')
  const certFile = path.join(dir, 'server.pem')
  const extFile = path.join(dir, 'server.ext')
  const curve = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes']
  const run = args => execFileSync('openssl', args, { stdio: ['ignore', 'ignore', 'pipe'] })
  run(['req', '-x509', ...curve, '-keyout', caKey, '-out', caFile, '-days', '3', '-subj', '/CN=Kestrel devnet throw-away CA',
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign'])
  run(['req', '-new', ...curve, '-keyout', keyFile, '-out', csrFile, '-subj', `/CN=${names[0]}`])
  const alt = [...names.map(name => `DNS:${name}`), 'DNS:localhost', 'IP:127.0.0.1'].join(',')
  fs.writeFileSync(extFile, `subjectAltName=${alt}\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n`)
  run(['x509', '-req', '-in', csrFile, '-CA', caFile, '-CAkey', caKey, '-set_serial', `0x${randomBytes(12).toString('hex')}`, '-days', '3', '-out', certFile, '-extfile', extFile])
  fs.rmSync(caKey, { force: true })
  fs.rmSync(csrFile, { force: true })
  fs.rmSync(extFile, { force: true })
  return { caFile, certFile, keyFile }
}

// A small square PNG of one colour (the default avatars).
export function solidPng(size, rgb) {
  const row = Buffer.alloc(1 + size * 3)
  for (let x = 0; x < size; x++) row.set(rgb, 1 + x * 3)
  const raw = Buffer.concat(Array.from({ length: size }, () => row))
  const ihdr = Buffer.alloc(13)
  ihdr.writeUInt32BE(size, 0)
  ihdr.writeUInt32BE(size, 4)
  ihdr.set([8, 2, 0, 0, 0], 8)
  const chunk = (type, data) => {
    const head = Buffer.alloc(4)
    head.writeUInt32BE(data.length)
    const body = Buffer.concat([Buffer.from(type, 'latin1'), data])
    const crc = Buffer.alloc(4)
    crc.writeUInt32BE(crc32(body))
    return Buffer.concat([head, body, crc])
  }
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', ihdr), chunk('IDAT', zlib.deflateSync(raw)), chunk('IEND', Buffer.alloc(0))])
}

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1
  return c >>> 0
})

function crc32(data) {
  let c = 0xffffffff
  for (const byte of data) c = crcTable[(c ^ byte) & 0xff] ^ (c >>> 8)
  return (c ^ 0xffffffff) >>> 0
}
