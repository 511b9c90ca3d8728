// A small client for tests in Node: HTTPS requests to a played host name
// (connected to the devnet's port, certificate checked against its CA) and
// JSON calls to the control port. Both answer {status, headers, text, json},
// where json is the parsed body or undefined; a dropped connection rejects.
import fs from 'node:fs'
import http from 'node:http'
import https from 'node:https'

export function hostRequest(info, host, method, path, body = undefined, headers = {}) {
  const ca = fs.readFileSync(info.ca_file)
  const payload = body === undefined ? null : Buffer.isBuffer(body) ? body : Buffer.from(typeof body === 'string' ? body : JSON.stringify(body))
  return exchange(https, {
    host: '127.0.0.1',
    port: info.https_port,
    servername: host,
    ca,
    method,
    path,
    agent: false,
    headers: { Host: host, ...(payload ? { 'Content-Type': 'application/json', 'Content-Length': payload.length } : {}), ...headers }
  }, payload)
}

export function controlRequest(info, method, path, body = undefined) {
  const payload = body === undefined ? null : Buffer.from(JSON.stringify(body))
  return exchange(http, {
    host: '127.0.0.1',
    port: info.control_port,
    method,
    path,
    agent: false,
    headers: payload ? { 'Content-Type': 'application/json', 'Content-Length': payload.length } : {}
  }, payload)
}

function exchange(lib, options, payload) {
  return new Promise((resolve, reject) => {
    const req = lib.request(options, res => {
      const chunks = []
      res.on('data', chunk => chunks.push(chunk))
      res.on('end', () => {
        const text = Buffer.concat(chunks).toString('utf8')
        let json
        try {
          json = JSON.parse(text)
        } catch {
          json = undefined
        }
        resolve({ status: res.statusCode, headers: res.headers, text, body: Buffer.concat(chunks), json })
      })
      res.on('error', reject)
    })
    req.on('error', reject)
    if (payload) req.write(payload)
    req.end()
  })
}
