// The hosts the devnet plays, one route table each: the Corvane service host
// (oracle, transactions, submit, paymail registry), the chain API in the
// WhatsOnChain shape, the ARC broadcaster, the ordinals API, the download site
// and an external paymail host. Each handler takes {method, path, query,
// body, fault} and answers a record for send(); errors take the shape the
// real host gives (see errorAnswer).
import { createHash, randomUUID } from 'node:crypto'
import { html, json, parseJson, solidPng, text } from './http.mjs'
import { ALIAS_PATTERN, isObject, verifyIdentitySignature } from './paymail.mjs'
import { REFUSALS } from './chain.mjs'
import { parseRawTx } from './rawtx.mjs'
import { addressToHash, findInscription, p2pkhScript } from './script.mjs'

export const ROLES = ['service', 'chain', 'arc', 'ordinals', 'download', 'external_paymail']
const TXID = /^[0-9a-fA-F]{64}$/

// An error answer in the shape of the host behind role.
export function errorAnswer(role, status, message, path = '') {
  switch (role) {
    case 'service':
      return json(status, path === '/oi/submit' || path === '/api/paymail/phone' ? { ok: false, error: message } : { error: message })
    case 'chain':
      return text(status, message)
    case 'arc':
      return arcProblem(status, message, '')
    case 'ordinals':
      return json(status, { message })
    case 'external_paymail':
      return json(status, { code: status, message })
    default:
      return html(status, `<!DOCTYPE html><html><head><title>${status}</title></head><body><h1>${status}</h1><p>${escapeHtml(message)}</p></body></html>`)
  }
}

export function createHosts(dv) {
  return {
    service: serviceHost(dv),
    chain: chainHost(dv),
    arc: arcHost(dv),
    ordinals: ordinalsHost(dv),
    download: downloadHost(dv),
    external_paymail: externalHost(dv)
  }
}

// ---------------------------------------------------------------- service

function serviceHost(dv) {
  const { chain, registry } = dv
  const domain = dv.hosts.paymail_domain
  return async ({ method, path, query, body }) => {
    let m
    if (method === 'GET' && path === '/oi/oracle/cphone/txids') {
      const address = query.get('address') ?? ''
      if (!addressToHash(address)) return json(400, { error: 'address must be a P2PKH address' })
      const kind = query.get('kind') ?? 'all'
      if (!['all', 'confirmed', 'mempool'].includes(kind)) return json(400, { error: 'kind must be all, confirmed or mempool' })
      const limit = query.has('limit') ? Number(query.get('limit')) : 20
      if (!Number.isInteger(limit) || limit < 1 || limit > 100) return json(400, { error: 'limit must be from 1 to 100' })
      let txids = chain.paying(address, Infinity)
      if (kind !== 'all') txids = txids.filter(txid => (chain.tx(txid).height === null) === (kind === 'mempool'))
      return json(200, { address, kind, txids: txids.slice(0, limit) })
    }
    if (method === 'GET' && (m = path.match(/^\/oi\/tx\/([^/]+)$/))) {
      if (!TXID.test(m[1])) return json(400, { error: 'txid must be 64 hex digits' })
      const doc = chain.decoded(m[1])
      return doc ? json(200, doc) : json(404, { error: 'transaction not found' })
    }
    if (path === '/oi/submit') {
      if (method !== 'POST') return json(405, { ok: false, error: 'use POST' })
      const txhex = txhexFrom(body, 'txhex')
      if (txhex.error) return json(400, { ok: false, error: txhex.error })
      const result = chain.submit(txhex.value, 'service')
      if (result.ok) return json(200, { ok: true, txid: result.txid })
      if (result.code === 'decode') return json(400, { ok: false, error: `${result.reason} (${result.detail})` })
      return json(200, { ok: false, error: result.reason, txid: result.txid })
    }
    if ((m = path.match(/^\/api\/bsvalias\/(address|id|public-profile)\/([^/]+)$/))) {
      if (method !== 'GET' && !(method === 'POST' && m[1] === 'address')) return json(405, { error: 'method not allowed' })
      const paymail = decodePath(m[2])
      const entry = paymail && registry.lookup(paymail)
      if (!entry) return json(404, { error: `${paymail ?? m[2]} is not registered` })
      const handle = `${entry.alias}@${domain}`
      if (m[1] === 'address') {
        if (method === 'POST') return json(200, { output: p2pkhHex(entry.address), address: entry.address })
        return json(200, { address: entry.address, handle })
      }
      if (m[1] === 'id') {
        const doc = { bsvalias: '1.0', handle, pubkey: entry.publishedKey ?? entry.pubkey }
        if (entry.phone) {
          doc.phoneFee = entry.phone.phoneFee
          doc.greetAddress = entry.phone.greetAddress
        }
        return json(200, doc)
      }
      return json(200, { name: entry.alias, domain, avatar: entry.avatar || `https://${dv.hosts.service}/avatars/${entry.alias}.png` })
    }
    if (method === 'GET' && (m = path.match(/^\/avatars\/([a-z0-9._-]+)\.png$/))) {
      if (!registry.lookup(`${m[1]}@${domain}`)) return json(404, { error: 'no such avatar' })
      const colour = createHash('sha256').update(m[1]).digest().subarray(0, 3)
      return { status: 200, type: 'image/png', body: solidPng(32, colour), headers: {} }
    }
    if (path === '/api/paymail/claim' || path === '/api/paymail/phone') {
      if (method !== 'POST') return json(405, { error: 'use POST' })
      const kind = path === '/api/paymail/claim' ? 'claim' : 'phone'
      const parsed = parseJson(body)
      const answer = parsed.error ? registry.malformed(kind, parsed.error) : kind === 'claim' ? registry.claim(parsed.value) : registry.phone(parsed.value)
      return json(answer.status, answer.body)
    }
    if (method === 'GET' && (m = path.match(/^\/api\/paymail\/quota\/([^/]+)$/))) {
      if (!/^(02|03)[0-9a-fA-F]{64}$/.test(m[1])) return json(400, { error: 'key must be a compressed public key in hex' })
      return json(200, registry.quota(m[1]))
    }
    if (method === 'GET' && path === '/.well-known/bsvalias') {
      const base = `https://${dv.hosts.service}/api/bsvalias`
      return json(200, {
        bsvalias: '1.0',
        capabilities: {
          pki: `${base}/id/{alias}@{domain.tld}`,
          paymentDestination: `${base}/address/{alias}@{domain.tld}`,
          f12f968c92d6: `${base}/public-profile/{alias}@{domain.tld}`
        }
      })
    }
    return json(404, { error: 'not found' })
  }
}

// ---------------------------------------------------------------- chain API

function chainHost(dv) {
  const { chain } = dv
  const prefix = dv.chainPrefix
  return async ({ method, path, query, body }) => {
    if (!path.startsWith(prefix + '/')) return text(404, 'Not Found')
    const rest = path.slice(prefix.length)
    let m
    if (method === 'GET' && rest === '/chain/info') {
      const tip = chain.blockAt(chain.tip())
      return json(200, { chain: 'main', blocks: tip.height, headers: tip.height, bestblockhash: tip.hash, mediantime: tip.time })
    }
    if (rest === '/tx/raw') {
      if (method !== 'POST') return text(405, 'Method Not Allowed')
      const txhex = txhexFrom(body, 'txhex')
      if (txhex.error) return text(400, txhex.error)
      const result = chain.submit(txhex.value, 'chain')
      if (result.ok) return json(200, result.txid)
      return text(400, `unexpected response code 500: ${result.reason}`)
    }
    if (method === 'GET' && (m = rest.match(/^\/tx\/(?:hash\/)?([^/]+)(\/hex|\/decoded)?$/))) {
      if (!TXID.test(m[1])) return text(400, 'Invalid txid')
      const record = chain.tx(m[1])
      if (!record) return text(404, 'Not Found')
      if (m[2] === '/hex') return text(200, record.hex)
      const doc = chain.decoded(m[1], m[2] ? 0 : dv.settings.truncateBytes)
      if (m[2] === '/decoded') {
        for (const out of doc.vout) {
          out.satoshis = Number(record.parsed.outputs[out.n].value)
          if (out.scriptPubKey.addresses) out.scriptPubKey.address = out.scriptPubKey.addresses[0]
        }
      }
      return json(200, doc)
    }
    if ((m = rest.match(/^\/address\/([^/]+)\/(history|confirmed\/history|unconfirmed\/history|unspent|unspent\/all|confirmed\/unspent|unconfirmed\/unspent|balance|confirmed\/balance|unconfirmed\/balance)$/))) {
      if (method !== 'GET') return text(405, 'Method Not Allowed')
      const address = decodePath(m[1])
      if (!addressToHash(address)) return text(400, 'Invalid address')
      return addressAnswer(dv, address, m[2], query)
    }
    if (rest === '/addresses/balance') {
      if (method !== 'POST') return text(405, 'Method Not Allowed')
      const parsed = parseJson(body)
      if (parsed.error) return text(400, parsed.error)
      const list = parsed.value?.addresses
      if (!Array.isArray(list) || list.length === 0) return text(400, 'addresses must be a non-empty array')
      if (list.length > 20) return text(400, 'Too many addresses (max 20)')
      return json(200, list.map(address => (typeof address === 'string' && addressToHash(address) ? { address, balance: chain.balance(address), error: '' } : { address: String(address), balance: null, error: 'Invalid address' })))
    }
    return text(404, 'Not Found')
  }
}

function addressAnswer(dv, address, what, query) {
  const { chain } = dv
  const script = p2pkhHex(address)
  const coin = c => ({ height: c.height, tx_pos: c.vout, tx_hash: c.txid, value: c.sats, isSpentInMempoolTx: c.spentInMempool, status: c.height > 0 ? 'confirmed' : 'unconfirmed' })
  switch (what) {
    case 'history':
      return json(200, chain.history(address).slice(-1000).map(h => ({ tx_hash: h.txid, height: h.height })))
    case 'confirmed/history': {
      let list = chain.history(address).filter(h => h.confirmed)
      if (query.get('order') !== 'asc') list = list.reverse()
      return pagedAnswer(dv, 'confirmed/history', address, script, list.map(h => ({ tx_hash: h.txid, height: h.height })), query)
    }
    case 'unconfirmed/history':
      return json(200, { address, script, result: chain.history(address).filter(h => !h.confirmed).map(h => ({ tx_hash: h.txid })), error: '' })
    case 'unspent':
      return json(200, chain.unspent(address, true).map(coin))
    case 'unspent/all':
    case 'confirmed/unspent':
      return pagedAnswer(dv, what, address, script, chain.unspent(address, true).map(coin), query)
    case 'unconfirmed/unspent':
      return json(200, { address, script, result: chain.unspent(address, false).map(coin), error: '' })
    case 'balance':
      return json(200, chain.balance(address))
    case 'confirmed/balance':
      return json(200, { address, script, confirmed: chain.balance(address).confirmed, error: '' })
    default:
      return json(200, { address, script, unconfirmed: chain.balance(address).unconfirmed, error: '' })
  }
}

// Page tokens start with the bytes fb ff bf, so that in Base64 they begin
// "+/+/": a client that does not percent-encode them is found out at once.
const TOKEN_PREFIX = Buffer.from([0xfb, 0xff, 0xbf])

function pagedAnswer(dv, listing, address, script, items, query) {
  let offset = 0
  const token = query.get('token')
  if (token !== null) {
    offset = readToken(token, listing, address)
    if (offset === null || offset > items.length) return text(400, 'Invalid page token')
  }
  const limit = query.has('limit') ? Number(query.get('limit')) : dv.settings.pageSize
  if (!Number.isInteger(limit) || limit < 1 || limit > 10000) return text(400, 'Invalid limit')
  const answer = { address, script, result: items.slice(offset, offset + limit), error: '' }
  if (offset + limit < items.length) {
    answer.nextPageToken = Buffer.concat([TOKEN_PREFIX, Buffer.from(JSON.stringify({ l: listing, a: address, o: offset + limit }))]).toString('base64')
  }
  return json(200, answer)
}

function readToken(token, listing, address) {
  const raw = Buffer.from(token, 'base64')
  if (raw.toString('base64') !== token || raw.length <= TOKEN_PREFIX.length || !raw.subarray(0, 3).equals(TOKEN_PREFIX)) return null
  try {
    const t = JSON.parse(raw.subarray(3).toString('utf8'))
    return t.l === listing && t.a === address && Number.isInteger(t.o) && t.o >= 0 ? t.o : null
  } catch {
    return null
  }
}

// ---------------------------------------------------------------- ARC

const ARC_ERRORS = {
  missing: [462, 'Invalid inputs', 'Transaction is invalid because the inputs are non-existent or spent'],
  script: [461, 'Malformed transaction', 'Transaction is invalid because the unlocking script does not satisfy the locking script'],
  decode: [463, 'Malformed transaction', 'Transaction is malformed and cannot be processed'],
  belowout: [464, 'Invalid outputs', 'Transaction is invalid because the outputs are non-existent or invalid'],
  dust: [464, 'Invalid outputs', 'Transaction is invalid because the outputs are non-existent or invalid'],
  fee: [465, 'Fee too low', 'The fees are too low']
}

function arcProblem(status, title, detail, txid = '', extraInfo = '') {
  return json(status, { detail, extraInfo, instance: null, status, title, txid, type: `https://bitcoin-sv.github.io/arc/#/errors?id=_${status}` })
}

function arcStatus(txid, txStatus, record, extraInfo = '', competingTxs = null) {
  const body = {
    blockHash: record?.blockHash ?? '',
    blockHeight: record?.height ?? 0,
    competingTxs,
    extraInfo,
    merklePath: '',
    status: 200,
    timestamp: new Date().toISOString(),
    title: 'OK',
    txStatus,
    txid
  }
  return json(200, body)
}

function arcHost(dv) {
  const { chain } = dv
  return async ({ method, path, body, headers, fault }) => {
    let m
    if (method === 'GET' && path === '/v1/policy') {
      return json(200, { policy: { maxscriptsizepolicy: 500000000, maxtxsigopscountspolicy: 4294967295, maxtxsizepolicy: 10000000, miningFee: { bytes: 1000, satoshis: chain.minFeeRate() } }, timestamp: new Date().toISOString() })
    }
    if (method === 'GET' && path === '/v1/health') return json(200, { healthy: true, reason: null, version: 'devnet' })
    if (method === 'GET' && (m = path.match(/^\/v1\/tx\/([^/]+)$/))) {
      if (!TXID.test(m[1])) return arcProblem(400, 'Bad request', 'txid must be 64 hex digits')
      const record = chain.tx(m[1])
      if (!record) return arcProblem(404, 'Not found', 'Transaction not found', m[1].toLowerCase())
      return arcStatus(record.txid, record.height === null ? 'SEEN_ON_NETWORK' : 'MINED', record)
    }
    if (path !== '/v1/tx') return arcProblem(404, 'Not found', 'no such endpoint')
    if (method !== 'POST') return arcProblem(405, 'Method not allowed', 'use POST')
    const type = String(headers['content-type'] ?? 'application/json').split(';')[0].trim().toLowerCase()
    let rawHex
    if (type === 'application/octet-stream') rawHex = body.toString('hex')
    else if (type === 'text/plain') rawHex = body.toString('utf8').trim()
    else {
      const raw = txhexFrom(body, 'rawTx')
      if (raw.error) return arcProblem(400, 'Bad request', raw.error)
      rawHex = raw.value
    }
    let parsed
    try {
      parsed = parseRawTx(rawHex)
    } catch (e) {
      dv.log({ event: 'refuse', via: 'arc', code: 'decode', reason: e.message })
      const [status, title, detail] = ARC_ERRORS.decode
      return arcProblem(status, title, detail, '', `${REFUSALS.decode} (${e.message})`)
    }
    if (fault) {
      // The broadcaster answers what the test asked for; the transaction is
      // taken only when the fault says so.
      if (fault.admit) chain.submit(rawHex, 'arc')
      const record = chain.tx(parsed.txid)
      const answer = arcStatus(parsed.txid, fault.txStatus, record, fault.extraInfo)
      if (fault.omitTxid) {
        const value = JSON.parse(answer.body)
        delete value.txid
        answer.body = JSON.stringify(value)
      }
      return answer
    }
    const result = chain.submit(rawHex, 'arc')
    if (result.ok) return arcStatus(result.txid, 'SEEN_ON_NETWORK', null)
    if (result.code === 'known') {
      const record = chain.tx(result.txid)
      return arcStatus(result.txid, record.height === null ? 'SEEN_ON_NETWORK' : 'MINED', record)
    }
    if (result.code === 'conflict') return arcStatus(result.txid, 'DOUBLE_SPEND_ATTEMPTED', null, '', [result.competing])
    const [status, title, detail] = ARC_ERRORS[result.code] ?? [422, 'Unprocessable entity', 'Transaction is invalid']
    return arcProblem(status, title, detail, result.txid, result.reason)
  }
}

// ---------------------------------------------------------------- ordinals

function ordinalsHost(dv) {
  const { chain } = dv
  return async ({ method, path, query }) => {
    const m = path.match(/^(?:\/api)?\/txos\/address\/([^/]+)\/unspent$/)
    if (!m) return json(404, { message: 'Not Found' })
    if (method !== 'GET') return json(405, { message: 'Method Not Allowed' })
    const address = decodePath(m[1])
    if (!addressToHash(address)) return json(400, { message: 'Invalid address' })
    const limit = query.has('limit') ? Number(query.get('limit')) : 100
    const offset = query.has('offset') ? Number(query.get('offset')) : 0
    if (!Number.isInteger(limit) || limit < 1 || limit > 10000 || !Number.isInteger(offset) || offset < 0) return json(400, { message: 'Invalid limit or offset' })
    const coins = [...chain.unspent(address, true), ...chain.unspent(address, false)].filter(c => !c.spentInMempool)
    const items = coins.map((c, idx) => {
      const item = { txid: c.txid, vout: c.vout, satoshis: c.sats, height: c.height, idx, owner: address, spend: '', data: {} }
      const insc = findInscription(c.script)
      if (insc) {
        const outpoint = `${c.txid}_${c.vout}`
        const data = { insc: { file: { type: insc.contentType, size: insc.size } } }
        if (insc.contentType === 'application/bsv-20') data.bsv20 = {}
        Object.assign(item, { outpoint, origin: { outpoint, num: idx, data }, data })
      }
      return item
    })
    return json(200, items.slice(offset, offset + limit))
  }
}

// ---------------------------------------------------------------- download site

function downloadHost(dv) {
  return async ({ method, path }) => {
    if (method !== 'GET' && method !== 'HEAD') return html(405, '<h1>405 Method Not Allowed</h1>')
    const d = dv.settings.download
    if (path === '/cphone') return html(301, '', { Location: '/cphone/' })
    if (path === '/cphone/') {
      const page = d.page ?? `<!DOCTYPE html>\n<html><head><title>Kestrel for Windows</title></head>\n<body>\n<h1>Kestrel</h1>\n<p><b>Current build:</b>&nbsp;<span>Version ${escapeHtml(d.version)}</span></p>\n<p><a href="/cphone/Kestrel-${escapeHtml(d.version)}.zip">Download</a></p>\n</body></html>\n`
      return html(200, page)
    }
    if (path === '/c-rate.json') return json(200, { ok: d.rateOk, gbp: d.gbp })
    if (path === '/') return html(200, '<!DOCTYPE html><html><head><title>Corvane</title></head><body><h1>Corvane</h1><p><a href="/cphone/">Kestrel</a></p></body></html>')
    return html(404, '<!DOCTYPE html><html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>')
  }
}

// ---------------------------------------------------------------- external paymail host

function externalHost(dv) {
  const { ext, chain } = dv
  const host = dv.hosts.external_paymail
  return async ({ method, path, body }) => {
    if (method === 'GET' && path === '/.well-known/bsvalias') {
      return json(200, {
        bsvalias: '1.0',
        capabilities: {
          pki: `https://${host}/api/id/{alias}@{domain.tld}`,
          paymentDestination: `https://${host}/api/payment-destination/{alias}@{domain.tld}`,
          '2a40af698840': `https://${host}/api/p2p-destination/{alias}@{domain.tld}`,
          '5f1323cddf31': `https://${host}/api/receive-tx/{alias}@{domain.tld}`
        }
      })
    }
    const m = path.match(/^\/api\/(id|payment-destination|p2p-destination|receive-tx)\/([^/]+)$/)
    if (!m) return json(404, { code: 404, message: 'not found' })
    const paymail = decodePath(m[2]) ?? ''
    const at = paymail.lastIndexOf('@')
    const name = paymail.slice(0, at).toLowerCase()
    if (at < 1 || paymail.slice(at + 1).toLowerCase() !== ext.domain || !ALIAS_PATTERN.test(name)) return json(404, { code: 404, message: `${paymail} not found` })
    if (m[1] === 'id') {
      if (method !== 'GET') return json(405, { code: 405, message: 'use GET' })
      const a = ext.alias(name)
      return json(200, { bsvalias: '1.0', handle: a.paymail, pubkey: a.pubkey })
    }
    if (method !== 'POST') return json(405, { code: 405, message: 'use POST' })
    const parsed = parseJson(body)
    if (parsed.error) return json(400, { code: 400, message: parsed.error })
    const request = parsed.value
    if (!isObject(request)) return json(400, { code: 400, message: 'body must be a JSON object' })
    if (m[1] === 'p2p-destination') {
      if (!Number.isSafeInteger(request.satoshis) || request.satoshis < 1) return json(400, { code: 400, message: 'satoshis must be a whole number from 1' })
      return json(200, ext.destination(name, request.satoshis))
    }
    if (m[1] === 'payment-destination') {
      if (typeof request.senderHandle !== 'string' || request.senderHandle === '') return json(400, { code: 400, message: 'senderHandle is required' })
      if (request.amount !== undefined && !(Number.isSafeInteger(request.amount) && request.amount >= 0)) return json(400, { code: 400, message: 'amount must be a whole number' })
      return json(200, { output: ext.alias(name).script })
    }
    return receiveTransaction(ext, chain, name, request)
  }
}

// Checks a delivered transaction against the reference it answers, takes it
// onto the chain when it is not there yet, and records the delivery either way.
function receiveTransaction(ext, chain, name, request) {
  const refuse = (status, message, txid = '') => {
    ext.recordDelivery({ alias: name, reference: String(request.reference ?? ''), txid, hex: typeof request.hex === 'string' ? request.hex : '', metadata: request.metadata ?? null, accepted: false, error: message })
    return json(status, { code: status, message })
  }
  if (typeof request.hex !== 'string') return refuse(400, 'hex is required')
  if (typeof request.reference !== 'string') return refuse(400, 'reference is required')
  const ref = ext.reference(request.reference)
  if (!ref || ref.alias !== name) return refuse(400, 'reference is unknown')
  let parsed
  try {
    parsed = parseRawTx(request.hex)
  } catch (e) {
    return refuse(400, `transaction does not parse (${e.message})`)
  }
  const pays = parsed.outputs.some(o => o.script.toString('hex') === ref.script && Number(o.value) === ref.satoshis)
  if (!pays) return refuse(400, 'transaction does not pay the output of that reference', parsed.txid)
  let signatureValid = null
  const metadata = request.metadata
  if (isObject(metadata) && metadata.signature !== undefined) {
    signatureValid = verifyIdentitySignature(parsed.txid, String(metadata.pubkey ?? ''), String(metadata.signature))
    if (!signatureValid) return refuse(400, 'sender signature does not verify', parsed.txid)
  }
  const result = chain.submit(request.hex, 'external_paymail')
  if (!result.ok && result.code !== 'known') return refuse(400, result.reason, parsed.txid)
  ext.recordDelivery({ alias: name, reference: request.reference, txid: parsed.txid, hex: request.hex, metadata: metadata ?? null, signatureValid, accepted: true, error: '' })
  return json(200, { txid: parsed.txid, note: `received by ${name}@${ext.domain}`, id: randomUUID() })
}

// ---------------------------------------------------------------- helpers

// Reads {member: hex} from a JSON body. Answers {value} or {error}.
function txhexFrom(body, member) {
  const parsed = parseJson(body)
  if (parsed.error) return parsed
  if (!isObject(parsed.value)) return { error: 'body must be a JSON object' }
  const value = parsed.value[member]
  if (typeof value !== 'string' || value === '') return { error: `${member} must be a hex string` }
  if (value.length % 2 !== 0 || !/^[0-9a-fA-F]+$/.test(value)) return { error: `${member} is not hex` }
  return { value }
}

function p2pkhHex(address) {
  return p2pkhScript(addressToHash(address)).toString('hex')
}

function decodePath(segment) {
  try {
    return decodeURIComponent(segment)
  } catch {
    return null
  }
}

function escapeHtml(value) {
  return String(value).replace(/[&<>"']/g, c => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c])
}
