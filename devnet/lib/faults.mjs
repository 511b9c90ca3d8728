// Fault injection: tests ask that the next N requests to one host (and
// optionally one method and path prefix) fail in a chosen way. The first
// registered fault that matches a request is used and counted down.
//
// Kinds: "status" (HTTP status 400-599 in the host's error shape), "delay"
// (answer normally after ms), "drop" (close the connection without an
// answer), "html" (a proxy's HTML error page, status 502 unless given),
// "body" (a fixed answer: status, body, contentType), "arc_status" (the ARC
// broadcaster answers txStatus, with extraInfo, leaving out the txid when
// omitTxid, and taking the transaction only when admit). Any kind may carry
// delay_ms, waited before it acts.

const KINDS = new Set(['status', 'delay', 'drop', 'html', 'body', 'arc_status'])

export function createFaults(roleOf) {
  let faults = []
  let nextId = 1

  // Validates and registers a fault; answers it, or throws with a reason.
  function add(wanted) {
    if (wanted === null || typeof wanted !== 'object' || Array.isArray(wanted)) throw new Error('a fault is a JSON object')
    const role = wanted.host === undefined || wanted.host === '*' ? '*' : roleOf(String(wanted.host))
    if (!role) throw new Error(`unknown host ${wanted.host}`)
    if (!KINDS.has(wanted.kind)) throw new Error(`kind must be one of ${[...KINDS].join(', ')}`)
    const count = wanted.count ?? 1
    if (count !== 'always' && !(Number.isInteger(count) && count >= 1)) throw new Error('count must be a whole number from 1, or "always"')
    const fault = { id: nextId++, host: role, method: wanted.method ? String(wanted.method).toUpperCase() : null, path: wanted.path ? String(wanted.path) : null, kind: wanted.kind, count, used: 0 }
    if (wanted.delay_ms !== undefined) fault.delay_ms = checkMs(wanted.delay_ms, 'delay_ms')
    if (wanted.kind === 'status') {
      if (!Number.isInteger(wanted.status) || wanted.status < 400 || wanted.status > 599) throw new Error('status must be from 400 to 599')
      fault.status = wanted.status
    } else if (wanted.kind === 'delay') {
      fault.ms = checkMs(wanted.ms, 'ms')
    } else if (wanted.kind === 'html') {
      fault.status = wanted.status ?? 502
      if (!Number.isInteger(fault.status) || fault.status < 400 || fault.status > 599) throw new Error('status must be from 400 to 599')
    } else if (wanted.kind === 'body') {
      fault.status = wanted.status ?? 200
      if (!Number.isInteger(fault.status) || fault.status < 100 || fault.status > 599) throw new Error('status must be from 100 to 599')
      fault.body = typeof wanted.body === 'string' ? wanted.body : JSON.stringify(wanted.body ?? {})
      fault.contentType = wanted.contentType ?? (typeof wanted.body === 'string' ? 'text/plain; charset=utf-8' : 'application/json')
    } else if (wanted.kind === 'arc_status') {
      if (role !== 'arc' && role !== '*') throw new Error('arc_status faults belong to the arc host')
      if (typeof wanted.txStatus !== 'string' || wanted.txStatus === '') throw new Error('txStatus must be a text')
      fault.host = 'arc'
      fault.method = 'POST'
      fault.path = fault.path ?? '/v1/tx'
      fault.txStatus = wanted.txStatus
      fault.extraInfo = String(wanted.extraInfo ?? '')
      fault.omitTxid = wanted.omitTxid === true
      fault.admit = wanted.admit === true
    }
    faults.push(fault)
    return { ...fault }
  }

  // The fault for this request, counted down, or null.
  function take(role, method, path) {
    const index = faults.findIndex(f => (f.host === '*' || f.host === role) && (!f.method || f.method === method) && (!f.path || path.startsWith(f.path)))
    if (index < 0) return null
    const fault = faults[index]
    fault.used++
    if (fault.count !== 'always' && fault.used >= fault.count) faults.splice(index, 1)
    return { ...fault }
  }

  return {
    add,
    take,
    list: () => faults.map(f => ({ ...f })),
    clear: id => {
      const before = faults.length
      faults = id === undefined ? [] : faults.filter(f => f.id !== id)
      return before - faults.length
    }
  }
}

function checkMs(value, name) {
  if (!Number.isInteger(value) || value < 0 || value > 600000) throw new Error(`${name} must be milliseconds from 0 to 600000`)
  return value
}
