// startDevnet: one HTTPS port that plays every outside host by its Host
// header, and a loopback control port for tests. Answers {info, stop, done}:
// info is the start line (ports, CA file, host names, the kestrel-config.json
// fragment, the fee keys); stop() closes both ports, saves the state and
// removes a temporary folder; done settles when it has stopped.
import fs from 'node:fs'
import http from 'node:http'
import https from 'node:https'
import os from 'node:os'
import path from 'node:path'
import { PrivateKey } from '@bsv/sdk'
import { createChain } from './chain.mjs'
import { createControl } from './control.mjs'
import { createFaults } from './faults.mjs'
import { BODY_CAP, html, json, makeCertificates, proxyErrorPage, readBody, send } from './http.mjs'
import { ROLES, createHosts, errorAnswer } from './hosts.mjs'
import { createExternalHost, createRegistry } from './paymail.mjs'

export const DEFAULTS = {
  lifetime: 1800,
  mineInterval: 0,
  minFeeRate: 1,
  pageSize: 100,
  truncateBytes: 100000,
  httpsPort: 0,
  controlPort: 0,
  publishedVersion: '0.003',
  gbp: 40,
  hosts: {
    service: 'corvane.app',
    service_www: 'www.corvane.app',
    paymail_domain: 'corvane.app',
    chain: 'api.whatsonchain.com',
    arc: 'arc.gorillapool.io',
    ordinals: 'ordinals.gorillapool.io',
    download: 'corvane.com',
    external_paymail: 'extpay.test'
  }
}

const CHAIN_PREFIX = '/v1/bsv/main'

export async function startDevnet(options = {}) {
  const opts = { ...DEFAULTS, ...options, hosts: { ...DEFAULTS.hosts, ...(options.hosts ?? {}) } }
  const madeDir = !opts.dir
  const dir = opts.dir ?? fs.mkdtempSync(path.join(os.tmpdir(), 'kestrel-devnet-'))
  fs.mkdirSync(dir, { recursive: true })
  const logFile = path.join(dir, 'devnet.log')
  const logStream = fs.createWriteStream(logFile, { flags: 'a' })
  const events = []
  let eventNo = 0
  const log = event => {
    const entry = { n: ++eventNo, t: new Date().toISOString(), ...event }
    events.push(entry)
    if (events.length > 5000) events.shift()
    logStream.write(JSON.stringify(entry) + '\n')
    if (opts.verbose) process.stderr.write(JSON.stringify(entry) + '\n')
  }
  // A start that fails leaves no folder or open port behind.
  const servers = []
  const guard = async step => {
    try {
      return await step()
    } catch (e) {
      for (const server of servers) server.close()
      logStream.end()
      if (madeDir) fs.rmSync(dir, { recursive: true, force: true })
      throw e
    }
  }

  // Keys that tests need to see fees arrive, and the faucet's; kept in the
  // state file so that a reloaded chain keeps paying the same addresses.
  const saved = await guard(() => (opts.state && fs.existsSync(opts.state) ? JSON.parse(fs.readFileSync(opts.state, 'utf8')) : null))
  const keys = await guard(() => ({
    faucet: saved ? PrivateKey.fromHex(saved.keys.faucet) : PrivateKey.fromRandom(),
    message_fee: saved ? PrivateKey.fromHex(saved.keys.message_fee) : PrivateKey.fromRandom(),
    connection_fee: saved ? PrivateKey.fromHex(saved.keys.connection_fee) : PrivateKey.fromRandom()
  }))

  let saveTimer = null
  const changed = () => {
    if (!opts.state || saveTimer) return
    saveTimer = setTimeout(() => {
      saveTimer = null
      saveState()
    }, 100)
  }

  const settings = {
    pageSize: opts.pageSize,
    truncateBytes: opts.truncateBytes,
    mineInterval: opts.mineInterval,
    download: { version: opts.publishedVersion, gbp: opts.gbp, rateOk: true, page: null }
  }
  const chain = createChain({ minFeeRate: opts.minFeeRate, faucetKey: keys.faucet, log, onChange: changed })
  const registry = createRegistry({ domain: opts.hosts.paymail_domain, log, onChange: changed })
  const ext = createExternalHost({ domain: opts.hosts.external_paymail, log, onChange: changed })
  if (saved) {
    await guard(() => {
      chain.load(saved.chain)
      registry.load(saved.registry)
      ext.load(saved.external)
    })
    Object.assign(settings.download, saved.download ?? {})
    log({ event: 'state-loaded', file: opts.state, height: chain.tip() })
  }

  function saveState() {
    if (!opts.state) return
    const state = {
      keys: { faucet: keys.faucet.toHex(), message_fee: keys.message_fee.toHex(), connection_fee: keys.connection_fee.toHex() },
      chain: chain.save(),
      registry: registry.save(),
      external: ext.save(),
      download: settings.download
    }
    const tmp = `${opts.state}.tmp`
    fs.writeFileSync(tmp, JSON.stringify(state))
    fs.renameSync(tmp, opts.state)
  }

  // Host name → role.
  const hostRoles = new Map()
  for (const role of ROLES) hostRoles.set(opts.hosts[role].toLowerCase(), role)
  hostRoles.set(opts.hosts.service_www.toLowerCase(), 'service')
  hostRoles.set(opts.hosts.paymail_domain.toLowerCase(), 'service')
  const roleOf = name => (ROLES.includes(name) ? name : hostRoles.get(String(name).toLowerCase()) ?? null)
  const faults = createFaults(roleOf)

  const dv = { chain, registry, ext, settings, hosts: opts.hosts, chainPrefix: CHAIN_PREFIX, log, roleOf }
  const handlers = createHosts(dv)

  const requests = []
  let requestNo = 0
  const certNames = [...new Set([...hostRoles.keys()])]
  const certs = await guard(() => makeCertificates(dir, certNames))

  const httpsServer = https.createServer({ key: fs.readFileSync(certs.keyFile), cert: fs.readFileSync(certs.certFile) }, (req, res) => {
    handle(req, res).catch(err => {
      log({ event: 'error', reason: String(err?.stack ?? err) })
      send(res, json(500, { error: 'internal error' }))
    })
  })
  httpsServer.keepAliveTimeout = 65000
  httpsServer.headersTimeout = 70000
  httpsServer.on('tlsClientError', err => log({ event: 'tls-error', reason: err.message }))

  async function handle(req, res) {
    const hostHeader = String(req.headers.host ?? '').toLowerCase()
    const hostName = hostHeader.startsWith('[') ? hostHeader : hostHeader.replace(/:\d+$/, '')
    const role = hostRoles.get(hostName)
    const url = new URL(req.url, 'https://devnet.invalid')
    const method = req.method
    const entry = { id: ++requestNo, time: Date.now(), role: role ?? null, host: hostName, method, path: url.pathname, query: url.search, status: 0, fault: null }
    requests.push(entry)
    if (requests.length > 5000) requests.shift()
    const finish = answer => {
      entry.status = answer.status
      log({ event: 'request', role: entry.role, host: hostName, method, path: url.pathname, status: answer.status, fault: entry.fault })
      send(res, answer)
    }
    if (!role) {
      req.resume()
      return finish(html(421, `<h1>421 Misdirected Request</h1><p>This devnet does not play ${hostName || 'that host'}.</p>`))
    }
    const fault = faults.take(role, method, url.pathname)
    if (fault) {
      entry.fault = fault.kind
      if (fault.delay_ms) await sleep(fault.delay_ms)
      if (fault.kind === 'delay') await sleep(fault.ms)
      if (fault.kind === 'drop') {
        log({ event: 'request', role, host: hostName, method, path: url.pathname, status: 0, fault: 'drop' })
        req.socket.destroy()
        return
      }
      if (fault.kind === 'status' || fault.kind === 'html' || fault.kind === 'body') {
        req.resume()
        if (fault.kind === 'html') return finish(html(fault.status, proxyErrorPage(fault.status)))
        if (fault.kind === 'body') return finish({ status: fault.status, type: fault.contentType, body: fault.body, headers: {} })
        const answer = errorAnswer(role, fault.status, statusText(fault.status), url.pathname)
        if (fault.status === 429 || fault.status === 503) answer.headers = { 'Retry-After': '1' }
        return finish(answer)
      }
    }
    let body = null
    if (method === 'POST' || method === 'PUT') {
      body = await readBody(req, BODY_CAP)
      if (body === null) {
        res.setHeader('Connection', 'close')
        if (req.abandoned) res.on('finish', () => req.socket.destroy())
        return finish(errorAnswer(role, 413, `request body larger than ${BODY_CAP} bytes`, url.pathname))
      }
    } else {
      req.resume()
    }
    const answer = await handlers[role]({ method, path: url.pathname, query: url.searchParams, body, headers: req.headers, fault: fault?.kind === 'arc_status' ? fault : null })
    finish(answer)
  }

  let stopping = null
  let resolveDone
  const done = new Promise(resolve => {
    resolveDone = resolve
  })
  let lifetimeTimer = null
  let mineTimer = null
  function setMineInterval(seconds) {
    if (mineTimer) clearInterval(mineTimer)
    mineTimer = null
    settings.mineInterval = seconds
    if (seconds > 0) mineTimer = setInterval(() => chain.mine(1), seconds * 1000)
  }

  const control = createControl({ dv, faults, requests, events, saveState, stop: () => stop('control'), setMineInterval })
  const controlServer = http.createServer((req, res) => {
    control(req, res).catch(err => {
      log({ event: 'error', reason: String(err?.stack ?? err) })
      send(res, json(500, { error: 'internal error' }))
    })
  })

  servers.push(httpsServer, controlServer)
  await guard(() => listen(httpsServer, opts.httpsPort))
  await guard(() => listen(controlServer, opts.controlPort))
  const httpsPort = httpsServer.address().port
  const controlPort = controlServer.address().port

  setMineInterval(settings.mineInterval)
  if (opts.lifetime > 0) lifetimeTimer = setTimeout(() => stop('lifetime'), opts.lifetime * 1000)

  const playedHosts = [...new Set([opts.hosts.service, opts.hosts.service_www, opts.hosts.paymail_domain, opts.hosts.chain, opts.hosts.arc, opts.hosts.ordinals, opts.hosts.download, opts.hosts.external_paymail])]
  const feeKey = key => ({ address: key.toAddress(), private_key: key.toHex(), wif: key.toWif() })
  const info = {
    pid: process.pid,
    https_port: httpsPort,
    control_port: controlPort,
    control_url: `http://127.0.0.1:${controlPort}`,
    ca_file: certs.caFile,
    dir,
    log_file: logFile,
    state_file: opts.state ?? null,
    lifetime_s: opts.lifetime,
    hosts: { ...opts.hosts },
    config: {
      service_host: opts.hosts.service,
      service_domain: opts.hosts.paymail_domain,
      service_pinned_ip: '',
      chain_api: `https://${opts.hosts.chain}${CHAIN_PREFIX}`,
      arc_api: `https://${opts.hosts.arc}`,
      ordinals_api: `https://${opts.hosts.ordinals}`,
      download_site: `https://${opts.hosts.download}`,
      message_fee_address: keys.message_fee.toAddress(),
      connection_fee_address: keys.connection_fee.toAddress(),
      house_oracles: [],
      ca_file: certs.caFile,
      connect_to: playedHosts.map(name => `${name}:443:127.0.0.1:${httpsPort}`)
    },
    fee_keys: { message_fee: feeKey(keys.message_fee), connection_fee: feeKey(keys.connection_fee) },
    faucet_address: chain.faucetAddress
  }
  dv.info = info
  log({ event: 'start', https_port: httpsPort, control_port: controlPort, dir })

  async function stop(reason = 'stop') {
    if (stopping) return stopping
    stopping = (async () => {
      log({ event: 'stop', reason })
      clearTimeout(lifetimeTimer)
      setMineInterval(0)
      if (saveTimer) clearTimeout(saveTimer)
      saveState()
      await Promise.all([close(httpsServer), close(controlServer)])
      await new Promise(resolve => logStream.end(resolve))
      if (madeDir && !opts.keep) fs.rmSync(dir, { recursive: true, force: true })
      resolveDone(reason)
    })()
    return stopping
  }

  return { info, stop, done, chain, registry, ext, faults, settings }
}

function listen(server, port) {
  return new Promise((resolve, reject) => {
    server.once('error', reject)
    server.listen(port, '127.0.0.1', () => {
      server.off('error', reject)
      resolve()
    })
  })
}

function close(server) {
  return new Promise(resolve => {
    server.close(() => resolve())
    server.closeAllConnections()
  })
}

function sleep(ms) {
  return new Promise(resolve => setTimeout(resolve, ms))
}

function statusText(status) {
  return http.STATUS_CODES[status] ?? `HTTP ${status}`
}
