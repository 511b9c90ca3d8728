// The control port: JSON over loopback HTTP for tests. It funds addresses,
// mines, reports transactions, submits directly, resets, injects faults, sets
// up paymail fixtures and shows what the hosts received (README has the list).
import { BODY_CAP, json, parseJson, readBody, send } from './http.mjs'
import { ALIAS_PATTERN, isObject } from './paymail.mjs'

export function createControl({ dv, faults, requests, events, saveState, stop, setMineInterval }) {
  const { chain, registry, ext, settings } = dv
  const initialDownload = { ...settings.download }

  return async function control(req, res) {
    const url = new URL(req.url, 'http://control.invalid')
    const route = `${req.method} ${url.pathname}`
    let body = null
    if (req.method === 'POST' || req.method === 'PUT') {
      const raw = await readBody(req, BODY_CAP)
      if (raw === null) {
        res.setHeader('Connection', 'close')
        if (req.abandoned) res.on('finish', () => req.socket.destroy())
        return send(res, json(413, { error: 'body too large' }))
      }
      if (raw.length > 0) {
        const parsed = parseJson(raw)
        if (parsed.error) return send(res, json(400, { error: parsed.error }))
        body = parsed.value
      }
      if (body !== null && !isObject(body)) return send(res, json(400, { error: 'body must be a JSON object' }))
      body ??= {}
    } else {
      req.resume()
    }
    let answer
    try {
      answer = await dispatch(route, url, body)
    } catch (e) {
      answer = json(400, { error: e.message })
    }
    if (answer.status >= 400) dv.log({ event: 'control-refused', route, reason: JSON.parse(answer.body).error })
    send(res, answer)
    if (answer.afterSend) answer.afterSend()
  }

  async function dispatch(route, url, body) {
    let m
    switch (route) {
      case 'GET /control/info':
        return json(200, { ...dv.info, height: chain.tip(), mempool: chain.mempoolSize(), settings: publicSettings() })
      case 'POST /control/fund': {
        if (typeof body.address !== 'string') return json(400, { error: 'address must be a text' })
        return json(200, await chain.fund(body.address, body.sats))
      }
      case 'POST /control/mine': {
        const blocks = body.blocks ?? 1
        if (!Number.isInteger(blocks) || blocks < 1 || blocks > 1000) return json(400, { error: 'blocks must be from 1 to 1000' })
        const mined = chain.mine(blocks)
        return json(200, { height: chain.tip(), hashes: mined.map(b => b.hash), txids: mined.flatMap(b => b.txids) })
      }
      case 'POST /control/submit': {
        if (typeof body.txhex !== 'string') return json(400, { error: 'txhex must be a text' })
        const result = chain.submit(body.txhex, 'control')
        return json(result.ok ? 200 : 422, result)
      }
      case 'POST /control/reset':
        chain.reset()
        registry.reset()
        ext.reset()
        faults.clear()
        requests.length = 0
        Object.assign(settings.download, initialDownload)
        dv.log({ event: 'reset' })
        return json(200, { ok: true, height: chain.tip() })
      case 'POST /control/fault':
        return json(200, faults.add(body))
      case 'GET /control/faults':
        return json(200, { faults: faults.list() })
      case 'DELETE /control/faults':
        return json(200, { cleared: faults.clear() })
      case 'GET /control/requests': {
        const since = Number(url.searchParams.get('since') ?? 0)
        const host = url.searchParams.get('host')
        const role = host ? dv.roleOf(host) : null
        const prefix = url.searchParams.get('path')
        const list = requests.filter(r => r.id > since && (!role || r.role === role) && (!prefix || r.path.startsWith(prefix)))
        return json(200, { requests: list })
      }
      case 'GET /control/log': {
        const since = Number(url.searchParams.get('since') ?? 0)
        const kind = url.searchParams.get('event')
        return json(200, { events: events.filter(e => e.n > since && (!kind || e.event === kind)) })
      }
      case 'GET /control/paymail':
        return json(200, registry.snapshot())
      case 'POST /control/alias':
        return json(200, registry.register(body))
      case 'POST /control/role':
        if (typeof body.pubkey !== 'string') return json(400, { error: 'pubkey must be a text' })
        registry.setRole(body.pubkey.toLowerCase(), String(body.role ?? 'default'))
        return json(200, registry.quota(body.pubkey))
      case 'GET /control/external/deliveries':
        return json(200, { deliveries: ext.deliveries() })
      case 'POST /control/download': {
        if (body.version !== undefined) settings.download.version = String(body.version)
        if (body.gbp !== undefined) settings.download.gbp = body.gbp
        if (body.rateOk !== undefined) settings.download.rateOk = body.rateOk
        if (body.page !== undefined) settings.download.page = body.page === null ? null : String(body.page)
        return json(200, settings.download)
      }
      case 'POST /control/settings':
        applySettings(body)
        return json(200, publicSettings())
      case 'POST /control/save':
        saveState()
        return json(200, { ok: true })
      case 'POST /control/stop': {
        const answer = json(200, { ok: true })
        answer.afterSend = () => setImmediate(stop)
        return answer
      }
    }
    if (route.startsWith('GET /control/tx/') && (m = url.pathname.match(/^\/control\/tx\/([0-9a-fA-F]{64})$/))) {
      return json(200, { txid: m[1].toLowerCase(), ...chain.status(m[1]) })
    }
    if (route.startsWith('DELETE /control/faults/') && (m = url.pathname.match(/^\/control\/faults\/(\d+)$/))) {
      return json(200, { cleared: faults.clear(Number(m[1])) })
    }
    if (route.startsWith('GET /control/external/alias/') && (m = url.pathname.match(/^\/control\/external\/alias\/([^/]+)$/))) {
      const name = decodeURIComponent(m[1]).toLowerCase()
      if (!ALIAS_PATTERN.test(name)) return json(400, { error: 'alias must be 1 to 64 of a-z 0-9 . _ -' })
      return json(200, ext.alias(name))
    }
    return json(404, { error: `no control route ${route}` })
  }

  function applySettings(body) {
    const checks = {
      min_fee_rate: v => Number.isInteger(v) && v >= 0,
      page_size: v => Number.isInteger(v) && v >= 1 && v <= 10000,
      truncate_bytes: v => Number.isInteger(v) && v >= 0,
      mine_interval: v => typeof v === 'number' && v >= 0
    }
    for (const [key, value] of Object.entries(body)) {
      if (!checks[key]) throw new Error(`unknown setting ${key}`)
      if (!checks[key](value)) throw new Error(`bad value for ${key}`)
    }
    if (body.min_fee_rate !== undefined) chain.setMinFeeRate(body.min_fee_rate)
    if (body.page_size !== undefined) settings.pageSize = body.page_size
    if (body.truncate_bytes !== undefined) settings.truncateBytes = body.truncate_bytes
    if (body.mine_interval !== undefined) setMineInterval(body.mine_interval)
    dv.log({ event: 'settings', ...body })
  }

  function publicSettings() {
    return { min_fee_rate: chain.minFeeRate(), page_size: settings.pageSize, truncate_bytes: settings.truncateBytes, mine_interval: settings.mineInterval }
  }
}
