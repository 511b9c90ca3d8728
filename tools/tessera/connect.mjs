// Tessera's side of the connect handshake. An app writes
// "connect/<id>.req.json" ({"id", "app", "instance", "ts"}) and polls for
// "connect/<id>.rep.json"; the answer is {"ok": true, "wallet_id": ID} or
// {"ok": false}. A request counts as pending while it has no reply.
//
// Replies appear whole (written aside, then linked into place) because the
// app reads a reply as soon as the file exists, and a reply is never
// replaced once written, so two answerers cannot contradict each other.

import fs from 'node:fs'
import { connectFolder, dataFolderPath, isSafeId, parseJsonOrUndefined, readTextOrNull, sortedJson } from './files.mjs'

const REQUEST_SUFFIX = '.req.json'
const REPLY_SUFFIX = '.rep.json'

// Requests without a reply, oldest id first: { ready: [{id, app, instance,
// ts}], unreadable: [id] }. A request that does not parse yet (the app may be
// writing it) is listed as unreadable and left for a later look.
export function pendingRequests () {
  const folder = connectFolder()
  let names = []
  try {
    names = fs.readdirSync(folder)
  } catch (err) {
    if (err.code !== 'ENOENT') throw err
  }
  const ids = names
    .filter((name) => name.endsWith(REQUEST_SUFFIX))
    .map((name) => name.slice(0, -REQUEST_SUFFIX.length))
    .filter((id) => isSafeId(id) && !fs.existsSync(replyPath(id)))
    .sort()
  const ready = []
  const unreadable = []
  for (const id of ids) {
    const request = parseJsonOrUndefined(readTextOrNull(requestPath(id)) ?? '')
    if (request === null || typeof request !== 'object' || Array.isArray(request)) {
      unreadable.push(id)
      continue
    }
    ready.push({ id, app: stringOf(request.app), instance: stringOf(request.instance), ts: request.ts ?? null })
  }
  return { ready, unreadable }
}

// Writes the reply for request id: approved for walletId, or denied when
// walletId is null. Answers false when a reply was already there.
export function answerRequest (id, walletId) {
  const reply = walletId === null ? { ok: false } : { ok: true, wallet_id: walletId }
  const file = replyPath(id)
  const aside = file + '.' + process.pid + '.tmp'
  try {
    fs.writeFileSync(aside, sortedJson(reply), { mode: 0o644 })
    fs.linkSync(aside, file)
    return true
  } catch (err) {
    if (err.code === 'EEXIST') return false
    throw err
  } finally {
    fs.rmSync(aside, { force: true })
  }
}

// Answers every pending request once. walletOf() (may be async) names the
// wallet to approve with (null denies); it is asked only when a request is waiting, and when it
// throws nothing is answered. Answers { answered: [...], skipped: [ids] }.
export async function answerPending (walletOf) {
  const { ready, unreadable } = pendingRequests()
  const answered = []
  if (ready.length > 0) {
    const walletId = await walletOf()
    for (const request of ready) {
      if (answerRequest(request.id, walletId)) answered.push(describe(request, walletId))
    }
  }
  return { answered, skipped: unreadable }
}

// Keeps answering new requests until stop() is called, the deadline passes
// or (with once) the first answers are written; each answer goes to onAnswer
// as soon as it is written, and a failure to answer (no wallet to approve
// with, say) to onProblem, after which watching goes on. Answers the number
// of requests answered.
export async function watchRequests ({ walletOf, once, timeoutMs, intervalMs, onAnswer, onProblem, stopped }) {
  const deadline = timeoutMs === null ? Infinity : Date.now() + timeoutMs
  let count = 0
  while (!stopped()) {
    try {
      const { answered } = await answerPending(walletOf)
      for (const entry of answered) onAnswer(entry)
      count += answered.length
    } catch (err) {
      onProblem(err.message)
    }
    if (once && count > 0) break
    if (Date.now() >= deadline) break
    await new Promise((resolve) => setTimeout(resolve, Math.min(intervalMs, Math.max(0, deadline - Date.now()))))
  }
  return count
}

export const requestPath = (id) => connectFolder() + '/' + id + REQUEST_SUFFIX
export const replyPath = (id) => connectFolder() + '/' + id + REPLY_SUFFIX

function describe (request, walletId) {
  const entry = { id: request.id, app: request.app, instance: request.instance, ok: walletId !== null }
  if (walletId !== null) entry.wallet_id = walletId
  return entry
}

function stringOf (value) {
  return typeof value === 'string' ? value : ''
}

// While watching, Tessera announces itself on the abstract Unix socket
// "@corvane-tessera-<uid>-<folder>", folder being the FNV-1a hash (8 hex
// digits) of the data folder path, so only apps of the same data folder
// reach it (Linux only; nothing on disk goes stale). An app
// that wants Tessera in front connects and sends "raise\n"; onRaise is then
// called. Answers the server, or null when another instance already listens.
export async function announce (onRaise) {
  const { createServer } = await import('node:net')
  const name = '\0corvane-tessera-' + process.getuid() + '-' + fnv1a(dataFolderPath())
  const server = createServer((socket) => {
    let text = ''
    socket.setEncoding('utf8')
    socket.on('data', (chunk) => {
      text += chunk
      if (text.includes('\n')) {
        if (text.startsWith('raise')) onRaise()
        socket.end()
      }
    })
    socket.on('error', () => {})
  })
  return new Promise((resolve) => {
    server.once('error', () => resolve(null))
    server.listen(name, () => resolve(server))
  })
}

function fnv1a (text) {
  let hash = 0x811c9dc5
  for (const byte of Buffer.from(text, 'utf8')) {
    hash ^= byte
    hash = Math.imul(hash, 0x01000193) >>> 0
  }
  return hash.toString(16).padStart(8, '0')
}
